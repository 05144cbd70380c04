// The data plane over the in-memory fabric and a socket pair as the TUN
// device: the firewall's lookups and rebuilds, and the packet drivers:
// forwarding, drops, ICMP answers, back-pressure and lifetimes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

#include "agent/netif/packet_steps.hpp"
#include "data_plane.hpp"
#include "heap_count.hpp"
#include "support.hpp"
#include "util/busy_poll.hpp"
#include "util/packet.hpp"

namespace sarvolt::test {
namespace {

using agent::AgentFirewall;
using agent::NodePeer;
using network::Direction;

const Bytes kPacket = ipv4_packet({});

std::shared_ptr<NodePeer> published(const DataPlane& dp, const p2p::PubKey& pk) {
  for (const auto& peer : dp.agent->firewall->tries()->peers)
    if (peer->pk() == pk) return peer;
  return nullptr;
}

const NodePeer* tx_at(const DataPlane& dp, const char* dest, const char* source) {
  const auto* inner = dp.agent->firewall->tries()->tx.get(net(dest));
  const auto* peer = inner ? inner->get(net(source)) : nullptr;
  return peer ? *peer : nullptr;  // the peer for (dest, source), if any
}

bool rx_has(const DataPlane& dp, const char* source) { return dp.agent->firewall->tries()->rx.get(net(source)); }

network::EffectiveAccessRule rule(Direction d, const char* src, const char* dst, const p2p::PubKey& pk) {
  return {d, net(src), net(dst), pk, network::Action::Allow};
}

network::Network& put_network(DataPlane& dp, const std::string& url, std::optional<const char*> own_ip,
                              const std::vector<network::EffectiveAccessRule>& rules) {  // not applied yet
  const auto u = *util::Url::parse(url);
  auto& n = dp.networks.try_emplace(u, network::Network(u)).first->second;
  network::EffectiveAccessRuleList list;
  for (const auto& r : rules) list.rules.insert_or_assign({r.direction, r.source, r.dest}, r);
  n.desired.ip = own_ip ? network::AppliedStatus<util::Ipv4Net>::value(net(*own_ip))
                        : network::AppliedStatus<util::Ipv4Net>{};
  n.desired.access_rules = {std::move(list), std::nullopt};
  return n;
}

Bytes control_packet(const char* src, const char* dst) {
  auto p = ipv4_packet({.src = src, .dst = dst, .payload = 40});
  std::copy(util::kControlMagic.begin(), util::kControlMagic.end(), p.begin() + 28);
  return p;
}

// Waits until the driver of a one-thread runtime forwarded a packet and ended that read pass.
void forwarded(DataPlane& dp, const LogCapture& logs, std::size_t before) {
  ASSERT_TRUE(eventually([&] { return logs.count("Successfully forwarded packet to channel") > before; }));
  std::promise<void> ran;
  boost::asio::post(dp.io, [&] { ran.set_value(); });
  ASSERT_EQ(ran.get_future().wait_for(2s), std::future_status::ready);
}

// An A query for b.sarvolt.zz, id 0x1234, recursion desired.
const Bytes kQueryB = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'b', 7, 's',
                       'a', 'r', 'v', 'o', 'l', 't', 2, 'z', 'z', 0, 0, 1, 0, 1};

// Log lines of `target` at `level` that start with `prefix`.
std::size_t count_lines(const LogCapture& logs, const std::string& level, const std::string& prefix,
                        const std::string& target = "sarvolt_agent::agent::firewall") {
  const auto lines = logs.lines();
  return std::ranges::count_if(
      lines, [&](const LogLine& l) { return l.target == target && l.level == level && l.text.starts_with(prefix); });
}

// `reply` is the ICMP error of `type` and `code` about `p`: from p's destination back to its source, with
// both checksums right, quoting p's header and 8 bytes.
::testing::AssertionResult icmp_error_about(const std::optional<Bytes>& reply, const Bytes& p, std::uint8_t type = 3,
                                            std::uint8_t code = 1) {
  if (!reply) return ::testing::AssertionFailure() << "no reply";
  const Bytes& r = *reply;
  const std::size_t quoted = std::min<std::size_t>(p.size(), 28);
  if (r.size() != 28 + quoted) return ::testing::AssertionFailure() << r.size() << " bytes";
  const auto at = [](const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
  };
  if (r[9] != 1 || at(r, 12, 4) != at(p, 16, 4) || at(r, 16, 4) != at(p, 12, 4) || r[20] != type || r[21] != code ||
      at(r, 28, quoted) != at(p, 0, quoted))
    return ::testing::AssertionFailure() << "not the expected ICMP error about the packet";
  if (ones_sum({r.data(), 20}) != 0xFFFF || ones_sum({r.data() + 20, r.size() - 20}) != 0xFFFF)
    return ::testing::AssertionFailure() << "bad checksum";
  return ::testing::AssertionSuccess();
}

// A two-level trie from (outer prefix, inner prefix, value) rows, one row per outer prefix.
template <class V, class Leaf = util::PrefixMap<V>>
util::PrefixMap<Leaf> trie_of(std::initializer_list<std::tuple<const char*, const char*, V>> rows) {
  util::PrefixMap<Leaf> trie;
  for (const auto& [outer, inner, value] : rows) {
    Leaf leaf;
    leaf.insert(net(inner), value);
    trie.insert(net(outer), std::move(leaf));
  }
  return trie;
}

// Removes every access rule that names `pk` from the first network and applies.
void drop_peer_rules(DataPlane& dp, const p2p::PubKey& pk) {
  erase_if(dp.networks.begin()->second.desired.access_rules.applied->rules,
           [&](const auto& kv) { return kv.second.pk == pk; });
  dp.apply();
}

// What the TUN driver does with each packet. A route through B covers the
// DNS server address 10.0.0.254 (as an exit route covers every address):
// queries to it are still answered here; everything else to it takes the
// route.
TEST(TunDriver, ForwardsAnswersLoopsBackAndDrops) {
  DataPlane dp({.with_dns = true});
  auto n = dp.member_network();
  const auto route = rule(Direction::OUT, "10.0.0.1/32", "10.0.0.128/25", dp.b.pk());
  n.desired.access_rules.applied->rules.insert_or_assign({route.direction, route.source, route.dest}, route);
  dp.networks.emplace(n.config_url, n);
  dp.apply();
  auto v6 = ipv4_packet({.dst = "10.0.0.9"});
  auto icmp_error = ipv4_packet({.dst = "10.0.0.9", .protocol = 1, .payload = 36});
  v6[0] = 0x60;
  icmp_error[20] = 3;  // no ICMP error about it, a later fragment or an odd address either
  for (const Bytes& p : {control_packet("10.0.0.1", "10.0.0.2"), v6, Bytes(10, 0x45),
                         ipv4_packet({.payload = 1261}) /* over the MTU */, icmp_error,
                         ipv4_packet({.dst = "10.0.0.9", .fragment_offset = 100}),
                         ipv4_packet({.src = "0.0.0.0", .dst = "10.0.0.9"}), ipv4_packet({.dst = "224.0.0.5"})})
    dp.tun->write(p);
  const auto loop = ipv4_packet({.dst = "10.0.0.1", .fill = 0x5A});
  dp.tun->write(loop);
  EXPECT_EQ(dp.tun->read(), loop) << "a packet to ourselves comes back untouched";
  const Bytes b_query = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'b', 7, 's',  // A b.sarvolt.zz, id 0x1234, RD
                         'a', 'r', 'v', 'o', 'l', 't', 2, 'z', 'z', 0, 0, 1, 0, 1};
  dp.tun->write(ipv4_packet({.dst = "10.0.0.254", .dport = 53, .sport = 40001, .data = b_query}));
  const auto reply = dp.tun->read();
  ASSERT_TRUE(reply && reply->size() > 40);
  EXPECT_EQ(Bytes(reply->begin() + 12, reply->begin() + 24), (Bytes{10, 0, 0, 254, 10, 0, 0, 1, 0, 53, 0x9C, 0x41}))
      << "from the server address and port 53 back to the client's port";
  EXPECT_EQ(Bytes(reply->end() - 4, reply->end()), (Bytes{10, 0, 0, 2})) << "b's address";
  const auto fits = ipv4_packet({.payload = 1260});
  const auto routed = ipv4_packet({.dst = "10.0.0.254", .dport = 5353, .data = b_query});
  dp.tun->write(fits);
  dp.tun->write(routed);
  EXPECT_EQ(dp.sent_to(dp.b.pk(), 2), (std::vector<Bytes>{fits, routed}));
  const auto unrouted = ipv4_packet({.dst = "10.0.0.9"});
  dp.tun->write(unrouted);
  const auto icmp = dp.tun->read();
  ASSERT_TRUE(icmp);
  EXPECT_EQ(Bytes(icmp->begin() + 20, icmp->begin() + 22), (Bytes{3, 1})) << "host unreachable";
  EXPECT_EQ(Bytes(icmp->begin() + 28, icmp->end()), Bytes(unrouted.begin(), unrouted.begin() + 28));
  EXPECT_FALSE(dp.tun->read(50ms));
}

