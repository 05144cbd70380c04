#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "util/prefix_map.hpp"

namespace sarvolt::util {
namespace {

using Entry = std::pair<Ipv4Net, int>;

Ipv4Net net(std::string_view s) { return *Ipv4Net::parse(s); }
Ipv4Addr addr(std::string_view s) { return *Ipv4Addr::parse(s); }

// Brute-force model keyed by (network, length), so it iterates in map order.
struct Reference {
  std::map<std::pair<Ipv4Addr, unsigned>, Entry> entries;

  static std::pair<Ipv4Addr, unsigned> key(const Ipv4Net& n) { return {n.network(), n.prefix_len()}; }
  void insert(const Ipv4Net& n, int v) { entries[key(n)] = {n, v}; }
  const Entry* longest_match(Ipv4Addr a) const {
    const Entry* best = nullptr;
    for (const auto& [k, e] : entries)
      if (e.first.contains(a) && (!best || e.first.prefix_len() > best->first.prefix_len())) best = &e;
    return best;
  }
};

struct Random {
  std::mt19937 rng;
  std::uint32_t u32() { return static_cast<std::uint32_t>(rng()); }
  unsigned below(std::size_t n) { return static_cast<unsigned>(rng() % n); }
  // Half the addresses fall in 10.0.0.0/14 so prefixes nest and chunks fill up.
  Ipv4Addr address() { return Ipv4Addr(below(2) ? u32() : 0x0a00'0000U | (u32() >> 14)); }
  Ipv4Net prefix() {
    const unsigned r = below(100);
    const unsigned len = r == 0 ? 0 : r < 3 ? 32 : r < 8 ? 4 + below(12) : 16 + below(17);
    return *Ipv4Net::create(address(), len);
  }
};

void expect_same(const PrefixMap<int>& map, const Reference& ref, const std::vector<Ipv4Addr>& probes) {
  ASSERT_EQ(map.size(), ref.entries.size());
  for (Ipv4Addr a : probes) {
    const Entry* want = ref.longest_match(a);
    const Entry* got = map.longest_match(a);
    ASSERT_EQ(got == nullptr, want == nullptr) << a;
    if (want) {
      ASSERT_EQ(*got, *want) << a;
    }
  }
  std::vector<Entry> sorted;
  for (const auto& [k, e] : ref.entries) {
    sorted.push_back(e);
    const int* got = map.get(*Ipv4Net::create(e.first.broadcast(), e.first.prefix_len()));
    ASSERT_NE(got, nullptr) << e.first;
    EXPECT_EQ(*got, e.second) << e.first;
  }
  EXPECT_EQ(std::vector<Entry>(map.begin(), map.end()), sorted);
  std::vector<Entry> visited;
  map.for_each([&](const Ipv4Net& k, const int& v) { visited.emplace_back(k, v); });
  EXPECT_EQ(visited, sorted);
}

// Random addresses plus the edges of every prefix present or removed.
std::vector<Ipv4Addr> probes_for(const Reference& ref, std::vector<Ipv4Net> edges, Random& rnd, int random_count) {
  std::vector<Ipv4Addr> probes;
  for (int i = 0; i < random_count; ++i) probes.push_back(rnd.address());
  for (const auto& [k, e] : ref.entries) edges.push_back(e.first);
  for (const Ipv4Net& n : edges) {
    for (std::uint32_t a : {n.network().to_u32(), n.broadcast().to_u32()}) {
      for (std::uint32_t p : {a - 1, a, a + 1}) probes.emplace_back(p);
    }
  }
  return probes;
}

// Grows through every index form (list, narrow trie, wide trie) and shrinks back.
TEST(PrefixMap, MatchesBruteForceAcrossSizes) {
  Random rnd{std::mt19937(20240611)};
  PrefixMap<int> map;
  Reference ref;
  std::vector<Ipv4Net> removed;
  int next = 0;
  for (std::size_t target : {10U, 300U, 3000U}) {
    while (ref.entries.size() < target) {
      Ipv4Net n = rnd.prefix();
      if (rnd.below(10) == 0 && !ref.entries.empty()) {
        // An existing prefix again, with other host bits.
        const Ipv4Net& e = std::next(ref.entries.begin(), rnd.below(ref.entries.size()))->second.first;
        n = *Ipv4Net::create(Ipv4Addr(e.addr().to_u32() ^ (rnd.u32() & e.hostmask().to_u32())),
                             e.prefix_len());
      }
      const int* before = map.get(n);
      ASSERT_EQ(map.insert(n, next).has_value(), before != nullptr) << n;
      ref.insert(n, next++);
    }
    SCOPED_TRACE(target);
    expect_same(map, ref, probes_for(ref, removed, rnd, target == 3000 ? 20000 : 2000));
  }
  for (std::size_t target : {1500U, 400U, 5U, 0U}) {
    while (ref.entries.size() > target) {
      const auto it = std::next(ref.entries.begin(), rnd.below(ref.entries.size()));
      const Ipv4Net n = it->second.first;
      // Removal is by normalised prefix, whatever the host bits.
      EXPECT_EQ(map.remove(n.trunc()), std::optional<int>(it->second.second)) << n;
      ref.entries.erase(it);
      removed.push_back(n);
      EXPECT_FALSE(map.remove(n).has_value());
    }
    SCOPED_TRACE(target);
    expect_same(map, ref, probes_for(ref, removed, rnd, 2000));
  }
  EXPECT_TRUE(map.empty());
}

// Every length at one address, inserted and removed in shuffled orders.
TEST(PrefixMap, NestedPrefixesInAnyOrder) {
  std::mt19937 rng(7);
  const Ipv4Addr base = addr("10.20.30.40");
  std::vector<Ipv4Net> chain;
  std::vector<Ipv4Addr> probes;
  for (unsigned len = 0; len <= 32; ++len) {
    chain.push_back(*Ipv4Net::create(base, len));
    probes.push_back(chain[len].network());
    probes.push_back(chain[len].broadcast());
    probes.emplace_back(base.to_u32() ^ (1U << (32 - std::max(len, 1U))));
  }
  for (int round = 0; round < 4; ++round) {
    PrefixMap<int> map;
    Reference ref;
    std::shuffle(chain.begin(), chain.end(), rng);
    for (const Ipv4Net& n : chain) {
      map.insert(n, n.prefix_len());
      ref.insert(n, n.prefix_len());
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes)) << "after inserting " << n;
    }
    std::shuffle(chain.begin(), chain.end(), rng);
    for (const Ipv4Net& n : chain) {
      ASSERT_EQ(map.remove(n), std::optional<int>(n.prefix_len()));
      ref.entries.erase(Reference::key(n));
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes)) << "after removing " << n;
    }
  }
}

