#include <gtest/gtest.h>
#include <fmt/format.h>

#include <boost/unordered/unordered_flat_set.hpp>
#include <sstream>
#include <unordered_set>

#include "util/ipv4.hpp"

namespace sarvolt::util {
namespace {

Ipv4Addr addr(std::string_view s) {
  auto a = Ipv4Addr::parse(s);
  EXPECT_TRUE(a) << s;
  return a ? *a : Ipv4Addr();
}

Ipv4Net net(std::string_view s) {
  auto n = Ipv4Net::parse(s);
  EXPECT_TRUE(n) << s;
  return n ? *n : Ipv4Net();
}

TEST(Ipv4Addr, ParsesAndPrintsDottedQuads) {
  for (const char* s : {"0.0.0.0", "1.2.3.4", "10.0.0.0", "192.168.100.1", "255.255.255.255"}) {
    EXPECT_EQ(addr(s).to_string(), s);
  }
  const Ipv4Addr a = addr("1.2.3.4");
  EXPECT_EQ(a.to_u32(), 0x01020304U);
  EXPECT_EQ(a, Ipv4Addr::from_octets(1, 2, 3, 4));
  EXPECT_EQ(a.octets(), (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_LT(addr("9.255.255.255"), addr("10.0.0.0"));
  EXPECT_EQ(fmt::format("[{}] [{:>9}]", a, addr("0.0.0.1")), "[1.2.3.4] [  0.0.0.1]");
  std::ostringstream os;
  os << a;
  EXPECT_EQ(os.str(), "1.2.3.4");
}

TEST(Ipv4Addr, RejectsAnythingButStrictDecimal) {
  for (const char* s : {"", "01.2.3.4", "1.2.3.04", "00.0.0.0", "256.0.0.0", "1.2.3.300",
                        "1000.2.3.4", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.", ".1.2.3",
                        " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.-2.3.4", "a.b.c.d", "1.2.3.0x1",
                        "1.2.3.4/8", "1,2,3,4"}) {
    auto a = Ipv4Addr::parse(s);
    ASSERT_FALSE(a) << '"' << s << '"';
    EXPECT_EQ(a.error(), "invalid IPv4 address syntax") << s;
  }
}

TEST(Ipv4Addr, ClassifiesSpecialAddresses) {
  EXPECT_TRUE(addr("0.0.0.0").is_unspecified());
  EXPECT_FALSE(addr("0.0.0.1").is_unspecified());
  EXPECT_TRUE(addr("255.255.255.255").is_broadcast());
  EXPECT_FALSE(addr("255.255.255.254").is_broadcast());
  EXPECT_TRUE(addr("224.0.0.0").is_multicast());
  EXPECT_TRUE(addr("239.255.255.255").is_multicast());
  EXPECT_FALSE(addr("223.255.255.255").is_multicast());
  EXPECT_FALSE(addr("240.0.0.0").is_multicast());
}

TEST(Ipv4Addr, HashesByValue) {
  std::unordered_set<Ipv4Addr> std_set{addr("1.2.3.4"), addr("1.2.3.4"), addr("4.3.2.1")};
  boost::unordered_flat_set<Ipv4Addr> boost_set{addr("1.2.3.4"), addr("4.3.2.1")};
  EXPECT_EQ(std_set.size(), 2U);
  EXPECT_TRUE(boost_set.contains(addr("4.3.2.1")));
  EXPECT_EQ(std::hash<Ipv4Addr>{}(addr("1.2.3.4")), hash_value(Ipv4Addr(0x01020304U)));
}

TEST(Ipv4Net, ParseKeepsHostBits) {
  const Ipv4Net n = net("10.0.0.5/24");
  EXPECT_EQ(n.addr(), addr("10.0.0.5"));
  EXPECT_EQ(n.prefix_len(), 24);
  EXPECT_EQ(n.to_string(), "10.0.0.5/24");
  EXPECT_EQ(fmt::format("{}", n), "10.0.0.5/24");
  std::ostringstream os;
  os << n;
  EXPECT_EQ(os.str(), "10.0.0.5/24");
  EXPECT_NE(n, net("10.0.0.0/24"));
  EXPECT_EQ(n.trunc(), net("10.0.0.0/24"));
  EXPECT_EQ(n.trunc().to_string(), "10.0.0.0/24");
  EXPECT_EQ(net("0.0.0.0/0").to_string(), "0.0.0.0/0");
  EXPECT_EQ(net("255.255.255.255/32").to_string(), "255.255.255.255/32");
  EXPECT_EQ(Ipv4Net::host(addr("1.2.3.4")), net("1.2.3.4/32"));
  // Ordered by address as stored, then length.
  EXPECT_LT(net("10.0.0.0/24"), net("10.0.0.0/25"));
  EXPECT_LT(net("10.0.0.0/25"), net("10.0.0.5/8"));

  boost::unordered_flat_set<Ipv4Net> set{n, net("10.0.0.0/24"), net("10.0.0.5/24")};
  EXPECT_EQ(set.size(), 2U);
  EXPECT_EQ(std::hash<Ipv4Net>{}(n), hash_value(net("10.0.0.5/24")));
}

TEST(Ipv4Net, RejectsBadSyntaxAndLengths) {
  const std::pair<const char*, const char*> cases[] = {
      {"1.2.3.4/33", "invalid prefix length"},
      {"1.2.3.4/100", "invalid prefix length"},
      {"1.2.3.4/", "invalid IPv4 network syntax"},
      {"1.2.3.4", "invalid IPv4 network syntax"},
      {"1.2.3.4/08", "invalid IPv4 network syntax"},
      {"1.2.3.4/+8", "invalid IPv4 network syntax"},
      {"1.2.3.4/-1", "invalid IPv4 network syntax"},
      {"1.2.3.4/8 ", "invalid IPv4 network syntax"},
      {"1.2.3.4/8/8", "invalid IPv4 network syntax"},
      {"1.2.3.4/1000", "invalid IPv4 network syntax"},
      {" 1.2.3.4/8", "invalid IPv4 address syntax"},
      {"01.2.3.4/8", "invalid IPv4 address syntax"},
      {"1.2.3/8", "invalid IPv4 address syntax"},
      {"/8", "invalid IPv4 address syntax"},
  };
  for (const auto& [text, error] : cases) {
    auto n = Ipv4Net::parse(text);
    ASSERT_FALSE(n) << '"' << text << '"';
    EXPECT_EQ(n.error(), error) << text;
  }
  auto bad = Ipv4Net::create(addr("1.2.3.4"), 33);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "invalid prefix length");
  auto ok = Ipv4Net::create(addr("1.2.3.4"), 0);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->to_string(), "1.2.3.4/0");
}

TEST(Ipv4Net, MasksAtTheEdgeLengths) {
  struct Case {
    const char* net;
    const char* network;
    const char* broadcast;
    const char* netmask;
    const char* hostmask;
  };
  const Case cases[] = {
      {"1.2.3.4/0", "0.0.0.0", "255.255.255.255", "0.0.0.0", "255.255.255.255"},
      {"129.2.3.4/1", "128.0.0.0", "255.255.255.255", "128.0.0.0", "127.255.255.255"},
      {"127.2.3.4/1", "0.0.0.0", "127.255.255.255", "128.0.0.0", "127.255.255.255"},
      {"10.1.2.3/31", "10.1.2.2", "10.1.2.3", "255.255.255.254", "0.0.0.1"},
      {"10.1.2.3/32", "10.1.2.3", "10.1.2.3", "255.255.255.255", "0.0.0.0"},
      {"10.1.2.3/20", "10.1.0.0", "10.1.15.255", "255.255.240.0", "0.0.15.255"},
  };
  for (const Case& c : cases) {
    const Ipv4Net n = net(c.net);
    EXPECT_EQ(n.network().to_string(), c.network) << c.net;
    EXPECT_EQ(n.broadcast().to_string(), c.broadcast) << c.net;
    EXPECT_EQ(n.netmask().to_string(), c.netmask) << c.net;
    EXPECT_EQ(n.hostmask().to_string(), c.hostmask) << c.net;
    EXPECT_EQ(n.trunc().addr(), n.network()) << c.net;
    EXPECT_EQ(n.trunc().prefix_len(), n.prefix_len()) << c.net;
  }
}

TEST(Ipv4Net, ContainsAddressesAndNetworks) {
  const Ipv4Net ten = net("10.9.9.9/8");
  EXPECT_TRUE(ten.contains(addr("10.0.0.0")));
  EXPECT_TRUE(ten.contains(addr("10.255.255.255")));
  EXPECT_FALSE(ten.contains(addr("9.255.255.255")));
  EXPECT_FALSE(ten.contains(addr("11.0.0.0")));
  EXPECT_TRUE(net("0.0.0.0/0").contains(addr("255.255.255.255")));
  EXPECT_TRUE(net("1.2.3.4/32").contains(addr("1.2.3.4")));
  EXPECT_FALSE(net("1.2.3.4/32").contains(addr("1.2.3.5")));

  EXPECT_TRUE(ten.contains(net("10.1.0.0/16")));
  EXPECT_TRUE(ten.contains(net("10.0.0.0/8")));
  EXPECT_TRUE(ten.contains(net("10.200.0.1/32")));
  EXPECT_FALSE(ten.contains(net("10.0.0.0/7")));
  EXPECT_FALSE(ten.contains(net("0.0.0.0/0")));
  EXPECT_FALSE(ten.contains(net("11.0.0.0/16")));
  EXPECT_TRUE(net("0.0.0.0/0").contains(net("0.0.0.0/0")));
  EXPECT_TRUE(net("5.5.5.5/0").contains(net("255.0.0.0/8")));
}

}  // namespace
}  // namespace sarvolt::util