TEST(TunDriver, PendingHandOverStopsReadingKeepsOrderAndEndsWithItsPeer) {
  LogCapture logs;
  DataPlane dp({.threads = 1});
  dp.join();
  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), true);
  for (std::uint8_t i = 1; i <= 3; ++i) dp.tun->write(ipv4_packet({.fill = i}));
  forwarded(dp, logs, 0);  // the driver waits on the hand-over
  dp.tun->write(ipv4_packet({.dst = "10.0.0.3", .fill = 4}));
  dp.tun->write(ipv4_packet({.dst = "10.0.0.9", .fill = 5}));
  EXPECT_FALSE(dp.tun->read(100ms)) << "nothing is read while a hand-over waits";

  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), false);
  EXPECT_EQ(dp.sent_to(dp.b.pk(), 3),
            (std::vector{ipv4_packet({.fill = 1}), ipv4_packet({.fill = 2}), ipv4_packet({.fill = 3})}));
  EXPECT_EQ(dp.sent_to(dp.c.pk(), 1).size(), 1u);
  EXPECT_TRUE(dp.tun->read()) << "the unroutable packet is answered once reading resumes";
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.b.pk()), 3u) << "nothing is sent twice";

  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), true);  // B is removed while its hand-over waits
  const auto before = logs.count("Successfully forwarded packet to channel");
  dp.tun->write(ipv4_packet({}));
  forwarded(dp, logs, before);
  put_network(dp, "file:///net.toml", "10.0.0.1/24", {rule(Direction::OUT, "10.0.0.1/32", "10.0.0.3/32", dp.c.pk())});
  dp.apply();
  dp.tun->write(ipv4_packet({.dst = "10.0.0.3", .fill = 9}));
  const auto to_c = dp.sent_to(dp.c.pk(), 1);
  ASSERT_EQ(to_c.size(), 1u) << "one dead peer must not stall the tunnel";
  EXPECT_EQ(to_c[0].back(), 9);
}

TEST(TunDriver, YieldsDuringAFloodOfDroppedPackets) {
  constexpr int kFlood = 150;  // fits the socket buffer
  DataPlane dp({.threads = 1});
  dp.join();
  // A marker posted at the first drop queues behind the flooding driver; it must run before the flood ends.
  std::atomic<int> drops{0}, drops_at_marker{-1};
  LogCapture logs([&](const LogLine& l) {
    if (l.text.starts_with("Failed to decode IP packet") && drops++ == 0)
      boost::asio::post(dp.io, [&] { drops_at_marker = drops.load(); });
  });
  std::promise<void> release;  // holds the only runtime thread: the driver wakes to the whole flood
  boost::asio::post(dp.io, [f = release.get_future().share()] { f.wait(); });
  for (int i = 0; i < kFlood; ++i) dp.tun->write(Bytes(10, 0x45));
  release.set_value();
  EXPECT_TRUE(eventually([&] { return drops == kFlood; }));
  EXPECT_GT(drops_at_marker, 0);
  EXPECT_LT(drops_at_marker, kFlood);
}

TEST(NodePeerDriver, DeliversAcceptedPacketsDropsTheRestAndEndsWithTheAgent) {
  LogCapture logs;
  DataPlane dp({.mtu = 1280});
  dp.join();
  const auto good = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1260, .dont_fragment = true});
  for (const Bytes& p : {control_packet("10.0.0.2", "10.0.0.1"), Bytes(19, 0x45),
                         ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.77"}), good})
    dp.from_peer(dp.b.pk(), p);
  for (int i = 0; i < 300; ++i) dp.from_peer(dp.c.pk(), good);  // B's source from C, more than one pass handles
  EXPECT_EQ(dp.tun->read(), good) << "exactly the MTU";
  for (const auto& [line, count] :
       {std::pair{"Dropping Sarvolt control plane packet", 1u}, {"Failed to decode IP packet", 1u},
        {"No inbound route found for destination", 1u}, {"Security violation: packet source mismatch", 300u}})
    EXPECT_TRUE(eventually([&, line = line, count = count] { return logs.count(line) == count; })) << line;

  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1261, .dont_fragment = true}));
  const auto icmp = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(icmp.size(), 1u);
  ASSERT_EQ(icmp[0].size(), 56u) << "one byte over with DF: fragmentation needed, MTU 1280, back to the peer";
  EXPECT_EQ(Bytes(icmp[0].begin() + 20, icmp[0].begin() + 28), (Bytes{3, 4, icmp[0][22], icmp[0][23], 0, 0, 5, 0}));
  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1261}));
  EXPECT_EQ(dp.tun->read()->size(), 1281u) << "without DF it passes";
  const auto from_c = ipv4_packet({.src = "10.0.0.3", .dst = "10.0.0.1"});
  dp.from_peer(dp.c.pk(), from_c);
  EXPECT_EQ(dp.tun->read(), from_c) << "C's driver goes on after its many drops";
  EXPECT_FALSE(dp.tun->read(50ms));

  const auto peers = dp.agent->firewall->tries()->peers;
  ASSERT_EQ(peers.size(), 2u);
  std::weak_ptr<agent::AgentInner> weak = dp.agent;
  dp.agent.reset();
  dp.networks.clear();
  EXPECT_TRUE(weak.expired()) << "drivers must not keep the agent core alive";
  for (auto& p : peers) EXPECT_TRUE(eventually([&] { return !p->driver_running(); }));
  EXPECT_TRUE(eventually([&] { return logs.count("TunDeviceDriver ready") == 1; }));
}

TEST(Lifetimes, PeersReleasedBeforeTheirDriversRanAreSafe) {
  // Drivers end at their first step as the last handle goes: no use after free (ASan).
  for (int round = 0; round < 20; ++round) {
    DataPlane dp;
    dp.join();
    dp.leave_all();
  }
  DataPlane dp({.with_tun = false, .with_dns = false, .threads = 0, .members = 40});
  for (std::size_t i = 1; i < dp.ids.size(); ++i)
    ASSERT_TRUE(agent::NodePeer::create(*dp.agent->data_plane, dp.ids[i].pk()));
  for (int i = 0; i < 10000 && dp.io.poll() > 0; ++i) {
  }
}

// Everything runs on this thread, so its heap balance is the peers' cost: an
// idle peer (link, driver, its wait) stays small, and a burst after the idle
// time still crosses in full.
TEST(NodePeerDriver, IdlePeersAreCheapAndGrowOnTraffic) {
  DataPlane dp({.with_tun = true, .with_dns = false, .queue_capacity = 512, .threads = 0, .members = 201});
  auto poll = [&] {
    for (int i = 0; i < 100000 && dp.io.poll() > 0; ++i) {
    }
  };
  poll();
  std::vector<std::shared_ptr<agent::NodePeer>> peers;
  for (std::size_t i = 1; i < dp.ids.size(); ++i)  // the fabric's queues, as the links of remote nodes
    dp.fabric->queued(dp.a.pk(), dp.ids[i].pk()), dp.fabric->queued(dp.ids[i].pk(), dp.a.pk());
  const std::int64_t before = test::thread_heap_bytes();
  for (std::size_t i = 1; i < dp.ids.size(); ++i)
    peers.push_back(agent::NodePeer::create(*dp.agent->data_plane, dp.ids[i].pk()).value());
  poll();
  const std::int64_t per_peer = (test::thread_heap_bytes() - before) / static_cast<std::int64_t>(peers.size());
  EXPECT_LT(per_peer, 6144) << "bytes per idle peer";
  for (const auto& p : peers) EXPECT_TRUE(p->driver_running());

  const auto packet = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"});
  for (int i = 0; i < 300; ++i) dp.from_peer(dp.b.pk(), packet);
  poll();
  EXPECT_EQ(dp.fabric->queued(dp.a.pk(), dp.b.pk()), 0u) << "the burst was read in full";
  EXPECT_TRUE(peers[0]->driver_running());
}

// Peers made together take their blocks from shared slabs: the spawner pays
// about one block a peer (its link), each peer still stops and goes alone,
// and the last one of a slab frees it (ASan sees any use after that).
TEST(NodePeerBlocks, PeersMadeTogetherShareSlabsAndEachGoesAlone) {
  DataPlane dp({.with_tun = false, .with_dns = false, .threads = 0, .members = 101});
  auto poll = [&] {
    for (int i = 0; i < 100000 && dp.io.poll() > 0; ++i) {
    }
  };
  poll();
  for (std::size_t i = 1; i < dp.ids.size(); ++i)  // the fabric's queues, as the links of remote nodes
    dp.fabric->queued(dp.a.pk(), dp.ids[i].pk()), dp.fabric->queued(dp.ids[i].pk(), dp.a.pk());
  auto& ctx = *dp.agent->data_plane;
  std::vector<std::int64_t> kept_bytes;
  // The second round repeats the first: what the first left (table room)
  // serves it, so it leaves little more once its peers are gone.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::shared_ptr<agent::NodePeer>> peers;
    peers.reserve(dp.ids.size());
    std::size_t blocks = 0;
    {
      util::TaskGroup::Batch starts(ctx.tasks);
      starts.reserve(dp.ids.size());
      std::shared_ptr<const agent::NodePeer::Shared> shared;
      agent::NodePeer::Blocks slabs;
      const std::size_t before = test::thread_heap_allocations();
      for (std::size_t i = 1; i < dp.ids.size(); ++i)
        peers.push_back(agent::NodePeer::create(ctx, dp.ids[i].pk(), &starts, &shared, &slabs).value());
      blocks = test::thread_heap_allocations() - before;
    }
    const std::size_t n = peers.size();
    // Links, and a few blocks for slabs, entries, lists and the shared state.
    EXPECT_LE(blocks, n + n / 4) << blocks << " blocks for " << n << " peers";
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(peers[i]->pk(), dp.ids[i + 1].pk());
    poll();
    for (const auto& p : peers) EXPECT_TRUE(p->driver_running());

    // Every other peer goes: the rest go on, in the slabs the gone ones shared.
    std::vector<std::shared_ptr<agent::NodePeer>> kept;
    std::vector<std::weak_ptr<agent::NodePeer>> gone;
    for (std::size_t i = 0; i < n; ++i) {
      if (i % 2 == 1)
        kept.push_back(peers[i]);
      else
        gone.push_back(peers[i]);
    }
    peers.clear();
    poll();
    for (const auto& w : gone) EXPECT_TRUE(w.expired());
    for (const auto& p : kept) {
      EXPECT_TRUE(p->driver_running());
      EXPECT_FALSE(p->link()->closed());
    }
    kept.back()->stop();
    poll();
    EXPECT_FALSE(kept.back()->driver_running());
    EXPECT_TRUE(kept.front()->driver_running());
    kept.clear();
    poll();
    EXPECT_EQ(ctx.tasks.size(), 0u);
    kept_bytes.push_back(test::thread_heap_bytes());
  }
  // Slabs kept past their last peer would hold about 96 bytes a peer.
  EXPECT_LT(kept_bytes[1] - kept_bytes[0], 4096) << "every slab went with its last peer";
}

