#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "data_plane.hpp"
#include "support.hpp"
#include "util/packet.hpp"

namespace sarvolt::test {
namespace {

using agent::AgentFirewall;
using agent::NodePeer;
using agent::NodePeerInner;
using agent::ReceiveTrie;
using agent::TransmitTrie;
using network::Direction;
using Span = std::span<const std::uint8_t>;

const Bytes kPacket = ipv4_packet({});

std::size_t count_lines(const LogCapture& logs, const std::string& level, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& l : logs.lines())
    if (l.target == "sarvolt_agent::agent::firewall" && l.level == level && l.text.starts_with(prefix)) ++n;
  return n;
}

std::optional<NodePeer> find_peer(const DataPlane& dp, const p2p::PubKey& pk) {
  for (const auto& [dest, inner] : *dp.agent->firewall->transmit_trie())
    for (const auto& [source, peer] : inner)
      if (peer.pk() == pk) return peer;
  return std::nullopt;
}

std::shared_ptr<NodePeerInner> published(const DataPlane& dp, const p2p::PubKey& pk) {
  const auto p = find_peer(dp, pk);
  return p ? p->inner() : nullptr;
}

// The peer for (dest, source) in the published transmit trie, if any.
std::shared_ptr<NodePeerInner> tx_at(const DataPlane& dp, const char* dest, const char* source) {
  const auto* inner = dp.agent->firewall->transmit_trie()->get(net(dest));
  const auto* peer = inner ? inner->get(net(source)) : nullptr;
  return peer ? peer->inner() : nullptr;
}

bool rx_has(const DataPlane& dp, const char* source) {
  return dp.agent->firewall->receive_trie()->get(net(source)) != nullptr;
}

bool tries_empty(const DataPlane& dp) {
  return dp.agent->firewall->transmit_trie()->empty() && dp.agent->firewall->receive_trie()->empty();
}

network::EffectiveAccessRule rule(Direction d, const char* src, const char* dst, const p2p::PubKey& pk) {
  return {d, net(src), net(dst), pk, network::Action::Allow};
}

// Adds (or replaces) a network with hand-written rules; not applied yet.
network::Network& put_network(DataPlane& dp, const std::string& url, std::optional<const char*> own_ip,
                              const std::vector<network::EffectiveAccessRule>& rules) {
  const auto u = *util::Url::parse(url);
  auto& n = dp.networks.try_emplace(u, network::Network(u)).first->second;
  network::EffectiveAccessRuleList list;
  for (const auto& r : rules) list.rules.insert_or_assign({r.direction, r.source, r.dest}, r);
  n.desired.ip = own_ip ? network::AppliedStatus<util::Ipv4Net>::value(net(*own_ip))
                        : network::AppliedStatus<util::Ipv4Net>{};
  n.desired.access_rules = {std::move(list), std::nullopt};
  return n;
}

bool outbound(const TransmitTrie& tx, const Bytes& p, agent::OutboundBatches& batches) {
  return AgentFirewall::handle_outbound_packet(tx, p, *util::Ipv4HeaderView::decode(p), batches);
}

bool inbound(const ReceiveTrie& rx, const char* src, const char* dst, const p2p::PubKey& from,
             std::vector<Span>& to_tun) {
  return AgentFirewall::handle_inbound_packet(rx, kPacket, ip(src), ip(dst), from, to_tun);
}

TEST(FirewallLookup, OutboundUsesTheLongestDestinationOnlyAndBatchesPerPeer) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  const auto b = find_peer(dp, dp.b.pk()), c = find_peer(dp, dp.c.pk());
  ASSERT_TRUE(b && c);
  TransmitTrie tx;
  for (const auto& [dest, source, peer] : {std::tuple{"10.0.0.0/24", "10.0.0.9/32", *b},
                                           {"10.0.0.5/32", "10.0.0.1/32", *c}, {"0.0.0.0/0", "0.0.0.0/0", *c}}) {
    util::PrefixMap<NodePeer> leaf;
    leaf.insert(net(source), peer);
    tx.insert(net(dest), std::move(leaf));
  }
  agent::OutboundBatches batches;
  EXPECT_FALSE(outbound(*AgentFirewall().transmit_trie(), kPacket, batches));  // before a rebuild
  // The /32 destination wins and lacks the source; shorter ones are not tried.
  EXPECT_FALSE(outbound(tx, ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.5"}), batches));
  EXPECT_TRUE(batches.empty());
  EXPECT_EQ(count_lines(logs, "debug",
                        "No outbound route found for source: 10.0.0.9 -> 10.0.0.5 (source IP not in routing table)"),
            1u);

  const Bytes p[] = {ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.77"}),   // B via /24
                     ipv4_packet({.src = "10.0.0.9", .dst = "8.8.8.8"}),     // C via /0
                     ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.200"}),  // B
                     ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.5"})};   // C via /32
  for (const auto& packet : p) EXPECT_TRUE(outbound(tx, packet, batches));
  auto batch = [&](std::size_t i) {
    std::vector<const std::uint8_t*> data;
    for (auto s : batches.batches()[i].packets) data.push_back(s.data());
    return std::pair{batches.batches()[i].peer, data};
  };
  ASSERT_EQ(batches.batches().size(), 2u);
  EXPECT_EQ(batch(0), std::pair(b->inner(), std::vector{p[0].data(), p[2].data()}));
  EXPECT_EQ(batch(1), std::pair(c->inner(), std::vector{p[1].data(), p[3].data()}));

  batches.clear();
  EXPECT_TRUE(batches.empty());
  EXPECT_TRUE(outbound(tx, p[1], batches));
  ASSERT_EQ(batches.batches().size(), 1u);
  EXPECT_EQ(batch(0), std::pair(c->inner(), std::vector{p[1].data()}));
}

TEST(FirewallLookup, InboundAcceptsOnlyTheExpectedKey) {
  LogCapture logs;
  const auto b = identity_from_seed(2).pk(), c = identity_from_seed(3).pk();
  ReceiveTrie rx;
  for (const auto& [source, dest] : {std::pair{"192.168.1.0/24", "10.0.0.1/32"}, {"192.168.1.7/32", "10.0.0.99/32"},
                                     {"10.0.0.2/32", "10.0.0.1/32"}}) {
    util::PrefixMap<p2p::PubKey> leaf;
    leaf.insert(net(dest), b);
    rx.insert(net(source), std::move(leaf));
  }
  std::vector<Span> to_tun;
  EXPECT_FALSE(inbound(*AgentFirewall().receive_trie(), "10.0.0.2", "10.0.0.1", b, to_tun));  // before a rebuild
  // A spoofed source is handled (dropped with a warning), not passed on.
  EXPECT_TRUE(inbound(rx, "10.0.0.2", "10.0.0.1", c, to_tun));
  EXPECT_TRUE(to_tun.empty());
  EXPECT_EQ(count_lines(logs, "warning",
                        "Security violation: packet source mismatch - received from peer " + c.to_string() +
                            " with source IP 10.0.0.2 but expected peer " + b.to_string() + " for this route"),
            1u);

  // 192.168.1.7: the /32 source entry wins and its inner map lacks 10.0.0.1.
  const std::pair<const char*, bool> cases[] = {
      {"10.0.0.2", true}, {"192.168.1.8", true}, {"192.168.1.7", false}, {"172.16.0.1", false}};
  for (const auto& [src, routed] : cases) EXPECT_EQ(inbound(rx, src, "10.0.0.1", b, to_tun), routed) << src;
  ASSERT_EQ(to_tun.size(), 2u);
  EXPECT_EQ(to_tun[0].data(), kPacket.data());
  EXPECT_EQ(count_lines(logs, "warning", "Security violation"), 1u);
}

TEST(FirewallRebuild, ChangeRebuildsFromAllNetworksKeepingPeersWhoseKeySurvives) {
  DataPlane dp;
  dp.join();
  const auto b0 = published(dp, dp.b.pk()), c0 = published(dp, dp.c.pk());
  ASSERT_TRUE(b0 && c0);
  LogCapture logs;
  put_network(dp, "file:///other.toml", "10.1.0.1/24", {rule(Direction::OUT, "10.1.0.1/32", "10.1.0.3/32", dp.c.pk())});
  dp.apply();
  for (const char* line : {"Rebuild tries", "Access rules change: current=\n", "Tries rebuilt successfully."})
    EXPECT_EQ(count_lines(logs, "trace", line), 1u) << line;
  EXPECT_EQ(tx_at(dp, "10.0.0.2/32", "10.0.0.1/32"), b0);
  EXPECT_EQ(tx_at(dp, "10.0.0.3/32", "10.0.0.1/32"), c0);
  EXPECT_EQ(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), c0);
  EXPECT_TRUE(rx_has(dp, "10.0.0.2/32"));

  dp.join(false);  // the first network denies every pair; C stays through the other
  EXPECT_EQ(published(dp, dp.b.pk()), nullptr);
  EXPECT_FALSE(rx_has(dp, "10.0.0.2/32"));
  EXPECT_EQ(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), c0);
  EXPECT_TRUE(DataPlane::eventually([&] { return !b0->driver_running(); }));
  EXPECT_TRUE(c0->driver_running());

  dp.join(true);  // a returning key gets a new peer
  const auto b1 = published(dp, dp.b.pk());
  ASSERT_TRUE(b1);
  EXPECT_NE(b1, b0);
  EXPECT_TRUE(b1->driver_running());
}

TEST(FirewallRebuild, NetworksWithoutAddressOrRulesAddNothing) {
  LogCapture logs;
  DataPlane dp;
  auto& skipped = put_network(dp, "file:///skip.toml", std::nullopt,
                              {rule(Direction::OUT, "10.1.0.1/32", "10.1.0.3/32", dp.c.pk()),
                               rule(Direction::IN, "10.1.0.3/32", "10.1.0.1/32", dp.c.pk())});
  put_network(dp, "file:///empty.toml", "10.2.0.1/24", {});
  auto& failed = put_network(dp, "file:///failed.toml", "10.3.0.1/24", {});
  failed.desired.access_rules = network::AppliedStatus<network::EffectiveAccessRuleList>::failed("bad rules");
  dp.apply();
  for (const char* line : {"Skipping network: no TUN device available (IP not applied). No routing entries will be "
                           "created.",
                           "Processing access rules for network", "No access rules available for network",
                           "Rebuild tries"})
    EXPECT_EQ(count_lines(logs, "trace", line), 1u) << line;
  EXPECT_EQ(skipped.current.access_rules, skipped.desired.access_rules);
  EXPECT_EQ(failed.current.access_rules, failed.desired.access_rules);
  EXPECT_TRUE(tries_empty(dp));

  // The address alone does not rebuild; the next rule change does.
  skipped.desired.ip = network::AppliedStatus<util::Ipv4Net>::value(net("10.1.0.1/24"));
  dp.apply();
  EXPECT_TRUE(tries_empty(dp));
  dp.join();
  EXPECT_NE(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), nullptr);
  EXPECT_TRUE(rx_has(dp, "10.1.0.3/32"));
}

