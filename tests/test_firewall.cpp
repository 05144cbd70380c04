#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
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
using network::Action;
using network::Direction;
using Span = std::span<const std::uint8_t>;

constexpr const char* kFirewall = "sarvolt_agent::agent::firewall";

std::size_t count_lines(const LogCapture& logs, const std::string& level, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& l : logs.lines())
    if (l.target == kFirewall && l.level == level && l.text.starts_with(prefix)) ++n;
  return n;
}

// The transmit trie's handle on `pk`, if any leaf carries it.
std::optional<NodePeer> find_peer(const TransmitTrie& tx, const p2p::PubKey& pk) {
  for (const auto& [dest, inner] : tx)
    for (const auto& [source, peer] : inner)
      if (peer.pk() == pk) return peer;
  return std::nullopt;
}

std::shared_ptr<NodePeerInner> published(const DataPlane& dp, const p2p::PubKey& pk) {
  auto p = find_peer(*dp.agent->firewall->transmit_trie(), pk);
  return p ? p->inner() : nullptr;
}

// The peer for (dest, source) in the published transmit trie, if any.
std::shared_ptr<NodePeerInner> tx_at(const DataPlane& dp, const char* dest, const char* source) {
  const auto tx = dp.agent->firewall->transmit_trie();
  const auto* inner = tx->get(net(dest));
  if (!inner) return nullptr;
  const auto* peer = inner->get(net(source));
  return peer ? peer->inner() : nullptr;
}