// A first apply of `members - 1` new peers on this thread (the fabric's queues
// made first, as the links of remote nodes) and the heap blocks it took.
struct FirstApply {
  explicit FirstApply(std::size_t members) : dp({.with_tun = false, .with_dns = false, .threads = 0, .members = members}) {
    poll();
    for (std::size_t i = 1; i < dp.ids.size(); ++i)
      dp.fabric->queued(dp.a.pk(), dp.ids[i].pk()), dp.fabric->queued(dp.ids[i].pk(), dp.a.pk());
    auto net = dp.member_network();
    net.current.ip = net.desired.ip;
    networks.emplace(net.config_url, net);
    const std::size_t before = test::thread_heap_allocations();
    dp.agent->firewall->apply_desired_state(*dp.agent->data_plane, networks);
    blocks = test::thread_heap_allocations() - before;
    peers = dp.agent->firewall->tries()->peers;
  }
  void poll() {
    for (int i = 0; i < 100000 && dp.io.poll() > 0; ++i) {
    }
  }
  // The network leaves: every driver ends.
  void leave() {
    networks.begin()->second.desired = network::AgentState{};
    dp.agent->firewall->apply_desired_state(*dp.agent->data_plane, networks);
    poll();
  }
  DataPlane dp;
  network::NetworkMap networks;
  std::size_t blocks = 0;
  std::vector<std::shared_ptr<agent::NodePeer>> peers;
};

// The first apply on this thread: each new peer costs a few heap blocks (peer,
// link, wakers, driver, task), and every driver runs once the runtime does.
TEST(FirewallRebuild, FirstApplyCostsAFewBlocksPerNewPeer) {
  FirstApply first(201);
  ASSERT_EQ(first.peers.size(), 200u);
  EXPECT_LE(first.blocks / first.peers.size(), 8u) << first.blocks << " blocks for " << first.peers.size() << " peers";
  first.poll();
  for (const auto& p : first.peers) EXPECT_TRUE(p->driver_running());
  first.leave();
  for (const auto& p : first.peers) EXPECT_FALSE(p->driver_running());
}

// Peers, their links and their task entries come in shared blocks, and the
// peer table's room is made once: a first apply allocates far less than a
// block per new peer. A second apply over the same keys reuses them all.
TEST(FirewallRebuild, FirstApplySharesBlocksAcrossNewPeers) {
  FirstApply first(401);
  auto& dp = first.dp;
  ASSERT_EQ(first.peers.size(), 400u);
  EXPECT_LE(first.blocks, first.peers.size() / 2) << first.blocks << " blocks for " << first.peers.size() << " peers";
  first.poll();
  for (const auto& p : first.peers) EXPECT_TRUE(p->driver_running());
  EXPECT_EQ(dp.agent->data_plane->tasks.size(), 400u);
  dp.agent->firewall->update_tries(*dp.agent->data_plane, first.networks);
  EXPECT_EQ(dp.agent->firewall->tries()->peers, first.peers);
  first.leave();
  for (const auto& p : first.peers) EXPECT_FALSE(p->driver_running());
  EXPECT_EQ(dp.agent->data_plane->tasks.size(), 0u);
}

TEST(WithoutTunDevice, MtuBelowTheIpv4MinimumFallsBackAndPeersDropWithAWarning) {
  LogCapture logs;
  ScopedEnv arm("SARVOLT_ARM_MESSAGES", std::nullopt);
  for (const auto& [configured, mtu] : {std::pair<std::optional<std::uint16_t>, int>{0, 1280}, {67, 1280}, {68, 68},
                                        {std::nullopt, 1280}})
    EXPECT_EQ(agent::tun_mtu_from(configured), mtu);
  EXPECT_EQ(logs.count("Configured MTU 0 is below the IPv4 minimum of 68"), 1u);
  DataPlane dp({.with_tun = false, .mtu = 0});
  EXPECT_EQ(dp.agent->tun_mtu(), 1280);
  dp.join();
  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"}));
  EXPECT_TRUE(eventually([&] { return logs.count("No TUN device available, dropping 1 received datagram(s).") == 1; }));
}

TEST(AsyncTun, SendAllTriesEveryPacketAndReportsTheFirstError) {
  Runtime rt;
  SocketTun st;
  const Bytes ok1(100, 1), too_big(8 << 20, 2), ok2(100, 3);
  const std::span<const std::uint8_t> batch[] = {ok1, too_big, ok2};
  const auto r = rt.run(st.take(rt.io)->send_all(batch));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), std::errc::message_size);
  EXPECT_EQ(st.read(), ok1);
  EXPECT_EQ(st.read(), ok2) << "the packet after the failed one is still written";
}

// Sends `count` numbered packets of 200 bytes, one by one; `sent` counts them.
boost::asio::awaitable<void> numbered_writer(std::shared_ptr<util::AsyncTun> tun, std::uint32_t count,
                                             std::uint32_t& sent) {
  std::array<std::uint8_t, 200> p{};
  for (; sent < count; ++sent) {
    std::memcpy(p.data(), &sent, sizeof sent);
    if (!co_await tun->send(p)) co_return;
  }
}

// One thread polls: the writer fills the device, waits, and goes on each
// time the test end drains it. Every packet arrives once and in order, and
// once warm a wait costs at most one heap block (a wait that spawned its own
// coroutine cost about fifteen).
TEST(AsyncTun, BlockedWriterResumesInOrderAndItsWaitsAllocateAtMostOneBlock) {
  Runtime rt(0);
  SocketTun st(4096);
  constexpr std::uint32_t kPackets = 5000;
  std::uint32_t sent = 0, next = 0;
  bool done = false;
  boost::asio::co_spawn(rt.io, numbered_writer(st.take(rt.io), kPackets, sent), [&](std::exception_ptr) { done = true; });
  std::size_t waits = 0, mark = 0;
  std::array<std::uint8_t, 512> buf{};
  for (int round = 0; round < 100000 && next < kPackets; ++round) {
    const std::uint32_t before = sent;
    for (int i = 0; i < 1000 && rt.io.poll() > 0; ++i) {
    }
    if (!done && sent != before && ++waits == 20) mark = thread_heap_allocations();
    ssize_t n;
    while ((n = ::recv(st.test, buf.data(), buf.size(), MSG_DONTWAIT)) > 0) {
      ASSERT_EQ(n, 200);
      std::uint32_t seq;
      std::memcpy(&seq, buf.data(), sizeof seq);
      ASSERT_EQ(seq, next++);
    }
  }
  const std::size_t allocs = thread_heap_allocations() - mark;
  for (int i = 0; i < 1000 && rt.io.poll() > 0; ++i) {
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(next, kPackets);
  ASSERT_GE(waits, 100u) << "the device was seldom full";
  EXPECT_LE(allocs, waits) << "over " << waits - 20 << " waits for room";
}

// Of two writers blocked on a full device, a cancel ends the one it is meant
// for at once; the other writes once room appears. A writer blocked when the
// other end closes ends with an error.
TEST(AsyncTun, CancelEndsOnlyItsWritersWaitAndCloseEndsTheWait) {
  struct sigaction ignore{}, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  const auto restore = std::shared_ptr<void>(nullptr, [&](void*) { ::sigaction(SIGPIPE, &old, nullptr); });
  Runtime rt(0);
  SocketTun st(4096);
  const auto tun = st.take(rt.io);
  const Bytes filler(200, 0), cancelled(200, 1), kept(200, 2);
  std::size_t filled = 0;
  while (tun->try_send(filler) && filled < 10000) ++filled;
  ASSERT_LT(filled, 10000u);
  auto poll = [&] {
    for (int i = 0; i < 1000 && rt.io.poll() > 0; ++i) {
    }
  };
  using Sent = util::Expected<void, std::error_code>;
  boost::asio::cancellation_signal cancel;
  std::optional<std::exception_ptr> first;
  std::optional<Sent> second;
  boost::asio::co_spawn(rt.io, tun->send(cancelled),
                        boost::asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, Sent) { first = e; }));
  boost::asio::co_spawn(rt.io, tun->send(kept), [&](std::exception_ptr, Sent r) { second = r; });
  poll();
  ASSERT_FALSE(first);
  ASSERT_FALSE(second);
  cancel.emit(boost::asio::cancellation_type::terminal);
  poll();
  ASSERT_TRUE(first && *first) << "the cancelled writer ended";
  try {
    std::rethrow_exception(*first);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::operation_aborted);
  }
  EXPECT_FALSE(second) << "the other writer still waits";
  for (std::size_t i = 0; i < filled; ++i) ASSERT_EQ(st.read(), filler);
  poll();
  ASSERT_TRUE(second && *second);
  EXPECT_EQ(st.read(), kept);
  EXPECT_FALSE(st.read(50ms)) << "the cancelled packet was not written";

  while (tun->try_send(filler) && filled < 20000) ++filled;
  std::optional<Sent> third;
  boost::asio::co_spawn(rt.io, tun->send(kept), [&](std::exception_ptr, Sent r) { third = r; });
  poll();
  ASSERT_FALSE(third);
  ::close(std::exchange(st.test, -1));
  for (int i = 0; i < 200 && !third; ++i) {
    poll();
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(third);
  EXPECT_FALSE(*third);
}

// Descriptors of the same open file as `fd` that some epoll set watches.
std::size_t epoll_registrations(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return 0;
  const std::string ino = fmt::format(" ino:{:x} ", st.st_ino);
  std::size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec).string() != "anon_inode:[eventpoll]") continue;
    std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
    for (std::string line; std::getline(info, line);)
      if (line.starts_with("tfd:") && line.find(ino) != std::string::npos) ++n;
  }
  return n;
}