TEST(FirewallRebuild, RefusedPeerIsLeftOutAndTriedAgainAtTheNextApply) {
  LogCapture logs;
  DataPlane dp;
  dp.fabric->refuse_initiate(dp.b.pk(), true);
  dp.join();
  EXPECT_EQ(count_lines(logs, "warning", "Failed to create node peer " + dp.b.pk().to_string()), 1u);
  EXPECT_EQ(published(dp, dp.b.pk()), nullptr);
  EXPECT_EQ(dp.agent->firewall->transmit_trie()->get(net("10.0.0.2/32")), nullptr);
  const auto c0 = tx_at(dp, "10.0.0.3/32", "10.0.0.1/32");
  ASSERT_TRUE(c0);

  // The next apply tries the refused key again, even with unchanged rules.
  dp.fabric->refuse_initiate(dp.b.pk(), false);
  dp.apply();
  const auto b1 = tx_at(dp, "10.0.0.2/32", "10.0.0.1/32");
  ASSERT_TRUE(b1);
  EXPECT_TRUE(b1->driver_running());
  EXPECT_EQ(tx_at(dp, "10.0.0.3/32", "10.0.0.1/32"), c0);
  // With nothing left out, unchanged rules rebuild nothing.
  const auto rebuilds = logs.count("Rebuild tries");
  dp.apply();
  EXPECT_EQ(logs.count("Rebuild tries"), rebuilds);
}

