// The data plane over a real TUN device in the test's own network namespace
// (main() moves the process there before any thread starts): ping peer B
// through the overlay, where B answers echo requests over the in-memory
// fabric, and ping an address nobody in the overlay holds, which must come
// back as ICMP host unreachable. Needs root (CAP_NET_ADMIN), /dev/net/tun,
// ip and ping; skips loudly otherwise.
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <boost/asio/detached.hpp>

#include "data_plane.hpp"
#include "netns.hpp"

namespace sarvolt::test {
namespace {

namespace asio = boost::asio;

struct EchoSeen {
  std::atomic<int> requests{0}, replies{0}, other{0};  // other: anything else A sent to B
  std::atomic<bool> done{false};
};

// Peer B: answers every echo request to 10.0.0.2 on `link` until the link closes.
asio::awaitable<void> echo(p2p::NodePeerRef link, std::shared_ptr<EchoSeen> seen) {
  std::vector<p2p::Datagram> slots(16);
  try {
    for (;;) {
      const std::size_t n = co_await link->read_datagrams(slots);
      for (std::size_t i = 0; i < n; ++i) {
        if (!echo_reply(slots[i], ip("10.0.0.2"))) {
          ++seen->other;
          continue;
        }
        ++seen->requests;
        if (link->send_datagram(slots[i])) ++seen->replies;
      }
    }
  } catch (const boost::system::system_error&) {  // the link closed
  }
  seen->done = true;
}

TEST(E2eTun, PingThroughTheOverlayAndHostUnreachable) {
  if (const auto why = e2e_skip_reason({"ip", "ping"}); !why.empty())
    GTEST_SKIP() << "*** E2E TUN TEST SKIPPED: " << why << " ***";  // never touches the host's interfaces
  const std::string ip_bin = find_program("ip"), ping_bin = find_program("ping");
  const std::string tun_name = fmt::format("svtun{}", ::getpid());
  {
    std::string err;
    const int fd = open_tun_in_private_netns(tun_name.c_str(), err);
    ASSERT_GE(fd, 0) << err;
    const auto dp = std::make_unique<DataPlane>(DataPlane::Options{.tun_fd = fd});  // owns fd
    for (const std::string& args :
         {fmt::format("addr add 10.0.0.1/24 dev {}", tun_name), fmt::format("link set dev {} mtu 1280 up", tun_name)}) {
      const auto r = run(ip_bin + " " + args);
      ASSERT_EQ(r.exit_code, 0) << "ip " << args << ": " << r.output;
    }
    dp->join();
    const auto link = dp->nodes[1]->initiate(dp->a.pk()).value();
    const auto seen = std::make_shared<EchoSeen>();
    asio::co_spawn(dp->io, echo(link, seen), asio::detached);

    // A reachable member: B answers through the overlay.
    const auto ok = run(ping_bin + " -n -c 1 -W 5 10.0.0.2");
    EXPECT_EQ(ok.exit_code, 0) << ok.output;
    EXPECT_NE(ok.output.find("bytes from 10.0.0.2"), std::string::npos) << ok.output;
    EXPECT_EQ(seen->requests, 1) << "B saw " << seen->requests << " echo request(s)";
    EXPECT_EQ(seen->replies, 1);

    // In the subnet but not in the overlay: the agent answers host unreachable.
    const auto unreachable = run(ping_bin + " -n -c 1 -W 5 10.0.0.9");
    EXPECT_NE(unreachable.exit_code, 0) << unreachable.output;
    EXPECT_NE(unreachable.output.find("Destination Host Unreachable"), std::string::npos) << unreachable.output;

    dp->run([&]() -> asio::awaitable<void> {
      link->close();
      co_return;
    }());
    ASSERT_TRUE(eventually([&] { return seen->done.load(); }));
    EXPECT_EQ(seen->requests, 1) << "the unreachable ping must not reach B";
    EXPECT_EQ(seen->other, 0) << "A sent B something other than the echo request";
    EXPECT_EQ(dp->fabric->queued(dp->b.pk(), dp->a.pk()), 0u);
    EXPECT_TRUE(dp->fabric->drain(dp->c.pk(), dp->a.pk()).empty()) << "nothing may reach C";
  }
  // The agent closed the device on shutdown: a non-persistent TUN goes away.
  EXPECT_TRUE(eventually([&] { return ::if_nametoindex(tun_name.c_str()) == 0; }))
      << tun_name << " still exists after the data plane shut down";
}

}  // namespace
}  // namespace sarvolt::test
