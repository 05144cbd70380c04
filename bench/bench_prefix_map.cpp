// Longest-prefix lookups: PrefixMap against baselines over the same prefixes:
// a sorted vector, and for one level a DIR-24-8 table (a 2^24-slot first
// table, 256-slot blocks below /24, both on 2 MiB pages where the kernel
// grants them). One level (destination) and two levels (destination, then
// source in the destination's map); independent lookups (throughput) and
// chained ones, where the next address depends on the last result (latency).
// Times are thread CPU time per lookup; the summary at the end gives the ratios as map /
// baseline time; chained map lookups, one and two levels, are also set against
// the chained one-level DIR-24-8 lookup (other prefixes, other addresses). The
// two-level rows also have a DIR-24-8 row over the same destinations and
// addresses, with the same source maps. Builds: per prefix, from 10 000, 100 000 and 300 000 random
// prefixes, one insert each (Rebuild) and in bulk (Build). Memory: heap (mallinfo2
// and the tables' own mappings) and resident bytes per entry of a two-level
// map, measured in a fresh child.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "main.hpp"
#include "util/mapped_memory.hpp"
#include "util/prefix_map.hpp"

namespace {

using sarvolt::util::Ipv4Addr;
using sarvolt::util::Ipv4Net;
using sarvolt::util::PrefixMap;

constexpr std::size_t kProbes = 1 << 14;  // lookup addresses, indexed with a mask

// ns per item of every round, by row ("Map_Hit/10000").
std::map<std::string, std::vector<double>> g_ns;

struct Summary {
  double median = 0, min = 0, max = 0;
};
Summary summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

// Times the benchmark loop itself in the thread's CPU time, so that time
// spent descheduled on a shared machine does not count.
class RowTimer {
 public:
  RowTimer(benchmark::State& state, std::string row) : state_(state), row_(std::move(row)), t0_(cpu_ns()) {}
  void stop(double items_per_iteration = 1) {
    const double ns = cpu_ns() - t0_;
    const double items = static_cast<double>(state_.iterations()) * items_per_iteration;
    if (items > 0) g_ns[row_].push_back(ns / items);
  }

 private:
  static double cpu_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
  }
  benchmark::State& state_;
  std::string row_;
  double t0_;
};

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

// An array of n values on 2 MiB pages where the kernel grants them: aligned
// to 2 MiB and advised with MADV_HUGEPAGE before the first touch.
class HugeArray {
 public:
  static constexpr std::size_t kPage = std::size_t{2} << 20;
  HugeArray() = default;
  HugeArray(std::size_t n, std::uint32_t fill) : n_(n) {
    const std::size_t bytes = std::max(kPage, (n * sizeof(std::uint32_t) + kPage - 1) & ~(kPage - 1));
    p_ = static_cast<std::uint32_t*>(std::aligned_alloc(kPage, bytes));
    if (!p_) throw std::bad_alloc();
    ::madvise(p_, bytes, MADV_HUGEPAGE);
    std::fill_n(p_, n, fill);
  }
  HugeArray(const HugeArray&) = delete;
  HugeArray& operator=(const HugeArray&) = delete;
  HugeArray(HugeArray&& o) noexcept : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)) {}
  HugeArray& operator=(HugeArray&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(n_, o.n_);
    return *this;
  }
  ~HugeArray() { std::free(p_); }
  std::uint32_t& operator[](std::size_t i) noexcept { return p_[i]; }
  const std::uint32_t& operator[](std::size_t i) const noexcept { return p_[i]; }
  std::uint32_t* data() noexcept { return p_; }

 private:
  std::uint32_t* p_ = nullptr;
  std::size_t n_ = 0;
};