network::EffectiveAccessRule rule(Direction d, const char* src, const char* dst, const p2p::PubKey& pk) {
  return {d, net(src), net(dst), pk, Action::Allow};
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

TEST(FirewallLookup, EmptyBeforeFirstRebuild) {
  AgentFirewall fw;
  EXPECT_TRUE(fw.transmit_trie()->empty());
  EXPECT_TRUE(fw.receive_trie()->empty());
  agent::OutboundBatches batches;
  EXPECT_FALSE(outbound(*fw.transmit_trie(), ipv4_packet({}), batches));
  EXPECT_TRUE(batches.empty());
  std::vector<Span> to_tun;
  const auto p = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"});
  EXPECT_FALSE(AgentFirewall::handle_inbound_packet(*fw.receive_trie(), p, ip("10.0.0.2"), ip("10.0.0.1"),
                                                    identity_from_seed(2).pk(), to_tun));
  EXPECT_TRUE(to_tun.empty());

  DataPlane dp;
  EXPECT_TRUE(dp.agent->firewall->transmit_trie()->empty());
  EXPECT_TRUE(dp.agent->firewall->receive_trie()->empty());
}

TEST(FirewallLookup, OutboundLongestDestinationOnlyAndBatching) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  const auto peer_b = find_peer(*dp.agent->firewall->transmit_trie(), dp.b.pk());
  const auto peer_c = find_peer(*dp.agent->firewall->transmit_trie(), dp.c.pk());
  ASSERT_TRUE(peer_b && peer_c);

  TransmitTrie tx;
  {
    util::PrefixMap<NodePeer> wide, host, any;
    wide.insert(net("10.0.0.9/32"), *peer_b);
    host.insert(net("10.0.0.1/32"), *peer_c);
    any.insert(net("0.0.0.0/0"), *peer_c);
    tx.insert(net("10.0.0.0/24"), std::move(wide));
    tx.insert(net("10.0.0.5/32"), std::move(host));
    tx.insert(net("0.0.0.0/0"), std::move(any));
  }
  agent::OutboundBatches batches;
  EXPECT_FALSE(outbound(tx, ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.5"}), batches));
  EXPECT_TRUE(batches.empty());
  EXPECT_EQ(count_lines(logs, "debug",
                        "No outbound route found for source: 10.0.0.9 -> 10.0.0.5 (source IP not in routing table)"),
            1u);

  const auto to_b1 = ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.77", .fill = 1});
  const auto to_c = ipv4_packet({.src = "10.0.0.9", .dst = "8.8.8.8", .fill = 2});
  const auto to_b2 = ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.200", .fill = 3});
  const auto to_host = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.5", .fill = 4});
  EXPECT_TRUE(outbound(tx, to_b1, batches));  // 10.0.0.0/24
  EXPECT_TRUE(outbound(tx, to_c, batches));   // 0.0.0.0/0
  EXPECT_TRUE(outbound(tx, to_b2, batches));
  EXPECT_TRUE(outbound(tx, to_host, batches));  // 10.0.0.5/32
  ASSERT_EQ(batches.batches().size(), 2u);
  const auto& first = batches.batches()[0];
  const auto& second = batches.batches()[1];
  EXPECT_EQ(first.peer, peer_b->inner());
  EXPECT_EQ(second.peer, peer_c->inner());
  ASSERT_EQ(first.packets.size(), 2u);
  ASSERT_EQ(second.packets.size(), 2u);
  EXPECT_EQ(first.packets[0].data(), to_b1.data());
  EXPECT_EQ(first.packets[0].size(), to_b1.size());
  EXPECT_EQ(first.packets[1].data(), to_b2.data());
  EXPECT_EQ(second.packets[0].data(), to_c.data());
  EXPECT_EQ(second.packets[1].data(), to_host.data());

  batches.clear();
  EXPECT_TRUE(batches.empty());
  EXPECT_TRUE(outbound(tx, to_c, batches));
  ASSERT_EQ(batches.batches().size(), 1u);
  EXPECT_EQ(batches.batches()[0].peer, peer_c->inner());
  EXPECT_EQ(batches.batches()[0].packets.size(), 1u);
}

TEST(FirewallLookup, InboundChecksTheExpectedKey) {
  LogCapture logs;
  const auto b = identity_from_seed(2).pk(), c = identity_from_seed(3).pk();
  ReceiveTrie rx;
  {
    util::PrefixMap<p2p::PubKey> wide, host, peer_b;
    wide.insert(net("10.0.0.1/32"), b);
    host.insert(net("10.0.0.99/32"), b);
    peer_b.insert(net("10.0.0.1/32"), b);
    rx.insert(net("192.168.1.0/24"), std::move(wide));
    rx.insert(net("192.168.1.7/32"), std::move(host));
    rx.insert(net("10.0.0.2/32"), std::move(peer_b));
  }
  std::vector<Span> to_tun;
  const auto spoofed = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"});
  EXPECT_TRUE(AgentFirewall::handle_inbound_packet(rx, spoofed, ip("10.0.0.2"), ip("10.0.0.1"), c, to_tun));
  EXPECT_TRUE(to_tun.empty());
  EXPECT_EQ(count_lines(logs, "warning",
                        "Security violation: packet source mismatch - received from peer " + c.to_string() +
                            " with source IP 10.0.0.2 but expected peer " + b.to_string() + " for this route"),
            1u);

  const auto good = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .fill = 7});
  EXPECT_TRUE(AgentFirewall::handle_inbound_packet(rx, good, ip("10.0.0.2"), ip("10.0.0.1"), b, to_tun));
  ASSERT_EQ(to_tun.size(), 1u);
  EXPECT_EQ(Bytes(to_tun[0].begin(), to_tun[0].end()), good);

  // The /32 source entry is chosen and its inner map lacks 10.0.0.1.
  const auto p = ipv4_packet({.src = "192.168.1.7", .dst = "10.0.0.1"});
  EXPECT_FALSE(AgentFirewall::handle_inbound_packet(rx, p, ip("192.168.1.7"), ip("10.0.0.1"), b, to_tun));
  EXPECT_TRUE(AgentFirewall::handle_inbound_packet(rx, p, ip("192.168.1.8"), ip("10.0.0.1"), b, to_tun));
  EXPECT_FALSE(AgentFirewall::handle_inbound_packet(rx, p, ip("172.16.0.1"), ip("10.0.0.1"), b, to_tun));
  EXPECT_EQ(to_tun.size(), 2u);
  EXPECT_EQ(count_lines(logs, "warning", "Security violation"), 1u);
}

TEST(FirewallLookup, SpoofedPacketFromPeerIsOnlyTheViolation) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  dp.from_peer(dp.c.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"}));
  dp.from_peer(dp.c.pk(), ipv4_packet({.src = "10.0.0.3", .dst = "10.0.0.1", .fill = 0x33}));
  ASSERT_TRUE(dp.tun_read());
  EXPECT_EQ(count_lines(logs, "warning", "Security violation: packet source mismatch"), 1u);
  EXPECT_EQ(logs.count("No inbound route found"), 0u);
}

TEST(FirewallRebuild, OnlyAccessRuleChangesRebuild) {
  DataPlane dp;
  dp.join();
  LogCapture logs;
  dp.apply();
  auto& n = dp.networks.begin()->second;
  n.desired.ip = network::AppliedStatus<util::Ipv4Net>::value(net("10.0.0.1/16"));
  dp.apply();
  EXPECT_EQ(n.current.ip, n.desired.ip);
  EXPECT_EQ(logs.count("Rebuild tries"), 0u);
  EXPECT_EQ(logs.count("Access rules change"), 0u);
}

