// IPv4 addresses and networks (text, order, hashing, masks, containment), the
// longest-prefix map against brute force, and the packet helpers: the header
// view, the guard that keeps ICMP errors from what must get none, the ICMP
// replies we build and the control-packet test.
#include <gtest/gtest.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <sstream>
#include <unordered_set>

#include <boost/unordered/unordered_flat_set.hpp>

#include "data_plane.hpp"
#include "heap_count.hpp"
#include "util/ipv4.hpp"
#include "util/packet.hpp"
#include "util/prefix_map.hpp"

namespace sarvolt::util {
namespace {

using test::Bytes;
using test::ip;
using test::ipv4_packet;
using test::net;

TEST(Ipv4Text, RoundTripsKeepingHostBits) {
  for (const char* s : {"0.0.0.0", "255.255.255.255"}) EXPECT_EQ(ip(s).to_string(), s);
  for (const char* s : {"10.0.0.5/24", "0.0.0.0/0", "255.255.255.255/32"}) EXPECT_EQ(net(s).to_string(), s);
  EXPECT_EQ(fmt::format("[{:>9}]", ip("0.0.0.1")), "[  0.0.0.1]");
  EXPECT_NE(net("10.0.0.5/24"), net("10.0.0.0/24"));
  EXPECT_EQ((boost::unordered_flat_set<Ipv4Net>{net("10.0.0.5/24"), net("10.0.0.0/24"), net("10.0.0.5/24")}.size()), 2U);
}

TEST(Ipv4Text, RoundTripsAndOrders) {
  for (const char* s : {"0.0.0.0", "1.2.3.4", "192.168.100.1", "255.255.255.255"}) EXPECT_EQ(ip(s).to_string(), s);
  // Host bits are kept; "255.255.255.255/32" is the longest text.
  for (const char* s : {"10.0.0.5/24", "0.0.0.0/0", "255.255.255.255/32"}) EXPECT_EQ(net(s).to_string(), s);
  const Ipv4Addr a = ip("1.2.3.4");
  EXPECT_EQ(a.to_u32(), 0x01020304U);
  EXPECT_EQ(a, Ipv4Addr::from_octets(1, 2, 3, 4));
  EXPECT_EQ(fmt::format("[{}] [{:>9}] {}", a, ip("0.0.0.1"), net("10.0.0.5/24")), "[1.2.3.4] [  0.0.0.1] 10.0.0.5/24");
  std::ostringstream os;
  os << ip("255.255.255.255") << ' ' << net("10.0.0.5/24");
  EXPECT_EQ(os.str(), "255.255.255.255 10.0.0.5/24");

  EXPECT_LT(ip("9.255.255.255"), ip("10.0.0.0"));
  // Networks order by address as stored, then length.
  EXPECT_LT(net("10.0.0.0/24"), net("10.0.0.0/25"));
  EXPECT_LT(net("10.0.0.0/25"), net("10.0.0.5/8"));
}

TEST(Ipv4Text, RejectsAnythingButStrictDecimal) {
  for (const char* s : {"", "01.2.3.4", "1.2.3.04", "00.0.0.0", "256.0.0.0", "1.2.3.300", "1000.2.3.4", "1.2.3",
                        "1.2.3.4.5", "1..2.3", "1.2.3.", ".1.2.3", " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.-2.3.4",
                        "a.b.c.d", "1.2.3.0x1", "1.2.3.4/8", "1,2,3,4"})
    EXPECT_EQ(Ipv4Addr::parse(s).error(), "invalid IPv4 address syntax") << '"' << s << '"';
  const std::pair<const char*, std::vector<const char*>> nets[] = {
      {"invalid prefix length", {"1.2.3.4/33", "1.2.3.4/100"}},
      {"invalid IPv4 network syntax", {"1.2.3.4/", "1.2.3.4", "1.2.3.4/08", "1.2.3.4/+8", "1.2.3.4/-1", "1.2.3.4/8 ",
                                       "1.2.3.4/8/8", "1.2.3.4/1000"}},
      {"invalid IPv4 address syntax", {" 1.2.3.4/8", "01.2.3.4/8", "1.2.3/8", "/8"}},
  };
  for (const auto& [error, texts] : nets)
    for (const char* s : texts) EXPECT_EQ(Ipv4Net::parse(s).error(), error) << '"' << s << '"';
}

TEST(Ipv4Addr, ClassifiesSpecialAddresses) {
  EXPECT_TRUE(ip("0.0.0.0").is_unspecified() && !ip("0.0.0.1").is_unspecified());
  EXPECT_TRUE(ip("255.255.255.255").is_broadcast() && !ip("255.255.255.254").is_broadcast());
  for (const char* s : {"224.0.0.0", "239.255.255.255"}) EXPECT_TRUE(ip(s).is_multicast()) << s;
  for (const char* s : {"223.255.255.255", "240.0.0.0"}) EXPECT_FALSE(ip(s).is_multicast()) << s;
}

TEST(Ipv4Net, EqualityAndHashKeepHostBits) {
  const Ipv4Net n = net("10.0.0.5/24");
  EXPECT_NE(n, net("10.0.0.0/24"));
  EXPECT_EQ((boost::unordered_flat_set<Ipv4Net>{n, net("10.0.0.0/24"), net("10.0.0.5/24")}.size()), 2U);
  EXPECT_EQ((std::unordered_set<Ipv4Addr>{ip("1.2.3.4"), ip("1.2.3.4"), ip("4.3.2.1")}.size()), 2U);
  EXPECT_TRUE(boost::unordered_flat_set<Ipv4Addr>{ip("4.3.2.1")}.contains(ip("4.3.2.1")));
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
    EXPECT_EQ(fmt::format("{} {} {} {}", n.network(), n.broadcast(), n.netmask(), n.hostmask()),
              fmt::format("{} {} {} {}", c.network, c.broadcast, c.netmask, c.hostmask));
    EXPECT_EQ(n.trunc(), *Ipv4Net::create(n.network(), n.prefix_len())) << c.net;
  }
}

TEST(Ipv4Net, ContainsAddressesAndNetworks) {
  const struct { const char *outer, *inner; bool in; } cases[] = {
      {"10.9.9.9/8", "10.0.0.0/32", true},       {"10.9.9.9/8", "10.255.255.255/32", true},
      {"10.9.9.9/8", "9.255.255.255/32", false}, {"10.9.9.9/8", "11.0.0.0/32", false},
      {"0.0.0.0/0", "255.255.255.255/32", true}, {"1.2.3.4/32", "1.2.3.4/32", true},
      {"1.2.3.4/32", "1.2.3.5/32", false},       {"10.9.9.9/8", "10.1.0.0/16", true},
      {"10.9.9.9/8", "10.0.0.0/8", true},        {"10.9.9.9/8", "10.0.0.0/7", false},
      {"10.9.9.9/8", "0.0.0.0/0", false},        {"10.9.9.9/8", "11.0.0.0/16", false},
      {"0.0.0.0/0", "0.0.0.0/0", true},          {"5.5.5.5/0", "255.0.0.0/8", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(net(c.outer).contains(net(c.inner)), c.in) << c.outer << " > " << c.inner;
    if (net(c.inner).prefix_len() == 32) {
      EXPECT_EQ(net(c.outer).contains(net(c.inner).addr()), c.in) << c.outer;
    }
  }
}

using Entry = std::pair<Ipv4Net, int>;

struct Reference {  // brute force, keyed by (network, length) as the map orders
  std::map<std::pair<Ipv4Addr, unsigned>, Entry> entries;

  static std::pair<Ipv4Addr, unsigned> key(const Ipv4Net& n) { return {n.network(), n.prefix_len()}; }
  const Entry* longest_match(Ipv4Addr a) const {
    const Entry* best = nullptr;
    for (const auto& [k, e] : entries)
      if (e.first.contains(a) && (!best || e.first.prefix_len() > best->first.prefix_len())) best = &e;
    return best;
  }
};

// Lookups of `probes` and around the edges of every prefix in `ref` and
// `edges`, exact gets with other host bits, and both ways of iterating.
void expect_same(const PrefixMap<int>& map, const Reference& ref, std::vector<Ipv4Addr> probes,
                 std::vector<Ipv4Net> edges = {}) {
  ASSERT_EQ(map.size(), ref.entries.size());
  std::vector<Entry> sorted;
  for (const auto& [k, e] : ref.entries) {
    sorted.push_back(e);
    edges.push_back(e.first);
    const int* got = map.get(*Ipv4Net::create(e.first.broadcast(), e.first.prefix_len()));
    ASSERT_TRUE(got && *got == e.second) << e.first;
  }
  for (const Ipv4Net& n : edges)
    for (std::uint32_t a : {n.network().to_u32(), n.broadcast().to_u32()})
      for (std::uint32_t p : {a - 1, a, a + 1}) probes.emplace_back(p);
  for (Ipv4Addr a : probes) {
    const Entry *want = ref.longest_match(a), *got = map.longest_match(a);
    ASSERT_EQ(got ? std::optional(*got) : std::nullopt, want ? std::optional(*want) : std::nullopt) << a;
  }
  EXPECT_EQ(std::vector<Entry>(map.begin(), map.end()), sorted);
  std::vector<Entry> visited;
  map.for_each([&](const Ipv4Net& k, const int& v) { visited.emplace_back(k, v); });
  EXPECT_EQ(visited, sorted);
}

using RefIt = decltype(Reference::entries)::iterator;

// One step on both: `victim` (an entry of ref) leaves both, or without one
// n goes into both; then every address around the changed prefix agrees.
template <class Around>
void step_both(PrefixMap<int>& map, Reference& ref, std::optional<RefIt> victim, Ipv4Net n, int& next,
               std::vector<Ipv4Net>& removed, const Around& around, int step) {
  if (victim) {
    n = (*victim)->second.first;
    ASSERT_EQ(map.remove(n), std::optional((*victim)->second.second)) << n;
    ref.entries.erase(*victim);
    removed.push_back(n);
  } else {
    ASSERT_EQ(map.insert(n, next).has_value(), ref.entries.contains(Reference::key(n))) << n;
    ref.entries[Reference::key(n)] = {n, next++};
  }
  for (Ipv4Addr a : around(n)) {
    const Entry *want = ref.longest_match(a), *got = map.longest_match(a);
    ASSERT_EQ(got ? std::optional(*got) : std::nullopt, want ? std::optional(*want) : std::nullopt)
        << a << " after step " << step << (victim ? " removing " : " inserting ") << n;
  }
}

// Grows through every index form (list, narrow trie, wide trie) and shrinks
// back; inserts replace key and value, removal goes by normalised prefix.
TEST(PrefixMap, MatchesBruteForceAcrossSizes) {
  std::mt19937 rng(20240611);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  const auto address = [&] { return Ipv4Addr(below(2) ? rng() : 0x0a00'0000U | (rng() >> 14)); };  // half nest
  const auto probes = [&](int n) {
    std::vector<Ipv4Addr> v;
    while (n-- > 0) v.push_back(address());
    return v;
  };
  PrefixMap<int> map;
  Reference ref;
  std::vector<Ipv4Net> removed;
  int next = 0;
  for (std::size_t target : {10U, 300U, 3000U}) {
    while (ref.entries.size() < target) {
      const unsigned r = below(100), len = r == 0 ? 0 : r < 3 ? 32 : r < 8 ? 4 + below(12) : 16 + below(17);
      Ipv4Net n = *Ipv4Net::create(address(), len);
      if (below(10) == 0 && !ref.entries.empty()) {  // an existing prefix with other host bits
        const Ipv4Net& e = std::next(ref.entries.begin(), below(ref.entries.size()))->second.first;
        n = *Ipv4Net::create(Ipv4Addr(e.addr().to_u32() ^ (rng() & e.hostmask().to_u32())), e.prefix_len());
      }
      const bool present = map.get(n);
      ASSERT_EQ(map.insert(n, next).has_value(), present) << n;
      ref.entries[Reference::key(n)] = {n, next++};
    }
    SCOPED_TRACE(target);
    expect_same(map, ref, probes(target == 3000 ? 20000 : 2000), removed);
  }
  PrefixMap<int> copy = map;
  const Reference at_copy = ref;
  for (std::size_t target : {1500U, 400U, 5U, 0U}) {
    while (ref.entries.size() > target) {
      const auto it = std::next(ref.entries.begin(), below(ref.entries.size()));
      const Ipv4Net n = it->second.first;
      EXPECT_EQ(map.remove(n.trunc()), std::optional(it->second.second)) << n;
      EXPECT_FALSE(map.remove(n));
      ref.entries.erase(it);
      removed.push_back(n);
    }
    SCOPED_TRACE(target);
    expect_same(map, ref, probes(2000), removed);
  }
  expect_same(copy, at_copy, probes(200));  // the copy kept its own entries
  PrefixMap<int> moved = std::move(copy);
  EXPECT_EQ(moved.size(), 3000U);
  EXPECT_TRUE(copy.empty() && !copy.longest_match(ip("10.0.0.1")));  // NOLINT(bugprone-use-after-move)
  moved.clear();
  EXPECT_TRUE(moved.empty() && moved.begin() == moved.end() && !moved.longest_match(ip("10.0.0.1")));
}

// Every length at one address, inserted and removed in shuffled orders.
TEST(PrefixMap, NestedPrefixesInAnyOrder) {
  std::mt19937 rng(7);
  std::vector<Ipv4Net> chain;
  for (unsigned len = 0; len <= 32; ++len) chain.push_back(*Ipv4Net::create(ip("10.20.30.40"), len));
  for (int round = 0; round < 4; ++round) {
    PrefixMap<int> map;
    Reference ref;
    std::shuffle(chain.begin(), chain.end(), rng);
    for (const Ipv4Net& n : chain) {
      map.insert(n, n.prefix_len());
      ref.entries[Reference::key(n)] = {n, n.prefix_len()};
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}, chain)) << "after inserting " << n;
      if (ref.entries.size() > 6) continue;  // copies and moves across the in-object sizes
      PrefixMap<int> copy = map, moved = std::move(copy);
      ASSERT_NO_FATAL_FAILURE(expect_same(moved, ref, {}, chain));
      EXPECT_TRUE(copy.empty() && copy.begin() == copy.end());  // NOLINT(bugprone-use-after-move)
    }
    std::shuffle(chain.begin(), chain.end(), rng);
    for (const Ipv4Net& n : chain) {
      ASSERT_EQ(map.remove(n), std::optional<int>(n.prefix_len()));
      ref.entries.erase(Reference::key(n));
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}, chain)) << "after removing " << n;
    }
  }
}

