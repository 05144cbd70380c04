#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "util/prefix_map.hpp"

namespace sarvolt::util {
namespace {

Ipv4Net net(std::string_view s) { return *Ipv4Net::parse(s); }
Ipv4Addr addr(std::string_view s) { return *Ipv4Addr::parse(s); }

// Brute-force model: entries as inserted, one per normalised prefix.
struct Reference {
  std::vector<std::pair<Ipv4Net, int>> entries;

  std::pair<Ipv4Net, int>* find(const Ipv4Net& n) {
    for (auto& e : entries)
      if (e.first.trunc() == n.trunc()) return &e;
    return nullptr;
  }
  void insert(const Ipv4Net& n, int v) {
    if (auto* e = find(n)) *e = {n, v};
    else entries.emplace_back(n, v);
  }
  bool remove(const Ipv4Net& n) {
    auto* e = find(n);
    if (!e) return false;
    entries.erase(entries.begin() + (e - entries.data()));
    return true;
  }
  const std::pair<Ipv4Net, int>* longest_match(Ipv4Addr a) const {
    const std::pair<Ipv4Net, int>* best = nullptr;
    for (const auto& e : entries)
      if (e.first.contains(a) && (!best || e.first.prefix_len() > best->first.prefix_len()))
        best = &e;
    return best;
  }
};

class Random {
 public:
  explicit Random(unsigned seed) : rng_(seed) {}
  std::uint32_t u32() { return static_cast<std::uint32_t>(rng_()); }
  unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  // Half the addresses fall in 10.0.0.0/14 so prefixes nest and chunks fill up.
  Ipv4Addr address() { return Ipv4Addr(below(2) ? u32() : 0x0a00'0000U | (u32() >> 14)); }
  Ipv4Net prefix() {
    const unsigned r = below(100);
    const unsigned len = r == 0 ? 0 : r < 3 ? 32 : r < 8 ? 4 + below(12) : 16 + below(17);
    return *Ipv4Net::create(address(), len);
  }

 private:
  std::mt19937 rng_;
};

void expect_same(const PrefixMap<int>& map, const Reference& ref,
                 const std::vector<Ipv4Addr>& probes) {
  ASSERT_EQ(map.size(), ref.entries.size());
  for (Ipv4Addr a : probes) {
    const auto* want = ref.longest_match(a);
    const auto* got = map.longest_match(a);
    ASSERT_EQ(got == nullptr, want == nullptr) << a;
    if (want) {
      ASSERT_EQ(got->first, want->first) << a;
      ASSERT_EQ(got->second, want->second) << a;
    }
  }
  for (const auto& [n, v] : ref.entries) {
    const int* got = map.get(*Ipv4Net::create(n.broadcast(), n.prefix_len()));
    ASSERT_NE(got, nullptr) << n;
    EXPECT_EQ(*got, v) << n;
  }
  auto sorted = ref.entries;
  std::sort(sorted.begin(), sorted.end(), [](const auto& x, const auto& y) {
    return std::pair(x.first.network(), x.first.prefix_len()) <
           std::pair(y.first.network(), y.first.prefix_len());
  });
  std::vector<std::pair<Ipv4Net, int>> walked(map.begin(), map.end());
  ASSERT_EQ(walked, sorted);
  std::size_t n = 0;
  map.for_each([&](const Ipv4Net& k, const int& v) {
    ASSERT_LT(n, sorted.size());
    EXPECT_EQ(std::pair(k, v), sorted[n++]);
  });
  EXPECT_EQ(n, sorted.size());
}

// Random addresses plus the edges of every prefix present or removed.
std::vector<Ipv4Addr> probes_for(const Reference& ref, const std::vector<Ipv4Net>& removed,
                                 Random& rnd, int random_count) {
  std::vector<Ipv4Addr> probes;
  for (int i = 0; i < random_count; ++i) probes.push_back(rnd.address());
  std::vector<Ipv4Net> edges = removed;
  for (const auto& e : ref.entries) edges.push_back(e.first);
  for (const Ipv4Net& n : edges) {
    for (std::uint32_t a : {n.network().to_u32(), n.broadcast().to_u32()}) {
      probes.emplace_back(a);
      probes.emplace_back(a - 1);
      probes.emplace_back(a + 1);
    }
  }
  return probes;
}

// Grows through every index form (list, narrow trie, wide trie) and shrinks
// back, checking against the model at each stage.
TEST(PrefixMap, MatchesBruteForceAcrossSizes) {
  Random rnd(20240611);
  PrefixMap<int> map;
  Reference ref;
  std::vector<Ipv4Net> removed;
  int next = 0;
  for (std::size_t target : {10U, 300U, 3000U}) {
    while (ref.entries.size() < target) {
      Ipv4Net n = rnd.prefix();
      if (rnd.below(10) == 0 && !ref.entries.empty()) {
        // An existing prefix again, with other host bits.
        const Ipv4Net& e = ref.entries[rnd.below(ref.entries.size())].first;
        n = *Ipv4Net::create(Ipv4Addr(e.addr().to_u32() ^ (rnd.u32() & e.hostmask().to_u32())),
                             e.prefix_len());
      }
      const int* before = map.get(n);
      const std::optional<int> old = map.insert(n, next);
      ASSERT_EQ(old.has_value(), before != nullptr) << n;
      ref.insert(n, next++);
    }
    SCOPED_TRACE(target);
    expect_same(map, ref, probes_for(ref, removed, rnd, target == 3000 ? 20000 : 2000));
  }
  for (std::size_t target : {1500U, 400U, 5U, 0U}) {
    while (ref.entries.size() > target) {
      const Ipv4Net n = ref.entries[rnd.below(ref.entries.size())].first;
      // Removal is by normalised prefix, whatever the host bits.
      const Ipv4Net alias = *Ipv4Net::create(n.network(), n.prefix_len());
      const std::optional<int> got = map.remove(alias);
      ASSERT_TRUE(got.has_value()) << n;
      EXPECT_EQ(*got, ref.find(n)->second);
      ref.remove(n);
      removed.push_back(n);
      EXPECT_FALSE(map.remove(n).has_value());
    }
    SCOPED_TRACE(target);
    expect_same(map, ref, probes_for(ref, removed, rnd, 2000));
  }
  EXPECT_TRUE(map.empty());
}

// Every length at one address, inserted and removed in shuffled orders; the
// map passes through the list and trie forms on the way.
TEST(PrefixMap, NestedPrefixesInAnyOrder) {
  std::mt19937 rng(7);
  const Ipv4Addr base = addr("10.20.30.40");
  std::vector<Ipv4Net> chain;
  for (unsigned len = 0; len <= 32; ++len) chain.push_back(*Ipv4Net::create(base, len));
  std::vector<Ipv4Addr> probes;
  for (unsigned len = 0; len <= 32; ++len) {
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
      ref.remove(n);
      ASSERT_NO_FATAL_FAILURE(expect_same(map, ref, probes)) << "after removing " << n;
    }
  }
}

TEST(PrefixMap, InsertReplacesKeyAndValue) {
  PrefixMap<int> map;
  EXPECT_FALSE(map.insert(net("10.0.0.5/24"), 1).has_value());
  EXPECT_EQ(map.insert(net("10.0.0.7/24"), 2), std::optional<int>(1));
  ASSERT_EQ(map.size(), 1U);
  EXPECT_EQ(map.begin()->first.to_string(), "10.0.0.7/24");
  EXPECT_EQ(*map.get(net("10.0.0.0/24")), 2);
  const auto* m = map.longest_match(addr("10.0.0.200"));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->first, net("10.0.0.7/24"));
  EXPECT_EQ(m->second, 2);
  *map.get_mut(net("10.0.0.1/24")) = 3;
  EXPECT_EQ(map.longest_match(addr("10.0.0.1"))->second, 3);
  EXPECT_EQ(map.get(net("10.0.0.0/25")), nullptr);
}

TEST(PrefixMap, EmptyAndDefaultRoute) {
  PrefixMap<int> map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.longest_match(addr("1.2.3.4")), nullptr);
  EXPECT_EQ(map.get(net("0.0.0.0/0")), nullptr);
  EXPECT_FALSE(map.remove(net("0.0.0.0/0")).has_value());
  EXPECT_TRUE(map.begin() == map.end());

