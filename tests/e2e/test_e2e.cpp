// The data plane over a real TUN device in a network namespace of the test's
// own (main() moves the process there before any thread starts): ping an
// address nobody in the overlay holds (ICMP host unreachable; a ping through
// the overlay is the controller end-to-end test's); ask dig at the DNS server
// address 10.0.0.254 (the kernel hands dig only replies whose IPv4 and UDP
// checksums are right). Needs root, /dev/net/tun, ip, ping and dig; skips
// loudly otherwise.
#include <gtest/gtest.h>
#include <net/if.h>

#include <regex>

#include "data_plane.hpp"
#include "netns.hpp"

namespace sarvolt::test {
namespace {

TEST(E2e, PingAndDigThroughTheTunnel) {
  if (const auto why = e2e_skip_reason({"ip", "ping", "dig"}); !why.empty())
    GTEST_SKIP() << "*** E2E TEST SKIPPED: " << why << " ***";  // never touches the host's interfaces
  constexpr const char* kTunName = "svtun0";
  LogCapture logs;
  {
    std::string err;
    const int fd = open_tun_in_private_netns(kTunName, err);
    ASSERT_GE(fd, 0) << err;
    const auto dp = std::make_unique<DataPlane>(DataPlane::Options{.with_dns = true, .tun_fd = fd});  // owns fd
    for (const std::string& args :
         {fmt::format("addr add 10.0.0.1/24 dev {}", kTunName), fmt::format("link set dev {} mtu 1280 up", kTunName)}) {
      const auto r = run("ip " + args);
      ASSERT_EQ(r.exit_code, 0) << "ip " << args << ": " << r.output;
    }
    dp->join();
    const auto unreachable = run("ping -n -c 1 -W 2 10.0.0.9");
    EXPECT_NE(unreachable.exit_code, 0) << unreachable.output;
    EXPECT_NE(unreachable.output.find("Destination Host Unreachable"), std::string::npos) << unreachable.output;
    for (const auto* peer : {&dp->b, &dp->c})
      EXPECT_TRUE(dp->fabric->drain(peer->pk(), dp->a.pk()).empty()) << "A sent a peer something";

    const auto found = run("dig @10.0.0.254 +tries=1 +time=2 a.sarvolt.zz A");
    EXPECT_TRUE(std::regex_search(found.output, std::regex("status: NOERROR[\\s\\S]*ANSWER: 1,")) &&
                std::regex_search(found.output, std::regex("\\na\\.sarvolt\\.zz\\.\\s+10\\s+IN\\s+A\\s+10\\.0\\.0\\.1\\n")))
        << found.output;
  }
  for (const auto& l : logs.lines())
    EXPECT_TRUE(l.level != "error" && l.level != "warning") << l.target << ": " << l.text;
  EXPECT_TRUE(eventually([&] { return ::if_nametoindex(kTunName) == 0; }))
      << kTunName << " outlived the data plane (non-persistent)";
}

}  // namespace
}  // namespace sarvolt::test
