// The overlay DNS server over a real TUN device: the process moves into a
// network namespace of its own before any thread starts, creates a TUN device
// there with 10.0.0.1/24, hands it to the agent (with the real DNS object)
// and asks dig at the network's DNS server address 10.0.0.254. The kernel
// only hands dig a reply whose IPv4 and UDP checksums are right. Needs root
// (CAP_NET_ADMIN), /dev/net/tun, ip and dig; skips loudly otherwise.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../data_plane.hpp"
#include "netns.hpp"
#include "../support.hpp"

namespace sarvolt::test {
namespace {

constexpr const char* kTunName = "svdns0";


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
  std::string line;
  bool in_answer = false;
  while (std::getline(in, line)) {
    if (line.rfind(";; ANSWER SECTION:", 0) == 0) {
      in_answer = true;
      continue;
    }
    if (!in_answer) continue;
    if (line.empty() || line[0] == ';') break;
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    out.push_back(std::move(f));
  }
  return out;
}

TEST(E2eDns, DigThroughTheTunnel) {
  if (const auto why = e2e_skip_reason({"ip", "dig"}); !why.empty())
    GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: " << why << " ***";
  const std::string ip_bin = find_program("ip");
  const std::string dig_bin = find_program("dig");

  std::string err;
  const int fd = open_tun_in_private_netns(kTunName, err);
  ASSERT_GE(fd, 0) << err;

  LogCapture logs;
  {
    DataPlane::Options options;
    options.tun_fd_override = fd;  // the agent owns it from here
    options.real_dns = true;
    DataPlane dp(options);

    for (const std::string& args : {std::string("addr add 10.0.0.1/24 dev ") + kTunName,
                                   std::string("link set dev ") + kTunName + " mtu 1280 up"}) {
      auto r = run(ip_bin + " " + args);
      ASSERT_EQ(r.exit_code, 0) << "ip " << args << ": " << r.output;
    }
    dp.join();
    ASSERT_EQ(dp.real_dns->server_ip(), ip("10.0.0.254"));

    const std::string dig = dig_bin + " @10.0.0.254 +tries=1 +time=2 ";
    auto found = run(dig + "a.sarvolt.zz A");
    EXPECT_EQ(found.exit_code, 0) << found.output;
    EXPECT_EQ(status_of(found.output), "NOERROR") << found.output;
    const auto records = answers_of(found.output);
    ASSERT_EQ(records.size(), 1u) << found.output;
    EXPECT_EQ(records[0], (std::vector<std::string>{"a.sarvolt.zz.", "10", "IN", "A", "10.0.0.1"})) << found.output;

    auto norecurse = run(dig + "a.sarvolt.zz A +norecurse");
    EXPECT_EQ(status_of(norecurse.output), "REFUSED") << norecurse.output;
    EXPECT_TRUE(answers_of(norecurse.output).empty()) << norecurse.output;

    auto outside = run(dig + "example.com A");
    EXPECT_EQ(status_of(outside.output), "REFUSED") << outside.output;
    EXPECT_TRUE(answers_of(outside.output).empty()) << outside.output;
  }

  for (const auto& l : logs.lines())
    EXPECT_TRUE(l.level != "error" && l.level != "warning") << l.target << ": " << l.text;
  EXPECT_TRUE(DataPlane::eventually([] { return ::if_nametoindex(kTunName) == 0; }))
      << kTunName << " still exists after the data plane shut down";
}

}  // namespace
}  // namespace sarvolt::test
