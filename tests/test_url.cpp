#include <gtest/gtest.h>

#include <unordered_set>

#include "util/url.hpp"

namespace sarvolt::util {
namespace {

// `out` is the serialisation, or "!" and the failure text. A serialisation
// must parse to itself.
void check(std::initializer_list<std::pair<std::string, std::string>> table) {
  for (const auto& [in, out] : table) {
    auto u = Url::parse(in);
    if (out.starts_with('!')) {
      ASSERT_FALSE(u) << "'" << in << "' parsed as " << u->as_str();
      EXPECT_EQ("!" + u.error(), out) << "'" << in << "'";
      continue;
    }
    ASSERT_TRUE(u) << "'" << in << "': " << u.error();
    EXPECT_EQ(u->as_str(), out) << "'" << in << "'";
    auto again = Url::parse(u->as_str());
    ASSERT_TRUE(again) << out << ": " << again.error();
    EXPECT_EQ(*again, *u) << out;
  }
}

TEST(Url, NormalisesLikeABrowser) {
  check({
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
      {"controller://5f0c9b2e-1d4e-4a52-9a8e-2b8f7d1c0a11", "controller://5f0c9b2e-1d4e-4a52-9a8e-2b8f7d1c0a11"},
      {"Controller://Net-ID", "controller://Net-ID"},
      {"http://10.0.0.1:8080/n.toml?x=1#f", "http://10.0.0.1:8080/n.toml?x=1#f"},
      {"http://1.2.3/", "http://1.2.0.3/"},  // a short IPv4 form, the last part fills the rest
  });
}

TEST(Url, RejectsWithTheParserText) {
  check({
      {"net.toml", "!relative URL without a base"},
      {"/etc/net.toml", "!relative URL without a base"},
      {"", "!relative URL without a base"},
      {"https://", "!missing host"},
      {"http://h:99999/", "!port out of range"},
      {"http://h:8x/", "!invalid port"},
      {"http://300.1.1.1/", "!invalid IPv4 address (part out of range)"},
      {"http://1.2.3.4.5/", "!invalid IPv4 address (too many parts)"},
      {"http://a%20b/", "!forbidden domain code point"},
  });
}

TEST(Url, OrdersByTextBytes) {
  const Url a = *Url::parse("file:///a"), b = *Url::parse("file:///a/b"), c = *Url::parse("controller://z");
  EXPECT_LT(a, b);
  EXPECT_LT(c, a);
  EXPECT_EQ(a.scheme(), "file");
}

TEST(UrlScheme, LowerCasedSpecialOrNotAndInputTrimmed) {
  check({
      {"a+b-c.d:x", "a+b-c.d:x"},
      {"http:\\\\www.example.com\\foo", "http://www.example.com/foo"},
      {"https://////example.com///", "https://example.com///"},
      {"madeupscheme:/example.com/", "madeupscheme:/example.com/"},
      {std::string("\0\x1b http://h/\x1f ", 14), "http://h/"},
      {"ht\ttp://exa\nmple.org/a\r/b", "http://example.org/a/b"},
      {"", "!relative URL without a base"},
      {"net.toml", "!relative URL without a base"},
      {"1http://h/", "!relative URL without a base"},
      {"ht tp://h/", "!relative URL without a base"},
  });
}

TEST(UrlUserinfo, EncodedAndEmptyPartsDropped) {
  check({
      {"https://user:pass@h/", "https://user:pass@h/"},
      {"https://@example.com/", "https://example.com/"},
      {"https://a:@h/", "https://a@h/"},
      {"http::b@www.example.com", "http://:b@www.example.com/"},
      {"http://user:pa:ss@h/", "http://user:pa%3Ass@h/"},
      {"http://\xC3\xA9@example.com", "http://%C3%A9@example.com/"},
      {"http:@:www.example.com", "!missing host"},
      {"sc://te@s:t@/", "!missing host"},
  });
}

TEST(UrlHostDomain, PercentDecodedLowerCasedAndMappedToAscii) {
  check({
      {"https://EX%41MPLE.com/", "https://example.com/"},
      {"https://fa\xC3\x9F.ExAmPlE/", "https://xn--fa-hia.example/"},
      {"http://www.foo\xE3\x80\x82" "bar.com", "http://www.foo.bar.com/"},
      {"https://%e2%98%83", "https://xn--n3h/"},
      {"http://a%C2%ADb/p", "http://ab/p"},
      {"http://!\"$&'()*+,-.;=_`{}~/", "http://!\"$&'()*+,-.;=_`{}~/"},
      {"http://a.b.c.XN--pokxncvks/", "http://a.b.c.xn--pokxncvks/"},
      {"https://ab--c.\xC3\x9F/", "https://ab--c.xn--zca/"},
      // A NUL in a non-ASCII name must not end the name early.
      {"http://h\xC3\xA9%00.evil/", "!forbidden domain code point"},
      {"http://\xEF\xBC\x85\xEF\xBC\x94\xEF\xBC\x91.com", "!forbidden domain code point"},
      {"https://example.com%80/", "!domain to ASCII failed"},
      {"http://\xEF\xB7\x90zyx.com", "!domain to ASCII failed"},
      {"http://%C2%AD/", "!empty host"},
  });
}

TEST(UrlHostIpv4, NumbersInAnyRadixAndShortForms) {
  check({
      {"http://127.1/", "http://127.0.0.1/"},
      {"http://0x7f.0.0.1/", "http://127.0.0.1/"},
      {"http://192.0x00A80001", "http://192.168.0.1/"},
      {"http://0300.0250.0.1/", "http://192.168.0.1/"},
      {"http://4294967295", "http://255.255.255.255/"},
      {"https://0x.0x.0", "https://0.0.0.0/"},
      {"http://127.0.0.1./", "http://127.0.0.1/"},
      {"http://0x7f.0.0.0x7g/", "http://0x7f.0.0.0x7g/"},  // does not end in a number
      {"http://300.1.1.1/", "!invalid IPv4 address (part out of range)"},
      {"http://4294967296", "!invalid IPv4 address (part out of range)"},
      {"http://1.2.65536", "!invalid IPv4 address (part out of range)"},
      {"http://1.2.3.4.5", "!invalid IPv4 address (too many parts)"},
      {"http://1.2.3.08", "!invalid IPv4 address (non-numeric part)"},
      {"http://foo.09", "!invalid IPv4 address (non-numeric part)"},
      {"http://foo.0x", "!invalid IPv4 address (non-numeric part)"},
      {"http://0..0x300/", "!invalid IPv4 address (non-numeric part)"},
      {"http://\xF0\x9F\x92\xA9.123/", "!invalid IPv4 address (non-numeric part)"},
  });
}

TEST(UrlHostIpv6, ParsedAndSerialisedWithTheLongestZeroRunCompressed) {
  check({
      {"http://[0:0:0:0:0:0:0:1]:80/", "http://[::1]/"},
      {"http://[1:0::]", "http://[1::]/"},
      {"http://[::127.0.0.1]", "http://[::7f00:1]/"},
      {"http://[1:0:1:0:1:0:1:0]", "http://[1:0:1:0:1:0:1:0]/"},
      {"http://[2001:DB8:0:0:1::1]:8080", "http://[2001:db8::1:0:0:1]:8080/"},
      {"sc://[::01]/", "sc://[::1]/"},
      {"http://[::1", "!invalid IPv6 address (unclosed)"},
      {"http://[:1]", "!invalid IPv6 address (invalid compression)"},
      {"http://[1:2:3:4:5:6:7:8:9]", "!invalid IPv6 address (too many pieces)"},
      {"http://[1::1::1]", "!invalid IPv6 address (multiple compression)"},
      {"http://[1:2:3!:4]", "!invalid IPv6 address (invalid code point)"},
      {"http://[1:2:3:]", "!invalid IPv6 address (invalid code point)"},
      {"http://[1:2:3]", "!invalid IPv6 address (too few pieces)"},
      {"http://[1:1:1:1:1:1:1:127.0.0.1]", "!invalid IPv6 address (too many pieces before IPv4 part)"},
      {"http://[ffff::.0.0.1]", "!invalid IPv6 address (invalid code point in IPv4 part)"},
      {"http://[ffff::127.00.0.1]", "!invalid IPv6 address (invalid code point in IPv4 part)"},
      {"http://[ffff::127.0.0.1.2]", "!invalid IPv6 address (invalid code point in IPv4 part)"},
      {"http://[ffff::127.0.0.4000]", "!invalid IPv6 address (IPv4 part out of range)"},
      {"http://[ffff::127.0.0]", "!invalid IPv6 address (too few IPv4 parts)"},
      {"http://[::%31]", "!invalid IPv6 address (invalid code point)"},
  });
}

TEST(UrlHostOpaque, KeptAsWrittenWithControlsAndNonAsciiEncoded) {
  check({
      {"sc://fa\xC3\x9F.ExAmPlE/", "sc://fa%C3%9F.ExAmPlE/"},
      {"sc://\x1f!\"$&'()*+,-.;=_`{}~/", "sc://%1F!\"$&'()*+,-.;=_`{}~/"},
      {"sc://", "sc://"},
      {"sc://:12/", "!missing host"},
  });
  // Each forbidden code point that can reach the host parser.
  for (char c : std::string(" <>[]^|\\\0", 9)) {
    check({{std::string("sc://a") + c + "b/", "!forbidden host code point"}});
    if (c != '\\') check({{std::string("http://a") + c + "b/", "!forbidden domain code point"}});
  }
}

TEST(UrlPort, DefaultDroppedLeadingZerosIgnored) {
  check({
      {"https://example.com:443/a", "https://example.com/a"},
      {"https://example.com:80/", "https://example.com:80/"},
      {"ws://h:80/", "ws://h/"},
      {"wss://h:443/", "wss://h/"},
      {"ftp://h:21/", "ftp://h/"},
      {"sc://h:80/", "sc://h:80/"},
      {"http://f:/c", "http://f/c"},
      {"http://f:0/c", "http://f:0/c"},
      {"http://f:00000000000000000000080/c", "http://f/c"},
      {"http://f:65535/", "http://f:65535/"},
      {"http://f:65536/", "!port out of range"},
      {"http://h:8x/", "!invalid port"},
  });
}

TEST(UrlPath, DotSegmentsAndPercentEncoding) {
  check({
      {"http://h/a/%2e%2E/b", "http://h/b"},
      {"http://h/a/b/.%2e/c", "http://h/a/c"},
      {"http://h/a/b/%2e", "http://h/a/b/"},
      {"http://h/a/b/../../..", "http://h/"},
      {"http://h/a/..b/.c/%2e%2", "http://h/a/..b/.c/%2e%2"},
      {"http://example.com////../..", "http://example.com//"},
      {"sc://x/a\\..\\b", "sc://x/a\\..\\b"},
      {"web+demo:/path/..//not-a-host/", "web+demo:/.//not-a-host/"},
      {"http://h/ \"<>`{}^|[]", "http://h/%20%22%3C%3E%60%7B%7D%5E|[]"},
      {"http://h/\x7f\xC2\x91%91", "http://h/%7F%C2%91%91"},
      {"http://h/\xFFx", "http://h/%EF%BF%BDx"},  // not UTF-8: U+FFFD
  });
}

TEST(UrlFile, HostsPathsAndDriveLetters) {
  check({
      {"file:/etc/n.toml", "file:///etc/n.toml"},
      {"file:", "file:///"},
      {"file://loc%61lhost/", "file:///"},
      {"file://Example.NET/a", "file://example.net/a"},
      {"file:///w|m", "file:///w|m"},
      {"file:///C|/demo", "file:///C:/demo"},
      {"file://C|/x", "file:///C:/x"},
      {"file:c:\\foo\\bar.html", "file:///c:/foo/bar.html"},
      {"file:///C:/a/../..", "file:///C:/"},
      {"file:/.//p", "file:////p"},
      {"file:?q=v", "file:///?q=v"},
      {"file://example:1/", "!forbidden domain code point"},
      {"file://u@h/", "!forbidden domain code point"},
      {"file://%43%7C", "!forbidden domain code point"},
  });
}

TEST(UrlOpaquePathQueryFragment, TheirOwnPercentEncodeSets) {
  check({
      {"lolscheme:x x#x x", "lolscheme:x x#x%20x"},
      {"a:b c ?d", "a:b c%20?d"},
      {"mailto:a@ex\x01mple", "mailto:a@ex%01mple"},
      {"data:text/plain,\xC3\xA9", "data:text/plain,%C3%A9"},
      {"sc:\\../", "sc:\\../"},
      {"https://h/?x='y'", "https://h/?x=%27y%27"},
      {"sc://h/?x='y'", "sc://h/?x='y'"},
      {"http://h/?a b\"<>`{}", "http://h/?a%20b%22%3C%3E`{}"},
      {"http://h/#a b\"<>`{}", "http://h/#a%20b%22%3C%3E%60{}"},
      {"http://h/?a#b#c", "http://h/?a#b#c"},
      {"http://h/?%GH%2#%zz", "http://h/?%GH%2#%zz"},
      {"http://h?q", "http://h/?q"},
      {"http://h/?\xE2\x8C\xA3#\xC2\xBB", "http://h/?%E2%8C%A3#%C2%BB"},
  });
}

TEST(Url, AccessorsGiveTheRecordsComponents) {
  const auto parts = [](const Url& u) {  // "-": absent
    return fmt::format("{}|{}|{}|{}|{}|{}|{}|{}|{}|{}|{}", u.scheme(), u.username(), u.password(),
                       u.has_userinfo(), u.has_host(), u.host(), u.port() ? std::to_string(*u.port()) : "-",
                       u.has_opaque_path(), u.path(), u.query().value_or("-"), u.fragment().value_or("-"));
  };
  const std::pair<const char*, const char*> table[] = {
      {"HTTPS://us%65r:p@ss@EXAMPLE.com:8443/a/b?q=1#top",
       "https|us%65r|p%40ss|true|true|example.com|8443|false|/a/b|q=1|top"},
      {"sc:opaque?", "sc|||false|false||-|true|opaque||-"},
      {"https://:pw@h/", "https||pw|true|true|h|-|false|/|-|-"},
      {"http://[::1]:80/#", "http|||false|true|[::1]|-|false|/|-|"},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(parts(*Url::parse(in)), out) << in;
}

TEST(Url, EquivalentFormsAreOneKeyOrderedByTextBytes) {
  std::vector<Url> urls;
  for (const char* text : {"http://h/b", "HTTP:h/./b", "http://h:80/a/../b", "file:///a", "file:/a"})
    urls.push_back(*Url::parse(text));
  EXPECT_EQ(std::unordered_set<Url>(urls.begin(), urls.end()).size(), 2u);
  EXPECT_LT(*Url::parse("file:///a"), *Url::parse("file:///a/b"));
  EXPECT_LT(*Url::parse("controller://z"), *Url::parse("file:///a"));
  EXPECT_EQ(fmt::format("{}", *Url::parse("file:///a/b")), "file:///a/b");
}

TEST(UrlMask, UserInfoHiddenWhereverTheParserWouldFindIt) {
  const std::pair<const char*, const char*> table[] = {
      {"https://user:pw@h/x", "https://****:****@h/x"},
      {"https://:pw@h/x", "https://****:****@h/x"},
      {"https://h/x?a=b@c", "https://h/x?a=b@c"},
      {"https:user:pw@h/x", "https:****:****@h/x"},
      {"HTTP:\\\\user:pw@h", "HTTP:\\\\****:****@h"},
      {"https://a@b:pw@h/", "https://****:****@h/"},
      {"https://user:hunter2@/n", "https://****:****@/n"},
      {"sc://user:pw@h/", "sc://****:****@h/"},
      {"sc:user:pw@h", "sc:user:pw@h"},  // an opaque path, no user info
      {"//user:pw@h/", "//****:****@h/"},
      {"net.toml", "net.toml"},
      // A file URL's host follows exactly two slashes; a third starts the path.
      {"file:///srv/a:b@c/n.toml", "file:///srv/a:b@c/n.toml"},
      {"file://user:pw@h/n.toml", "file://****:****@h/n.toml"},
      {"file:/a@b", "file:/a@b"},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(mask_userinfo(in), out) << in;
}

}  // namespace
}  // namespace sarvolt::util
