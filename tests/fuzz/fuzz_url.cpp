// The URL parser: the serialised URL parses to the same URL, its component
// offsets put together give its text, and masking never leaves user info.
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "util/url.hpp"

using namespace sarvolt;
using util::Url;

namespace {

// The text the components describe, put together the URL Standard's way.
std::string assemble(const Url& u) {
  std::string s(u.scheme());
  s += ':';
  if (u.has_host()) {
    s += "//";
    if (u.has_userinfo()) {
      s += u.username();
      if (!u.password().empty()) {
        s += ':';
        s += u.password();
      }
      s += '@';
    }
    s += u.host();
    if (u.port()) s += ':' + std::to_string(*u.port());
  } else if (!u.has_opaque_path() && u.path().starts_with("//")) {
    s += "/.";
  }
  s += u.path();
  if (u.query()) {
    s += '?';
    s += *u.query();
  }
  if (u.fragment()) {
    s += '#';
    s += *u.fragment();
  }
  return s;
}

}  // namespace

SARVOLT_FUZZ_TARGET {
  const std::string_view text = in.text();
  const std::string masked_raw = util::mask_userinfo(text);
  auto url = Url::parse(text);
  if (!url) return;
  const std::string serialised(url->as_str());
  auto again = Url::parse(serialised);
  FUZZ_CHECK(again && *again == *url && again->has_opaque_path() == url->has_opaque_path() &&
                 again->port() == url->port() && again->has_host() == url->has_host(),
             serialised);
  FUZZ_CHECK(assemble(*url) == serialised, "components give " + assemble(*url) + " for " + serialised);
  FUZZ_CHECK((!url->port() || url->has_host()) && (!url->has_userinfo() || !url->host().empty()), serialised);

  // Masking the serialised text hides exactly the user info.
  const std::string masked = util::mask_userinfo(serialised);
  if (!url->has_userinfo()) {
    FUZZ_CHECK(masked == serialised, serialised + " masked to " + masked);
  } else {
    auto m = Url::parse(masked);
    FUZZ_CHECK(m && m->username() == "****" && m->password() == "****" &&
                   m->scheme() == url->scheme() && m->host() == url->host() && m->port() == url->port() &&
                   m->path() == url->path() && m->query() == url->query() && m->fragment() == url->fragment(),
               serialised + " masked to " + masked);
  }
  // Masking the text as given leaves no user info either.
  auto m = Url::parse(masked_raw);
  const auto hidden = [](std::string_view part) { return part.empty() || part == "****"; };
  FUZZ_CHECK(m && hidden(m->username()) && hidden(m->password()) && m->host() == url->host() &&
                 m->path() == url->path() && m->query() == url->query(),
             "masked to " + masked_raw + " (from " + serialised + ")");
}
