#include <gtest/gtest.h>

#include "util/url.hpp"

namespace sarvolt::util {
namespace {

TEST(Url, NormalisesLikeABrowser) {
  const std::pair<const char*, const char*> table[] = {
      {"HTTPS://Example.COM", "https://example.com/"},
      {"https://example.com:443/a", "https://example.com/a"},
      {"http://example.com:80", "http://example.com/"},
      {"http://example.com:8080", "http://example.com:8080/"},
      {"https://example.com:80/", "https://example.com:80/"},
      {"http://h/a/./b/../c", "http://h/a/c"},
      {"http://h/a/b/../../..", "http://h/"},
      {"  http://h/x  ", "http://h/x"},
      {"http://h/a b", "http://h/a%20b"},
      {"http://u:p@h/x", "http://u:p@h/x"},
      {"file:///etc/sarvolt/net.toml", "file:///etc/sarvolt/net.toml"},
      {"file://localhost/etc/x", "file:///etc/x"},
      {"controller://5f0c9b2e-1d4e-4a52-9a8e-2b8f7d1c0a11",
       "controller://5f0c9b2e-1d4e-4a52-9a8e-2b8f7d1c0a11"},
      {"Controller://Net-ID", "controller://Net-ID"},
      {"http://10.0.0.1:8080/n.toml?x=1#f", "http://10.0.0.1:8080/n.toml?x=1#f"},
  };
  for (const auto& [in, out] : table) {
    auto u = Url::parse(in);
    ASSERT_TRUE(u) << in << ": " << u.error();
    EXPECT_EQ(u->as_str(), out) << in;
    // Parsing the normalised text again is stable.
    auto again = Url::parse(u->as_str());
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *u);
  }
}

TEST(Url, RejectsWithTheParserText) {
  const std::pair<const char*, const char*> table[] = {
      {"net.toml", "relative URL without a base"},
      {"/etc/net.toml", "relative URL without a base"},
      {"", "relative URL without a base"},
      {"https://", "empty host"},
      {"http://h:99999/", "invalid port number"},
      {"http://h:8x/", "invalid port number"},
      {"http://300.1.1.1/", "invalid IPv4 address"},
      {"http://1.2.3/", "invalid IPv4 address"},
      {"http://a%20b/", "invalid domain character"},
  };
  for (const auto& [in, err] : table) {
    auto u = Url::parse(in);
    ASSERT_FALSE(u) << in << " parsed as " << u->as_str();
    EXPECT_EQ(u.error(), err) << in;
  }
}

TEST(Url, OrdersByTextBytes) {
  auto a = *Url::parse("file:///a");
  auto b = *Url::parse("file:///a/b");
  auto c = *Url::parse("controller://z");
  EXPECT_LT(a, b);
  EXPECT_LT(c, a);
  EXPECT_EQ(a.scheme(), "file");
}

}  // namespace
}  // namespace sarvolt::util
