#include <gtest/gtest.h>

#include <spdlog/sinks/base_sink.h>
#include <unistd.h>

#include <future>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include "data_plane.hpp"
#include "support.hpp"
#include "util/log.hpp"
#include "util/packet.hpp"

namespace sarvolt::test {
namespace {

TEST(DataPlane, RoutedPacketReachesItsPeerAndRepliesComeBack) {
  DataPlane dp;
  dp.join();
  const auto out = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.2"});
  dp.tun_write(out);
  auto sent = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], out);

  const auto in = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .fill = 0x11});
  dp.from_peer(dp.b.pk(), in);
  auto got = dp.tun_read();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, in);
}

TEST(DataPlane, UnroutedPacketGetsHostUnreachable) {
  DataPlane dp;
  dp.join();
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.9"}));
  auto reply = dp.tun_read();
  ASSERT_TRUE(reply);
  ASSERT_GE(reply->size(), 28u);
  EXPECT_EQ((*reply)[20], 3);
  EXPECT_EQ((*reply)[21], 1);
}

TEST(DataPlane, SpoofedSourceIsDroppedWithAWarning) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  dp.from_peer(dp.c.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"}));
  dp.from_peer(dp.c.pk(), ipv4_packet({.src = "10.0.0.3", .dst = "10.0.0.1", .fill = 0x33}));
  auto got = dp.tun_read();
  ASSERT_TRUE(got);
  EXPECT_EQ((*got)[25], 0x33);
  EXPECT_EQ(logs.count("Security violation: packet source mismatch - received from peer " + dp.c.pk().to_string()),
            1u);
}

}  // namespace
}  // namespace sarvolt::test

namespace sarvolt::test {
namespace {

using namespace std::chrono_literals;

// Removes every access rule that names `pk` and applies.
void drop_peer_rules(DataPlane& dp, const p2p::PubKey& pk) {
  auto& n = dp.networks.begin()->second;
  auto rules = *n.desired.access_rules.applied;
  std::erase_if(rules.rules, [&](const auto& kv) { return kv.second.pk == pk; });
  n.desired.access_rules = {rules, std::nullopt};
  dp.apply();
}

std::vector<std::shared_ptr<agent::NodePeerInner>> peers_of(DataPlane& dp) {
  std::vector<std::shared_ptr<agent::NodePeerInner>> out;
  for (const auto& [dest, inner] : *dp.agent->firewall->transmit_trie())
    for (const auto& [src, peer] : inner) out.push_back(peer.inner());
  return out;
}

TEST(TunDriver, LoopbackIsWrittenBackUntouched) {
  DataPlane dp;
  dp.join();
  const auto loop = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.1", .fill = 0x5A});
  dp.tun_write(loop);
  auto back = dp.tun_read();
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, loop);
  EXPECT_EQ(dp.dns->offered, 0);
  EXPECT_FALSE(dp.tun_read(50ms));
}

TEST(TunDriver, UnroutedQueriesGoToDnsAndEverythingElseGetsIcmp) {
  DataPlane dp;
  dp.join();
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.254", .dport = 53}));
  EXPECT_TRUE(DataPlane::eventually([&] { return dp.dns->taken == 1; }));
  EXPECT_FALSE(dp.tun_read(50ms)) << "a packet the DNS service took gets no ICMP reply";

  dp.dns->take = false;
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.254", .dport = 53}));
  auto reply = dp.tun_read();
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)[20], 3);
}

TEST(TunDriver, WithoutDnsUnroutedQueriesGetIcmp) {
  DataPlane dp(DataPlane::Options{.with_dns = false});
  dp.join();
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.254", .dport = 53}));
  EXPECT_TRUE(dp.tun_read());
}

TEST(TunDriver, NeverAnswersIcmpErrorsFragmentsOrOddSources) {
  DataPlane dp(DataPlane::Options{.with_dns = false});
  dp.join();
  auto icmp_error = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.9", .protocol = 1, .payload = 36});
  icmp_error[20] = 3;  // destination unreachable
  dp.tun_write(icmp_error);
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.9", .fragment_offset = 100}));
  dp.tun_write(ipv4_packet({.src = "0.0.0.0", .dst = "10.0.0.9"}));
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "224.0.0.5"}));
  EXPECT_FALSE(dp.tun_read(100ms));
  // A plain unroutable packet still gets its reply.
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.9"}));
  EXPECT_TRUE(dp.tun_read());
}