// Bulk builds, then inserts and removals in random order (the entries leave
// key order), rebuilds and copies, each checked against the linear scan.
TEST(PrefixMap, BulkBuildAndUpdatesMatchLinearScan) {
  std::mt19937 rng(99);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  const auto address = [&] { return Ipv4Addr(below(2) ? rng() : 0x0a00'0000U | (rng() >> 12)); };
  const auto prefix = [&] {
    const unsigned r = below(100), len = r == 0 ? 0 : r < 4 ? 32 : r < 10 ? 1 + below(15) : 16 + below(17);
    return *Ipv4Net::create(address(), len);
  };
  const auto probes = [&](int n) {
    std::vector<Ipv4Addr> v;
    while (n-- > 0) v.push_back(address());
    return v;
  };
  int next = 0;
  for (const std::size_t size : {0U, 1U, 4U, 9U, 17U, 300U, 2500U}) {
    SCOPED_TRACE(size);
    std::vector<Entry> entries;
    Reference ref;
    for (std::size_t i = 0; i < size; ++i) {
      Ipv4Net n = prefix();
      if (below(8) == 0 && !entries.empty()) {  // a repeat with other host bits: the later one stays
        const Ipv4Net& e = entries[below(entries.size())].first;
        n = *Ipv4Net::create(Ipv4Addr(e.addr().to_u32() ^ (rng() & e.hostmask().to_u32())), e.prefix_len());
      }
      entries.emplace_back(n, next);
      ref.entries[Reference::key(n)] = {n, next++};
    }
    PrefixMap<int> map;
    map.insert(net("1.2.3.4/32"), -1);  // replaced by the build
    map.assign(entries);
    ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes(3000)));

    std::vector<Ipv4Net> removed;  // their edges are probed too
    for (std::size_t step = 0; step < size / 2 + 20; ++step) {
      if (below(3) == 0 && !ref.entries.empty()) {
        const auto it = std::next(ref.entries.begin(), below(ref.entries.size()));
        const Ipv4Net n = it->second.first;
        ASSERT_EQ(map.remove(n), std::optional(it->second.second)) << n;
        ref.entries.erase(it);
        removed.push_back(n);
      } else {
        const Ipv4Net n = prefix();
        ASSERT_EQ(map.insert(n, next).has_value(), ref.entries.contains(Reference::key(n))) << n;
        ref.entries[Reference::key(n)] = {n, next++};
      }
    }
    ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes(3000), removed));
    if (map.size() > 1) {  // walking back from the end
      auto it = map.end();
      --it;
      EXPECT_EQ(*it, std::prev(ref.entries.end())->second);
    }
    const PrefixMap<int> copy = map;
    map.shrink_to_fit();
    ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes(3000), removed));
    ASSERT_NO_FATAL_FAILURE(expect_same(copy, ref, probes(300), removed));
    while (!ref.entries.empty()) {  // down through every index form
      const auto it = std::next(ref.entries.begin(), below(ref.entries.size()));
      ASSERT_EQ(map.remove(it->second.first.trunc()), std::optional(it->second.second));
      ref.entries.erase(it);
      if (ref.entries.size() < 20 || ref.entries.size() % 487 == 0) {
        ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes(300), removed));
      }
    }
    EXPECT_TRUE(map.empty() && map.begin() == map.end());
  }
}

