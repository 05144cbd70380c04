#include "netns.hpp"

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

#include <gtest/gtest.h>

namespace sarvolt::test {
namespace {

// Set by main() before gtest starts: empty when the process is in a network
// namespace of its own, otherwise why not.
std::string g_netns_error = "main() did not run";
ino_t g_host_netns = 0;

ino_t netns_inode() {
  struct stat st {};
  if (::stat("/proc/thread-self/ns/net", &st) != 0) return 0;
  return st.st_ino;
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

}  // namespace

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

std::string e2e_skip_reason(const std::vector<std::string>& programs) {
  if (::geteuid() != 0 || !has_cap_net_admin())
    return "needs root with CAP_NET_ADMIN (euid=" + std::to_string(::geteuid()) + ")";
  if (::access("/dev/net/tun", F_OK) != 0) return "/dev/net/tun does not exist (no TUN support)";
  if (!g_netns_error.empty()) return "no private network namespace: " + g_netns_error;
  for (const auto& p : programs)
    if (find_program(p).empty()) return "'" + p + "' not found (scripts/install-deps installs it)";
  return {};
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

int open_tun_in_private_netns(const char* name, std::string& err) {
  if (!in_private_netns()) {
    err = "not in the private network namespace; refusing to touch interfaces";
    return -1;
  }
  const auto lo = run(find_program("ip") + " link set lo up");
  if (lo.exit_code != 0) {
    err = "ip link set lo up: " + lo.output;
    return -1;
  }
  return open_tun(name, err);
}

}  // namespace sarvolt::test

int main(int argc, char** argv) {
  // First, while the process has one thread: unshare(CLONE_NEWNET) moves only
  // the calling thread, and threads and children started later inherit it.
  sarvolt::test::enter_private_netns();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