// DIR-24-8: the first 24 bits index a table whose slots hold the longest
// match of length <= 24 or, flagged, a 256-slot block for the last 8 bits.
template <class V>
class Dir24_8 {
 public:
  explicit Dir24_8(std::vector<std::pair<Ipv4Net, V>> entries) : top_(std::size_t{1} << 24, kNone) {
    for (auto& e : entries) e.first = e.first.trunc();
    // Shorter prefixes first, so that longer ones paint over them; the last
    // of equal prefixes wins.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first.prefix_len() < b.first.prefix_len(); });
    entries_ = std::move(entries);
    // One block per /24 that holds a longer prefix, allocated at once.
    std::vector<std::uint32_t> deep;
    for (const auto& e : entries_)
      if (e.first.prefix_len() > 24) deep.push_back(e.first.addr().to_u32() >> 8);
    std::sort(deep.begin(), deep.end());
    deep.erase(std::unique(deep.begin(), deep.end()), deep.end());
    blocks_ = HugeArray(deep.size() * 256, kNone);
    std::uint32_t used = 0;
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
      const Ipv4Net& n = entries_[i].first;
      const std::uint32_t net = n.addr().to_u32();
      const unsigned len = n.prefix_len();
      if (len <= 24) {
        const std::size_t from = net >> 8, count = std::size_t{1} << (24 - len);
        for (std::size_t j = from; j < from + count; ++j) {
          if (top_[j] & kBlock) {
            std::fill_n(blocks_.data() + (top_[j] & ~kBlock) * 256, 256, i);
          } else {
            top_[j] = i;
          }
        }
      } else {
        std::uint32_t& slot = top_[net >> 8];
        if (!(slot & kBlock)) {
          const std::uint32_t block = used++;
          std::fill_n(blocks_.data() + std::size_t{block} * 256, 256, slot);
          slot = kBlock | block;
        }
        const std::size_t base = (slot & ~kBlock) * 256 + (net & 0xff);
        std::fill_n(blocks_.data() + base, std::size_t{1} << (32 - len), i);
      }
    }
  }

  const std::pair<Ipv4Net, V>* longest_match(Ipv4Addr addr) const {
    const std::uint32_t x = addr.to_u32();
    std::uint32_t e = top_[x >> 8];
    if (e & kBlock) e = blocks_[(e & ~kBlock) * 256 + (x & 0xff)];
    return e == kNone ? nullptr : &entries_[e];
  }

 private:
  static constexpr std::uint32_t kNone = 0x7fff'ffffU;
  static constexpr std::uint32_t kBlock = 0x8000'0000U;
  HugeArray top_;
  HugeArray blocks_;
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
  std::unique_ptr<Dir24_8<int>> dir;
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
  d.dir = std::make_unique<Dir24_8<int>>(d.prefixes);
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
      const auto* t = d.dir->longest_match(a);
      if ((m == nullptr) != (s == nullptr) || (m && m->second != s->second))
        throw std::runtime_error("map and baseline disagree");
      if ((t == nullptr) != (s == nullptr) || (t && t->second != s->second))
        throw std::runtime_error("DIR-24-8 and sorted baseline disagree");
    }
  }
  return d;
}

// Chained: the next probe depends on the previous result, so lookups cannot
// overlap and the time is the latency of one lookup rather than throughput.
template <bool Chained = false, class Index>
void run_one_level(benchmark::State& state, const Index& index, const std::vector<Ipv4Addr>& probes,
                   const char* row) {
  std::size_t i = 0;
  RowTimer timer(state, fmt::format("{}/{}", row, state.range(0)));
  for (auto _ : state) {
    const auto* hit = index.longest_match(probes[i & (kProbes - 1)]);
    benchmark::DoNotOptimize(hit);
    // The top bit of a user-space pointer is zero; the compiler cannot tell.
    i += Chained ? 1 + (reinterpret_cast<std::uintptr_t>(hit) >> 63) : 1;
  }
  timer.stop();
  state.SetItemsProcessed(state.iterations());
}

void BM_Map_Hit(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, d.map, d.hits, "Map_Hit");
}
void BM_Map_Miss(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, d.map, d.misses, "Map_Miss");
}
void BM_Sorted_Hit(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, *d.sorted, d.hits, "Sorted_Hit");
}
void BM_Sorted_Miss(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, *d.sorted, d.misses, "Sorted_Miss");
}
void BM_Dir24_Hit(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, *d.dir, d.hits, "Dir24_Hit");
}
void BM_Dir24_Miss(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level(state, *d.dir, d.misses, "Dir24_Miss");
}
void BM_Map_HitChained(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level<true>(state, d.map, d.hits, "Map_HitChained");
}
void BM_Sorted_HitChained(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level<true>(state, *d.sorted, d.hits, "Sorted_HitChained");
}
void BM_Dir24_HitChained(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  run_one_level<true>(state, *d.dir, d.hits, "Dir24_HitChained");
}