TEST(TunDriver, DropsControlIpv6ShortAndOversizedPackets) {
  DataPlane dp(DataPlane::Options{.with_dns = false, .mtu = 1280});
  dp.join();
  auto control = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.2", .payload = 40});
  std::copy(util::kControlMagic.begin(), util::kControlMagic.end(), control.begin() + 28);
  dp.tun_write(control);
  auto v6 = ipv4_packet({.dst = "10.0.0.9"});
  v6[0] = 0x60;
  dp.tun_write(v6);
  dp.tun_write(Bytes(10, 0x45));
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.2", .payload = 1261}));  // 1281 bytes
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.2", .payload = 1260, .fill = 0x77}));
  auto sent = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), 1280u);
  EXPECT_FALSE(dp.tun_read(50ms));
}

TEST(TunDriver, PendingHandOverStopsReadingAndKeepsOrder) {
  LogCapture logs;
  DataPlane dp(DataPlane::Options{.with_dns = false});
  dp.join();
  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), true);
  for (std::uint8_t i = 1; i <= 3; ++i) dp.tun_write(ipv4_packet({.dst = "10.0.0.2", .fill = i}));
  // Let the driver queue at least one and reach the held hand-over before
  // anything else arrives.
  ASSERT_TRUE(DataPlane::eventually([&] { return logs.count("Successfully forwarded packet to channel") >= 1; }));
  std::this_thread::sleep_for(100ms);
  dp.tun_write(ipv4_packet({.dst = "10.0.0.3", .fill = 4}));
  dp.tun_write(ipv4_packet({.dst = "10.0.0.9", .fill = 5}));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(dp.fabric->sent_count(dp.a.pk(), dp.c.pk()), 0u);
  EXPECT_FALSE(dp.tun_read(20ms)) << "nothing is read while a hand-over waits";

  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), false);
  auto to_b = dp.sent_to(dp.b.pk(), 3);
  ASSERT_EQ(to_b.size(), 3u);
  for (std::uint8_t i = 0; i < 3; ++i) EXPECT_EQ(to_b[i].back(), i + 1);
  auto to_c = dp.sent_to(dp.c.pk(), 1);
  ASSERT_EQ(to_c.size(), 1u);
  EXPECT_TRUE(dp.tun_read()) << "the unroutable packet is answered once reading resumes";
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(dp.fabric->drain(dp.b.pk(), dp.a.pk()).empty()) << "nothing is sent twice";
}

TEST(TunDriver, RemovingAStuckPeerCancelsItsHandOver) {
  DataPlane dp(DataPlane::Options{.with_dns = false});
  dp.join();
  dp.fabric->hold_sends(dp.a.pk(), dp.b.pk(), true);
  dp.tun_write(ipv4_packet({.dst = "10.0.0.2"}));
  std::this_thread::sleep_for(50ms);
  drop_peer_rules(dp, dp.b.pk());
  dp.tun_write(ipv4_packet({.dst = "10.0.0.3", .fill = 9}));
  auto to_c = dp.sent_to(dp.c.pk(), 1);
  ASSERT_EQ(to_c.size(), 1u) << "one dead peer must not stall the tunnel";
  EXPECT_EQ(to_c[0].back(), 9);
}

