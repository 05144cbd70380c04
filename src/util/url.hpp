// Url: an absolute URL parsed and normalised the way browsers do for the
// schemes we meet (scheme and host lower-cased for special schemes, default
// port dropped, empty path of a special scheme becomes "/", dot segments
// removed). Equal URLs have equal text; ordering is by text bytes.
#pragma once

#include <compare>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include <boost/url/url.hpp>
#include <fmt/format.h>

#include "util/expected.hpp"

namespace sarvolt::util {

class Url {
 public:
  // Fails with the parser's error text, e.g. "relative URL without a base".
  static Expected<Url, std::string> parse(std::string_view text);

  std::string_view as_str() const noexcept { return url_.buffer(); }
  std::string to_string() const { return std::string(as_str()); }
  std::string_view scheme() const noexcept { return url_.scheme(); }
  std::string host() const { return std::string(url_.encoded_host()); }
  std::string path() const { return std::string(url_.encoded_path()); }
  bool has_userinfo() const noexcept { return url_.has_userinfo(); }
  const boost::urls::url& raw() const noexcept { return url_; }

  friend bool operator==(const Url& a, const Url& b) noexcept { return a.as_str() == b.as_str(); }
  friend std::strong_ordering operator<=>(const Url& a, const Url& b) noexcept {
    return a.as_str().compare(b.as_str()) <=> 0;
  }

 private:
  explicit Url(boost::urls::url u) : url_(std::move(u)) {}
  boost::urls::url url_;
};

inline std::ostream& operator<<(std::ostream& os, const Url& u) { return os << u.as_str(); }

// The URL text with user name and password each replaced by "****" when it
// carries either; works on unparsable text too.
std::string mask_userinfo(std::string_view url_text);

}  // namespace sarvolt::util

template <>
struct std::hash<sarvolt::util::Url> {
  std::size_t operator()(const sarvolt::util::Url& u) const noexcept {
    return std::hash<std::string_view>{}(u.as_str());
  }
};

template <>
struct fmt::formatter<sarvolt::util::Url> : fmt::formatter<std::string_view> {
  auto format(const sarvolt::util::Url& u, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(u.as_str(), ctx);
  }
};
