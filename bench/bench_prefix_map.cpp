// Longest-prefix lookups: PrefixMap against a sorted-vector baseline over the
// same prefixes, one level (destination) and two levels (destination, then
// source in the destination's map). Times are per lookup.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "util/prefix_map.hpp"

namespace {

using sarvolt::util::Ipv4Addr;
using sarvolt::util::Ipv4Net;
using sarvolt::util::PrefixMap;

constexpr std::size_t kProbes = 1 << 14;  // lookup addresses, indexed with a mask

// Sorted by (network, length); longest match is the last entry whose network
// is <= the address, or the nearest of its ancestors that contains it.
template <class V>
class SortedPrefixes {
 public:
  explicit SortedPrefixes(std::vector<std::pair<Ipv4Net, V>> entries) {
    for (auto& e : entries) e.first = e.first.trunc();
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return std::pair(a.first.addr(), a.first.prefix_len()) <
             std::pair(b.first.addr(), b.first.prefix_len());
    });
    // Last insert wins for duplicates.
    std::vector<std::pair<Ipv4Net, V>> unique;
    for (auto& e : entries) {
      if (!unique.empty() && unique.back().first == e.first) unique.back() = std::move(e);
      else unique.push_back(std::move(e));
    }
    std::vector<std::uint32_t> open;  // stack of enclosing entries
    for (std::uint32_t i = 0; i < unique.size(); ++i) {
      while (!open.empty() && !unique[open.back()].first.contains(unique[i].first)) open.pop_back();
      parent_.push_back(open.empty() ? kNone : open.back());
      open.push_back(i);
      starts_.push_back(unique[i].first.addr().to_u32());
      masks_.push_back(unique[i].first.netmask().to_u32());
    }
    entries_ = std::move(unique);
  }

  const std::pair<Ipv4Net, V>* longest_match(Ipv4Addr addr) const {
    const std::uint32_t x = addr.to_u32();
    const auto pos = std::upper_bound(starts_.begin(), starts_.end(), x);
    std::uint32_t i = pos == starts_.begin() ? kNone : static_cast<std::uint32_t>(pos - starts_.begin() - 1);
    while (i != kNone && (x & masks_[i]) != starts_[i]) i = parent_[i];
    return i == kNone ? nullptr : &entries_[i];
  }

 private:
  static constexpr std::uint32_t kNone = ~0U;
  std::vector<std::uint32_t> starts_;
  std::vector<std::uint32_t> masks_;
  std::vector<std::uint32_t> parent_;
  std::vector<std::pair<Ipv4Net, V>> entries_;
};

// Mostly /16../32, one in a hundred /8../15.
Ipv4Net random_prefix(std::mt19937& rng) {
  const unsigned len = rng() % 100 == 0 ? 8 + rng() % 8 : 16 + rng() % 17;
  return *Ipv4Net::create(Ipv4Addr(static_cast<std::uint32_t>(rng())), len);
}

Ipv4Addr random_inside(std::mt19937& rng, const Ipv4Net& n) {
  return Ipv4Addr(n.network().to_u32() | (static_cast<std::uint32_t>(rng()) & n.hostmask().to_u32()));
}

struct OneLevel {
  std::vector<std::pair<Ipv4Net, int>> prefixes;
  std::vector<Ipv4Addr> hits;
  std::vector<Ipv4Addr> misses;
  PrefixMap<int> map;
  std::unique_ptr<SortedPrefixes<int>> sorted;
};

const OneLevel& one_level(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<OneLevel>> cache;
  auto& slot = cache[n];
  if (slot) return *slot;
  slot = std::make_unique<OneLevel>();
  OneLevel& d = *slot;
  std::mt19937 rng(static_cast<unsigned>(n));
  for (std::size_t i = 0; i < n; ++i) d.prefixes.emplace_back(random_prefix(rng), static_cast<int>(i));
  for (const auto& [net, v] : d.prefixes) d.map.insert(net, v);
  d.sorted = std::make_unique<SortedPrefixes<int>>(d.prefixes);
  for (std::size_t i = 0; i < kProbes; ++i)
    d.hits.push_back(random_inside(rng, d.prefixes[rng() % n].first));
  for (int tries = 0; d.misses.size() < kProbes && tries < 100 * static_cast<int>(kProbes); ++tries) {
    const Ipv4Addr a(static_cast<std::uint32_t>(rng()));
    if (!d.sorted->longest_match(a)) d.misses.push_back(a);
  }
  if (d.misses.size() < kProbes) throw std::runtime_error("too few uncovered addresses");
  for (std::size_t i = 0; i < kProbes; ++i) {
    for (Ipv4Addr a : {d.hits[i], d.misses[i]}) {
      const auto* m = d.map.longest_match(a);
      const auto* s = d.sorted->longest_match(a);
      if ((m == nullptr) != (s == nullptr) || (m && m->second != s->second))
        throw std::runtime_error("map and baseline disagree");
    }
  }
  return d;
}