// Only the reader's descriptor is on the reactor while no writer waits for
// room, so a packet queued for reading is one readiness report, not two; a
// waiting writer's descriptor is added for the wait and taken off after it.
TEST(AsyncTun, WriteWaitIsOnTheReactorOnlyWhileAWriterWaits) {
  Runtime rt(0);
  SocketTun st(4096);
  const auto tun = st.take(rt.io);
  auto poll = [&] {
    for (int i = 0; i < 1000 && rt.io.poll() > 0; ++i) {
    }
  };
  EXPECT_EQ(epoll_registrations(tun->fd()), 1u);
  const Bytes filler(200, 0), last(200, 1);
  std::size_t filled = 0;
  while (tun->try_send(filler) && filled < 10000) ++filled;
  ASSERT_LT(filled, 10000u);
  using Sent = util::Expected<void, std::error_code>;
  std::optional<Sent> sent;
  boost::asio::co_spawn(rt.io, tun->send(last), [&](std::exception_ptr, Sent r) { sent = r; });
  poll();
  ASSERT_FALSE(sent);
  EXPECT_EQ(epoll_registrations(tun->fd()), 2u) << "the waiting writer's descriptor";
  for (std::size_t i = 0; i < filled; ++i) ASSERT_EQ(st.read(), filler);
  for (int i = 0; i < 200 && !sent; ++i) rt.io.run_one_for(10ms);
  ASSERT_TRUE(sent && *sent);
  EXPECT_EQ(st.read(), last);
  poll();
  EXPECT_EQ(epoll_registrations(tun->fd()), 1u) << "taken off once no writer waits";
}

// A reader waiting for the device: reads until nothing is left, then waits
// again; `woken` counts its wake-ups, `got` what it read.
boost::asio::awaitable<void> waiting_reader(std::shared_ptr<util::AsyncTun> tun, std::size_t& woken,
                                            std::vector<Bytes>& got) {
  std::array<std::uint8_t, 512> buf{};
  for (;;) {
    for (;;) {
      auto r = tun->try_recv(buf);
      if (!r) break;
      got.emplace_back(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*r));
    }
    co_await tun->wait_readable();
    ++woken;
  }
}

// A writer's wake_reader() runs the waiting reader inline, on the writer's
// thread, before it returns; with no reader waiting it does nothing. The
// reactor's wait the woken reader left behind still wakes the next wait for
// data that comes later, and a cancel still ends that wait.
TEST(AsyncTun, WakeReaderRunsTheWaitingReaderInlineAndNoLaterDataIsMissed) {
  Runtime rt(0);
  SocketTun st;
  const auto tun = st.take(rt.io);
  auto poll = [&] {
    for (int i = 0; i < 1000 && rt.io.poll() > 0; ++i) {
    }
  };
  std::size_t woken = 0;
  std::vector<Bytes> got;
  boost::asio::cancellation_signal cancel;
  std::optional<std::exception_ptr> ended;
  boost::asio::co_spawn(rt.io, waiting_reader(tun, woken, got),
                        boost::asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) { ended = e; }));
  poll();
  ASSERT_EQ(woken, 0u);
  const Bytes answer(60, 7), later(80, 8), last(90, 9);
  bool was_waiting = false;
  std::size_t woken_inline = 0, got_inline = 0;
  boost::asio::post(rt.io, [&] {
    st.write(answer);  // as if the stack answered the writer's packet
    was_waiting = tun->wake_reader();
    woken_inline = woken;
    got_inline = got.size();
  });
  rt.io.run_one();
  EXPECT_TRUE(was_waiting);
  EXPECT_EQ(woken_inline, 1u) << "the reader ran inside wake_reader()";
  ASSERT_EQ(got_inline, 1u);
  EXPECT_EQ(got[0], answer);
  poll();  // the reactor's report of the same packet finds nothing new
  const std::size_t settled = woken;
  EXPECT_LE(settled, 2u);

  st.write(later);
  for (int i = 0; i < 200 && got.size() < 2; ++i) {
    rt.io.run_one_for(10ms);
  }
  ASSERT_EQ(got.size(), 2u) << "data after a woken wait is not missed";
  EXPECT_EQ(got[1], later);
  poll();
  EXPECT_FALSE(ended);

  // Woken again and waiting on the reactor's older wait: a cancel ends it.
  boost::asio::post(rt.io, [&] { EXPECT_TRUE(tun->wake_reader()); });
  poll();
  cancel.emit(boost::asio::cancellation_type::terminal);
  for (int i = 0; i < 200 && !ended; ++i) rt.io.run_one_for(10ms);
  ASSERT_TRUE(ended && *ended);
  try {
    std::rethrow_exception(*ended);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::operation_aborted);
  }
  st.write(last);
  poll();
  EXPECT_EQ(got.size(), 2u);
  EXPECT_FALSE(tun->wake_reader()) << "no reader is left";
}

// A writer that has to wait for room in send_all_and_wake() does not keep
// the waiting reader from the device meanwhile; once written, it wakes it.
TEST(AsyncTun, SendAllAndWakeWaitingForRoomLeavesTheReaderOnTheReactor) {
  Runtime rt(0);
  SocketTun st(4096);
  const auto tun = st.take(rt.io);
  auto poll = [&] {
    for (int i = 0; i < 1000 && rt.io.poll() > 0; ++i) {
    }
  };
  std::size_t woken = 0;
  std::vector<Bytes> got;
  boost::asio::co_spawn(rt.io, waiting_reader(tun, woken, got), boost::asio::detached);
  poll();
  const Bytes filler(200, 0), last(200, 1), incoming(70, 2);
  std::size_t filled = 0;
  while (tun->try_send(filler) && filled < 10000) ++filled;
  ASSERT_LT(filled, 10000u);
  using Sent = util::Expected<std::size_t, std::error_code>;
  std::optional<Sent> sent;
  const std::span<const std::uint8_t> batch[] = {last};
  boost::asio::co_spawn(rt.io, tun->send_all_and_wake(batch), [&](std::exception_ptr, Sent r) { sent = r; });
  poll();
  ASSERT_FALSE(sent) << "no room yet";
  st.write(incoming);
  for (int i = 0; i < 200 && got.empty(); ++i) rt.io.run_one_for(10ms);
  ASSERT_EQ(got.size(), 1u) << "the reader got what came while the writer waited";
  EXPECT_EQ(got[0], incoming);
  EXPECT_FALSE(sent);
  for (std::size_t i = 0; i < filled; ++i) ASSERT_EQ(st.read(), filler);
  for (int i = 0; i < 200 && !sent; ++i) rt.io.run_one_for(10ms);
  ASSERT_TRUE(sent && *sent);
  EXPECT_EQ(**sent, 1u);
  EXPECT_EQ(st.read(), last);
}

// A thread that busy polls after traffic wakes a waiting TUN reader itself:
// the reader reads on that thread, inside the spin. The spin ends at once
// when its own descriptor is readable, after the window without a catch
// otherwise, and never outlives its limit.
TEST(AsyncTun, BusyPollRunsTheWaitingReaderOnTheSpinningThreadAndIsBounded) {
  using Clock = std::chrono::steady_clock;
  Runtime rt(0);
  SocketTun st;
  auto tun = st.take(rt.io);
  int own[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, own), 0);
  std::size_t woken = 0;
  std::vector<Bytes> got;
  boost::asio::co_spawn(rt.io, waiting_reader(tun, woken, got), boost::asio::detached);
  for (int i = 0; i < 1000 && rt.io.poll() > 0; ++i) {
  }
  ASSERT_EQ(woken, 0u);

  // The local stack's packet comes while the spin runs.
  const Bytes packet(70, 5);
  Clock::time_point written{};
  std::thread writer([&] {
    std::this_thread::sleep_for(20ms);
    written = Clock::now();
    st.write(packet);
  });
  auto end = util::busy_poll::SpinEnd::readable;
  std::size_t got_in_spin = 0;
  Clock::duration took{};
  Clock::time_point ended{};
  boost::asio::post(rt.io, [&] {
    const auto t0 = Clock::now();
    end = util::busy_poll::spin(own[0], 300ms, 5s);
    ended = Clock::now();
    took = ended - t0;
    got_in_spin = got.size();
  });
  rt.io.run_one();
  writer.join();
  EXPECT_EQ(end, util::busy_poll::SpinEnd::woke);
  ASSERT_EQ(got_in_spin, 1u) << "the reader ran inside the spin";
  EXPECT_EQ(got[0], packet);
  EXPECT_GE(ended - written, 300ms) << "the window starts again at the catch";
  EXPECT_LT(took, 4s);

  // Its own descriptor readable: the spin ends at once.
  ASSERT_EQ(::write(own[1], "x", 1), 1);
  auto t0 = Clock::now();
  EXPECT_EQ(util::busy_poll::spin(own[0], 5s, 10s), util::busy_poll::SpinEnd::readable);
  EXPECT_LT(Clock::now() - t0, 2s);
  char drop;
  ASSERT_EQ(::read(own[0], &drop, 1), 1);

  // Nothing comes: the window; a limit shorter than the window ends it first.
  t0 = Clock::now();
  EXPECT_EQ(util::busy_poll::spin(own[0], 30ms, 5s), util::busy_poll::SpinEnd::missed);
  took = Clock::now() - t0;
  EXPECT_GE(took, 30ms);
  EXPECT_LT(took, 3s);
  t0 = Clock::now();
  EXPECT_EQ(util::busy_poll::spin(own[0], 5s, 30ms), util::busy_poll::SpinEnd::missed);
  EXPECT_LT(Clock::now() - t0, 3s);

  ::close(own[0]);
  ::close(own[1]);
}