// Many prefixes packed into a few /16s next to sparse ones, so that slots of
// the 16-bit top table keep crossing between few runs over their last 16 bits
// and 8-bit chunks (and blocks) while prefixes come and go; lengths cluster
// at 0, 8, 16, 24, 32 and their neighbours. Each step probes the changed
// prefix, its /16 and the 8-bit chunk edges around it; full checks between.
// Bulk builds across the sizes where the sort changes method and the top
// table widens, from input in random, ascending and descending order, with
// prefixes spread thinly over the /16 slots or crowded into a few, and with
// repeats whose last one stays.
TEST(PrefixMap, BulkBuildInAnyOrderAndSlotShapeMatchesLinearScan) {
  std::mt19937 rng(4242);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  int next = 0;
  for (const std::size_t size : {63U, 64U, 65U, 2047U, 2048U, 3000U}) {
    for (int shape = 0; shape < 3; ++shape) {
      for (int order = 0; order < 3; ++order) {
        SCOPED_TRACE(testing::Message() << size << " shape " << shape << " order " << order);
        const auto address = [&] {
          if (shape == 0) return Ipv4Addr(static_cast<std::uint32_t>(rng()));
          if (shape == 1) return Ipv4Addr(0x0a00'0000U | (below(4) << 16) | (rng() & 0xffff));
          return Ipv4Addr((below(64) << 24) | (below(4) << 16) | (rng() & 0xffff));
        };
        std::vector<Entry> entries;
        Reference ref;
        for (std::size_t i = 0; i < size; ++i) {
          Ipv4Net n = *Ipv4Net::create(address(), below(50) == 0 ? 8 + below(9) : 17 + below(16));
          if (below(6) == 0 && !entries.empty()) n = entries[below(entries.size())].first;
          entries.emplace_back(n, next++);
        }
        if (order == 1) std::sort(entries.begin(), entries.end());
        if (order == 2) std::sort(entries.rbegin(), entries.rend());
        for (const Entry& e : entries) ref.entries[Reference::key(e.first)] = e;
        PrefixMap<int> map;
        map.assign(entries);
        std::vector<Ipv4Addr> probes;
        for (int i = 0; i < 500; ++i) probes.push_back(address());
        ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes));
      }
    }
  }
}