TEST(TunDriver, YieldsDuringAFloodOfDroppedPackets) {
  constexpr int kFlood = 150;  // fits the socket buffer
  DataPlane dp(DataPlane::Options{.with_dns = false, .threads = 1});
  dp.join();
  // The marker is posted when the first drop is logged, so it queues behind a
  // driver that is already in its flood; it must run before the flood ends.
  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    DataPlane* dp;
    std::atomic<int> drops{0};
    std::atomic<int> drops_at_marker{-1};
    std::atomic<bool> posted{false};
    void sink_it_(const spdlog::details::log_msg& msg) override {
      std::string_view text(msg.payload.data(), msg.payload.size());
      if (!text.starts_with("Failed to decode IP packet")) return;
      ++drops;
      if (!posted.exchange(true))
        boost::asio::post(dp->io, [this] { drops_at_marker = drops.load(); });
    }
    void flush_() override {}
  };
  auto sink = std::make_shared<Sink>();
  sink->dp = &dp;
  log::shared_sink()->add_sink(sink);
  log::set_level(spdlog::level::trace);
  // Hold the only runtime thread while the flood is queued, so the driver
  // wakes to all of it at once.
  std::promise<void> release;
  boost::asio::post(dp.io, [f = release.get_future().share()] { f.wait(); });
  for (int i = 0; i < kFlood; ++i) dp.tun_write(Bytes(10, 0x45));
  release.set_value();
  EXPECT_TRUE(DataPlane::eventually([&] { return sink->drops == kFlood; }));
  log::shared_sink()->remove_sink(sink);
  log::set_level(spdlog::level::off);
  EXPECT_GT(sink->drops_at_marker, 0);
  EXPECT_LT(sink->drops_at_marker, kFlood);
}

TEST(NodePeerDriver, MtuBoundaryWithDontFragment) {
  DataPlane dp(DataPlane::Options{.mtu = 1280});
  dp.join();
  const auto exact = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1260, .dont_fragment = true});
  dp.from_peer(dp.b.pk(), exact);
  auto got = dp.tun_read();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 1280u);

  const auto big = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1261, .dont_fragment = true});
  dp.from_peer(dp.b.pk(), big);
  auto icmp = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(icmp.size(), 1u);
  ASSERT_EQ(icmp[0].size(), 56u);
  EXPECT_EQ(icmp[0][20], 3);
  EXPECT_EQ(icmp[0][21], 4);
  EXPECT_EQ((icmp[0][26] << 8) | icmp[0][27], 1280);
  EXPECT_FALSE(dp.tun_read(50ms));

  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1261}));
  auto fragmentable = dp.tun_read();
  ASSERT_TRUE(fragmentable);
  EXPECT_EQ(fragmentable->size(), 1281u);
}

TEST(NodePeerDriver, DropsControlUndecodableAndUnroutedDatagrams) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  auto control = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 40});
  std::copy(util::kControlMagic.begin(), util::kControlMagic.end(), control.begin() + 28);
  dp.from_peer(dp.b.pk(), control);
  dp.from_peer(dp.b.pk(), Bytes(19, 0x45));
  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.77"}));
  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .fill = 0x42}));
  auto got = dp.tun_read();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->back(), 0x42);
  EXPECT_FALSE(dp.tun_read(50ms));
  EXPECT_EQ(logs.count("Dropping Sarvolt control plane packet"), 1u);
  EXPECT_EQ(logs.count("Failed to decode IP packet"), 1u);
  EXPECT_EQ(logs.count("No inbound route found for destination"), 1u);
}

TEST(NodePeerDriver, WithoutTunDeviceDropsWithAWarning) {
  LogCapture logs;
  DataPlane dp(DataPlane::Options{.with_tun = false});
  dp.join();
  dp.from_peer(dp.b.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"}));
  EXPECT_TRUE(DataPlane::eventually(
      [&] { return logs.count("No TUN device available, dropping 1 received datagram(s).") == 1; }));
}

TEST(Lifetimes, LastHandleEndsIdleDrivers) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  auto peers = peers_of(dp);
  ASSERT_EQ(peers.size(), 2u);
  for (auto& p : peers) EXPECT_TRUE(p->driver_running());

  dp.leave_all();
  EXPECT_TRUE(dp.agent->firewall->transmit_trie()->empty());
  for (auto& p : peers)
    EXPECT_TRUE(DataPlane::eventually([&] { return !p->driver_running(); })) << "peer driver still running";

  // Releasing the agent core ends the TUN driver: nothing holds it strongly.
  std::weak_ptr<agent::AgentInner> weak = dp.agent;
  dp.agent.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(DataPlane::eventually([&] { return logs.count("TunDeviceDriver ready") == 1; }));
}

TEST(Lifetimes, ReleasingTheAgentStopsEveryDriver) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  auto peers = peers_of(dp);
  std::weak_ptr<agent::AgentInner> weak = dp.agent;
  dp.agent.reset();
  dp.networks.clear();
  EXPECT_TRUE(weak.expired()) << "drivers must not keep the agent core alive";
  for (auto& p : peers) EXPECT_TRUE(DataPlane::eventually([&] { return !p->driver_running(); }));
  EXPECT_TRUE(DataPlane::eventually([&] { return logs.count("TunDeviceDriver ready") == 1; }));
}

