#include <gtest/gtest.h>
#include <fmt/format.h>

#include <boost/unordered/unordered_flat_set.hpp>
#include <sstream>
#include <unordered_set>
#include <vector>

#include "util/ipv4.hpp"

namespace sarvolt::util {
namespace {

Ipv4Addr addr(std::string_view s) { return Ipv4Addr::parse(s).value(); }
Ipv4Net net(std::string_view s) { return Ipv4Net::parse(s).value(); }

TEST(Ipv4Text, RoundTripsAndOrders) {
  for (const char* s : {"0.0.0.0", "1.2.3.4", "192.168.100.1", "255.255.255.255"}) {
    EXPECT_EQ(addr(s).to_string(), s);
  }
  // Host bits are kept; "255.255.255.255/32" is the longest text.
  for (const char* s : {"10.0.0.5/24", "0.0.0.0/0", "255.255.255.255/32"}) {
    EXPECT_EQ(net(s).to_string(), s);
  }
  const Ipv4Addr a = addr("1.2.3.4");
  EXPECT_EQ(a.to_u32(), 0x01020304U);
  EXPECT_EQ(a, Ipv4Addr::from_octets(1, 2, 3, 4));
  EXPECT_EQ(fmt::format("[{}] [{:>9}] {}", a, addr("0.0.0.1"), net("10.0.0.5/24")),
            "[1.2.3.4] [  0.0.0.1] 10.0.0.5/24");
  std::ostringstream os;
  os << addr("255.255.255.255") << ' ' << net("10.0.0.5/24");
  EXPECT_EQ(os.str(), "255.255.255.255 10.0.0.5/24");

  EXPECT_LT(addr("9.255.255.255"), addr("10.0.0.0"));
  // Networks order by address as stored, then length.
  EXPECT_LT(net("10.0.0.0/24"), net("10.0.0.0/25"));
  EXPECT_LT(net("10.0.0.0/25"), net("10.0.0.5/8"));
}

TEST(Ipv4Text, RejectsAnythingButStrictDecimal) {
  for (const char* s : {"", "01.2.3.4", "1.2.3.04", "00.0.0.0", "256.0.0.0", "1.2.3.300",
                        "1000.2.3.4", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.", ".1.2.3",
                        " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.-2.3.4", "a.b.c.d", "1.2.3.0x1",
                        "1.2.3.4/8", "1,2,3,4"}) {
    auto a = Ipv4Addr::parse(s);
    ASSERT_FALSE(a) << '"' << s << '"';
    EXPECT_EQ(a.error(), "invalid IPv4 address syntax") << s;
  }
  const std::pair<const char*, std::vector<const char*>> nets[] = {
      {"invalid prefix length", {"1.2.3.4/33", "1.2.3.4/100"}},
      {"invalid IPv4 network syntax", {"1.2.3.4/", "1.2.3.4", "1.2.3.4/08", "1.2.3.4/+8",
                                       "1.2.3.4/-1", "1.2.3.4/8 ", "1.2.3.4/8/8", "1.2.3.4/1000"}},
      {"invalid IPv4 address syntax", {" 1.2.3.4/8", "01.2.3.4/8", "1.2.3/8", "/8"}},
  };
  for (const auto& [error, texts] : nets) {
    for (const char* s : texts) {
      auto n = Ipv4Net::parse(s);
      ASSERT_FALSE(n) << '"' << s << '"';
      EXPECT_EQ(n.error(), error) << s;
    }
  }
}

TEST(Ipv4Addr, ClassifiesSpecialAddresses) {
  EXPECT_TRUE(addr("0.0.0.0").is_unspecified() && !addr("0.0.0.1").is_unspecified());
  EXPECT_TRUE(addr("255.255.255.255").is_broadcast() && !addr("255.255.255.254").is_broadcast());
  for (const char* s : {"224.0.0.0", "239.255.255.255"}) EXPECT_TRUE(addr(s).is_multicast()) << s;
  for (const char* s : {"223.255.255.255", "240.0.0.0"}) EXPECT_FALSE(addr(s).is_multicast()) << s;
}

TEST(Ipv4Net, EqualityAndHashKeepHostBits) {
  const Ipv4Net n = net("10.0.0.5/24");
  EXPECT_NE(n, net("10.0.0.0/24"));
  boost::unordered_flat_set<Ipv4Net> nets{n, net("10.0.0.0/24"), net("10.0.0.5/24")};
  EXPECT_EQ(nets.size(), 2U);
  std::unordered_set<Ipv4Addr> addrs{addr("1.2.3.4"), addr("1.2.3.4"), addr("4.3.2.1")};
  EXPECT_EQ(addrs.size(), 2U);
  EXPECT_TRUE(boost::unordered_flat_set<Ipv4Addr>{addr("4.3.2.1")}.contains(addr("4.3.2.1")));
}

TEST(Ipv4Net, MasksAtTheEdgeLengths) {
  const struct { const char *net, *network, *broadcast, *netmask, *hostmask; } cases[] = {
      {"1.2.3.4/0", "0.0.0.0", "255.255.255.255", "0.0.0.0", "255.255.255.255"},
      {"129.2.3.4/1", "128.0.0.0", "255.255.255.255", "128.0.0.0", "127.255.255.255"},
      {"127.2.3.4/1", "0.0.0.0", "127.255.255.255", "128.0.0.0", "127.255.255.255"},
      {"10.1.2.3/31", "10.1.2.2", "10.1.2.3", "255.255.255.254", "0.0.0.1"},
      {"10.1.2.3/32", "10.1.2.3", "10.1.2.3", "255.255.255.255", "0.0.0.0"},
      {"10.1.2.3/20", "10.1.0.0", "10.1.15.255", "255.255.240.0", "0.0.15.255"},
  };
  for (const auto& c : cases) {
    const Ipv4Net n = net(c.net);
    EXPECT_EQ(n.network().to_string(), c.network) << c.net;
    EXPECT_EQ(n.broadcast().to_string(), c.broadcast) << c.net;
    EXPECT_EQ(n.netmask().to_string(), c.netmask) << c.net;
    EXPECT_EQ(n.hostmask().to_string(), c.hostmask) << c.net;
    EXPECT_EQ(n.trunc(), *Ipv4Net::create(n.network(), n.prefix_len())) << c.net;
  }
}

TEST(Ipv4Net, ContainsAddressesAndNetworks) {
  const struct { const char *outer, *inner; bool in; } cases[] = {
      {"10.9.9.9/8", "10.0.0.0/32", true},     {"10.9.9.9/8", "10.255.255.255/32", true},
      {"10.9.9.9/8", "9.255.255.255/32", false}, {"10.9.9.9/8", "11.0.0.0/32", false},
      {"0.0.0.0/0", "255.255.255.255/32", true}, {"1.2.3.4/32", "1.2.3.4/32", true},
      {"1.2.3.4/32", "1.2.3.5/32", false},     {"10.9.9.9/8", "10.1.0.0/16", true},
      {"10.9.9.9/8", "10.0.0.0/8", true},      {"10.9.9.9/8", "10.0.0.0/7", false},
      {"10.9.9.9/8", "0.0.0.0/0", false},      {"10.9.9.9/8", "11.0.0.0/16", false},
      {"0.0.0.0/0", "0.0.0.0/0", true},        {"5.5.5.5/0", "255.0.0.0/8", true},
  };
  for (const auto& c : cases) {
    const Ipv4Net outer = net(c.outer), inner = net(c.inner);
    EXPECT_EQ(outer.contains(inner), c.in) << c.outer << " > " << c.inner;
    if (inner.prefix_len() == 32) {
      EXPECT_EQ(outer.contains(inner.addr()), c.in) << c.outer;
    }
  }
}

}  // namespace
}  // namespace sarvolt::util
