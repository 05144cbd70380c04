// Large arrays in mappings of their own, and the rule lists and tries that
// keep theirs there: each made once, at its final size.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "agent/firewall/firewall.hpp"
#include "data_plane.hpp"
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

// A huge-page block resized by moving its pages: content kept, on a huge
// page boundary, the new part zeroed, the old mapping no longer counted.
TEST(MappedMemory, RemappedBlocksKeepContentAndAlignment) {
  Observed o;
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  auto* p = static_cast<std::uint8_t*>(util::map_huge_pages(3 * kMiB + 100));
  EXPECT_EQ(g_live.load(), pages(3 * kMiB + 100));
  for (std::size_t i = 0; i < 3 * kMiB + 100; i += 4096) p[i] = static_cast<std::uint8_t>(i >> 12);
  p[3 * kMiB + 99] = 0xab;
  auto* q = static_cast<std::uint8_t*>(util::remap_huge_pages(p, 3 * kMiB + 100, 9 * kMiB));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(q) % (2 * kMiB), 0u);
  EXPECT_EQ(g_live.load(), pages(9 * kMiB));
  for (std::size_t i = 0; i < 3 * kMiB + 100; i += 4096) ASSERT_EQ(q[i], static_cast<std::uint8_t>(i >> 12)) << i;
  EXPECT_EQ(q[3 * kMiB + 99], 0xab);
  EXPECT_EQ(q[3 * kMiB + 100], 0);
  EXPECT_EQ(q[9 * kMiB - 1], 0);
  q[9 * kMiB - 1] = 1;
  // And back down below its first size.
  auto* r = static_cast<std::uint8_t*>(util::remap_huge_pages(q, 9 * kMiB, 2 * kMiB + 1));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(r) % (2 * kMiB), 0u);
  EXPECT_EQ(g_live.load(), pages(2 * kMiB + 1));
  EXPECT_EQ(r[4096], 1);
  EXPECT_EQ(r[2 * kMiB], static_cast<std::uint8_t>(2 * kMiB >> 12));
  util::unmap_pages(r, 2 * kMiB + 1);
  EXPECT_EQ(g_live.load(), 0);
  EXPECT_EQ(g_maps.load(), 3);
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

// A re-apply of a list of one route more holds, beside the old tries that
// the packet path reads until the swap, only the new list and the new tries
// (counted here: their arrays in mappings of their own):
// the old list leaves first, and no copy of the rules, no rows and no second
// table are made.
TEST(MappedMemory, ReapplyHoldsOldTriesNewListAndNewTriesOnly) {
  test::DataPlane dp;
  Observed o;
  const auto own = *util::Ipv4Net::parse("10.0.0.1/32");
  const auto route = [&](std::uint32_t r, network::Direction d) {
    const auto dest = *util::Ipv4Net::create(util::Ipv4Addr(0x6440'0000U + 256 * r), 24);
    return d == network::Direction::OUT
               ? network::EffectiveAccessRule{d, own, dest, dp.b.pk(), network::Action::Allow}
               : network::EffectiveAccessRule{d, dest, own, dp.b.pk(), network::Action::Allow};
  };
  constexpr std::uint32_t kRoutes = 50'000;  // entry arrays of over 2 MiB
  {
    auto n = dp.member_network();
    network::AccessRuleMap::Rules all;
    for (const auto& [k, r] : n.desired.access_rules.applied->rules) all.push_back(r);
    for (std::uint32_t r = 0; r < kRoutes; ++r) {
      all.push_back(route(r, network::Direction::OUT));
      all.push_back(route(r, network::Direction::IN));
    }
    ASSERT_TRUE(n.desired.access_rules.applied->rules.assign(std::move(all)));
    dp.networks.emplace(n.config_url, std::move(n));
  }
  dp.apply();
  auto& rules = dp.networks.begin()->second.desired.access_rules.applied->rules;
  const std::size_t tx_size = dp.agent->firewall->tries()->tx.size();
  ASSERT_GE(tx_size, kRoutes);
  const std::int64_t old_list = pages(rules.size() * sizeof(network::EffectiveAccessRule));
  const std::int64_t old_tries = g_live.load() - old_list;  // the desired and applied lists are one
  ASSERT_GT(old_tries, 0);

  // A new desired list, as a derivation makes it.
  {
    network::AccessRuleMap::Rules all;
    all.reserve(rules.size() + 2);
    for (const auto& [k, r] : rules) all.push_back(r);
    all.push_back(route(kRoutes, network::Direction::OUT));
    all.push_back(route(kRoutes, network::Direction::IN));
    ASSERT_TRUE(rules.assign(std::move(all)));
  }
  const std::int64_t new_list = pages(rules.size() * sizeof(network::EffectiveAccessRule));
  ASSERT_EQ(g_live.load(), old_tries + old_list + new_list);
  g_peak = g_live.load();
  dp.apply();
  EXPECT_EQ(dp.agent->firewall->tries()->tx.size(), tx_size + 1);
  const std::int64_t new_tries = g_live.load() - new_list;
  EXPECT_GT(new_tries, 0);
  // Beside them only the order of the rules, four bytes a rule; the start,
  // with both lists, may be higher still when the tries are smaller than a
  // list.
  const std::int64_t start = old_tries + old_list + new_list;
  EXPECT_LE(g_peak.load(),
            std::max(start, old_tries + new_list + new_tries + 2 * pages(rules.size() / 2 * sizeof(std::uint32_t))));
}

}  // namespace
}  // namespace sarvolt
