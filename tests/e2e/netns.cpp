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

#include <gtest/gtest.h>

#include "util/packet.hpp"

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
  if (::unshare(CLONE_NEWNET) != 0)
    g_netns_error = "unshare(CLONE_NEWNET) failed: " + std::string(std::strerror(errno));
  else if (g_host_netns == 0 || netns_inode() == g_host_netns)
    g_netns_error = "cannot tell the new network namespace from the host's (/proc/thread-self/ns/net)";
  else
    g_netns_error.clear();
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
  const auto r = run("PATH=\"$PATH:/usr/sbin:/sbin:/usr/bin:/bin\"; command -v " + name);
  const std::string path = r.output.substr(0, r.output.find('\n'));
  return r.exit_code == 0 && path.starts_with('/') ? path : std::string();
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

int open_tun_in_private_netns(const char* name, std::string& err) {
  const ino_t now = netns_inode();
  if (!g_netns_error.empty() || now == 0 || now == g_host_netns) {
    err = "not in the private network namespace; refusing to touch interfaces";
    return -1;
  }
  const auto lo = run(find_program("ip") + " link set lo up");
  if (lo.exit_code != 0) {
    err = "ip link set lo up: " + lo.output;
    return -1;
  }
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

bool echo_reply(Bytes& p, util::Ipv4Addr to) {
  const auto hdr = util::Ipv4HeaderView::decode(p);
  const std::size_t h = hdr ? hdr->header_len() : 0, total = hdr ? hdr->total_len() : 0;
  if (!hdr || hdr->protocol() != 1 || hdr->destination() != to || hdr->is_fragment() || total > p.size() ||
      total < h + 8 || p[h] != 8 || p[h + 1] != 0)
    return false;
  p.resize(total);
  for (int i = 0; i < 4; ++i) std::swap(p[12 + i], p[16 + i]);
  put16(p, 10, 0);
  put16(p, 10, util::internet_checksum({p.data(), h}));
  p[h] = 0;
  put16(p, h + 2, 0);
  put16(p, h + 2, util::internet_checksum({p.data() + h, total - h}));
  return true;
}

}  // namespace sarvolt::test

int main(int argc, char** argv) {
  // First, while the process has one thread: unshare(CLONE_NEWNET) moves only
  // the calling thread, and threads and children started later inherit it.
  sarvolt::test::enter_private_netns();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
