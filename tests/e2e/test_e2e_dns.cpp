// The overlay DNS server over a real TUN device: the process moves into a
// network namespace of its own before any thread starts, creates a TUN device
// there with 10.0.0.1/24, hands it to the agent (with the real DNS object)
// and asks dig at the network's DNS server address 10.0.0.254. The kernel
// only hands dig a reply whose IPv4 and UDP checksums are right. Needs root
// (CAP_NET_ADMIN), /dev/net/tun, ip and dig; skips loudly otherwise.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../data_plane.hpp"
#include "../support.hpp"

namespace sarvolt::test {
namespace {

constexpr const char* kTunName = "svdns0";

// Set by main() before gtest starts: empty when the process is in a network
// namespace of its own, otherwise why not.
std::string g_netns_error = "main() did not run";
ino_t g_host_netns = 0;

ino_t netns_inode() {
  struct stat st {};
  if (::stat("/proc/thread-self/ns/net", &st) != 0) return 0;
  return st.st_ino;
}

void enter_private_netns() {
  g_host_netns = netns_inode();
  if (g_host_netns == 0) {
    g_netns_error = "cannot stat /proc/thread-self/ns/net: " + std::string(std::strerror(errno));
    return;
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    g_netns_error = "unshare(CLONE_NEWNET) failed: " + std::string(std::strerror(errno));
    return;
  }
  if (netns_inode() == g_host_netns) {
    g_netns_error = "unshare(CLONE_NEWNET) returned but the network namespace did not change";
    return;
  }
  g_netns_error.clear();
}

bool in_private_netns() {
  const ino_t now = netns_inode();
  return g_netns_error.empty() && now != 0 && now != g_host_netns;
}

bool has_cap_net_admin() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (caps >> 12) & 1;  // CAP_NET_ADMIN
  }
  return false;
}

std::string find_program(const std::string& name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream ss(dirs);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (dir.empty()) continue;
    const std::string path = dir + "/" + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

struct CommandResult {
  int exit_code = -1;
  std::string output;
};

// Runs a bounded command through the shell, stderr folded into stdout.
CommandResult run(const std::string& cmd) {
  CommandResult r;
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) {
    r.output = "popen failed: " + std::string(std::strerror(errno));
    return r;
  }
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) && r.output.size() < 64 * 1024) r.output += buf;
  const int status = ::pclose(p);
  if (status >= 0 && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  return r;
}

int open_tun(const char* name, std::string& err) {
  const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    err = "open(/dev/net/tun) failed: " + std::string(std::strerror(errno));
    return -1;
  }
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
    err = "ioctl(TUNSETIFF) failed: " + std::string(std::strerror(errno));
    ::close(fd);
    return -1;
  }
  return fd;
}

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
  if (::geteuid() != 0 || !has_cap_net_admin())
    GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: needs root with CAP_NET_ADMIN (euid=" << ::geteuid() << ") ***";
  if (::access("/dev/net/tun", F_OK) != 0)
    GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: /dev/net/tun does not exist (no TUN support) ***";
  if (!g_netns_error.empty())
    GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: no private network namespace: " << g_netns_error << " ***";
  const std::string ip_bin = find_program("ip");
  if (ip_bin.empty()) GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: 'ip' not found (install iproute2) ***";
  const std::string dig_bin = find_program("dig");
  if (dig_bin.empty()) GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: 'dig' not found (install bind9-dnsutils) ***";

  // Never configure anything outside the namespace main() created.
  ASSERT_TRUE(in_private_netns()) << "not in the private network namespace; refusing to touch interfaces";

  auto lo = run(ip_bin + " link set lo up");
  ASSERT_EQ(lo.exit_code, 0) << lo.output;

  std::string err;
  const int fd = open_tun(kTunName, err);
  if (fd < 0)
    GTEST_SKIP() << "*** E2E DNS TEST SKIPPED: cannot create TUN device " << kTunName << ": " << err << " ***";

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

int main(int argc, char** argv) {
  // First, while the process has one thread: unshare(CLONE_NEWNET) moves only
  // the calling thread, and threads and children started later inherit it.
  sarvolt::test::enter_private_netns();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