// A bulk build large enough that the sort's words live on huge pages and
// many /16 slots are crowded into 256-slot blocks, in random order with
// repeats: the same map as one insert each, checked against the linear scan
// at sampled addresses and around sampled prefixes.
TEST(PrefixMap, LargeBulkBuildMatchesInsertsAndLinearScan) {
  std::mt19937 rng(777);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  const auto address = [&] {
    if (below(4) == 0) return Ipv4Addr(static_cast<std::uint32_t>(rng()));
    return Ipv4Addr(0x0a00'0000U | below(2048) << 16 | (below(2) ? 0x4000U | below(1024) : rng() & 0xffff));
  };
  std::vector<Entry> entries;
  Reference ref;
  int next = 0;
  while (entries.size() < 140'000) {
    Ipv4Net n = *Ipv4Net::create(address(), below(100) == 0 ? 1 + below(16) : 17 + below(16));
    if (below(8) == 0 && !entries.empty()) {  // a repeat with other host bits: the later one stays
      const Ipv4Net& e = entries[below(entries.size())].first;
      n = *Ipv4Net::create(Ipv4Addr(e.addr().to_u32() ^ (rng() & e.hostmask().to_u32())), e.prefix_len());
    }
    entries.emplace_back(n, next);
    ref.entries[Reference::key(n)] = {n, next++};
  }
  PrefixMap<int> bulk;
  bulk.assign(entries);
  PrefixMap<int> inserted;
  for (const auto& [n, v] : entries) inserted.insert(n, v);
  ASSERT_EQ(bulk.size(), ref.entries.size());
  std::vector<Entry> sorted;
  for (const auto& [k, e] : ref.entries) sorted.push_back(e);
  EXPECT_EQ(std::vector<Entry>(bulk.begin(), bulk.end()), sorted);
  std::vector<Ipv4Addr> probes;
  for (int i = 0; i < 200'000; ++i) probes.push_back(address());
  for (std::size_t i = 0; i < sorted.size(); i += 7)
    for (std::uint32_t a : {sorted[i].first.network().to_u32(), sorted[i].first.broadcast().to_u32()})
      for (std::uint32_t p : {a - 1, a, a + 1}) probes.emplace_back(p);
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const Entry* got = bulk.longest_match(probes[i]);
    const Entry* other = inserted.longest_match(probes[i]);
    ASSERT_EQ(got ? std::optional(*got) : std::nullopt, other ? std::optional(*other) : std::nullopt) << probes[i];
    if (i % 500 == 0) {
      const Entry* want = ref.longest_match(probes[i]);
      ASSERT_EQ(got ? std::optional(*got) : std::nullopt, want ? std::optional(*want) : std::nullopt) << probes[i];
    }
  }
}

// Bulk builds large enough that the sort's words take a mapping of their
// own, with every pass of the sort run and with one skipped (all keys in one
// /8), from a list copied by the sort and from a list of the map's own: the
// same map as one insert each, checked against the linear scan at samples.
TEST(PrefixMap, MappedSortBuildsMatchInsertsAndLinearScan) {
  std::mt19937 rng(271828);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  for (const std::uint32_t spread : {0xffff'ffffU, 0x00ff'ffffU}) {
    SCOPED_TRACE(spread);
    std::vector<Entry> entries;
    int next = 0;
    while (entries.size() < 300'000) {
      const std::uint32_t a = 0x0a00'0000U ^ (static_cast<std::uint32_t>(rng()) & spread);
      entries.emplace_back(*Ipv4Net::create(Ipv4Addr(a), below(100) == 0 ? 8 + below(9) : 17 + below(16)), next++);
      if (below(10) == 0) {  // a repeat: the later one stays
        const Ipv4Net again = entries[below(entries.size())].first;
        entries.emplace_back(again, next++);
      }
    }
    PrefixMap<int> copied, owned, inserted;
    copied.assign(entries);
    owned.assign(PrefixMap<int>::Entries(entries.begin(), entries.end()));
    for (const auto& [n, v] : entries) inserted.insert(n, v);
    ASSERT_EQ(copied.size(), inserted.size());
    ASSERT_EQ(owned.size(), inserted.size());
    EXPECT_TRUE(std::equal(copied.begin(), copied.end(), inserted.begin()));
    EXPECT_TRUE(std::equal(owned.begin(), owned.end(), inserted.begin()));
    for (int i = 0; i < 100'000; ++i) {
      const auto& e = entries[below(entries.size())].first;
      const Ipv4Addr a(below(2) ? e.network().to_u32() + below(3) - 1
                                : 0x0a00'0000U ^ (static_cast<std::uint32_t>(rng()) & spread));
      const Entry *want = inserted.longest_match(a), *got = copied.longest_match(a), *own = owned.longest_match(a);
      ASSERT_EQ(got ? std::optional(*got) : std::nullopt, want ? std::optional(*want) : std::nullopt) << a;
      ASSERT_EQ(own ? std::optional(*own) : std::nullopt, want ? std::optional(*want) : std::nullopt) << a;
    }
    Reference ref;
    for (const Entry& e : entries) ref.entries[Reference::key(e.first)] = e;
    for (int i = 0; i < 100; ++i) {
      const Ipv4Addr a = below(2) ? entries[below(entries.size())].first.network()
                                  : Ipv4Addr(0x0a00'0000U ^ (static_cast<std::uint32_t>(rng()) & spread));
      const Entry *want = ref.longest_match(a), *got = copied.longest_match(a);
      ASSERT_EQ(got ? std::optional(*got) : std::nullopt, want ? std::optional(*want) : std::nullopt) << a;
    }
  }
}

TEST(PrefixMap, SlotsSplitAndMergeAgainstLinearScan) {
  std::mt19937 rng(4242);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  // A few /16s hold many prefixes, the others about as many as a slot of few
  // runs can take; within a /16 mostly in four neighbouring /24s.
  std::vector<std::uint32_t> slots = {0, 0xffff'0000U, static_cast<std::uint32_t>(rng()) & 0xffff'0000U};
  for (int i = 0; i < 300; ++i) slots.push_back(static_cast<std::uint32_t>(rng()) & 0xffff'0000U);
  const unsigned edge_lens[] = {0, 1, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 32};
  const auto prefix = [&] {
    if (below(4) == 0) return *Ipv4Net::create(Ipv4Addr(static_cast<std::uint32_t>(rng())), 16 + below(17));
    const std::uint32_t base = slots[below(4) == 0 ? below(3) : below(slots.size())];
    const std::uint32_t high = below(3) ? 0x40 + below(4) : below(256);
    const std::uint32_t low = below(2) ? below(256) : below(2) ? 0 : 0xff;
    const unsigned len = below(3) == 0 ? edge_lens[below(std::size(edge_lens))] : 17 + below(16);
    return *Ipv4Net::create(Ipv4Addr(base | high << 8 | low), len);
  };
  const auto around = [](const Ipv4Net& n) {
    std::vector<Ipv4Addr> v;
    const std::uint32_t a = n.network().to_u32(), slot = a & 0xffff'0000U, chunk = a & ~0xffU;
    for (std::uint32_t edge : {a, n.broadcast().to_u32() + 1, slot, slot + 0x1'0000U, chunk, chunk + 0x100U})
      for (std::uint32_t p : {edge - 1, edge}) v.emplace_back(p);
    return v;
  };
  int next = 0;
  std::vector<Entry> entries;
  Reference ref;
  while (ref.entries.size() < 3000) {
    const Ipv4Net n = prefix();
    entries.emplace_back(n, next);
    ref.entries[Reference::key(n)] = {n, next++};
  }
  PrefixMap<int> map;
  map.assign(entries);
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}));
  std::vector<Ipv4Net> removed;
  for (int step = 0; step < 5000; ++step) {
    const Ipv4Net n = prefix();
    // Grow for a while, then shrink through the narrow table.
    std::optional<RefIt> victim;
    if (!ref.entries.empty() && below(100) < (step < 2000 ? 40U : 95U))
      victim = std::next(ref.entries.begin(), below(ref.entries.size()));
    ASSERT_NO_FATAL_FAILURE(step_both(map, ref, victim, n, next, removed, around, step));
    if (step == 1999 || step == 4999) {
      SCOPED_TRACE(step);
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}, removed));
      const PrefixMap<int> copy = map;
      map.shrink_to_fit();  // a rebuild from the entries
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}, removed));
      ASSERT_NO_FATAL_FAILURE(expect_same(copy, ref, {}, removed));
    }
  }
}

TEST(PrefixMap, InsertReplacesKeyAndValue) {
  PrefixMap<int> map;
  EXPECT_FALSE(map.insert(net("10.0.0.5/24"), 1).has_value());
  EXPECT_EQ(map.insert(net("10.0.0.7/24"), 2), std::optional<int>(1));
  ASSERT_EQ(map.size(), 1U);
  EXPECT_EQ(*map.longest_match(ip("10.0.0.200")), Entry(net("10.0.0.7/24"), 2));
  *map.get_mut(net("10.0.0.1/24")) = 3;
  EXPECT_EQ(map.longest_match(ip("10.0.0.1"))->second, 3);
  EXPECT_EQ(map.get(net("10.0.0.0/25")), nullptr);
  map.clear();
  EXPECT_TRUE(map.empty() && map.begin() == map.end());
  EXPECT_EQ(map.longest_match(ip("10.0.0.1")), nullptr);
}

