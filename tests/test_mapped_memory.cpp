// Large arrays in mappings of their own, and the rule lists and tries that
// keep theirs there: each made once, at its final size.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "network/config/effective.hpp"
#include "support.hpp"
#include "util/mapped_memory.hpp"

namespace sarvolt {
namespace {

std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};
std::atomic<std::int64_t> g_maps{0};

void observe(std::ptrdiff_t bytes) noexcept {
  if (bytes > 0) ++g_maps;
  const std::int64_t live = g_live += bytes;
  std::int64_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
}

// Counts mappings while it lives.
struct Observed {
  Observed() {
    g_live = 0;
    g_peak = 0;
    g_maps = 0;
    util::set_mapping_observer(observe);
  }
  ~Observed() { util::set_mapping_observer(nullptr); }
};

std::int64_t pages(std::size_t bytes) { return static_cast<std::int64_t>((bytes + 4095) / 4096 * 4096); }

TEST(MappedMemory, LargeBlocksAreMappingsOfTheirOwnAndLeaveWhenFreed) {
  Observed o;
  {
    std::vector<std::uint32_t, util::MappedAllocator<std::uint32_t>> small(1000, 7);
    EXPECT_EQ(g_maps.load(), 0);
    std::vector<std::uint32_t, util::MappedAllocator<std::uint32_t>> large(100'000, 7);
    EXPECT_EQ(g_maps.load(), 1);
    EXPECT_EQ(g_live.load(), pages(400'000));
    EXPECT_EQ(large[99'999] + small[999], 14u);
  }
  EXPECT_EQ(g_live.load(), 0);

  // Aligned as asked; the cut head and tail are not counted.
  void* p = util::map_pages(3 << 20, 2 << 20);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (2 << 20), 0u);
  EXPECT_EQ(g_live.load(), 3 << 20);
  static_cast<std::uint8_t*>(p)[(3 << 20) - 1] = 1;
  util::unmap_pages(p, 3 << 20);
  EXPECT_EQ(g_live.load(), 0);
}

// A member of a network with many routes through other nodes and one
// through itself: the rule list is made once, in one mapping of its final
// size, and deriving the tries from it maps only their own arrays.
TEST(MappedMemory, RuleListIsMadeOnceAtItsFinalSize) {
  network::NetworkConfig cfg;
  const network::GroupSet g{"g"};
  std::vector<network::PubKey> keys;
  for (std::uint8_t i = 0; i < 40; ++i) {
    std::string hex(64, '0');
    hex[62] = "0123456789abcdef"[i >> 4];
    hex[63] = "0123456789abcdef"[i & 15];
    keys.push_back(*network::PubKey::from_str(hex));
    const auto addr = util::Ipv4Addr(0x0a00'0001U + i);
    cfg.node.insert_or_assign(keys.back(), network::NetworkNode{keys.back(), addr, fmt::format("n{}", i), g});
  }
  cfg.policy.insert({g, g});
  for (std::uint32_t r = 0; r < 3000; ++r) {
    const auto dest = *util::Ipv4Net::create(util::Ipv4Addr(0x6440'0000U + 256 * r), 24);
    cfg.route.insert_or_assign(dest, network::NetworkRoute{dest, keys[1 + r % 39], {}});
  }
  const auto own = *util::Ipv4Net::create(util::Ipv4Addr(0x6500'0000U), 16);
  cfg.route.insert_or_assign(own, network::NetworkRoute{own, keys[0], {}});

  Observed o;
  const auto list = cfg.effective_access_rule_list(keys[0]);
  ASSERT_TRUE(list.has_value());
  const std::size_t rules = 2 * (39 + 3000 + 39);
  ASSERT_EQ(list->rules.size(), rules);
  EXPECT_EQ(g_maps.load(), 1);
  EXPECT_EQ(g_live.load(), pages(rules * sizeof(network::EffectiveAccessRule)));
  EXPECT_EQ(g_peak.load(), g_live.load());

  // Each trie's rows are read in place: only the order of the rules (four
  // bytes a rule) is made aside.
  const std::int64_t before = g_live.load();
  g_peak = before;
  {
    const auto rows = list->trie_rows(network::Direction::OUT);
    EXPECT_EQ(rows.outer_count(), 39u + 3000u);
  }
  EXPECT_LE(g_peak.load() - before, pages(rules / 2 * sizeof(std::uint32_t)));
  EXPECT_EQ(g_live.load(), before);
}

}  // namespace
}  // namespace sarvolt