TEST(FirewallRebuild, ChangeRebuildsFromAllNetworksAndKeepsPeers) {
  DataPlane dp;
  dp.join();
  const auto b0 = published(dp, dp.b.pk()), c0 = published(dp, dp.c.pk());
  ASSERT_TRUE(b0 && c0);

  LogCapture logs;
  put_network(dp, "file:///other.toml", "10.1.0.1/24", {rule(Direction::OUT, "10.1.0.1/32", "10.1.0.3/32", dp.c.pk())});
  dp.apply();
  EXPECT_EQ(count_lines(logs, "trace", "Rebuild tries"), 1u);
  EXPECT_EQ(count_lines(logs, "trace", "Access rules change: current=\n"), 1u);
  EXPECT_EQ(count_lines(logs, "trace", "Tries rebuilt successfully."), 1u);
  EXPECT_EQ(tx_at(dp, "10.0.0.2/32", "10.0.0.1/32"), b0);
  EXPECT_EQ(tx_at(dp, "10.0.0.3/32", "10.0.0.1/32"), c0);
  EXPECT_EQ(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), c0);
  EXPECT_TRUE(b0->driver_running());
  EXPECT_TRUE(c0->driver_running());
  EXPECT_NE(dp.agent->firewall->receive_trie()->get(net("10.0.0.2/32")), nullptr);

  const auto out = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.2"});
  dp.tun_write(out);
  const auto sent = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], out);
}

TEST(FirewallRebuild, PeersWhoseKeyDisappearsEnd) {
  DataPlane dp;
  dp.join();
  const auto b0 = published(dp, dp.b.pk()), c0 = published(dp, dp.c.pk());
  ASSERT_TRUE(b0 && c0);
  EXPECT_TRUE(b0->driver_running());

  dp.join(false);  // members stay, every pair denied
  EXPECT_TRUE(dp.agent->firewall->transmit_trie()->empty());
  EXPECT_TRUE(dp.agent->firewall->receive_trie()->empty());
  EXPECT_TRUE(DataPlane::eventually([&] { return !b0->driver_running() && !c0->driver_running(); }));

  dp.join(true);
  const auto b1 = published(dp, dp.b.pk());
  ASSERT_TRUE(b1);
  EXPECT_NE(b1, b0);
  EXPECT_TRUE(b1->driver_running());

  dp.leave_all();
  EXPECT_TRUE(dp.agent->firewall->transmit_trie()->empty());
  EXPECT_TRUE(dp.agent->firewall->receive_trie()->empty());
  EXPECT_TRUE(DataPlane::eventually([&] { return !b1->driver_running(); }));
}

TEST(FirewallRebuild, NetworkWithoutTunAddressIsSkipped) {
  LogCapture logs;
  DataPlane dp;
  auto& n = put_network(dp, "file:///skip.toml", std::nullopt,
                        {rule(Direction::OUT, "10.1.0.1/32", "10.1.0.3/32", dp.c.pk()),
                         rule(Direction::IN, "10.1.0.3/32", "10.1.0.1/32", dp.c.pk())});
  dp.apply();
  EXPECT_EQ(count_lines(logs, "trace",
                        "Skipping network: no TUN device available (IP not applied). No routing entries will be "
                        "created."),
            1u);
  EXPECT_EQ(n.current.access_rules, n.desired.access_rules);
  EXPECT_TRUE(dp.agent->firewall->transmit_trie()->empty());
  EXPECT_TRUE(dp.agent->firewall->receive_trie()->empty());

  // The address alone does not rebuild; the next rule change does.
  n.desired.ip = network::AppliedStatus<util::Ipv4Net>::value(net("10.1.0.1/24"));
  dp.apply();
  EXPECT_EQ(count_lines(logs, "trace", "Rebuild tries"), 1u);
  EXPECT_EQ(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), nullptr);
  dp.join();
  EXPECT_NE(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), nullptr);
  EXPECT_NE(dp.agent->firewall->receive_trie()->get(net("10.1.0.3/32")), nullptr);
}

TEST(FirewallRebuild, NetworksWithoutRulesAddNothing) {
  LogCapture logs;
  DataPlane dp;
  put_network(dp, "file:///empty.toml", "10.1.0.1/24", {});
  auto& failed = put_network(dp, "file:///failed.toml", "10.2.0.1/24", {});
  failed.desired.access_rules = network::AppliedStatus<network::EffectiveAccessRuleList>::failed("bad rules");
  dp.apply();
  EXPECT_EQ(failed.current.access_rules, failed.desired.access_rules);
  EXPECT_EQ(count_lines(logs, "trace", "Processing access rules for network"), 1u);
  EXPECT_EQ(count_lines(logs, "trace", "No access rules available for network"), 1u);
  EXPECT_EQ(count_lines(logs, "trace", "Rebuild tries"), 1u);
  EXPECT_TRUE(dp.agent->firewall->transmit_trie()->empty());
  EXPECT_TRUE(dp.agent->firewall->receive_trie()->empty());
}

