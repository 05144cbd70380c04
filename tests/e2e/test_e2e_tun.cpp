// The data plane over a real TUN device: the process moves into a network
// namespace of its own before any thread starts, creates a TUN device there,
// hands it to the agent and pings through it. Peer B answers echo requests;
// an address nobody in the overlay holds must come back as ICMP host
// unreachable. Needs root (CAP_NET_ADMIN), /dev/net/tun, ip and ping;
// skips loudly otherwise.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../data_plane.hpp"
#include "netns.hpp"
#include "util/packet.hpp"

namespace sarvolt::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kTunName = "svtun0";


void put16(Bytes& p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<std::uint8_t>(v >> 8);
  p[at + 1] = static_cast<std::uint8_t>(v);
}

// Peer B: answers every ICMP echo request A tunnels to 10.0.0.2 with the echo
// reply, back over the fabric. Polls the fabric until stopped or a deadline.
class EchoPeer {
 public:
  explicit EchoPeer(DataPlane& dp) : dp_(dp), thread_([this] { loop(); }) {}
  ~EchoPeer() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::atomic<int> requests{0};
  std::atomic<int> replies{0};
  std::atomic<int> other{0};  // anything else A sent to B

 private:
  void loop() {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      for (auto& d : dp_.fabric->drain(dp_.b.pk(), dp_.a.pk())) answer(d);
      std::this_thread::sleep_for(1ms);
    }
  }

  void answer(Bytes p) {
    auto hdr = util::Ipv4HeaderView::decode(p);
    if (!hdr || hdr->protocol() != 1 || hdr->destination() != ip("10.0.0.2") || hdr->is_fragment()) {
      ++other;
      return;
    }
    const std::size_t h = hdr->header_len();
    const std::size_t total = hdr->total_len();
    if (total > p.size() || total < h + 8 || p[h] != 8 || p[h + 1] != 0) {
      ++other;
      return;
    }
    ++requests;
    p.resize(total);
    for (int i = 0; i < 4; ++i) std::swap(p[12 + i], p[16 + i]);
    p[8] = 64;
    put16(p, 10, 0);
    put16(p, 10, util::internet_checksum({p.data(), h}));
    p[h] = 0;  // echo reply
    put16(p, h + 2, 0);
    put16(p, h + 2, util::internet_checksum({p.data() + h, total - h}));
    if (dp_.fabric->inject(dp_.a.pk(), dp_.b.pk(), p)) ++replies;
  }

  DataPlane& dp_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(E2eTun, PingThroughTheOverlayAndHostUnreachable) {
  // Preconditions, each with its own loud reason.
  if (const auto why = e2e_skip_reason({"ip", "ping"}); !why.empty())
    GTEST_SKIP() << "*** E2E TUN TEST SKIPPED: " << why << " ***";
  const std::string ip_bin = find_program("ip");
  const std::string ping_bin = find_program("ping");

  std::string err;
  const int fd = open_tun_in_private_netns(kTunName, err);
  ASSERT_GE(fd, 0) << err;
  ASSERT_NE(::if_nametoindex(kTunName), 0u);

  {
    DataPlane::Options options;
    options.tun_fd_override = fd;  // the agent owns it from here
    DataPlane dp(options);

    for (const std::string& args : {std::string("addr add 10.0.0.1/24 dev ") + kTunName,
                                    std::string("link set dev ") + kTunName + " mtu 1280 up"}) {
      auto r = run(ip_bin + " " + args);
      ASSERT_EQ(r.exit_code, 0) << "ip " << args << ": " << r.output;
    }
    dp.join();
    EchoPeer echo(dp);

    // A reachable member: B answers through the overlay.
    auto ok = run(ping_bin + " -n -c 1 -W 2 10.0.0.2");
    EXPECT_EQ(ok.exit_code, 0) << ok.output;
    EXPECT_NE(ok.output.find("bytes from 10.0.0.2"), std::string::npos) << ok.output;
    EXPECT_EQ(echo.requests, 1) << "B saw " << echo.requests << " echo request(s)";
    EXPECT_EQ(echo.replies, 1);

    // In the subnet but not in the overlay: the agent answers host unreachable.
    auto unreachable = run(ping_bin + " -n -c 1 -W 2 10.0.0.9");
    EXPECT_NE(unreachable.exit_code, 0) << unreachable.output;
    EXPECT_NE(unreachable.output.find("Destination Host Unreachable"), std::string::npos) << unreachable.output;

    echo.stop();
    EXPECT_EQ(echo.requests, 1) << "the unreachable ping must not reach B";
    EXPECT_EQ(echo.other, 0) << "A sent B something other than the echo request";
    EXPECT_TRUE(dp.fabric->drain(dp.c.pk(), dp.a.pk()).empty()) << "the unreachable ping must not reach C";
  }

  // The agent closed the device on shutdown: a non-persistent TUN goes away.
  EXPECT_TRUE(DataPlane::eventually([] { return ::if_nametoindex(kTunName) == 0; }))
      << kTunName << " still exists after the data plane shut down";
}

}  // namespace
}  // namespace sarvolt::test