TEST(FirewallLookup, LongestPrefixOnlyBatchesPerPeerAndOnlyTheExpectedSender) {
  LogCapture logs;
  DataPlane dp;
  const auto b = dp.b.pk(), c = dp.c.pk();
  const auto out = Direction::OUT, in = Direction::IN;
  put_network(dp, "file:///n.toml", "10.0.0.1/24",
              {rule(out, "10.0.0.9/32", "10.0.0.0/24", b), rule(out, "10.0.0.1/32", "10.0.0.5/32", c),
               rule(out, "0.0.0.0/0", "0.0.0.0/0", c), rule(in, "192.168.1.0/24", "10.0.0.1/32", b),
               rule(in, "192.168.1.7/32", "10.0.0.99/32", b), rule(in, "10.0.0.2/32", "10.0.0.1/32", b)});
  dp.apply();
  const auto t = dp.agent->firewall->tries();
  agent::OutboundBatches batches;
  const auto outbound = [&](const agent::TransmitTrie& tx, const Bytes& p) {
    return AgentFirewall::handle_outbound_packet(tx, p, *util::Ipv4HeaderView::decode(p), batches);
  };
  EXPECT_FALSE(outbound(AgentFirewall().tries()->tx, kPacket));  // before a rebuild
  EXPECT_FALSE(outbound(t->tx, ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.5"})));  // /32 wins, lacks the source
  EXPECT_TRUE(batches.empty());
  EXPECT_EQ(logs.count("No outbound route found for source: 10.0.0.9 -> 10.0.0.5 (source IP not in routing table)"),
            1u);
  const Bytes p[] = {ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.77"}),   // B via /24
                     ipv4_packet({.src = "10.0.0.9", .dst = "8.8.8.8"}),     // C via /0
                     ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.200"}),  // B
                     ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.5"})};   // C via /32
  const auto batch = [&](std::size_t i) {
    std::vector<const std::uint8_t*> data;
    for (auto s : batches.batches()[i].packets) data.push_back(s.data());
    return std::pair{batches.batches()[i].peer->pk(), data};
  };
  for (const auto& packet : p) EXPECT_TRUE(outbound(t->tx, packet));
  ASSERT_EQ(batches.batches().size(), 2u);
  EXPECT_EQ(batch(0), std::pair(b, std::vector{p[0].data(), p[2].data()}));
  EXPECT_EQ(batch(1), std::pair(c, std::vector{p[1].data(), p[3].data()}));

  std::vector<std::span<const std::uint8_t>> to_tun;
  const auto inbound = [&](const agent::ReceiveTrie& rx, const char* src, const p2p::PubKey& from) {
    return AgentFirewall::handle_inbound_packet(rx, kPacket, ip(src), ip("10.0.0.1"), from, to_tun);
  };
  EXPECT_FALSE(inbound(AgentFirewall().tries()->rx, "10.0.0.2", b));  // before a rebuild
  EXPECT_TRUE(inbound(t->rx, "10.0.0.2", c));  // a spoofed source: handled (dropped with a warning)
  EXPECT_TRUE(to_tun.empty());
  EXPECT_TRUE(logs.contains("warning", "Security violation: packet source mismatch - received from peer " +
                                           c.to_string() + " with source IP 10.0.0.2 but expected peer " +
                                           b.to_string() + " for this route peer=PubKey(" + c.to_string() +
                                           ") expected_peer=PubKey(" + b.to_string() + ") src=10.0.0.2 dst=10.0.0.1"));
  for (const auto& [src, routed] : {std::pair{"10.0.0.2", true}, {"192.168.1.8", true},
                                    {"192.168.1.7", false},  // the /32 source wins and lacks 10.0.0.1
                                    {"172.16.0.1", false}})
    EXPECT_EQ(inbound(t->rx, src, b), routed) << src;
  ASSERT_EQ(to_tun.size(), 2u);
  EXPECT_EQ(to_tun[0].data(), kPacket.data());
}

// Many peers in one pass (the index grows), fewer in the next: each pass
// groups per peer, peers in first-seen order, packets in read order.
TEST(FirewallLookup, BatchesGroupManyPeersInReadOrderPassAfterPass) {
  alignas(64) static std::array<std::byte, 64 * 300> storage{};
  const auto peer = [](std::size_t i) { return reinterpret_cast<const agent::NodePeer*>(storage.data() + 64 * i); };
  const Bytes buf(8, 0);
  agent::OutboundBatches batches;
  for (std::size_t pass = 0; pass < 4; ++pass) {
    const std::size_t peers = pass == 1 ? 300 : 40;
    const auto nth = [&](std::size_t i) { return peer((i * 7 + pass) % peers); };
    for (std::size_t round = 0; round < 3; ++round)
      for (std::size_t i = 0; i < peers; ++i) batches.add(nth(i), std::span(buf).subspan(round, 1));
    ASSERT_EQ(batches.batches().size(), peers) << "pass " << pass;
    for (std::size_t k = 0; k < peers; ++k) {
      const auto& b = batches.batches()[k];
      ASSERT_EQ(b.peer, nth(k));
      ASSERT_EQ(b.packets.size(), 3u);
      for (std::size_t round = 0; round < 3; ++round) EXPECT_EQ(b.packets[round].data(), buf.data() + round);
    }
    batches.clear();
    EXPECT_TRUE(batches.empty());
  }
}

// Runs of one peer, as a flow gives them, and returns to an earlier peer:
// one batch per peer in first-seen order, packets in read order, pass after
// pass.
TEST(FirewallLookup, BatchesKeepOrderThroughRunsOfOnePeer) {
  alignas(64) static std::array<std::byte, 64 * 3> storage{};
  const auto peer = [](std::size_t i) { return reinterpret_cast<const agent::NodePeer*>(storage.data() + 64 * i); };
  const Bytes buf(16, 0);
  agent::OutboundBatches batches;
  for (std::size_t pass = 0; pass < 3; ++pass) {
    const std::size_t order[] = {0, 0, 0, 1, 1, 0, 2, 2, 1, 0, 0};
    const std::size_t first = pass % 3;  // the pass starts with the peer the last one ended on, or not
    for (std::size_t k = 0; k < std::size(order); ++k)
      batches.add(peer((order[k] + first) % 3), std::span(buf).subspan(k, 1));
    ASSERT_EQ(batches.batches().size(), 3u);
    const std::vector<std::vector<std::size_t>> expected = {{0, 1, 2, 5, 9, 10}, {3, 4, 8}, {6, 7}};
    for (std::size_t b = 0; b < 3; ++b) {
      EXPECT_EQ(batches.batches()[b].peer, peer((b + first) % 3));
      std::vector<std::size_t> got;
      for (auto s : batches.batches()[b].packets) got.push_back(static_cast<std::size_t>(s.data() - buf.data()));
      EXPECT_EQ(got, expected[b]) << "pass " << pass << " batch " << b;
    }
    batches.clear();
  }
}

// Every network's rules in map order; a later network replaces a destination
// (or source) prefix whole; one peer per key, kept while a rule names it.
TEST(FirewallRebuild, ChangeRebuildsFromAllNetworksKeepingPeersWhoseKeySurvives) {
  DataPlane dp;
  dp.join();
  const auto b0 = published(dp, dp.b.pk()), c0 = published(dp, dp.c.pk());
  ASSERT_TRUE(b0 && c0);
  const auto c = dp.c.pk();
  put_network(dp, "file:///other.toml", "10.0.0.1/24",
              {rule(Direction::OUT, "10.0.0.0/24", "10.0.0.2/32", c), rule(Direction::OUT, "10.0.0.1/32", "10.9.0.0/24", c),
               rule(Direction::IN, "10.0.0.2/32", "10.0.0.0/24", c)});
  dp.apply();
  auto t = dp.agent->firewall->tries();
  EXPECT_EQ(t->peers.size(), 1u) << "one peer per key; B's only leaf went to C";
  EXPECT_EQ(published(dp, dp.b.pk()), nullptr);
  EXPECT_EQ(tx_at(dp, "10.0.0.3/32", "10.0.0.1/32"), c0.get());
  EXPECT_EQ(tx_at(dp, "10.9.0.0/24", "10.0.0.1/32"), c0.get());
  EXPECT_EQ(tx_at(dp, "10.0.0.2/32", "10.0.0.0/24"), c0.get());
  EXPECT_EQ(t->tx.get(net("10.0.0.2/32"))->size(), 1u);
  EXPECT_EQ(t->rx.get(net("10.0.0.2/32"))->size(), 1u);
  EXPECT_EQ(*t->rx.get(net("10.0.0.2/32"))->get(net("10.0.0.0/24")), c);

  dp.join(false);  // the first network denies every pair; C stays through the other
  EXPECT_FALSE(rx_has(dp, "10.0.0.3/32"));
  EXPECT_EQ(tx_at(dp, "10.9.0.0/24", "10.0.0.1/32"), c0.get());
  EXPECT_TRUE(eventually([&] { return !b0->driver_running(); }));
  EXPECT_TRUE(c0->driver_running());

  dp.networks.erase(std::prev(dp.networks.end()));
  dp.join(true);  // a returning key gets a new peer
  const auto b1 = published(dp, dp.b.pk());
  ASSERT_TRUE(b1);
  EXPECT_NE(b1, b0);
  EXPECT_TRUE(b1->driver_running());
  EXPECT_EQ(tx_at(dp, "10.0.0.2/32", "10.0.0.1/32"), b1.get());

  dp.leave_all();
  t = dp.agent->firewall->tries();
  EXPECT_TRUE(t->tx.empty() && t->rx.empty() && t->peers.empty());
  EXPECT_TRUE(eventually([&] { return !b1->driver_running() && !c0->driver_running(); }));
}

// Networks without an address or rules add nothing; a key the node refuses
// is left out and tried again at the next apply.
TEST(FirewallRebuild, SkipsNetworksWithoutAddressOrRulesAndRetriesARefusedPeer) {
  LogCapture logs;
  DataPlane dp;
  auto& skipped = put_network(dp, "file:///skip.toml", std::nullopt,
                              {rule(Direction::OUT, "10.1.0.1/32", "10.1.0.3/32", dp.c.pk()),
                               rule(Direction::IN, "10.1.0.3/32", "10.1.0.1/32", dp.c.pk())});
  put_network(dp, "file:///empty.toml", "10.2.0.1/24", {});
  auto& failed = put_network(dp, "file:///failed.toml", "10.3.0.1/24", {});
  failed.desired.access_rules = network::AppliedStatus<network::EffectiveAccessRuleList>::failed("bad rules");
  dp.apply();
  EXPECT_EQ(logs.count("Rebuild tries"), 1u);
  EXPECT_EQ(skipped.current.access_rules, skipped.desired.access_rules);
  EXPECT_EQ(failed.current.access_rules, failed.desired.access_rules);
  EXPECT_TRUE(dp.agent->firewall->tries()->peers.empty());

  skipped.desired.ip = network::AppliedStatus<util::Ipv4Net>::value(net("10.1.0.1/24"));
  dp.apply();
  EXPECT_TRUE(dp.agent->firewall->tries()->peers.empty()) << "the address alone does not rebuild";
  dp.fabric->refuse_initiate(dp.b.pk(), true);
  dp.join();  // the next rule change does
  EXPECT_NE(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), nullptr);
  EXPECT_TRUE(rx_has(dp, "10.1.0.3/32"));
  EXPECT_EQ(logs.count("Failed to create node peer " + dp.b.pk().to_string()), 1u);
  EXPECT_EQ(published(dp, dp.b.pk()), nullptr);
  EXPECT_EQ(dp.agent->firewall->tries()->tx.get(net("10.0.0.2/32")), nullptr);
  const auto c0 = tx_at(dp, "10.0.0.3/32", "10.0.0.1/32");
  ASSERT_TRUE(c0);

  dp.fabric->refuse_initiate(dp.b.pk(), false);
  dp.apply();  // tries the refused key again, with unchanged rules
  const auto b1 = tx_at(dp, "10.0.0.2/32", "10.0.0.1/32");
  ASSERT_TRUE(b1);
  EXPECT_TRUE(b1->driver_running());
  EXPECT_EQ(tx_at(dp, "10.0.0.3/32", "10.0.0.1/32"), c0);
  const auto rebuilds = logs.count("Rebuild tries");
  dp.apply();
  EXPECT_EQ(logs.count("Rebuild tries"), rebuilds) << "nothing left out: unchanged rules rebuild nothing";
}

TEST(DataPlane, RoutedPacketReachesItsPeerAndRepliesComeBack) {
  DataPlane dp;
  dp.join();
  const auto out = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.2"});
  dp.tun->write(out);
  EXPECT_EQ(dp.sent_to(dp.b.pk(), 1), std::vector<Bytes>{out});
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.c.pk()), 0u);

  const auto in = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .fill = 0x11});
  dp.from_peer(dp.b.pk(), in);
  EXPECT_EQ(dp.tun->read(), in);
}

