// Small text helpers: UTF-8 validation, unsigned decimal parsing, quoted
// debug form.
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
// \t \r \n, other control characters as \u{hex}.
std::string quoted_debug(std::string_view s);

std::string to_lower_ascii(std::string_view s);

}  // namespace sarvolt::util
