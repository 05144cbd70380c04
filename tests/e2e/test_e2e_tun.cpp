// The data plane over a real TUN device in the test's own network namespace
// (main() moves the process there before any thread starts): ping peer B
// through the overlay, where B answers echo requests over the in-memory
// fabric, and ping an address nobody in the overlay holds, which must come
// back as ICMP host unreachable. Needs root (CAP_NET_ADMIN), /dev/net/tun,
// ip and ping; skips loudly otherwise.
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include <boost/asio/detached.hpp>

#include "util/async_tun.hpp"
#include "util/packet.hpp"
#include "util/wake_signal.hpp"

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


// A TUN reader that reads until nothing is left, then waits; `woken` counts
// its wake-ups, `got` what it read.
asio::awaitable<void> tun_reader(std::shared_ptr<util::AsyncTun> tun, std::atomic<std::size_t>& woken,
                                 std::vector<Bytes>& got) {
  std::array<std::uint8_t, 2048> buf{};
  for (;;) {
    while (auto r = tun->try_recv(buf)) got.emplace_back(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*r));
    co_await tun->wait_readable();
    ++woken;
  }
}

// An echo request from 10.0.0.2 to 10.0.0.1, which the kernel answers inside
// the write that hands it over.
Bytes echo_request_to_local(std::uint16_t seq) {
  auto p = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .protocol = 1, .payload = 16});
  std::fill(p.begin() + 20, p.end(), 0);
  p[20] = 8;  // echo request
  p[26] = static_cast<std::uint8_t>(seq >> 8);
  p[27] = static_cast<std::uint8_t>(seq);
  const auto sum = util::internet_checksum({p.data() + 20, p.size() - 20});
  p[22] = static_cast<std::uint8_t>(sum >> 8);
  p[23] = static_cast<std::uint8_t>(sum);
  return p;
}

// Voluntary context switches of thread `tid` of this process so far.
long voluntary_switches(pid_t tid) {
  std::ifstream status(fmt::format("/proc/self/task/{}/status", tid));
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("voluntary_ctxt_switches:")) return std::stol(line.substr(24));
  return -1;
}

// The answer the kernel queues inside a write is read by the writer's thread
// (send_all_and_wake), and the thread waiting in the reactor meanwhile is not
// woken for it. Readability is back on the reactor afterwards, so later data
// wakes the waiting reader as before.
TEST(E2eTun, AnswerToAWriteIsReadInlineWithoutWakingTheReactor) {
  if (const auto why = e2e_skip_reason({"ip"}); !why.empty())
    GTEST_SKIP() << "*** E2E TUN TEST SKIPPED: " << why << " ***";
  const std::string ip_bin = find_program("ip");
  const std::string tun_name = fmt::format("svtw{}", ::getpid());
  std::string err;
  const int fd = open_tun_in_private_netns(tun_name.c_str(), err);
  ASSERT_GE(fd, 0) << err;
  {
    // No IPv6 on the device: nothing but the test's packets reaches it.
    std::ofstream(fmt::format("/proc/sys/net/ipv6/conf/{}/disable_ipv6", tun_name)) << "1\n";
  }
  std::mutex tids_mutex;
  std::vector<pid_t> tids;
  // Two workers: one waits in the reactor, the other runs the writer.
  Runtime rt(2, [&] {
    std::lock_guard lock(tids_mutex);
    tids.push_back(::gettid());
  });
  auto made = util::AsyncTun::create(rt.io.get_executor(), fd);
  if (!made) ::close(fd);
  ASSERT_TRUE(made) << made.error().message();
  const auto tun = *made;
  for (const std::string& args :
       {fmt::format("addr add 10.0.0.1/24 dev {}", tun_name), fmt::format("link set dev {} mtu 1280 up", tun_name)}) {
    const auto r = run(ip_bin + " " + args);
    ASSERT_EQ(r.exit_code, 0) << "ip " << args << ": " << r.output;
  }
  std::atomic<std::size_t> woken = 0;
  std::vector<Bytes> got;  // on the runtime, read after it settled
  asio::co_spawn(rt.io, tun_reader(tun, woken, got), asio::detached);
  // The writer waits for its turn; `writes` counts its passes, `writer` is
  // its thread in the last one.
  util::WakeSignal<160, util::Completion::post> turn;
  std::atomic<int> writes = 0;
  std::atomic<pid_t> writer = 0;
  std::atomic<std::size_t> read_inline = 0, sent = 0;
  std::uint16_t seq = 0;
  asio::co_spawn(
      rt.io,
      [&]() -> asio::awaitable<void> {
        for (;;) {
          auto [ec] = co_await turn.wait();
          if (ec) co_return;
          const Bytes request = echo_request_to_local(++seq);
          const std::span<const std::uint8_t> one[] = {request};
          const auto r = co_await tun->send_all_and_wake(one);
          sent = r ? *r : 0;
          read_inline = got.size();
          writer = ::gettid();
          ++writes;
        }
      },
      asio::detached);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(tids_mutex);
    return tids.size() == 2;
  }));
  std::this_thread::sleep_for(100ms);  // both workers asleep: one in the reactor

  for (int round = 1; round <= 3; ++round) {
    long before[2];
    for (int i = 0; i < 2; ++i) before[i] = voluntary_switches(tids[static_cast<std::size_t>(i)]);
    // Posted from here, the turn wakes the worker that is not in the reactor.
    asio::post(rt.io, [&] { turn.signal(util::Completion::dispatch); });
    ASSERT_TRUE(eventually([&] { return writes.load() == round; }));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(sent.load(), 1u);
    EXPECT_EQ(read_inline.load(), static_cast<std::size_t>(round)) << "the echo reply is read inside the write's wake";
    const std::size_t other = tids[0] == writer.load() ? 1 : 0;
    EXPECT_EQ(voluntary_switches(tids[other]), before[other])
        << "round " << round << ": the reply woke the thread waiting in the reactor";
  }
  asio::post(rt.io, [&] { turn.close(); });

  // Later data, with no writer about, reaches the waiting reader through the reactor.
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(s, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = htonl(ip("10.0.0.7").to_u32());
  const char data[] = "later";
  ASSERT_EQ(::sendto(s, data, sizeof data, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(sizeof data));
  ::close(s);
  ASSERT_TRUE(eventually([&] { return woken.load() >= 4; })) << "data after an inline read is not missed";
  rt.stop();
  ASSERT_EQ(got.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(got[i][20], 0) << "an echo reply";
  EXPECT_EQ(got[3][9], 17) << "the UDP datagram to 10.0.0.7";
}

}  // namespace
}  // namespace sarvolt::test