TEST(DataPlane, UnroutedPacketGetsHostUnreachable) {
  DataPlane dp;
  dp.join();
  const auto p = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.9"});
  dp.tun->write(p);
  const auto reply = dp.tun->read();
  ASSERT_TRUE(reply);
  ASSERT_GE(reply->size(), 28u);
  EXPECT_EQ((*reply)[20], 3);
  EXPECT_EQ((*reply)[21], 1);
  EXPECT_TRUE(icmp_error_about(reply, p));
}

TEST(DataPlane, SpoofedSourceIsDroppedWithAWarning) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  dp.from_peer(dp.c.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"}));
  const auto own = ipv4_packet({.src = "10.0.0.3", .dst = "10.0.0.1", .fill = 0x33});
  dp.from_peer(dp.c.pk(), own);
  EXPECT_EQ(dp.tun->read(), own) << "the next packet on the TUN is C's own";
  EXPECT_EQ(count_lines(logs, "warning",
                        "Security violation: packet source mismatch - received from peer " + dp.c.pk().to_string()),
            1u);
  EXPECT_FALSE(dp.tun->read(50ms));
}

TEST(TunDriver, LoopbackIsWrittenBackUntouched) {
  DataPlane dp({.with_dns = true});
  dp.join();
  // Even a query to the DNS server's own address and port: a packet to ourselves is never answered.
  for (const auto& loop : {ipv4_packet({.dst = "10.0.0.1", .fill = 0x5A}),
                           ipv4_packet({.src = "10.0.0.254", .dst = "10.0.0.254", .dport = 53, .data = kQueryB})}) {
    dp.tun->write(loop);
    EXPECT_EQ(dp.tun->read(), loop);
  }
  EXPECT_FALSE(dp.tun->read(50ms));
  for (const auto* peer : {&dp.b, &dp.c}) EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), peer->pk()), 0u);
}

TEST(TunDriver, UnroutedQueriesGoToDnsAndEverythingElseGetsIcmp) {
  DataPlane dp({.with_dns = true});
  dp.join();
  dp.tun->write(ipv4_packet({.dst = "10.0.0.254", .dport = 53, .sport = 40001, .data = kQueryB}));
  const auto answer = dp.tun->read();
  ASSERT_TRUE(answer && answer->size() > 28);
  EXPECT_EQ((*answer)[9], 17) << "a DNS answer, not an ICMP error";
  EXPECT_EQ(Bytes(answer->begin() + 12, answer->begin() + 24), (Bytes{10, 0, 0, 254, 10, 0, 0, 1, 0, 53, 0x9C, 0x41}));
  // Not a UDP query to the server's address and port: the DNS service declines, and there is no route.
  for (const auto& p : {ipv4_packet({.dst = "10.0.0.254", .dport = 5353, .data = kQueryB}),
                        ipv4_packet({.dst = "10.0.0.9", .dport = 53, .data = kQueryB}),
                        ipv4_packet({.dst = "10.0.0.254", .protocol = 6, .dport = 53})}) {
    dp.tun->write(p);
    EXPECT_TRUE(icmp_error_about(dp.tun->read(), p));
  }
  EXPECT_FALSE(dp.tun->read(50ms));
}

TEST(TunDriver, WithoutDnsUnroutedQueriesGetIcmp) {
  DataPlane dp;  // no DNS object
  dp.join();
  const auto query = ipv4_packet({.dst = "10.0.0.254", .dport = 53, .data = kQueryB});
  dp.tun->write(query);
  EXPECT_TRUE(icmp_error_about(dp.tun->read(), query));
}

TEST(TunDriver, NeverAnswersIcmpErrorsFragmentsOrOddSources) {
  DataPlane dp;
  dp.join();
  auto icmp_error = ipv4_packet({.dst = "10.0.0.9", .protocol = 1, .payload = 36});
  icmp_error[20] = 3;  // destination unreachable
  for (const Bytes& p : {icmp_error, ipv4_packet({.dst = "10.0.0.9", .fragment_offset = 100}),
                         ipv4_packet({.src = "0.0.0.0", .dst = "10.0.0.9"}),
                         ipv4_packet({.src = "127.0.0.1", .dst = "10.0.0.9"}),
                         ipv4_packet({.src = "240.0.0.1", .dst = "10.0.0.9"}), ipv4_packet({.dst = "224.0.0.5"}),
                         ipv4_packet({.dst = "255.255.255.255"}), ipv4_packet({.dst = "10.0.0.255"})})
    dp.tun->write(p);
  // Plain unroutable packets still get their replies, and they are the first ones.
  auto echo = ipv4_packet({.dst = "10.0.0.9", .protocol = 1, .payload = 16});
  echo[20] = 8;  // echo request
  for (const auto& p : {ipv4_packet({.dst = "10.0.0.9"}), echo}) {
    dp.tun->write(p);
    EXPECT_TRUE(icmp_error_about(dp.tun->read(), p));
  }
  EXPECT_FALSE(dp.tun->read(50ms));
}

TEST(TunDriver, DropsControlIpv6ShortAndOversizedPackets) {
  DataPlane dp({.mtu = 1280});
  dp.join();
  auto v6 = ipv4_packet({.dst = "10.0.0.9"});
  v6[0] = 0x60;
  for (const Bytes& p : {control_packet("10.0.0.1", "10.0.0.2"), v6, Bytes(10, 0x45),
                         ipv4_packet({.payload = 1261}), ipv4_packet({.dst = "10.0.0.9", .payload = 1261})})
    dp.tun->write(p);  // the 1281-byte ones are over the MTU
  const auto fits = ipv4_packet({.payload = 1260, .fill = 0x77});
  dp.tun->write(fits);
  EXPECT_EQ(dp.sent_to(dp.b.pk(), 1), std::vector<Bytes>{fits});
  const auto unrouted = ipv4_packet({.dst = "10.0.0.9"});
  dp.tun->write(unrouted);
  EXPECT_TRUE(icmp_error_about(dp.tun->read(), unrouted)) << "no dropped packet was answered";
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.b.pk()), 1u);
  EXPECT_FALSE(dp.tun->read(50ms));
}

TEST(TunDriver, PendingHandOverStopsReadingAndKeepsOrder) {
  LogCapture logs;
  DataPlane dp({.threads = 1});
  dp.join();
  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), true);
  for (std::uint8_t i = 1; i <= 3; ++i) dp.tun->write(ipv4_packet({.fill = i}));
  forwarded(dp, logs, 0);  // the driver waits on the hand-over
  dp.tun->write(ipv4_packet({.dst = "10.0.0.3", .fill = 4}));
  dp.tun->write(ipv4_packet({.dst = "10.0.0.9", .fill = 5}));
  EXPECT_FALSE(dp.tun->read(100ms)) << "nothing is read while a hand-over waits";
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.c.pk()), 0u);

  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), false);
  EXPECT_EQ(dp.sent_to(dp.b.pk(), 3),
            (std::vector{ipv4_packet({.fill = 1}), ipv4_packet({.fill = 2}), ipv4_packet({.fill = 3})}));
  EXPECT_EQ(dp.sent_to(dp.c.pk(), 1), std::vector<Bytes>{ipv4_packet({.dst = "10.0.0.3", .fill = 4})});
  EXPECT_TRUE(icmp_error_about(dp.tun->read(), ipv4_packet({.dst = "10.0.0.9", .fill = 5})))
      << "the unroutable packet is answered once reading resumes";
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.b.pk()), 3u) << "nothing is sent twice";
  EXPECT_TRUE(dp.fabric->drain(dp.b.pk(), dp.a.pk()).empty());
}

