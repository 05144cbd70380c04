// Url: an absolute URL parsed by the URL Standard's basic URL parser (no base
// URL) and kept in its serialised form, with the offsets of its components.
// Equal URLs have equal text; ordering and hashing are by text bytes.
// mask_userinfo hides user name and password in URL text for messages.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "util/expected.hpp"

namespace sarvolt::util {

class Url {
 public:
  // Fails with the reason in the URL Standard's terms, e.g. "relative URL
  // without a base", "invalid port", "invalid IPv4 address (too many parts)".
  // The reason never quotes the input.
  static Expected<Url, std::string> parse(std::string_view text);

  std::string_view as_str() const noexcept { return text_; }
  std::string to_string() const { return text_; }

  // Lower-case scheme without the ':'.
  std::string_view scheme() const noexcept { return view(0, scheme_end_); }
  // Percent-encoded user name and password; empty when absent.
  std::string_view username() const noexcept { return view(username_begin_, username_end_); }
  std::string_view password() const noexcept;
  bool has_userinfo() const noexcept { return username_end_ < host_begin_; }
  // Serialised host (IPv6 in brackets); empty for a null or empty host.
  std::string host() const { return std::string(view(host_begin_, host_end_)); }
  bool has_host() const noexcept { return has_host_; }
  std::optional<std::uint16_t> port() const noexcept { return port_; }
  // Serialised path: the opaque path, or the segments each after a '/'.
  std::string path() const { return std::string(view(path_begin_, query_begin_)); }
  bool has_opaque_path() const noexcept { return opaque_path_; }
  // Without the leading '?' / '#'; absent when the URL has none.
  std::optional<std::string_view> query() const noexcept;
  std::optional<std::string_view> fragment() const noexcept;

  friend bool operator==(const Url& a, const Url& b) noexcept { return a.text_ == b.text_; }
  friend std::strong_ordering operator<=>(const Url& a, const Url& b) noexcept {
    return a.as_str().compare(b.as_str()) <=> 0;
  }

 private:
  friend class UrlBuilder;
  Url() = default;
  std::string_view view(std::uint32_t b, std::uint32_t e) const noexcept {
    return std::string_view(text_).substr(b, e - b);
  }

  std::string text_;
  // Offsets into text_. Absent parts are empty ranges at the position where
  // they would be.
  std::uint32_t scheme_end_ = 0;      // the ':'
  std::uint32_t username_begin_ = 0;  // after "//"
  std::uint32_t username_end_ = 0;    // ':' before a password, '@', or host_begin_
  std::uint32_t host_begin_ = 0;
  std::uint32_t host_end_ = 0;
  std::uint32_t path_begin_ = 0;
  std::uint32_t query_begin_ = 0;     // the '?' or path end
  std::uint32_t fragment_begin_ = 0;  // the '#' or text end
  std::optional<std::uint16_t> port_;
  bool has_host_ = false;
  bool opaque_path_ = false;
};

inline std::ostream& operator<<(std::ostream& os, const Url& u) { return os << u.as_str(); }

// The URL text with user name and password both set to "****" when it
// carries either; works on unparsable text too (the authority is found the
// way the parser finds it).
std::string mask_userinfo(std::string_view url_text);

}  // namespace sarvolt::util

template <>
struct std::hash<sarvolt::util::Url> {
  std::size_t operator()(const sarvolt::util::Url& u) const noexcept {
    return std::hash<std::string_view>{}(u.as_str());
  }
};

template <>
// Formatted for people (log lines, messages): user info masked. The raw text
// is as_str().
struct fmt::formatter<sarvolt::util::Url> : fmt::formatter<std::string_view> {
  auto format(const sarvolt::util::Url& u, fmt::format_context& ctx) const {
    if (!u.has_userinfo()) return fmt::formatter<std::string_view>::format(u.as_str(), ctx);
    return fmt::formatter<std::string_view>::format(sarvolt::util::mask_userinfo(u.as_str()), ctx);
  }
};
