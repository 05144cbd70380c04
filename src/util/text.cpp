#include "util/text.hpp"

#include <cstdlib>

#include <fmt/format.h>
#include <unicase.h>
#include <unictype.h>
#include <unistr.h>

namespace sarvolt::util {

bool is_valid_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) { ++i; continue; }
    std::size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view s, std::uint64_t max) noexcept {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (max - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

namespace {

// Other (Cc Cf Cs Co Cn), line and paragraph separators.
bool is_printable(ucs4_t c) {
  static const uc_general_category_t kHidden =
      uc_general_category_or(uc_general_category_or(UC_CATEGORY_C, UC_CATEGORY_Zl), UC_CATEGORY_Zp);
  return !uc_is_general_category(c, kHidden);
}

}  // namespace

std::string optional_debug(const std::optional<std::string>& s) {
  return s ? "Some(" + quoted_debug(*s) + ")" : "None";
}

std::string quoted_debug(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n;) {
    const std::uint8_t b = p[i];
    if (b >= 0x20 && b < 0x7F) {
      if (b == '"' || b == '\\') out += '\\';
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    switch (b) {
      case '\t': out += "\\t"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      default: break;
    }
    ucs4_t c = 0;
    const int len = u8_mbtoucr(&c, p + i, n - i);
    if (len > 0) {
      if (is_printable(c)) out.append(s.substr(i, static_cast<std::size_t>(len)));
      else out += fmt::format("\\u{{{:x}}}", c);
      i += static_cast<std::size_t>(len);
    } else if (b == 0xED && i + 2 < n && p[i + 1] >= 0xA0 && p[i + 1] <= 0xBF && (p[i + 2] & 0xC0) == 0x80) {
      // An encoded surrogate: shown as the code point it names.
      out += fmt::format("\\u{{{:x}}}", 0xD000u | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu));
      i += 3;
    } else {
      out += fmt::format("\\x{:02x}", b);
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string to_lower_unicode(std::string_view s) {
  if (!is_valid_utf8(s)) return to_lower_ascii(s);
  std::size_t len = 0;
  std::uint8_t* lowered =
      u8_tolower(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), nullptr, nullptr, nullptr, &len);
  if (lowered == nullptr) return to_lower_ascii(s);
  std::string out(reinterpret_cast<const char*>(lowered), len);
  std::free(lowered);
  return out;
}

std::string to_lower_ascii(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace sarvolt::util
