// An agent with a shared secret, started as a host starts it, on a real TUN
// device in the test's own network namespace: it joins the network that only
// the test controller lists, pings its peer (a UDP node of the test that
// answers echo requests) through a super peer on 127.0.0.1, and leaves the
// network when the controller stops listing it. The test plays the host: it
// puts the addresses the agent announces on the device. Needs root
// (CAP_NET_ADMIN), /dev/net/tun, ip and ping; skips loudly otherwise.
#include <gtest/gtest.h>
#include <boost/asio/detached.hpp>

#include "../http_fixture.hpp"
#include "../p2p_net.hpp"
#include "../support.hpp"
#include "agent/agent.hpp"
#include "netns.hpp"
#include "util/packet.hpp"
#include "util/published.hpp"

namespace sarvolt::test {
namespace {

namespace asio = boost::asio;

constexpr const char* kTun = "svctl0";
constexpr const char* kSecret = "c2hhcmVkLXNlY3JldC1mb3ItdGhlLWUyZS10ZXN0";
constexpr const char* kId = "0c4b3f5e-9d2a-4e7b-8f10-2a3b4c5d6e7f";

asio::awaitable<void> echo(p2p::NodePeerRef link, std::shared_ptr<std::atomic<int>> answered) {
  std::vector<p2p::Datagram> slots(16);
  for (;;) {
    const std::size_t n = co_await link->read_datagrams(slots);
    for (std::size_t i = 0; i < n; ++i)
      if (echo_reply(slots[i], *util::Ipv4Addr::parse("10.77.0.2")) && link->send_datagram(slots[i])) ++*answered;
  }
}

std::string list_for(const p2p::PubKey& agent, const p2p::PubKey& peer) {
  return fmt::format(
      "[[network]]\nid = \"{}\"\nname = \"e2e\"\nnetwork = \"10.77.0.0/24\"\n"
      "[[network.node]]\npk = \"{}\"\nip = \"10.77.0.1\"\nhostname = \"agent\"\ngroups = [\"g\"]\n"
      "[[network.node]]\npk = \"{}\"\nip = \"10.77.0.2\"\nhostname = \"peer\"\ngroups = [\"g\"]\n"
      "[[network.policy]]\nsource_groups = [\"g\"]\ndestination_groups = [\"g\"]\n",
      kId, agent, peer);
}

TEST(E2eController, JoinsPingsAndLeavesAsTheControllerSays) {
  if (const auto why = e2e_skip_reason({"ip", "ping"}); !why.empty())
    GTEST_SKIP() << "*** E2E CONTROLLER TEST SKIPPED: " << why << " ***";
  const std::string ip_bin = find_program("ip"), ping_bin = find_program("ping");
  // The agent's node: test-speed settings on 127.0.0.1.
  const ScopedEnv pow("SARVOLT_MIN_POW_DIFFICULTY", "8"), addrs("SARVOLT_UDP_ADDRS", "127.0.0.1"),
      port("SARVOLT_UDP_PORT", "0"), hello("SARVOLT_HOUSEKEEPING_INTERVAL", "200");
  std::string err;
  const int fd = open_tun_in_private_netns(kTun, err);
  ASSERT_GE(fd, 0) << err;

  TempDir dir;
  TestSuperPeer sp;
  TestController controller(kSecret);
  Runtime rt(2);
  const auto peer_id = identity(8), agent_id = identity(8);
  auto peer = rt.run(p2p::Node::bind(test_opts(peer_id, {sp.url()}).build().value())).value();
  auto answered = std::make_shared<std::atomic<int>>(0);
  asio::co_spawn(rt.io, echo(peer->initiate(agent_id.pk()).value(), answered), asio::detached);
  controller.serve(agent_id.pk().to_string(), list_for(agent_id.pk(), peer_id.pk()));

  agent::AgentConfig config(agent_id);
  config.super_peers = std::vector<p2p::SuperPeerUrl>{sp.url()};
  config.dns = agent::DnsConfig{true};
  config.controller.emplace().url = controller.base_url();
  config.controller->shared_secret = kSecret;
  util::Published<decltype(agent::NetworkChange::ips)> told;  // the addresses the agent last told its host
  const auto told_ips = [&] {
    const auto ips = told.load();
    return ips ? *ips : std::nullopt;
  };
  agent::PlatformDependent platform;
  platform.tun_device = util::AsyncTun::create(rt.io.get_executor(), fd).value();
  platform.listener = [&](agent::NetworkChange c) { told.store(std::make_shared<decltype(c.ips)>(std::move(c.ips))); };
  const auto path = (dir / "agent.toml").string();
  std::optional<util::Expected<agent::Agent, core::Error>> started;
  auto start = [&]() -> asio::awaitable<void> {
    started.emplace(co_await agent::Agent::start(config, path, std::move(platform)));
  };
  rt.run(start());
  ASSERT_TRUE(*started) << started->error().to_string();
  auto agent = std::move(**started);

  // The first pass runs at once: the controller's network is joined.
  const auto joined = std::vector<util::Ipv4Net>{*util::Ipv4Net::parse("10.77.0.1/24")};
  ASSERT_TRUE(eventually([&] { return told_ips() == joined; }, 15s));
  for (const std::string& args :
       {fmt::format("addr add 10.77.0.1/24 dev {}", kTun), fmt::format("link set dev {} mtu 1280 up", kTun)}) {
    const auto r = run(ip_bin + " " + args);
    ASSERT_EQ(r.exit_code, 0) << "ip " << args << ": " << r.output;
  }
  CommandResult ping;
  for (int i = 0; i < 10 && ping.exit_code != 0; ++i) ping = run(ping_bin + " -n -c 1 -W 2 10.77.0.2");
  EXPECT_EQ(ping.exit_code, 0) << ping.output;  // answered by the peer, through the agent
  EXPECT_NE(read_file(path).find(std::string("controller://") + kId), std::string::npos);

  // The controller stops listing it: a later pass (every 10 s) leaves it.
  controller.serve(agent_id.pk().to_string(), "network = []\n");
  ASSERT_TRUE(eventually([&] { return told_ips() == std::vector<util::Ipv4Net>{}; }, 25s));
  const int before = *answered;
  EXPECT_NE(run(ping_bin + " -n -c 1 -W 1 10.77.0.2").exit_code, 0) << "the agent no longer carries the network";
  EXPECT_EQ(*answered, before);
  EXPECT_EQ(read_file(path).find("controller://"), std::string::npos);

  rt.run(agent.shutdown());
  rt.run(agent.release());
  rt.run(peer->shutdown());
}

}  // namespace
}  // namespace sarvolt::test