  map.insert(net("0.0.0.0/0"), 7);
  for (const char* a : {"0.0.0.0", "127.0.0.1", "255.255.255.255"}) {
    ASSERT_NE(map.longest_match(addr(a)), nullptr) << a;
    EXPECT_EQ(map.longest_match(addr(a))->second, 7) << a;
  }
  map.clear();
  EXPECT_EQ(map.longest_match(addr("1.2.3.4")), nullptr);
  EXPECT_EQ(map.size(), 0U);
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

TEST(PrefixMap, NestedMapsLookUpByDestinationThenSource) {
  PrefixMap<PrefixMap<int>> rules;
  PrefixMap<int> from_lan;
  from_lan.insert(net("192.168.0.0/16"), 1);
  from_lan.insert(net("192.168.1.7/32"), 2);
  rules.insert(net("10.0.0.0/8"), from_lan);
  rules.insert(net("10.1.0.0/16"), PrefixMap<int>());
  const auto lookup = [&](const char* dst, const char* src) {
    const auto* d = rules.longest_match(addr(dst));
    const auto* s = d ? d->second.longest_match(addr(src)) : nullptr;
    return s ? s->second : 0;
  };
  EXPECT_EQ(lookup("10.2.0.1", "192.168.1.7"), 2);
  EXPECT_EQ(lookup("10.2.0.1", "192.168.1.8"), 1);
  EXPECT_EQ(lookup("10.2.0.1", "172.16.0.1"), 0);
  EXPECT_EQ(lookup("10.1.0.1", "192.168.1.7"), 0);
  EXPECT_EQ(lookup("11.0.0.1", "192.168.1.7"), 0);
}

}  // namespace
}  // namespace sarvolt::util
