// The overlay DNS server over a real TUN device in the test's own network
// namespace (main() moves the process there before any thread starts): the
// device gets 10.0.0.1/24, the agent (with the DNS object) takes it, and dig
// asks the network's DNS server address 10.0.0.254. The kernel hands dig only
// replies whose IPv4 and UDP checksums are right. Needs root, /dev/net/tun, ip
// and dig; skips loudly otherwise.
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <sstream>

#include "data_plane.hpp"
#include "netns.hpp"

namespace sarvolt::test {
namespace {

std::string status_of(const std::string& dig_output) {
  const auto at = dig_output.find("status: ");
  if (at == std::string::npos) return {};
  const auto end = dig_output.find(',', at);
  return dig_output.substr(at + 8, end == std::string::npos ? std::string::npos : end - at - 8);
}

// The records of the answer section as whitespace-split fields.
std::vector<std::vector<std::string>> answers_of(const std::string& dig_output) {
  std::vector<std::vector<std::string>> out;
  std::istringstream in(dig_output);
  bool in_answer = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(";; ANSWER SECTION:")) {
      in_answer = true;
    } else if (in_answer) {
      if (line.empty() || line[0] == ';') break;
      std::istringstream fields(line);
      out.emplace_back();
      for (std::string w; fields >> w;) out.back().push_back(w);
    }
  }
  return out;
}

TEST(E2eDns, DigThroughTheTunnel) {
  if (const auto why = e2e_skip_reason({"ip", "dig"}); !why.empty())
    GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: " << why << " ***";  // never touches the host's interfaces
  const std::string tun_name = fmt::format("svdns{}", ::getpid());
  LogCapture logs;
  {
    std::string err;
    const int fd = open_tun_in_private_netns(tun_name.c_str(), err);
    ASSERT_GE(fd, 0) << err;
    const auto dp = std::make_unique<DataPlane>(DataPlane::Options{.with_dns = true, .tun_fd = fd});  // owns fd
    for (const std::string& args :
         {fmt::format("addr add 10.0.0.1/24 dev {}", tun_name), fmt::format("link set dev {} mtu 1280 up", tun_name)}) {
      const auto r = run("ip " + args);
      ASSERT_EQ(r.exit_code, 0) << "ip " << args << ": " << r.output;
    }
    dp->join();
    ASSERT_EQ(dp->dns->server_ip(), ip("10.0.0.254"));

    const std::string dig = "dig @10.0.0.254 +tries=1 +time=2 ";
    const auto found = run(dig + "a.sarvolt.zz A");
    EXPECT_EQ(found.exit_code, 0) << found.output;
    EXPECT_EQ(status_of(found.output), "NOERROR") << found.output;
    EXPECT_EQ(answers_of(found.output),
              (std::vector<std::vector<std::string>>{{"a.sarvolt.zz.", "10", "IN", "A", "10.0.0.1"}}))
        << found.output;

    for (const char* refused : {"a.sarvolt.zz A +norecurse", "example.com A"}) {
      const auto r = run(dig + refused);
      EXPECT_EQ(status_of(r.output), "REFUSED") << refused << ": " << r.output;
      EXPECT_TRUE(answers_of(r.output).empty()) << refused << ": " << r.output;
    }
  }
  for (const auto& l : logs.lines())
    EXPECT_TRUE(l.level != "error" && l.level != "warning") << l.target << ": " << l.text;
  EXPECT_TRUE(eventually([&] { return ::if_nametoindex(tun_name.c_str()) == 0; }))
      << tun_name << " outlived the data plane (non-persistent)";
}

}  // namespace
}  // namespace sarvolt::test