TEST(TunDriver, RemovingAStuckPeerCancelsItsHandOver) {
  LogCapture logs;
  DataPlane dp({.threads = 1});
  dp.join();
  const auto b0 = published(dp, dp.b.pk());
  ASSERT_TRUE(b0);
  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), true);
  dp.tun->write(ipv4_packet({}));
  forwarded(dp, logs, 0);  // the driver waits on B's hand-over
  drop_peer_rules(dp, dp.b.pk());
  EXPECT_TRUE(eventually([&] { return !b0->driver_running(); }));
  dp.tun->write(ipv4_packet({.dst = "10.0.0.3", .fill = 9}));
  const auto to_c = dp.sent_to(dp.c.pk(), 1);
  ASSERT_EQ(to_c.size(), 1u) << "one dead peer must not stall the tunnel";
  EXPECT_EQ(to_c[0].back(), 9);
  EXPECT_EQ(count_lines(logs, "debug", "Dropped batch for stopped peer " + dp.b.pk().to_string(),
                        "sarvolt_agent::agent::netif::tun_device"),
            1u);
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.b.pk()), 0u) << "the held packet is dropped, not sent";
}

TEST(NodePeerDriver, MtuBoundaryWithDontFragment) {
  DataPlane dp({.mtu = 1280});
  dp.join();
  const auto exact = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1260, .dont_fragment = true});
  dp.from_peer(dp.b.pk(), exact);
  EXPECT_EQ(dp.tun->read(), exact);

  const auto big = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1261, .dont_fragment = true});
  dp.from_peer(dp.b.pk(), big);
  const auto icmp = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(icmp.size(), 1u);
  ASSERT_EQ(icmp[0].size(), 56u);
  EXPECT_EQ(icmp[0][20], 3);
  EXPECT_EQ(icmp[0][21], 4);
  EXPECT_EQ((icmp[0][26] << 8) | icmp[0][27], 1280);
  EXPECT_TRUE(icmp_error_about(icmp[0], big, 3, 4)) << "fragmentation needed, from A back to B";

  const auto fragmentable = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1261, .fill = 0x77});
  dp.from_peer(dp.b.pk(), fragmentable);
  EXPECT_EQ(dp.tun->read(), fragmentable) << "the next packet on the TUN: the one with DF never got there";
  EXPECT_FALSE(dp.tun->read(50ms));
}

TEST(NodePeerDriver, DropsControlUndecodableAndUnroutedDatagrams) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  dp.from_peer(dp.b.pk(), control_packet("10.0.0.2", "10.0.0.1"));
  dp.from_peer(dp.b.pk(), Bytes(19, 0x45));
  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.77"}));
  const auto good = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .fill = 0x42});
  dp.from_peer(dp.b.pk(), good);
  EXPECT_EQ(dp.tun->read(), good);
  EXPECT_FALSE(dp.tun->read(50ms));
  for (const char* line : {"Dropping Sarvolt control plane packet", "Failed to decode IP packet",
                           "No inbound route found for destination"})
    EXPECT_EQ(logs.count(line), 1u) << line;
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.b.pk()), 0u) << "nothing is answered";
}

TEST(NodePeerDriver, WithoutTunDeviceDropsWithAWarning) {
  LogCapture logs;
  DataPlane dp({.with_tun = false});
  dp.join();
  const auto drops = [&] {
    return count_lines(logs, "warning", "No TUN device available, dropping 1 received datagram(s).",
                       "sarvolt_agent::agent::netif::node_peer");
  };
  for (std::size_t i = 1; i <= 2; ++i) {  // for the peer's whole life
    dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"}));
    EXPECT_TRUE(eventually([&] { return drops() == i; }));
  }
  EXPECT_TRUE(published(dp, dp.b.pk())->driver_running());
}

TEST(Lifetimes, LastHandleEndsIdleDrivers) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  const auto peers = dp.agent->firewall->tries()->peers;
  ASSERT_EQ(peers.size(), 2u);
  for (const auto& p : peers) EXPECT_TRUE(p->driver_running());

  dp.leave_all();
  const auto t = dp.agent->firewall->tries();
  EXPECT_TRUE(t->tx.empty() && t->rx.empty() && t->peers.empty());
  for (const auto& p : peers)
    EXPECT_TRUE(eventually([&] { return !p->driver_running(); })) << "peer driver still running";
  EXPECT_EQ(logs.count("NodePeerDriver ready"), 2u);

  // Releasing the agent core ends the TUN driver: nothing else holds it strongly.
  std::weak_ptr<agent::AgentInner> weak = dp.agent;
  dp.agent.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(eventually([&] { return logs.count("TunDeviceDriver ready") == 1; }));
}

TEST(Lifetimes, ReleasingTheAgentStopsEveryDriver) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  const auto peers = dp.agent->firewall->tries()->peers;
  ASSERT_EQ(peers.size(), 2u);
  std::weak_ptr<agent::AgentInner> weak = dp.agent;
  std::weak_ptr<agent::AgentFirewall> firewall = dp.agent->firewall;
  dp.agent.reset();
  dp.networks.clear();
  EXPECT_TRUE(weak.expired()) << "drivers must not keep the agent core alive";
  EXPECT_TRUE(firewall.expired()) << "nor the firewall";
  for (const auto& p : peers) EXPECT_TRUE(eventually([&] { return !p->driver_running(); }));
  EXPECT_TRUE(eventually([&] { return logs.count("TunDeviceDriver ready") == 1; }));
}

TEST(Lifetimes, RebuildKeepsPeersWhoseKeySurvives) {
  DataPlane dp;
  dp.join();
  const auto before = dp.agent->firewall->tries()->peers;
  ASSERT_EQ(before.size(), 2u);
  drop_peer_rules(dp, dp.c.pk());
  const auto after = dp.agent->firewall->tries()->peers;
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0]->pk(), dp.b.pk());
  EXPECT_NE(std::ranges::find(before, after[0]), before.end()) << "B's NodePeer was replaced";
  EXPECT_TRUE(after[0]->driver_running());
  const auto c0 = std::ranges::find_if(before, [&](const auto& p) { return p->pk() == dp.c.pk(); });
  ASSERT_NE(c0, before.end());
  EXPECT_TRUE(eventually([&] { return !(*c0)->driver_running(); }));
}

TEST(TunMtu, BelowTheIpv4MinimumFallsBackToTheDefault) {
  LogCapture logs;
  ScopedEnv arm("SARVOLT_ARM_MESSAGES", std::nullopt);
  EXPECT_EQ(agent::tun_mtu_from(0), 1280);
  EXPECT_EQ(agent::tun_mtu_from(67), 1280);
  EXPECT_EQ(agent::tun_mtu_from(68), 68);
  EXPECT_EQ(agent::tun_mtu_from(std::nullopt), 1280);
  EXPECT_EQ(count_lines(logs, "warning", "Configured MTU 0 is below the IPv4 minimum of 68",
                        "sarvolt_agent::agent::inner"),
            1u);

  DataPlane dp({.mtu = 0});
  EXPECT_EQ(dp.agent->tun_mtu(), 1280);
  dp.join();
  const auto fits = ipv4_packet({.payload = 1260});
  dp.tun->write(fits);
  EXPECT_EQ(dp.sent_to(dp.b.pk(), 1), std::vector<Bytes>{fits});
}

TEST(TunDeviceSend, TriesEveryPacketAndReportsTheFirstError) {
  Runtime rt(1);
  SocketTun st;
  const Bytes ok1(100, 1), too_big(8 << 20, 2), ok2(100, 3);
  const std::span<const std::uint8_t> batch[] = {ok1, too_big, ok2};
  const auto r = rt.run(st.take(rt.io)->send_all(batch));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), std::errc::message_size);
  EXPECT_EQ(st.read(), ok1);
  EXPECT_EQ(st.read(), ok2) << "the packet after the failed one is still written";
  EXPECT_EQ(st.read(), Bytes{}) << "then the closed device's end: nothing of the failed one";
}