TEST(PrefixMap, CopiesAreIndependentAndMovesLeaveEmpty) {
  PrefixMap<int> map;
  for (int i = 0; i < 100; ++i) map.insert(*Ipv4Net::create(Ipv4Addr(static_cast<std::uint32_t>(i) << 20), 12), i);
  PrefixMap<int> copy = map;
  copy.remove(net("0.0.0.0/12"));
  copy.insert(net("0.0.0.0/8"), 1000);
  EXPECT_EQ(map.longest_match(ip("0.0.0.1"))->second, 0);
  EXPECT_EQ(copy.longest_match(ip("0.0.0.1"))->second, 1000);

  PrefixMap<int> moved = std::move(map);
  EXPECT_EQ(moved.size(), 100U);
  EXPECT_EQ(moved.longest_match(ip("0.16.0.1"))->second, 1);
  EXPECT_TRUE(map.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(map.longest_match(ip("0.16.0.1")), nullptr);
  map = std::move(copy);
  EXPECT_EQ(map.longest_match(ip("0.0.0.1"))->second, 1000);
}

// Slots of the 16-bit top table holding a few prefixes under a shorter one
// that covers the slot (lengths 0, 1, 7, 8, 9, 15, 16): the lookup checks
// those few and otherwise takes the cover. Covers and slot prefixes come and
// go in random order, the entries leave key order, the map is rebuilt and
// copied; two levels (source maps of up to six prefixes) are checked too.
// A packed map of 4-byte aligned entries (a 32-byte key beside its prefix)
// holds one in itself without padding to 8 bytes, and still grows into a
// table, copies, moves and shrinks back through every form.
TEST(PrefixMap, PackedMapOfFourByteAlignedEntriesTakesNoPadding) {
  using Key = std::array<std::uint8_t, 32>;
  using KeyMap = PrefixMap<Key, 48, true>;
  static_assert(sizeof(PrefixMap<Key>) == 48);  // not packed
  static_assert(alignof(KeyMap) == 4);
  static_assert(sizeof(KeyMap) == 44);
  static_assert(sizeof(std::pair<Ipv4Net, KeyMap>) == 52);
  const auto key = [](int i) {
    Key k{};
    k[0] = static_cast<std::uint8_t>(i);
    k[31] = static_cast<std::uint8_t>(i >> 8);
    return k;
  };
  std::vector<std::pair<Ipv4Net, KeyMap>> outer(3);  // packed beside each other
  for (int n = 0; n < 40; ++n)
    for (auto& [o, map] : outer) map.insert(*Ipv4Net::create(Ipv4Addr(static_cast<std::uint32_t>(n) << 24), 8), key(n));
  for (auto& [o, map] : outer) {
    ASSERT_EQ(map.size(), 40U);
    EXPECT_EQ(map.longest_match(ip("7.1.2.3"))->second, key(7));
    KeyMap copy = map;
    KeyMap moved = std::move(map);
    for (int n = 0; n < 39; ++n) ASSERT_TRUE(moved.remove(*Ipv4Net::create(Ipv4Addr(static_cast<std::uint32_t>(n) << 24), 8)));
    EXPECT_EQ(moved.longest_match(ip("39.0.0.1"))->second, key(39));
    EXPECT_EQ(moved.longest_match(ip("7.1.2.3")), nullptr);
    EXPECT_EQ(copy.longest_match(ip("7.1.2.3"))->second, key(7));
    map = std::move(copy);
  }
  outer.erase(outer.begin());
  EXPECT_EQ(outer[1].second.longest_match(ip("12.0.0.0"))->second, key(12));
}

TEST(PrefixMap, CoveredSlotsWithFewPrefixesAgainstLinearScan) {
  std::mt19937 rng(31337);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  std::vector<std::uint32_t> slots;
  for (int i = 0; i < 40; ++i) slots.push_back((static_cast<std::uint32_t>(rng()) & 0xffff'0000U) | 0x0a00'0000U);
  slots.push_back(0);
  slots.push_back(0xffff'0000U);
  const unsigned cover_lens[] = {0, 1, 7, 8, 9, 15, 16};
  const unsigned own_lens[] = {17, 23, 24, 25, 31, 32};
  const auto in_slot = [&](std::uint32_t slot) {
    const std::uint32_t low = below(3) ? (0x40 + below(3)) << 8 | below(256) : below(2) ? 0 : 0xffff;
    const unsigned len = below(2) ? own_lens[below(std::size(own_lens))] : 17 + below(16);
    return *Ipv4Net::create(Ipv4Addr(slot | low), len);
  };
  const auto prefix = [&] {
    const std::uint32_t slot = slots[below(slots.size())];
    if (below(5) == 0) return *Ipv4Net::create(Ipv4Addr(slot | below(65536)), cover_lens[below(std::size(cover_lens))]);
    return in_slot(slot);
  };
  const auto around = [](const Ipv4Net& n) {
    std::vector<Ipv4Addr> v;
    const std::uint32_t a = n.network().to_u32(), slot = a & 0xffff'0000U, chunk = a & ~0xffU;
    for (std::uint32_t edge : {a, n.broadcast().to_u32() + 1, slot, slot + 0x1'0000U, chunk, chunk + 0x100U,
                               slot | 0x4000U, slot | 0x4300U})
      for (std::uint32_t p : {edge - 1, edge, edge + 1}) v.emplace_back(p);
    return v;
  };
  // Enough prefixes elsewhere for the 16-bit top table.
  int next = 0;
  std::vector<Entry> entries;
  Reference ref;
  while (ref.entries.size() < 2600) {
    const Ipv4Net n = ref.entries.size() < 2400 ? *Ipv4Net::create(Ipv4Addr(0xc000'0000U | (rng() >> 2)), 17 + below(16))
                                                : prefix();
    entries.emplace_back(n, next);
    ref.entries[Reference::key(n)] = {n, next++};
  }
  PrefixMap<int> map;
  map.assign(entries);
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}));
  std::vector<Ipv4Net> removed;
  for (int step = 0; step < 4000; ++step) {
    const Ipv4Net n = prefix();
    std::optional<RefIt> victim;
    if (below(100) < 45 && !ref.entries.empty()) {
      // Mostly a prefix of the watched slots.
      victim = ref.entries.lower_bound(Reference::key(n));
      if (*victim == ref.entries.end() || below(4) == 0)
        victim = std::next(ref.entries.begin(), below(ref.entries.size()));
    }
    ASSERT_NO_FATAL_FAILURE(step_both(map, ref, victim, n, next, removed, around, step));
    if (step % 2000 == 1999) {
      SCOPED_TRACE(step);
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}, removed));
      const PrefixMap<int> copy = map;
      map.shrink_to_fit();
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, {}, removed));
      ASSERT_NO_FATAL_FAILURE(expect_same(copy, ref, {}, removed));
    }
  }

  // Two levels: each prefix of the watched slots with a source map of up to
  // six prefixes (held in the object, then in a table).
  PrefixMap<PrefixMap<int>> outer;
  std::map<std::pair<Ipv4Addr, unsigned>, std::pair<Ipv4Net, Reference>> refs;
  for (int i = 0; i < 3000; ++i) {
    const Ipv4Net dst = i < 2500 ? *Ipv4Net::create(Ipv4Addr(0xc000'0000U | (rng() >> 2)), 17 + below(16)) : prefix();
    PrefixMap<int> inner;
    Reference inner_ref;
    for (unsigned k = 0, count = below(7); k < count; ++k) {
      const Ipv4Net src = below(2) ? prefix() : in_slot(slots[0]);
      inner.insert(src, next);
      inner_ref.entries[Reference::key(src)] = {src, next++};
    }
    outer.insert(dst, std::move(inner));
    refs[Reference::key(dst)] = {dst, std::move(inner_ref)};
  }
  outer.shrink_to_fit();
  for (int i = 0; i < 6000; ++i) {
    const Ipv4Net d = prefix(), s = below(2) ? prefix() : in_slot(slots[0]);
    const Ipv4Addr dst(d.network().to_u32() | (static_cast<std::uint32_t>(rng()) & d.hostmask().to_u32()));
    const Ipv4Addr src(s.network().to_u32() | (static_cast<std::uint32_t>(rng()) & s.hostmask().to_u32()));
    const std::pair<Ipv4Net, Reference>* want_dst = nullptr;
    for (const auto& [k, r] : refs)
      if (r.first.contains(dst) && (!want_dst || r.first.prefix_len() > want_dst->first.prefix_len())) want_dst = &r;
    const auto* got_dst = outer.longest_match(dst);
    ASSERT_EQ(got_dst ? std::optional(got_dst->first) : std::nullopt,
              want_dst ? std::optional(want_dst->first) : std::nullopt) << dst;
    if (!got_dst) continue;
    const Entry *want = want_dst->second.longest_match(src), *got = got_dst->second.longest_match(src);
    ASSERT_EQ(got ? std::optional(*got) : std::nullopt, want ? std::optional(*want) : std::nullopt)
        << dst << " from " << src;
  }
}

// What a covered slot reads when none of its few prefixes holds the address
// is kept only once some slot has a cover: a table without covers holds no
// such array; covers arrive by inserts (the first one makes it), leave by
// removals, and come with a bulk build; every step against a linear scan.
TEST(PrefixMap, CoverStorageFromNoneToSomeAndBack) {
  std::mt19937 rng(4242);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  // Slots of the 16-bit top table with one to three disjoint prefixes each.
  int next = 0;
  std::vector<Entry> base;
  std::vector<std::uint32_t> watched;
  for (std::uint32_t slot = 0; base.size() < 2600; slot += 0x1'0000U) {
    const std::uint32_t at = 0xc000'0000U | slot;
    if (slot >> 16 < 40) watched.push_back(0x0a00'0000U | slot);
    const unsigned count = 1 + below(3);
    for (unsigned k = 0; k < count; ++k) {
      const std::uint32_t where = (slot >> 16 < 40 ? 0x0a00'0000U | slot : at) | k << 12 | below(16) << 8;
      base.emplace_back(*Ipv4Net::create(Ipv4Addr(where | below(256)), 20 + below(13)), next++);
    }
  }
  const std::vector<Ipv4Net> covers = {net("10.0.0.0/8"), net("10.0.0.0/16"), net("10.4.0.0/14"),
                                       net("10.17.0.0/16"), net("0.0.0.0/0"), net("10.30.0.0/15")};
  const auto around = [](const Ipv4Net& n) {
    std::vector<Ipv4Addr> v;
    const std::uint32_t a = n.network().to_u32();
    for (std::uint32_t edge : {a, n.broadcast().to_u32() + 1, a | 0x1000U, a | 0x2400U, a | 0x3000U})
      for (std::uint32_t p : {edge - 1, edge, edge + 1}) v.emplace_back(p);
    return v;
  };
  std::vector<Ipv4Addr> probes;
  for (std::uint32_t slot : watched)
    for (int i = 0; i < 8; ++i) probes.emplace_back(slot | below(4) << 12 | below(4096));

  // Without covers the bulk build keeps no such array; one cover brings it,
  // four bytes an entry.
  const std::int64_t before = test::thread_heap_bytes();
  PrefixMap<int> map;
  map.assign(base);
  const std::int64_t bare = test::thread_heap_bytes() - before;
  std::vector<Entry> covered = base;
  covered.emplace_back(covers[0], next);
  {
    const std::int64_t at = test::thread_heap_bytes();
    PrefixMap<int> with;
    with.assign(covered);
    EXPECT_GE(test::thread_heap_bytes() - at - bare, static_cast<std::int64_t>(4 * base.size()));
  }
  Reference ref;
  for (const Entry& e : base) ref.entries[Reference::key(e.first)] = e;
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes));

  // Covers arrive one by one, then leave; prefixes under them come and go.
  std::vector<Ipv4Net> removed;
  int step = 0;
  for (const Ipv4Net& c : covers)
    ASSERT_NO_FATAL_FAILURE(step_both(map, ref, std::nullopt, c, next, removed, around, step++));
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes));
  for (int i = 0; i < 60; ++i) {
    const std::uint32_t slot = watched[below(watched.size())];
    const Ipv4Net n = *Ipv4Net::create(Ipv4Addr(slot | below(4) << 12 | below(4096)), 17 + below(16));
    std::optional<RefIt> victim;
    if (below(2) == 0) {
      victim = ref.entries.lower_bound(Reference::key(n));
      if (*victim == ref.entries.end() || (*victim)->second.first.prefix_len() <= 16) victim.reset();
    }
    ASSERT_NO_FATAL_FAILURE(step_both(map, ref, victim, n, next, removed, around, step++));
  }
  {
    const PrefixMap<int> copy = map;
    ASSERT_NO_FATAL_FAILURE(expect_same(copy, ref, probes, removed));
  }
  for (const Ipv4Net& c : covers) {
    const auto victim = ref.entries.find(Reference::key(c));
    ASSERT_NE(victim, ref.entries.end());
    ASSERT_NO_FATAL_FAILURE(step_both(map, ref, victim, c, next, removed, around, step++));
  }
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes, removed));
  map.shrink_to_fit();
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes, removed));

  // Built in bulk with covers, then without them again.
  map.assign(covered);
  ref.entries.clear();
  for (const Entry& e : covered) ref.entries[Reference::key(e.first)] = e;
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes));
  ASSERT_NO_FATAL_FAILURE(step_both(map, ref, ref.entries.find(Reference::key(covers[0])), covers[0], next,
                                    removed, around, step++));
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes, removed));
}