TEST(PrefixMap, InsertReplacesKeyAndValue) {
  PrefixMap<int> map;
  EXPECT_FALSE(map.insert(net("10.0.0.5/24"), 1).has_value());
  EXPECT_EQ(map.insert(net("10.0.0.7/24"), 2), std::optional<int>(1));
  ASSERT_EQ(map.size(), 1U);
  EXPECT_EQ(*map.longest_match(addr("10.0.0.200")), Entry(net("10.0.0.7/24"), 2));
  *map.get_mut(net("10.0.0.1/24")) = 3;
  EXPECT_EQ(map.longest_match(addr("10.0.0.1"))->second, 3);
  EXPECT_EQ(map.get(net("10.0.0.0/25")), nullptr);
  map.clear();
  EXPECT_TRUE(map.empty() && map.begin() == map.end());
  EXPECT_EQ(map.longest_match(addr("10.0.0.1")), nullptr);
}

TEST(PrefixMap, CopiesAreIndependentAndMovesLeaveEmpty) {
  PrefixMap<int> map;
  for (std::uint32_t i = 0; i < 100; ++i) map.insert(*Ipv4Net::create(Ipv4Addr(i << 20), 12), i);
  PrefixMap<int> copy = map;
  copy.remove(net("0.0.0.0/12"));
  copy.insert(net("0.0.0.0/8"), 1000);
  EXPECT_EQ(map.longest_match(addr("0.0.0.1"))->second, 0);
  EXPECT_EQ(copy.longest_match(addr("0.0.0.1"))->second, 1000);

  PrefixMap<int> moved = std::move(map);
  EXPECT_EQ(moved.size(), 100U);
  EXPECT_EQ(moved.longest_match(addr("0.16.0.1"))->second, 1);
  EXPECT_TRUE(map.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(map.longest_match(addr("0.16.0.1")), nullptr);
  map = std::move(copy);
  EXPECT_EQ(map.longest_match(addr("0.0.0.1"))->second, 1000);
}

}  // namespace
}  // namespace sarvolt::util