TEST(FirewallRebuild, OnePeerPerKeyAcrossNetworks) {
  DataPlane dp;
  put_network(dp, "file:///one.toml", "10.0.0.1/24", {rule(Direction::OUT, "10.0.0.1/32", "10.0.0.2/32", dp.b.pk())});
  put_network(dp, "file:///two.toml", "10.1.0.1/24",
              {rule(Direction::OUT, "10.1.0.1/32", "10.1.0.2/32", dp.b.pk()),
               rule(Direction::OUT, "10.1.0.1/32", "10.1.0.0/24", dp.b.pk())});
  dp.apply();
  const auto b = tx_at(dp, "10.0.0.2/32", "10.0.0.1/32");
  ASSERT_TRUE(b);
  EXPECT_EQ(tx_at(dp, "10.1.0.2/32", "10.1.0.1/32"), b);
  EXPECT_EQ(tx_at(dp, "10.1.0.0/24", "10.1.0.1/32"), b);
  EXPECT_TRUE(b->driver_running());
}

TEST(FirewallRebuild, RefusedPeerIsLeftOutUntilALaterRebuild) {
  LogCapture logs;
  DataPlane dp;
  dp.fabric->refuse_initiate(dp.b.pk(), true);
  dp.join();
  std::size_t warned = 0;
  for (const auto& l : logs.lines())
    if (l.target == kFirewall && l.level == "warning" && l.text.find(dp.b.pk().to_string()) != std::string::npos)
      ++warned;
  EXPECT_EQ(warned, 1u);
  EXPECT_EQ(published(dp, dp.b.pk()), nullptr);
  EXPECT_EQ(dp.agent->firewall->transmit_trie()->get(net("10.0.0.2/32")), nullptr);
  const auto c0 = tx_at(dp, "10.0.0.3/32", "10.0.0.1/32");
  ASSERT_TRUE(c0);
  EXPECT_TRUE(c0->driver_running());

  dp.fabric->refuse_initiate(dp.b.pk(), false);
  dp.apply();
  EXPECT_EQ(published(dp, dp.b.pk()), nullptr);

  dp.join(true, "file:///again.toml");
  const auto b1 = tx_at(dp, "10.0.0.2/32", "10.0.0.1/32");
  ASSERT_TRUE(b1);
  EXPECT_TRUE(b1->driver_running());
  EXPECT_EQ(tx_at(dp, "10.0.0.3/32", "10.0.0.1/32"), c0);
}

TEST(FirewallRebuild, LaterNetworkReplacesSamePrefixWhole) {
  DataPlane dp;
  const auto b = dp.b.pk(), c = dp.c.pk();
  put_network(dp, "file:///a.toml", "10.0.0.1/24",
              {rule(Direction::OUT, "10.0.0.1/32", "10.9.0.0/24", b), rule(Direction::OUT, "10.0.0.7/32", "10.9.0.0/24", b),
               rule(Direction::IN, "10.9.0.0/24", "10.0.0.1/32", b), rule(Direction::IN, "10.9.0.0/24", "10.0.0.7/32", b)});
  put_network(dp, "file:///b.toml", "10.0.0.1/24",
              {rule(Direction::OUT, "10.0.0.1/32", "10.9.0.0/24", c), rule(Direction::IN, "10.9.0.0/24", "10.0.0.1/32", c)});
  dp.apply();

  const auto tx = dp.agent->firewall->transmit_trie();
  const auto* dest = tx->get(net("10.9.0.0/24"));
  ASSERT_NE(dest, nullptr);
  ASSERT_EQ(dest->size(), 1u);
  ASSERT_NE(dest->get(net("10.0.0.1/32")), nullptr);
  EXPECT_EQ(dest->get(net("10.0.0.1/32"))->pk(), c);
  agent::OutboundBatches batches;
  EXPECT_FALSE(outbound(*tx, ipv4_packet({.src = "10.0.0.7", .dst = "10.9.0.5"}), batches));

  const auto rx = dp.agent->firewall->receive_trie();
  const auto* source = rx->get(net("10.9.0.0/24"));
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(source->size(), 1u);
  EXPECT_EQ(*source->get(net("10.0.0.1/32")), c);
  std::vector<Span> to_tun;
  const auto p = ipv4_packet({.src = "10.9.0.5", .dst = "10.0.0.7"});
  EXPECT_FALSE(AgentFirewall::handle_inbound_packet(*rx, p, ip("10.9.0.5"), ip("10.0.0.7"), b, to_tun));
}

}  // namespace
}  // namespace sarvolt::test