TEST(Lifetimes, RebuildKeepsPeersWhoseKeySurvives) {
  DataPlane dp;
  dp.join();
  auto before = peers_of(dp);
  drop_peer_rules(dp, dp.c.pk());
  auto after = peers_of(dp);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0]->pk(), dp.b.pk());
  EXPECT_TRUE(std::find(before.begin(), before.end(), after[0]) != before.end()) << "B's NodePeer was replaced";
  for (auto& p : before) {
    if (p->pk() != dp.c.pk()) continue;
    EXPECT_TRUE(DataPlane::eventually([&] { return !p->driver_running(); }));
  }
}

TEST(TunMtu, BelowTheIpv4MinimumFallsBackToTheDefault) {
  LogCapture logs;
  test::ScopedEnv arm("SARVOLT_ARM_MESSAGES", std::nullopt);
  EXPECT_EQ(agent::tun_mtu_from(0), 1280);
  EXPECT_EQ(agent::tun_mtu_from(67), 1280);
  EXPECT_EQ(agent::tun_mtu_from(68), 68);
  EXPECT_EQ(agent::tun_mtu_from(std::nullopt), 1280);
  EXPECT_EQ(logs.count("Configured MTU 0 is below the IPv4 minimum of 68"), 1u);

  DataPlane dp(DataPlane::Options{.mtu = 0});
  EXPECT_EQ(dp.agent->tun_mtu, 1280);
  dp.join();
  dp.tun_write(ipv4_packet({.dst = "10.0.0.2"}));
  EXPECT_EQ(dp.sent_to(dp.b.pk(), 1).size(), 1u);
}

TEST(TunDeviceSend, TriesEveryPacketAndReportsTheFirstError) {
  boost::asio::io_context io;
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  auto tun = agent::AsyncTun::create(io.get_executor(), fds[0]).value();
  const Bytes ok1(100, 1), too_big(8 << 20, 2), ok2(100, 3);
  const std::span<const std::uint8_t> batch[] = {ok1, too_big, ok2};
  auto fut = boost::asio::co_spawn(io, agent::TunDevice::send(*tun, batch), boost::asio::use_future);
  io.run();
  auto r = fut.get();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), std::errc::message_size);
  Bytes buf(200);
  EXPECT_EQ(::read(fds[1], buf.data(), buf.size()), 100);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(::read(fds[1], buf.data(), buf.size()), 100);
  EXPECT_EQ(buf[0], 3) << "the packet after the failed one is still written";
  ::close(fds[1]);
}

}  // namespace
}  // namespace sarvolt::test

namespace sarvolt::test {
namespace {

TEST(Lifetimes, PeersReleasedBeforeTheirDriversRanAreSafe) {
  // Peers created and dropped at once: each driver ends at its first step
  // while the last handle goes; nothing may touch freed state (ASan).
  for (int round = 0; round < 20; ++round) {
    DataPlane dp(DataPlane::Options{.threads = 2});
    dp.join();
    dp.leave_all();
  }
  boost::asio::io_context io;
  {
    auto fabric = std::make_shared<p2p::Fabric>();
    auto node = fabric->add_node(identity_from_seed(1));
    agent::AgentInner::Parts parts;
    parts.executor = io.get_executor();
    parts.node = node;
    parts.netif = std::make_shared<agent::MobileAgentNetIf>();
    parts.router = std::make_unique<agent::MobileAgentRouter>();
    parts.firewall = std::make_shared<agent::AgentFirewall>();
    auto agent = std::make_shared<agent::AgentInner>(std::move(parts));
    for (std::uint8_t i = 2; i < 40; ++i) {
      fabric->add_node(identity_from_seed(i));
      auto peer = agent::NodePeer::create(node, identity_from_seed(i).pk(), agent);
      ASSERT_TRUE(peer);
    }  // every handle is gone before the runtime ran anything
  }
  io.run();
}

}  // namespace
}  // namespace sarvolt::test