// /16 slots of a handful of prefixes (more runs than a wide chunk holds,
// up to a few past a packed one): one chunk each where the runs allow, built
// in bulk and by inserts, their entry ids near or far apart, with and
// without covers; every change against a linear scan.
TEST(PrefixMap, CrowdedSlotsTakeOneChunkAndMatchLinearScan) {
  std::mt19937 rng(8086);
  const auto below = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  // Six disjoint prefixes in six /24s of a slot: thirteen runs.
  const auto crowded = [&](std::uint32_t slot, std::vector<Entry>& out, int& next) {
    for (std::uint32_t k = 0; k < 6; ++k)
      out.emplace_back(*Ipv4Net::create(Ipv4Addr(slot | (k * 40 + below(30)) << 8 | below(256)), 25 + below(8)),
                       next++);
  };
  int next = 0;
  std::vector<Entry> sparse, packed;
  for (std::uint32_t i = 0; i < 600; ++i) {
    crowded(0x4000'0000U + (i << 16), packed, next);
    for (int k = 0; k < 6; ++k)
      sparse.emplace_back(*Ipv4Net::create(Ipv4Addr(0x2000'0000U | (i * 6 + k) << 16 | below(65536)), 20), next++);
  }
  const auto bytes_of = [](const std::vector<Entry>& entries) {
    const std::int64_t before = test::thread_heap_bytes();
    PrefixMap<int> map;
    map.assign(entries);
    return test::thread_heap_bytes() - before;
  };
  // Against one prefix a slot, the crowded slots' index takes at most a
  // chunk each (and the growth of the chunk array), no 256-slot blocks.
  EXPECT_LE(bytes_of(packed) - bytes_of(sparse), 600 * 160);

  // Crowded slots of five to twelve prefixes, some under covers of up to 16
  // bits, among many prefixes elsewhere.
  std::vector<std::uint32_t> slots;
  for (int i = 0; i < 60; ++i) slots.push_back((static_cast<std::uint32_t>(rng()) & 0x00ff'0000U) | 0x0b00'0000U);
  slots.push_back(0);
  slots.push_back(0xffff'0000U);
  const unsigned cover_lens[] = {0, 8, 12, 15, 16};
  const auto in_slot = [&](std::uint32_t slot) {
    const std::uint32_t low = below(4) ? below(65536) : below(2) ? below(256) : 0xff00U | below(256);
    return *Ipv4Net::create(Ipv4Addr(slot | low), 17 + below(16));
  };
  std::vector<Entry> entries;
  Reference ref;
  while (entries.size() < 2400)
    entries.emplace_back(*Ipv4Net::create(Ipv4Addr(0xc000'0000U | (rng() >> 2)), 17 + below(16)), next++);
  for (std::uint32_t slot : slots) {
    for (unsigned k = 0, count = 5 + below(8); k < count; ++k) entries.emplace_back(in_slot(slot), next++);
    if (below(2)) entries.emplace_back(*Ipv4Net::create(Ipv4Addr(slot), cover_lens[below(5)]), next++);
  }
  std::shuffle(entries.begin(), entries.end(), rng);
  for (const Entry& e : entries) ref.entries[Reference::key(e.first)] = e;
  // Copied from the list by the sort, or sorted from a list of its own.
  PrefixMap<int> map, moved;
  map.assign(entries);
  moved.assign(PrefixMap<int>::Entries(entries.begin(), entries.end()));
  std::vector<Ipv4Addr> probes;
  for (std::uint32_t slot : slots)
    for (int i = 0; i < 64; ++i) probes.emplace_back(slot | below(65536));
  ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes));
  ASSERT_NO_FATAL_FAILURE(expect_same(moved, ref, probes));
  const auto around = [](const Ipv4Net& n) {
    std::vector<Ipv4Addr> v;
    const std::uint32_t a = n.network().to_u32(), slot = a & 0xffff'0000U;
    for (std::uint32_t edge : {a, n.broadcast().to_u32() + 1, slot, slot + 0x1'0000U, slot | 0x8000U, a | 0xffU})
      for (std::uint32_t p : {edge - 1, edge}) v.emplace_back(p);
    return v;
  };
  // Inserts give the slots ids far from their first ones; removals move the
  // last entry into the hole; slots fill past a chunk's runs and drain.
  std::vector<Ipv4Net> removed;
  for (int step = 0; step < 3000; ++step) {
    const std::uint32_t slot = slots[below(slots.size())];
    const Ipv4Net n = below(30) ? in_slot(slot) : *Ipv4Net::create(Ipv4Addr(slot), cover_lens[below(5)]);
    std::optional<RefIt> victim;
    if (below(100) < (step < 1500 ? 40U : 60U)) {
      victim = ref.entries.lower_bound(Reference::key(n));
      if (*victim == ref.entries.end() || below(4) == 0)
        victim = std::next(ref.entries.begin(), below(ref.entries.size()));
    }
    ASSERT_NO_FATAL_FAILURE(step_both(map, ref, victim, n, next, removed, around, step));
    if (step % 1500 == 1499) {
      SCOPED_TRACE(step);
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes, removed));
      const PrefixMap<int> copy = map;
      map.shrink_to_fit();  // a bulk build from the entries
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes, removed));
      ASSERT_NO_FATAL_FAILURE(expect_same(copy, ref, probes, removed));
    }
  }
}

Bytes with(Bytes p, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), p.begin() + static_cast<std::ptrdiff_t>(at));
  return p;
}

TEST(Ipv4Decode, ErrorsInOrderWithTheirTexts) {
  using K = Ipv4DecodeError::Kind;
  const std::string short_text = "not enough data to decode the IPv4 header: 20 byte(s) required, but only ";
  const std::tuple<Bytes, K, std::string> cases[] = {
      {Bytes{}, K::TooShort, short_text + "0 byte(s) present"},
      {with(Bytes(19, 0), 0, {0x45}), K::TooShort, short_text + "19 byte(s) present"},
      {with(Bytes(19, 0), 0, {0x60}), K::TooShort, short_text + "19 byte(s) present"},
      {with(Bytes(19, 0), 0, {0x4F}), K::TooShort, short_text + "19 byte(s) present"},
      {with(Bytes(40, 0), 0, {0x65}), K::NotIpv4, "unexpected IP version 6 (expected 4)"},
      {with(Bytes(40, 0), 0, {0x55}), K::NotIpv4, "unexpected IP version 5 (expected 4)"},
      {with(Bytes(20, 0), 0, {0x44}), K::BadIhl, "IPv4 header length (IHL) 4 is below the minimum of 5"},
      {with(Bytes(20, 0), 0, {0x46}), K::ShorterThanHeader,
       "not enough data to decode the IPv4 header: 24 byte(s) required, but only 20 byte(s) present"},
  };
  for (const auto& [packet, kind, text] : cases) {
    const auto r = Ipv4HeaderView::decode(packet);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(r.error().kind, kind) << text;
    EXPECT_EQ(r.error().to_string(), text);
  }
  EXPECT_EQ(Ipv4HeaderView::decode(with(Bytes(24, 0), 0, {0x46}))->header_len(), 24u);
}

TEST(Ipv4Decode, Fields) {
  const auto p = ipv4_packet({.src = "10.1.2.3", .dst = "10.4.5.6", .protocol = 6, .payload = 30,
                              .dont_fragment = true, .fragment_offset = 0x1ABC, .more_fragments = true});
  const auto h = *Ipv4HeaderView::decode(p);
  EXPECT_EQ(h.source(), ip("10.1.2.3"));
  EXPECT_EQ(h.destination(), ip("10.4.5.6"));
  EXPECT_EQ(h.protocol(), 6);
  EXPECT_EQ(h.total_len(), 50);
  EXPECT_TRUE(h.dont_fragment() && h.more_fragments());
  EXPECT_EQ(h.fragment_offset(), 0x1ABC);
  EXPECT_EQ(h.ttl(), 64);
}

Bytes icmp_packet(std::uint8_t type) {
  return with(ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .protocol = 1, .payload = 16}), 20, {type, 0});
}

TEST(IcmpGuard, NeverAnswersErrorsLaterFragmentsOrNonUnicast) {
  std::vector<std::pair<Bytes, bool>> cases = {
      {icmp_packet(8), true},
      {icmp_packet(0), true},
      {ipv4_packet({.protocol = 6, .dont_fragment = true}), true},
      {ipv4_packet({.payload = 1000, .more_fragments = true}), true},  // first fragment
      {ipv4_packet({.src = "223.255.255.254", .dst = "240.0.0.1"}), true},
      {ipv4_packet({.protocol = 1, .payload = 0}), false},  // truncated ICMP
      {ipv4_packet({.fragment_offset = 185}), false},
      {ipv4_packet({.fragment_offset = 1, .more_fragments = true}), false},
  };
  for (std::uint8_t type : {3, 11, 5, 4, 12, 42, 255}) cases.emplace_back(icmp_packet(type), false);
  // Sources that name no single host: unspecified, loopback, multicast, reserved.
  for (const char* src : {"0.0.0.0", "127.0.0.1", "127.255.0.9", "224.0.0.1", "239.255.255.255", "240.0.0.1",
                          "255.255.255.254", "255.255.255.255"})
    cases.emplace_back(ipv4_packet({.src = src, .dst = "10.0.0.2"}), false);
  for (const char* dst : {"255.255.255.255", "224.0.0.0", "239.1.2.3"})
    cases.emplace_back(ipv4_packet({.src = "10.0.0.1", .dst = dst}), false);
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(may_answer_with_icmp_error(*Ipv4HeaderView::decode(cases[i].first)), cases[i].second) << i;
  // The directed broadcast of one of our networks; /31 and /32 have none.
  const Ipv4Net ours[] = {net("10.0.0.1/24"), net("10.9.0.0/31"), net("10.8.0.1/32")};
  for (const auto& [dst, answered] : {std::pair{"10.0.0.255", false}, {"10.0.0.254", true}, {"10.9.0.1", true},
                                      {"10.8.0.1", true}, {"10.1.0.255", true}})
    EXPECT_EQ(may_answer_with_icmp_error(*Ipv4HeaderView::decode(ipv4_packet({.dst = dst})), ours), answered)
        << dst;
}

// Checks every byte of an ICMP destination-unreachable reply to `orig`.
void expect_icmp_reply(const IcmpBuffer& out, std::size_t len, const Bytes& orig, std::uint8_t code,
                       std::uint16_t word2, std::size_t quoted) {
  ASSERT_EQ(len, 28 + quoted);
  const auto be16 = [](const std::uint8_t* p) { return (p[0] << 8) | p[1]; };
  const std::uint8_t* b = out.data();
  EXPECT_EQ(Bytes(b, b + 2), (Bytes{0x45, 0x00}));
  EXPECT_EQ(std::size_t(be16(b + 2)), 28 + quoted);
  EXPECT_EQ(Bytes(b + 4, b + 10), (Bytes{0, 0, 0x40, 0, 64, 1}));                   // id 0, DF, TTL 64, ICMP
  EXPECT_EQ(Bytes(b + 12, b + 16), Bytes(orig.begin() + 16, orig.begin() + 20));  // from its destination
  EXPECT_EQ(Bytes(b + 16, b + 20), Bytes(orig.begin() + 12, orig.begin() + 16));  // to its source
  EXPECT_EQ(test::ones_sum({b, 20}), 0xFFFF) << "IPv4 header checksum";

  const std::uint8_t* icmp = b + 20;
  EXPECT_EQ(Bytes(icmp, icmp + 2), (Bytes{3, code}));
  EXPECT_EQ(be16(icmp + 4), 0);
  EXPECT_EQ(be16(icmp + 6), word2);
  EXPECT_EQ(Bytes(icmp + 8, icmp + 8 + quoted), Bytes(orig.begin(), orig.begin() + std::ptrdiff_t(quoted)));
  EXPECT_EQ(test::ones_sum({icmp, 8 + quoted}), 0xFFFF) << "ICMP checksum";
}

TEST(IcmpReply, QuotesTheHeaderAndEightBytesOrTheWholeShortPacket) {
  struct Case {
    std::uint8_t ihl;
    std::size_t size, quoted;
  };
  // 23: odd ICMP length.
  for (const auto [ihl, size, quoted] : {Case{5, 1500, 28}, Case{5, 24, 24}, Case{5, 23, 23}, Case{5, 20, 20},
                                         Case{6, 80, 32}, Case{15, 80, 68}}) {
    SCOPED_TRACE(size);
    auto p = ipv4_packet({.src = "192.168.7.9", .dst = "10.0.0.1", .payload = size - 20, .dont_fragment = true});
    p[0] = static_cast<std::uint8_t>(0x40 | ihl);
    const auto h = *Ipv4HeaderView::decode(p);
    IcmpBuffer out;
    out.fill(0xEE);
    expect_icmp_reply(out, build_icmp_host_unreachable(h, out), p, 1, 0, quoted);
    out.fill(0xEE);
    expect_icmp_reply(out, build_icmp_fragmentation_needed(h, 0xABCD, out), p, 4, 0xABCD, quoted);
  }
  EXPECT_EQ(kMaxIcmpErrorLen, 28 + 68u);  // the IHL 15 reply fills the buffer
}

// A minimal IPv4/UDP packet of `size` bytes with the control magic after the
// UDP header.
Bytes control_packet(std::size_t size, std::uint8_t ihl = 5) {
  Bytes p(size, 0);
  p[0] = static_cast<std::uint8_t>(0x40 | ihl);
  p[9] = 17;
  const std::size_t at = std::size_t{ihl} * 4 + 8;
  for (std::size_t i = 0; i < 4 && at + i < size; ++i) p[at + i] = kControlMagic[i];
  return p;
}

TEST(ControlPacket, Table) {
  const std::pair<Bytes, bool> cases[] = {
      {control_packet(32), true},
      {control_packet(200), true},
      {control_packet(72, 15), true},
      {control_packet(40, 15), false},  // shorter than its header
      {with(with(control_packet(80, 15), 28, {0x1E, 0x3F, 0x50, 0x01}), 68, {0}), false},  // magic after 20 bytes
      {with(control_packet(48), 0, {0x65}), false},
      {with(control_packet(32), 9, {6}), false},
      {with(control_packet(32), 9, {1}), false},
      {with(control_packet(32), 28, {0x01, 0x50, 0x3F, 0x1E}), false},
      {with(control_packet(32), 2, {0xFF, 0xFF}), true},  // total length is not read
      {with(control_packet(32), 2, {0, 5}), true},
      {with(control_packet(32), 6, {0x21, 0x23}), true},  // nor the fragment fields
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(is_sarvolt_control_packet(cases[i].first), cases[i].second) << i;
  // Cuts of valid packets; a read past the cut would find the real bytes.
  const Bytes whole = control_packet(32), big = control_packet(72, 15);
  for (std::size_t n = 0; n < 32; ++n) EXPECT_FALSE(is_sarvolt_control_packet(std::span(whole).first(n))) << n;
  EXPECT_FALSE(is_sarvolt_control_packet(std::span(big).first(71)));
  for (std::uint8_t ihl = 0; ihl < 5; ++ihl) {  // magic where the short header would put it
    auto p = with(control_packet(48), ihl * 4u + 8, {0x1E, 0x3F, 0x50, 0x01});
    p[0] = static_cast<std::uint8_t>(0x40 | ihl);
    EXPECT_FALSE(is_sarvolt_control_packet(p)) << int{ihl};
  }
}


// On a decoded header the test answers as on the bytes, for every packet
// that decodes, and reads no further.
TEST(ControlPacket, DecodedHeaderAnswersAsTheBytes) {
  std::vector<Bytes> packets = {control_packet(32), control_packet(200), control_packet(72, 15),
                                control_packet(40, 15), with(control_packet(32), 9, {6}),
                                with(control_packet(32), 28, {0x01, 0x50, 0x3F, 0x1E})};
  const Bytes whole = control_packet(32), big = control_packet(72, 15);
  for (std::size_t n = 20; n <= 32; ++n) packets.emplace_back(whole.begin(), whole.begin() + static_cast<long>(n));
  packets.emplace_back(big.begin(), big.end() - 1);
  std::size_t decoded = 0, control = 0;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const auto hdr = Ipv4HeaderView::decode(packets[i]);
    if (!hdr) continue;
    ++decoded;
    control += is_sarvolt_control_packet(*hdr);
    EXPECT_EQ(is_sarvolt_control_packet(*hdr), is_sarvolt_control_packet(packets[i])) << i;
  }
  EXPECT_EQ(decoded, packets.size() - 1);  // all but the one shorter than its header
  EXPECT_EQ(control, 4u);
}

}  // namespace
}  // namespace sarvolt::util