// Destinations map to source maps of one to four prefixes.
struct TwoLevel {
  PrefixMap<PrefixMap<int>> map;
  std::unique_ptr<SortedPrefixes<SortedPrefixes<int>>> sorted;
  // The same rules with DIR-24-8 for the destinations: the same addresses in
  // the same order, the same source maps.
  std::unique_ptr<Dir24_8<PrefixMap<int>>> dir;
  std::vector<std::pair<Ipv4Addr, Ipv4Addr>> probes;  // (destination, source)
};

using Rules = std::vector<std::pair<Ipv4Net, std::vector<std::pair<Ipv4Net, int>>>>;

Rules two_level_rules(std::mt19937& rng, std::size_t n) {
  Rules rules;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::pair<Ipv4Net, int>> sources;
    for (unsigned k = 0, count = 1 + rng() % 4; k < count; ++k)
      sources.emplace_back(random_prefix(rng), static_cast<int>(k));
    rules.emplace_back(random_prefix(rng), std::move(sources));
  }
  return rules;
}

PrefixMap<PrefixMap<int>> build_two_level(const Rules& rules) {
  PrefixMap<PrefixMap<int>> map;
  for (const auto& [dst, sources] : rules) {
    PrefixMap<int> inner;
    for (const auto& [src, v] : sources) inner.insert(src, v);
    map.insert(dst, std::move(inner));
  }
  map.shrink_to_fit();
  return map;
}

const TwoLevel& two_level(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<TwoLevel>> cache;
  auto& slot = cache[n];
  if (slot) return *slot;
  slot = std::make_unique<TwoLevel>();
  TwoLevel& d = *slot;
  std::mt19937 rng(static_cast<unsigned>(n) + 1);
  const auto rules = two_level_rules(rng, n);
  std::vector<std::pair<Ipv4Net, SortedPrefixes<int>>> sorted_rules;
  d.map = build_two_level(rules);
  for (const auto& [dst, sources] : rules) sorted_rules.emplace_back(dst, SortedPrefixes<int>(sources));
  d.sorted = std::make_unique<SortedPrefixes<SortedPrefixes<int>>>(std::move(sorted_rules));
  std::vector<std::pair<Ipv4Net, PrefixMap<int>>> dir_rules;
  for (const auto& [dst, sources] : rules) {
    PrefixMap<int> inner;
    for (const auto& [src, v] : sources) inner.insert(src, v);
    dir_rules.emplace_back(dst, std::move(inner));
  }
  d.dir = std::make_unique<Dir24_8<PrefixMap<int>>>(std::move(dir_rules));
  // Three in four sources fall inside one of the rule's source prefixes.
  for (std::size_t i = 0; i < kProbes; ++i) {
    const auto& [dst, sources] = rules[rng() % n];
    const Ipv4Addr src = rng() % 4 == 0 ? Ipv4Addr(static_cast<std::uint32_t>(rng()))
                                        : random_inside(rng, sources[rng() % sources.size()].first);
    d.probes.emplace_back(random_inside(rng, dst), src);
  }
  return d;
}

template <bool Chained, class Outer>
void run_two_level(benchmark::State& state, const Outer& outer,
                   const std::vector<std::pair<Ipv4Addr, Ipv4Addr>>& probes, const char* row) {
  std::size_t i = 0;
  RowTimer timer(state, fmt::format("{}/{}", row, state.range(0)));
  for (auto _ : state) {
    const auto& [dst, src] = probes[i & (kProbes - 1)];
    const auto* rule = outer.longest_match(dst);
    const auto* hit = rule ? rule->second.longest_match(src) : nullptr;
    benchmark::DoNotOptimize(hit);
    // The top bit of a user-space pointer is zero; the compiler cannot tell.
    i += Chained ? 1 + (reinterpret_cast<std::uintptr_t>(hit) >> 63) : 1;
  }
  timer.stop();
  state.SetItemsProcessed(state.iterations());
}