TEST(FirewallRebuild, OnePeerPerKeyAndLaterNetworksReplaceSamePrefixWhole) {
  DataPlane dp;
  const auto b = dp.b.pk(), c = dp.c.pk();
  const auto out = Direction::OUT, in = Direction::IN;
  put_network(dp, "file:///a.toml", "10.0.0.1/24",
              {rule(out, "10.0.0.1/32", "10.9.0.0/24", b), rule(out, "10.0.0.7/32", "10.9.0.0/24", b),
               rule(out, "10.0.0.1/32", "10.8.0.0/24", b), rule(in, "10.9.0.0/24", "10.0.0.1/32", b),
               rule(in, "10.9.0.0/24", "10.0.0.7/32", b)});
  put_network(dp, "file:///b.toml", "10.0.0.1/24",
              {rule(out, "10.0.0.1/32", "10.9.0.0/24", c), rule(out, "10.0.0.1/32", "10.7.0.0/24", b),
               rule(in, "10.9.0.0/24", "10.0.0.1/32", c)});
  dp.apply();
  const auto peer_b = tx_at(dp, "10.8.0.0/24", "10.0.0.1/32");
  ASSERT_TRUE(peer_b);
  EXPECT_EQ(tx_at(dp, "10.7.0.0/24", "10.0.0.1/32"), peer_b);
  EXPECT_TRUE(peer_b->driver_running());

  const auto* dest = dp.agent->firewall->transmit_trie()->get(net("10.9.0.0/24"));
  ASSERT_TRUE(dest && dest->size() == 1u && dest->get(net("10.0.0.1/32")));
  EXPECT_EQ(dest->get(net("10.0.0.1/32"))->pk(), c);
  const auto* source = dp.agent->firewall->receive_trie()->get(net("10.9.0.0/24"));
  ASSERT_TRUE(source && source->size() == 1u && source->get(net("10.0.0.1/32")));
  EXPECT_EQ(*source->get(net("10.0.0.1/32")), c);
}

}  // namespace
}  // namespace sarvolt::test