template <class Index>
void run_one_level(benchmark::State& state, const Index& index, const std::vector<Ipv4Addr>& probes) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(index.longest_match(probes[i++ & (kProbes - 1)]));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Map_Hit(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, d.map, d.hits);
}
void BM_Map_Miss(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, d.map, d.misses);
}
void BM_Sorted_Hit(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, *d.sorted, d.hits);
}
void BM_Sorted_Miss(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, *d.sorted, d.misses);
}

// Destinations map to source maps of one to four prefixes.
struct TwoLevel {
  PrefixMap<PrefixMap<int>> map;
  std::unique_ptr<SortedPrefixes<SortedPrefixes<int>>> sorted;
  std::vector<std::pair<Ipv4Addr, Ipv4Addr>> probes;  // (destination, source)
};

const TwoLevel& two_level(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<TwoLevel>> cache;
  auto& slot = cache[n];
  if (slot) return *slot;
  slot = std::make_unique<TwoLevel>();
  TwoLevel& d = *slot;
  std::mt19937 rng(static_cast<unsigned>(n) + 1);
  std::vector<std::pair<Ipv4Net, std::vector<std::pair<Ipv4Net, int>>>> rules;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::pair<Ipv4Net, int>> sources;
    for (unsigned k = 0, count = 1 + rng() % 4; k < count; ++k)
      sources.emplace_back(random_prefix(rng), static_cast<int>(k));
    rules.emplace_back(random_prefix(rng), std::move(sources));
  }
  std::vector<std::pair<Ipv4Net, SortedPrefixes<int>>> sorted_rules;
  for (const auto& [dst, sources] : rules) {
    PrefixMap<int> inner;
    for (const auto& [src, v] : sources) inner.insert(src, v);
    d.map.insert(dst, std::move(inner));
    sorted_rules.emplace_back(dst, SortedPrefixes<int>(sources));
  }
  d.sorted = std::make_unique<SortedPrefixes<SortedPrefixes<int>>>(std::move(sorted_rules));
  // Three in four sources fall inside one of the rule's source prefixes.
  for (std::size_t i = 0; i < kProbes; ++i) {
    const auto& [dst, sources] = rules[rng() % n];
    const Ipv4Addr src = rng() % 4 == 0 ? Ipv4Addr(static_cast<std::uint32_t>(rng()))
                                        : random_inside(rng, sources[rng() % sources.size()].first);
    d.probes.emplace_back(random_inside(rng, dst), src);
  }
  return d;
}

// Chained: the next probe depends on the previous result, so lookups cannot
// overlap and the time is the latency of one lookup rather than throughput.
template <bool Chained, class Outer>
void run_two_level(benchmark::State& state, const Outer& outer,
                   const std::vector<std::pair<Ipv4Addr, Ipv4Addr>>& probes) {
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [dst, src] = probes[i & (kProbes - 1)];
    const auto* rule = outer.longest_match(dst);
    const auto* hit = rule ? rule->second.longest_match(src) : nullptr;
    benchmark::DoNotOptimize(hit);
    // The top bit of a user-space pointer is zero; the compiler cannot tell.
    i += Chained ? 1 + (reinterpret_cast<std::uintptr_t>(hit) >> 63) : 1;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Map_TwoLevel(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<false>(state, d.map, d.probes);
}
void BM_Sorted_TwoLevel(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<false>(state, *d.sorted, d.probes);
}
void BM_Map_TwoLevelChained(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<true>(state, d.map, d.probes);
}
void BM_Sorted_TwoLevelChained(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<true>(state, *d.sorted, d.probes);
}

// Building a map from scratch, one insert per prefix.
void BM_Map_Rebuild(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    PrefixMap<int> map;
    for (const auto& [net, v] : d.prefixes) map.insert(net, v);
    benchmark::DoNotOptimize(map.size());
  }
}
void BM_Sorted_Rebuild(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    SortedPrefixes<int> sorted(d.prefixes);
    benchmark::DoNotOptimize(&sorted);
  }
}

BENCHMARK(BM_Map_Hit)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Sorted_Hit)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Map_Miss)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Sorted_Miss)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Map_TwoLevel)->Arg(10)->Arg(10000);
BENCHMARK(BM_Sorted_TwoLevel)->Arg(10)->Arg(10000);
BENCHMARK(BM_Map_TwoLevelChained)->Arg(10)->Arg(10000);
BENCHMARK(BM_Sorted_TwoLevelChained)->Arg(10)->Arg(10000);
BENCHMARK(BM_Map_Rebuild)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sorted_Rebuild)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