void BM_Map_TwoLevel(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<false>(state, d.map, d.probes, "Map_TwoLevel");
}
void BM_Sorted_TwoLevel(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<false>(state, *d.sorted, d.probes, "Sorted_TwoLevel");
}
void BM_Map_TwoLevelChained(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<true>(state, d.map, d.probes, "Map_TwoLevelChained");
}
void BM_Sorted_TwoLevelChained(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<true>(state, *d.sorted, d.probes, "Sorted_TwoLevelChained");
}
void BM_Dir24_TwoLevel(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<false>(state, *d.dir, d.probes, "Dir24_TwoLevel");
}
void BM_Dir24_TwoLevelChained(benchmark::State& state) {
  const auto& d = two_level(static_cast<std::size_t>(state.range(0)));
  run_two_level<true>(state, *d.dir, d.probes, "Dir24_TwoLevelChained");
}

// Building a map from scratch, one insert per prefix; times per prefix.
void BM_Map_Rebuild(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  RowTimer timer(state, fmt::format("Map_Rebuild/{}", state.range(0)));
  for (auto _ : state) {
    PrefixMap<int> map;
    for (const auto& [net, v] : d.prefixes) map.insert(net, v);
    benchmark::DoNotOptimize(map.size());
  }
  timer.stop(static_cast<double>(d.prefixes.size()));
}
// The same in bulk: one assign of all prefixes.
void BM_Map_Build(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  RowTimer timer(state, fmt::format("Map_Build/{}", state.range(0)));
  for (auto _ : state) {
    PrefixMap<int> map;
    map.assign(d.prefixes);
    benchmark::DoNotOptimize(map.size());
  }
  timer.stop(static_cast<double>(d.prefixes.size()));
}
void BM_Sorted_Rebuild(benchmark::State& state) {
  const auto& d = one_level(static_cast<std::size_t>(state.range(0)));
  RowTimer timer(state, fmt::format("Sorted_Rebuild/{}", state.range(0)));
  for (auto _ : state) {
    SortedPrefixes<int> sorted(d.prefixes);
    benchmark::DoNotOptimize(&sorted);
  }
  timer.stop(static_cast<double>(d.prefixes.size()));
}

// --- memory ----------------------------------------------------------------

long rss_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  return -1;
}

// Large tables are mappings of their own, which mallinfo2 does not see.
std::atomic<std::int64_t> g_mapped{0};
void count_mapping(std::ptrdiff_t bytes) noexcept { g_mapped.fetch_add(bytes, std::memory_order_relaxed); }

std::int64_t heap_bytes() {
  const struct mallinfo2 mi = ::mallinfo2();
  return static_cast<std::int64_t>(mi.uordblks + mi.hblkhd) + g_mapped.load(std::memory_order_relaxed);
}

struct MemorySample {
  double rules = 0, heap_per_rule = 0, rss_per_rule = 0;
  bool ok = false;
};
std::map<std::size_t, std::vector<MemorySample>> g_memory;  // by destinations