TEST(FirewallLookup, OutboundUsesTheLongestDestinationOnlyAndBatchesPerPeer) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  const NodePeer *b = published(dp, dp.b.pk()).get(), *c = published(dp, dp.c.pk()).get();
  ASSERT_TRUE(b && c);
  const auto tx = trie_of<const NodePeer*, agent::TransmitLeaf>(
      {{"10.0.0.0/24", "10.0.0.9/32", b}, {"10.0.0.5/32", "10.0.0.1/32", c}, {"0.0.0.0/0", "0.0.0.0/0", c}});
  agent::OutboundBatches batches;
  const auto outbound = [&](const agent::TransmitTrie& trie, const Bytes& p) {
    return AgentFirewall::handle_outbound_packet(trie, p, *util::Ipv4HeaderView::decode(p), batches);
  };
  EXPECT_FALSE(outbound(AgentFirewall().tries()->tx, kPacket));  // before a rebuild
  // The /32 destination wins and lacks the source; shorter ones are not tried.
  EXPECT_FALSE(outbound(tx, ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.5"})));
  EXPECT_TRUE(batches.empty());
  EXPECT_EQ(count_lines(logs, "debug",
                        "No outbound route found for source: 10.0.0.9 -> 10.0.0.5 (source IP not in routing table)"),
            1u);

  const Bytes p[] = {ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.77"}),   // B via /24
                     ipv4_packet({.src = "10.0.0.9", .dst = "8.8.8.8"}),     // C via /0
                     ipv4_packet({.src = "10.0.0.9", .dst = "10.0.0.200"}),  // B
                     ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.5"})};   // C via /32
  for (const auto& packet : p) EXPECT_TRUE(outbound(tx, packet));
  const auto batch = [&](std::size_t i) {
    std::vector<const std::uint8_t*> data;
    for (auto s : batches.batches()[i].packets) data.push_back(s.data());
    return std::pair{batches.batches()[i].peer, data};
  };
  ASSERT_EQ(batches.batches().size(), 2u);
  EXPECT_EQ(batch(0), std::pair(b, std::vector{p[0].data(), p[2].data()}));
  EXPECT_EQ(batch(1), std::pair(c, std::vector{p[1].data(), p[3].data()}));

  batches.clear();  // reused for the next pass
  EXPECT_TRUE(batches.empty());
  EXPECT_TRUE(outbound(tx, p[1]));
  ASSERT_EQ(batches.batches().size(), 1u);
  EXPECT_EQ(batch(0), std::pair(c, std::vector{p[1].data()}));
}

TEST(FirewallLookup, InboundAcceptsOnlyTheExpectedKey) {
  LogCapture logs;
  const auto b = identity_from_seed(2).pk(), c = identity_from_seed(3).pk();
  const auto rx = trie_of<p2p::PubKey, agent::ReceiveLeaf>(
      {{"192.168.1.0/24", "10.0.0.1/32", b}, {"192.168.1.7/32", "10.0.0.99/32", b}, {"10.0.0.2/32", "10.0.0.1/32", b}});
  std::vector<std::span<const std::uint8_t>> to_tun;
  const auto inbound = [&](const agent::ReceiveTrie& trie, const char* src, const p2p::PubKey& from) {
    return AgentFirewall::handle_inbound_packet(trie, kPacket, ip(src), ip("10.0.0.1"), from, to_tun);
  };
  EXPECT_FALSE(inbound(AgentFirewall().tries()->rx, "10.0.0.2", b));  // before a rebuild
  // A spoofed source is handled (dropped with a warning), not passed on.
  EXPECT_TRUE(inbound(rx, "10.0.0.2", c));
  EXPECT_TRUE(to_tun.empty());
  EXPECT_EQ(count_lines(logs, "warning",
                        "Security violation: packet source mismatch - received from peer " + c.to_string() +
                            " with source IP 10.0.0.2 but expected peer " + b.to_string() + " for this route"),
            1u);

  // 192.168.1.7: the /32 source entry wins and its inner map lacks 10.0.0.1.
  for (const auto& [src, routed] :
       {std::pair{"10.0.0.2", true}, {"192.168.1.8", true}, {"192.168.1.7", false}, {"172.16.0.1", false}})
    EXPECT_EQ(inbound(rx, src, b), routed) << src;
  ASSERT_EQ(to_tun.size(), 2u);
  EXPECT_EQ(to_tun[0].data(), kPacket.data());
  EXPECT_EQ(count_lines(logs, "warning", "Security violation"), 1u);
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
  const auto tries_empty = [&] {
    const auto t = dp.agent->firewall->tries();
    return t->tx.empty() && t->rx.empty() && t->peers.empty();
  };
  EXPECT_TRUE(tries_empty());

  // The address alone does not rebuild; the next rule change does.
  skipped.desired.ip = network::AppliedStatus<util::Ipv4Net>::value(net("10.1.0.1/24"));
  dp.apply();
  EXPECT_TRUE(tries_empty());
  dp.join();
  EXPECT_NE(tx_at(dp, "10.1.0.3/32", "10.1.0.1/32"), nullptr);
  EXPECT_TRUE(rx_has(dp, "10.1.0.3/32"));
  // That rebuild traces each leaf and route it adds.
  for (const char* line : {"Building TX trie for dest network dest_net=10.1.0.3/32",
                           "Added TX route: 10.1.0.1/32 -> 10.1.0.3/32 via peer",
                           "Building RX trie for source network source_net=10.1.0.3/32",
                           "Added RX route: 10.1.0.3/32 -> 10.1.0.1/32 from peer"})
    EXPECT_EQ(logs.count(line), 1u) << line;
}

TEST(FirewallRebuild, RefusedPeerIsLeftOutAndTriedAgainAtTheNextApply) {
  LogCapture logs;
  DataPlane dp;
  dp.fabric->refuse_initiate(dp.b.pk(), true);
  dp.join();
  EXPECT_EQ(count_lines(logs, "warning", "Failed to create node peer " + dp.b.pk().to_string()), 1u);
  EXPECT_EQ(published(dp, dp.b.pk()), nullptr);
  EXPECT_EQ(dp.agent->firewall->tries()->tx.get(net("10.0.0.2/32")), nullptr);
  const auto c0 = tx_at(dp, "10.0.0.3/32", "10.0.0.1/32");
  ASSERT_TRUE(c0);

  // The next apply tries the refused key again, even with unchanged rules.
  dp.fabric->refuse_initiate(dp.b.pk(), false);
  dp.apply();
  const auto b1 = published(dp, dp.b.pk());
  ASSERT_TRUE(b1);
  EXPECT_EQ(tx_at(dp, "10.0.0.2/32", "10.0.0.1/32"), b1.get());
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
  const auto peer_b = published(dp, b);
  ASSERT_TRUE(peer_b);
  EXPECT_EQ(tx_at(dp, "10.8.0.0/24", "10.0.0.1/32"), peer_b.get());
  EXPECT_EQ(tx_at(dp, "10.7.0.0/24", "10.0.0.1/32"), peer_b.get());
  EXPECT_TRUE(peer_b->driver_running());
  EXPECT_EQ(dp.agent->firewall->tries()->peers.size(), 2u);

  const auto t = dp.agent->firewall->tries();
  const auto* dest = t->tx.get(net("10.9.0.0/24"));
  ASSERT_TRUE(dest && dest->size() == 1u && dest->get(net("10.0.0.1/32")));
  EXPECT_EQ((*dest->get(net("10.0.0.1/32")))->pk(), c);
  const auto* source = t->rx.get(net("10.9.0.0/24"));
  ASSERT_TRUE(source && source->size() == 1u && source->get(net("10.0.0.1/32")));
  EXPECT_EQ(*source->get(net("10.0.0.1/32")), c);
}


// The drivers' per-packet functions, called as the drivers call them: each
// packet is dropped, looped back, offered to DNS, queued for its peer or
// answered with its ICMP error, with the log lines the drivers write.
TEST(PacketSteps, DropLoopDnsQueueOrAnswerPerPacket) {
  LogCapture logs;
  DataPlane dp({.with_dns = true, .mtu = 1280});
  dp.join();
  const auto& ctx = *dp.agent->data_plane;
  const auto tries = dp.agent->firewall->tries();
  agent::OutboundBatches batches;
  const auto outbound = [&](const Bytes& p) {
    return agent::handle_tun_packet(ctx.tun, *ctx.tun_networks, p, tries->tx, dp.dns.get(), batches);
  };
  Bytes v6 = kPacket;
  v6[0] = 0x60;
  for (const Bytes& p : {v6, Bytes(10, 0x45), control_packet("10.0.0.1", "10.0.0.2")}) EXPECT_FALSE(outbound(p));
  for (const char* line : {"Received IPv6 packet", "Failed to decode IP packet", "Dropping Sarvolt control plane packet"})
    EXPECT_EQ(logs.count(line), 1u) << line;
  const auto loop = ipv4_packet({.dst = "10.0.0.1", .fill = 0x5A});
  EXPECT_FALSE(outbound(loop));
  EXPECT_EQ(dp.tun->read(), loop);
  EXPECT_FALSE(outbound(ipv4_packet({.dst = "10.0.0.254", .dport = 53, .sport = 40001, .data = kQueryB})));
  const auto answer = dp.tun->read();
  ASSERT_TRUE(answer && answer->size() > 28);
  EXPECT_EQ(Bytes(answer->begin() + 12, answer->begin() + 24), (Bytes{10, 0, 0, 254, 10, 0, 0, 1, 0, 53, 0x9C, 0x41}));
  const auto unrouted = ipv4_packet({.dst = "10.0.0.9"});
  EXPECT_FALSE(outbound(unrouted));
  EXPECT_TRUE(icmp_error_about(dp.tun->read(), unrouted));
  EXPECT_TRUE(batches.empty());
  const auto to_b = ipv4_packet({.dst = "10.0.0.2"}), to_c = ipv4_packet({.dst = "10.0.0.3"});
  for (const Bytes* p : {&to_b, &to_c, &to_b}) EXPECT_TRUE(outbound(*p));
  ASSERT_EQ(batches.batches().size(), 2u);
  EXPECT_EQ(batches.batches()[0].peer->pk(), dp.b.pk());
  ASSERT_EQ(batches.batches()[0].packets.size(), 2u);
  EXPECT_EQ(batches.batches()[0].packets[1].data(), to_b.data());
  EXPECT_EQ(batches.batches()[1].peer->pk(), dp.c.pk());
  EXPECT_FALSE(dp.tun->read(50ms));

  std::vector<std::span<const std::uint8_t>> to_tun;
  const auto peer_b = published(dp, dp.b.pk());
  ASSERT_TRUE(peer_b);
  const auto inbound = [&](const p2p::PubKey& from, const Bytes& p) {
    agent::handle_peer_datagram(from, ctx.tun_mtu, *peer_b->link(), *ctx.tun_networks, tries->rx, p, to_tun);
  };
  const auto good = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1260, .dont_fragment = true});
  const auto big = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1261, .dont_fragment = true});
  for (const Bytes& p : {v6, Bytes(19, 0x45), control_packet("10.0.0.2", "10.0.0.1"),
                         ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.77"}), big})
    inbound(dp.b.pk(), p);
  inbound(dp.b.pk(), good);
  inbound(dp.c.pk(), good);  // B's source from C
  ASSERT_EQ(to_tun.size(), 1u);
  EXPECT_EQ(to_tun[0].data(), good.data());
  for (const char* line : {"Received IPv6 packet", "Failed to decode IP packet", "Dropping Sarvolt control plane packet"})
    EXPECT_EQ(logs.count(line), 2u) << line;
  EXPECT_EQ(logs.count("No inbound route found for destination"), 1u);
  EXPECT_EQ(logs.count("Security violation: packet source mismatch"), 1u);
  const auto icmp = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(icmp.size(), 1u);
  EXPECT_TRUE(icmp_error_about(icmp[0], big, 3, 4)) << "fragmentation needed, back to B";
}

}  // namespace
}  // namespace sarvolt::test
