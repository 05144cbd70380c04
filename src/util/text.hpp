// Small text helpers: UTF-8 validation, unsigned decimal parsing, quoted
// debug form (also of an optional text), ASCII and Unicode lower-casing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sarvolt::util {

bool is_valid_utf8(std::string_view s) noexcept;

// Decimal digits with an optional single leading '+' (no other sign, no
// spaces), at most `max`.
std::optional<std::uint64_t> parse_unsigned(std::string_view s, std::uint64_t max) noexcept;

// The text between double quotes on one line: '"' and '\' escaped with '\',
// \t \r \n, every other character that is not printable (general categories
// Cc, Cf, Zl, Zp, Co, Cn) as \u{hex}. Bytes that are not UTF-8 cannot be
// characters: an encoded surrogate shows as \u{d800}..\u{dfff}, any other
// stray byte as \xhh.
std::string quoted_debug(std::string_view s);
// Some("...") with the quoted debug text, or None.
std::string optional_debug(const std::optional<std::string>& s);

std::string to_lower_ascii(std::string_view s);

// Full Unicode lower-casing of UTF-8 text (no language tailoring); text that is
// not UTF-8 is lower-cased in its ASCII letters only.
std::string to_lower_unicode(std::string_view s);

}  // namespace sarvolt::util