// In a fresh child: the heap and resident growth from building a two-level
// map of n destinations, per (destination, source) rule.
MemorySample memory_in_child(std::size_t n) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    sarvolt::util::set_mapping_observer(count_mapping);
    MemorySample s;
    std::mt19937 rng(static_cast<unsigned>(n) + 1);
    const Rules rules = two_level_rules(rng, n);
    for (const auto& r : rules) s.rules += static_cast<double>(r.second.size());
    ::malloc_trim(0);
    const long rss0 = rss_kib();
    const std::int64_t heap0 = heap_bytes();
    const auto map = build_two_level(rules);
    benchmark::DoNotOptimize(&map);
    s.heap_per_rule = static_cast<double>(heap_bytes() - heap0) / s.rules;
    s.rss_per_rule = static_cast<double>(rss_kib() - rss0) * 1024.0 / s.rules;
    s.ok = true;
    (void)!::write(fds[1], &s, sizeof s);
    ::_exit(0);
  }
  ::close(fds[1]);
  MemorySample s;
  const bool got = pid > 0 && ::read(fds[0], &s, sizeof s) == static_cast<ssize_t>(sizeof s);
  ::close(fds[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return got ? s : MemorySample{};
}

void BM_Map_Memory(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  MemorySample s;
  for (auto _ : state) s = memory_in_child(n);
  if (!s.ok) {
    state.SkipWithError("child failed");
    return;
  }
  state.counters["heap_B_per_rule"] = s.heap_per_rule;
  state.counters["rss_B_per_rule"] = s.rss_per_rule;
  g_memory[n].push_back(s);
}

int rounds() {
  const char* v = std::getenv("SARVOLT_BENCH_ROUNDS");
  const int n = v ? std::atoi(v) : 5;
  return n >= 1 && n <= 50 ? n : 5;
}

// Lookups per row and round; a fixed count, so that every run is timed once.
constexpr std::int64_t kLookups = std::int64_t{1} << 22;

// Rounds of every row, the map right beside its baselines, so that load from
// elsewhere on the machine hits them alike; the summary takes medians.
void register_all() {
  using Fn = void (*)(benchmark::State&);
  const std::vector<std::pair<const char*, Fn>> one = {
      {"Map_Hit", BM_Map_Hit},         {"Dir24_Hit", BM_Dir24_Hit},   {"Sorted_Hit", BM_Sorted_Hit},
      {"Map_HitChained", BM_Map_HitChained}, {"Dir24_HitChained", BM_Dir24_HitChained},
      {"Sorted_HitChained", BM_Sorted_HitChained}, {"Map_Miss", BM_Map_Miss}, {"Dir24_Miss", BM_Dir24_Miss},
      {"Sorted_Miss", BM_Sorted_Miss}};
  const std::vector<std::pair<const char*, Fn>> two = {{"Map_TwoLevel", BM_Map_TwoLevel},
                                                       {"Dir24_TwoLevel", BM_Dir24_TwoLevel},
                                                       {"Sorted_TwoLevel", BM_Sorted_TwoLevel},
                                                       {"Map_TwoLevelChained", BM_Map_TwoLevelChained},
                                                       {"Dir24_TwoLevelChained", BM_Dir24_TwoLevelChained},
                                                       {"Sorted_TwoLevelChained", BM_Sorted_TwoLevelChained}};
  const std::vector<std::pair<const char*, Fn>> build = {{"Map_Rebuild", BM_Map_Rebuild},
                                                         {"Map_Build", BM_Map_Build},
                                                         {"Sorted_Rebuild", BM_Sorted_Rebuild}};
  for (int r = 1; r <= rounds(); ++r) {
    for (const std::int64_t n : {10, 1000, 10000, 100000})
      for (const auto& [name, fn] : one)
        benchmark::RegisterBenchmark(fmt::format("BM_{}/round:{}", name, r).c_str(), fn)
            ->Arg(n)
            ->Iterations(kLookups);
    for (const std::int64_t n : {10, 10000, 100000})
      for (const auto& [name, fn] : two)
        benchmark::RegisterBenchmark(fmt::format("BM_{}/round:{}", name, r).c_str(), fn)
            ->Arg(n)
            ->Iterations(kLookups);
    for (const std::int64_t n : {10000, 100000, 300000})
      for (const auto& [name, fn] : build)
        benchmark::RegisterBenchmark(fmt::format("BM_{}/round:{}", name, r).c_str(), fn)
            ->Arg(n)
            ->Iterations(n > 10000 ? 3 : 10)
            ->Unit(benchmark::kMillisecond);
    for (const std::int64_t n : {10000, 100000, 300000})
      benchmark::RegisterBenchmark(fmt::format("BM_Map_Memory/round:{}", r).c_str(), BM_Map_Memory)
          ->Arg(n)
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
  }
}

std::string cell(const std::string& row) {
  const auto it = g_ns.find(row);
  if (it == g_ns.end()) return "-";
  const auto s = summarise(it->second);
  return fmt::format("{:.1f} [{:.1f}..{:.1f}]", s.median, s.min, s.max);
}

// Ratio of the medians, map / baseline time.
std::string ratio(const std::string& map, const std::string& base) {
  const auto a = g_ns.find(map), b = g_ns.find(base);
  if (a == g_ns.end() || b == g_ns.end()) return "-";
  return fmt::format("{:.2f}", summarise(a->second).median / summarise(b->second).median);
}

void print_summary() {
  std::printf("\nns per lookup (per prefix for builds), median [min..max] over %d rounds; ratios are map / baseline"
              " time.\n", rounds());
  std::printf("%-28s %-22s %-22s %-22s %-10s %s\n", "row", "map", "DIR-24-8", "sorted", "map/DIR", "map/sorted");
  for (const char* kind : {"Hit", "HitChained", "Miss"})
    for (const int n : {10, 1000, 10000, 100000}) {
      const auto key = [&](const char* impl) { return fmt::format("{}_{}/{}", impl, kind, n); };
      std::printf("%-28s %-22s %-22s %-22s %-10s %s\n", fmt::format("one level {} n={}", kind, n).c_str(),
                  cell(key("Map")).c_str(), cell(key("Dir24")).c_str(), cell(key("Sorted")).c_str(),
                  ratio(key("Map"), key("Dir24")).c_str(), ratio(key("Map"), key("Sorted")).c_str());
    }
  for (const char* kind : {"TwoLevel", "TwoLevelChained"})
    for (const int n : {10, 10000, 100000}) {
      const auto key = [&](const char* impl) { return fmt::format("{}_{}/{}", impl, kind, n); };
      std::printf("%-28s %-22s %-22s %-22s %-10s %s\n", fmt::format("{} n={}", kind, n).c_str(),
                  cell(key("Map")).c_str(), cell(key("Dir24")).c_str(), cell(key("Sorted")).c_str(),
                  ratio(key("Map"), key("Dir24")).c_str(), ratio(key("Map"), key("Sorted")).c_str());
    }
  // Chained lookups against the DIR-24-8 anchor's chained one-level lookup;
  // below 1 is ahead.
  for (const int n : {10000, 100000}) {
    const std::string dir = fmt::format("Dir24_HitChained/{}", n);
    std::printf("%-28s %-22s %-22s %-22s %-10s %s\n", fmt::format("chained vs DIR n={}", n).c_str(),
                fmt::format("one level {}", ratio(fmt::format("Map_HitChained/{}", n), dir)).c_str(), cell(dir).c_str(),
                fmt::format("two levels {}", ratio(fmt::format("Map_TwoLevelChained/{}", n), dir)).c_str(), "-", "-");
  }
  for (const int n : {10000, 100000, 300000}) {
    const auto key = [&](const char* impl) { return fmt::format("{}_Rebuild/{}", impl, n); };
    std::printf("%-28s %-22s %-22s %-22s %-10s %s\n", fmt::format("build per prefix n={}", n).c_str(),
                cell(key("Map")).c_str(), "-", cell(key("Sorted")).c_str(), "-",
                ratio(key("Map"), key("Sorted")).c_str());
    std::printf("%-28s %-22s %-22s %-22s %-10s %s\n", fmt::format("bulk build per prefix n={}", n).c_str(),
                cell(fmt::format("Map_Build/{}", n)).c_str(), "-", cell(key("Sorted")).c_str(), "-",
                ratio(fmt::format("Map_Build/{}", n), key("Sorted")).c_str());
  }
  std::printf("\nTwo-level map, bytes per (destination, source) rule, median [min..max].\n");
  std::printf("%-28s %-10s %-22s %s\n", "destinations", "rules", "heap B/rule", "RSS B/rule");
  for (const auto& [n, samples] : g_memory) {
    std::vector<double> heap, rss;
    for (const auto& s : samples) {
      heap.push_back(s.heap_per_rule);
      rss.push_back(s.rss_per_rule);
    }
    const auto h = summarise(heap), r = summarise(rss);
    std::printf("%-28zu %-10.0f %-22s %s\n", n, samples.front().rules,
                fmt::format("{:.0f} [{:.0f}..{:.0f}]", h.median, h.min, h.max).c_str(),
                fmt::format("{:.0f} [{:.0f}..{:.0f}]", r.median, r.min, r.max).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  return bench::run_main(argc, argv, print_summary);
}
