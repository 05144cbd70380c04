// The overlay across three network namespaces that the test creates: the
// super peer daemon in one, a node in each of the two others, joined to the
// daemon's namespace by veth pairs. The daemon's namespace first does not
// forward, so the nodes reach each other only through the relay; once it
// forwards, the direct path that the UNITE named takes over. Both nodes also
// call the daemon at one of its two addresses. And the daemon's identity file
// and minimum difficulty. Needs root (CAP_NET_ADMIN) and ip; skips loudly
// otherwise.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "../p2p_net.hpp"
#include "agent/config.hpp"
#include "platform/p2p/super_peer.hpp"
#include "../support.hpp"
#include "netns.hpp"

extern char** environ;

namespace sarvolt::test {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace p2p;

// Creates three named namespaces and the veth pairs; removes them after.
struct Topology {
  ~Topology() {
    for (const auto& n : {sp, a, b}) run(ip + " netns del " + n);
  }
  // Empty, or what failed. Node namespace `ns` is 10.201.`i`.2 behind veth `v`.
  std::string create() const {
    std::vector<std::string> cmds = {"netns add " + sp, "-n " + sp + " link set lo up"};
    for (const auto& [ns, v, i] : {std::tuple{a, "va", "1"}, std::tuple{b, "vb", "2"}}) {
      const std::string at = "-n " + ns + " ", at_sp = "-n " + sp + " ", sub = std::string("10.201.") + i + ".";
      cmds.insert(cmds.end(), {"netns add " + ns, at_sp + "link add " + v + " type veth peer name eth0 netns " + ns,
                               at_sp + "addr add " + sub + "1/24 dev " + v, at + "addr add " + sub + "2/24 dev eth0",
                               at + "link set lo up", at_sp + "link set " + v + " up", at + "link set eth0 up",
                               at + "route add default via " + sub + "1"});
    }
    for (const auto& c : cmds) {
      const auto r = run(ip + " " + c);
      if (r.exit_code != 0) return "ip " + c + ": " + r.output;
    }
    return {};
  }
  std::string forward(bool on) const {
    const auto r = run(ip + " netns exec " + sp + " sh -c 'echo " + (on ? "1" : "0") +
                       " > /proc/sys/net/ipv4/ip_forward'");
    return r.exit_code == 0 ? std::string() : r.output;
  }
  const std::string ip = find_program("ip"), sp = "svp2p-sp-" + std::to_string(::getpid()), a = sp + "a", b = sp + "b";
};

// Moves the calling thread into namespace `ns` (a Runtime thread, so every
// socket its node opens belongs there); what failed goes to `error`.
std::function<void()> enter(const std::string& ns, std::string& error) {
  return [path = "/run/netns/" + ns, &error] {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) error = "setns " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
  };
}

// The daemon, started in its namespace; stdout (its URL first) and stderr go to files.
class Daemon {
 public:
  Daemon(const Topology& topo, const TempDir& dir)
      : Daemon(dir, topo.ip + " netns exec " + topo.sp + " ",
               "--listen 0.0.0.0:22527 --url-host 10.201.1.1 --min-pow-difficulty 8 --identity " +
                   (dir / "sp.identity").string()) {}
  // `prefix` comes before the program (environment, namespace).
  Daemon(const TempDir& dir, const std::string& prefix, const std::string& args)
      : out_(dir / "daemon.out"), log_(dir / "daemon.log") {
    std::filesystem::remove(out_);  // what an earlier daemon wrote
    std::filesystem::remove(log_);
    // exec replaces sh, so the pid is the daemon's own (for SIGTERM).
    const std::string cmd = "exec " + prefix + SARVOLT_SUPER_PEER_BIN + " " + args + " >" + out_.string() + " 2>" +
                            log_.string();
    const char* argv[] = {"sh", "-c", cmd.c_str(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
  }
  ~Daemon() { stop(); }
  // The first line on stdout, within 10 s.
  std::string url_line() const {
    std::string out;
    eventually([&] { return (out = read_file(out_)).find('\n') != std::string::npos; }, 10s);
    return out.substr(0, out.find('\n'));
  }
  // SIGTERM, then the exit status (-1 when it did not end within 5 s).
  int stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    int st = 0;
    if (eventually([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; })) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    } else {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return status_;
  }
  std::string log() const { return read_file(log_); }

 private:
  std::filesystem::path out_, log_;
  pid_t pid_ = -1;
  int status_ = -1;
};

NodeOpts opts(const std::string& sp_url) {
  return test_opts(identity(), {SuperPeerUrl::parse(sp_url).value()}).udp_addrs({}).build().value();
}

bool direct_up(const NodePeerRef& link) {
  const auto s = link->stats();
  return !s.direct_path_order.empty() &&
         PeerPath::is_reachable(s.direct_paths.at(s.direct_path_order.front()), Clock::now(), 400);
}

TEST(E2eP2p, RelayedThenDirectBothWays) {
  if (const auto why = e2e_skip_reason({"ip"}); !why.empty())
    GTEST_SKIP() << "*** E2E P2P TEST SKIPPED: " << why << " ***";
  Topology topo;
  ASSERT_EQ(topo.create(), "");
  ASSERT_EQ(topo.forward(false), "");
  TempDir dir;
  Daemon daemon(topo, dir);
  const std::string url = daemon.url_line();
  ASSERT_TRUE(std::regex_match(url, std::regex("udp://10\\.201\\.1\\.1:22527\\?publicKey=[0-9a-f]{64}&networkId=1")))
      << url << "\n" << daemon.log();
  const std::string url_b = std::regex_replace(url, std::regex("10\\.201\\.1\\.1"), "10.201.2.1");

  std::string err_a, err_b;
  Runtime rt_a(1, enter(topo.a, err_a)), rt_b(1, enter(topo.b, err_b));
  auto a = rt_a.run(UdpNode::bind(opts(url)));
  auto b = rt_b.run(UdpNode::bind(opts(url_b)));
  ASSERT_EQ(err_a + err_b, "");
  ASSERT_TRUE(a && b);
  auto ab = (*a)->initiate((*b)->identity().pk()).value();
  auto ba = (*b)->initiate((*a)->identity().pk()).value();
  Reader at_a(rt_a.io, ab), at_b(rt_b.io, ba);
  const Bytes to_b(400, 'b'), to_a(400, 'a');  // large enough to be united
  const auto both_ways = [&](const std::function<bool()>& until) {
    return eventually([&] {
      (void)ab->send_datagram(to_b);
      (void)ba->send_datagram(to_a);
      return until();
    }, 10s);
  };
  const auto received = [&](std::size_t have_a, std::size_t have_b) {
    return both_ways([&, have_a, have_b] { return at_a.got().size() > have_a && at_b.got().size() > have_b; });
  };

  ASSERT_TRUE(received(0, 0)) << "relayed\n" << daemon.log();
  EXPECT_FALSE(direct_up(ab)) << "no route between the nodes yet";
  EXPECT_EQ(ab->stats().relay_path_order.front(), SuperPeerUrl::parse(url)->public_key());

  ASSERT_EQ(topo.forward(true), "");
  ASSERT_TRUE(both_ways([&] { return direct_up(ab) && direct_up(ba); })) << "direct path";
  EXPECT_EQ(ab->stats().direct_path_order.front().endpoint().address().to_string(), "10.201.2.2");
  EXPECT_EQ(ba->stats().direct_path_order.front().endpoint().address().to_string(), "10.201.1.2");
  ASSERT_TRUE(received(at_a.got().size(), at_b.got().size())) << "direct";
  for (const auto& d : at_b.got()) EXPECT_EQ(d, to_b);
  for (const auto& d : at_a.got()) EXPECT_EQ(d, to_a);
  rt_a.run((*a)->shutdown());
  rt_b.run((*b)->shutdown());

  EXPECT_EQ(daemon.stop(), 0) << "clean end on SIGTERM\n" << daemon.log();
  const auto log = daemon.log();
  for (const auto& n : {*a, *b})
    EXPECT_NE(log.find(fmt::format("Node {} joined", n->identity().pk())), std::string::npos) << log;
}

SuperPeerStats sp_stats(const std::shared_ptr<UdpNode>& n) {
  std::lock_guard lock(n->super_peer_table().mutex);
  return n->super_peer_table().entries.front().second->stats(Clock::now());
}

TEST(E2eP2p, TwoInterfacesAnswerFromTheAddressCalled) {
  if (const auto why = e2e_skip_reason({"ip"}); !why.empty())
    GTEST_SKIP() << "*** E2E P2P TEST SKIPPED: " << why << " ***";
  Topology topo;
  ASSERT_EQ(topo.create(), "");
  ASSERT_EQ(topo.forward(false), "");
  TempDir dir;
  Daemon daemon(topo, dir);
  // Both call 10.201.1.1: B's datagrams arrive on the other interface.
  const std::string url = daemon.url_line();
  ASSERT_FALSE(url.empty()) << daemon.log();
  std::string err_a, err_b;
  Runtime rt_a(1, enter(topo.a, err_a)), rt_b(1, enter(topo.b, err_b));
  auto a = rt_a.run(UdpNode::bind(opts(url)));
  auto b = rt_b.run(UdpNode::bind(opts(url)));
  ASSERT_EQ(err_a + err_b, "");
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(eventually([&] { return sp_stats(*a).reachable && sp_stats(*b).reachable; }, 10s))
      << "A reachable: " << sp_stats(*a).reachable << ", B reachable: " << sp_stats(*b).reachable << "\n"
      << daemon.log();
  rt_a.run((*a)->shutdown());
  rt_b.run((*b)->shutdown());
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

// The daemon keeps its key pair in the agent configuration file's
// [identity] table, reads the first form of the file too, and takes its
// minimum difficulty from the agents' setting unless the flag says otherwise.
TEST(E2eP2p, DaemonSharesIdentityFormatAndDifficultySetting) {
  if (const auto why = e2e_skip_reason({}); !why.empty())
    GTEST_SKIP() << "*** E2E P2P TEST SKIPPED: " << why << " ***";
  const auto start = [](const TempDir& dir, const std::string& env, const std::string& args) {
    Daemon d(dir, "env -u SARVOLT_MIN_POW_DIFFICULTY " + env + " ",
             "--listen 0.0.0.0:0 --identity " + (dir / "sp.identity").string() + " " + args);
    const std::string url = d.url_line();
    EXPECT_EQ(d.stop(), 0) << d.log();
    return std::pair(url, d.log());
  };
  const auto pk_of = [](const std::string& url) {
    const auto parsed = SuperPeerUrl::parse(url);
    return parsed ? parsed->public_key().to_string() : "no URL: " + url;
  };
  {
    TempDir dir;
    const auto [url, log] = start(dir, "", "");
    EXPECT_NE(log.find("minimum proof-of-work difficulty 24"), std::string::npos) << log;
    const auto text = read_file(dir / "sp.identity");
    const auto config = agent::read_agent_config(text);
    ASSERT_TRUE(config) << config.error().to_string();
    EXPECT_EQ(text.rfind("[identity]\nsk = \"", 0), 0u);
    EXPECT_EQ(config->identity.pk().to_string(), pk_of(url));
    struct stat st{};
    ASSERT_EQ(::stat((dir / "sp.identity").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto again = start(dir, "SARVOLT_MIN_POW_DIFFICULTY=+30", "");
    EXPECT_EQ(pk_of(again.first), pk_of(url)) << "the same identity";
    EXPECT_NE(again.second.find("minimum proof-of-work difficulty 30"), std::string::npos) << again.second;
    const auto flag = start(dir, "SARVOLT_MIN_POW_DIFFICULTY=30", "--min-pow-difficulty 9");
    EXPECT_NE(flag.second.find("minimum proof-of-work difficulty 9"), std::string::npos) << flag.second;
    const auto bad = start(dir, "SARVOLT_MIN_POW_DIFFICULTY=256", "");
    EXPECT_NE(bad.second.find("minimum proof-of-work difficulty 24"), std::string::npos) << bad.second;
  }
  {
    TempDir dir;
    const auto id = Identity::generate(0).value();
    const std::string old = "# sarvolt super peer identity (keep secret)\nsecret_key = \"" + id.sk().to_string() +
                            "\"\npow = " + std::to_string(id.pow().value()) + "\n";
    { std::ofstream(dir / "sp.identity") << old; }
    EXPECT_EQ(pk_of(start(dir, "", "").first), id.pk().to_string()) << "the first form still reads";
    EXPECT_EQ(read_file(dir / "sp.identity"), old) << "and is left as it is";
  }
}

// An identity file that is no regular file, or too large, is refused at once
// with its reason: a FIFO does not block the start, a device is not read.
TEST(E2eP2p, DaemonRefusesAnIdentityFileThatIsNoRegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder");
  { std::ofstream(dir / "large") << std::string(64 * 1024 + 1, '#'); }
  const std::pair<std::string, const char*> cases[] = {{(dir / "fifo").string(), "not a regular file"},
                                                        {(dir / "folder").string(), "not a regular file"},
                                                        {"/dev/zero", "not a regular file"},
                                                        {(dir / "large").string(), "file is larger than the 65536-byte limit"}};
  for (const auto& [path, reason] : cases) {
    // Killed (status 137) should it still wait after 10 s.
    const std::string cmd = "timeout -s KILL 10 " SARVOLT_SUPER_PEER_BIN " --listen 127.0.0.1:0 --identity " + path +
                            " 2>" + (dir / "err").string();
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << path << ": status " << status;
    const auto err = read_file(dir / "err");
    EXPECT_NE(err.find("cannot read identity file " + path + ": " + reason), std::string::npos) << err;
  }
}

// A new identity file is written through a temporary file of its own: a
// link left at the temporary name is replaced, never written through.
TEST(E2eP2p, DaemonWritesItsNewIdentityNeverThroughALink) {
  TempDir dir;
  { std::ofstream(dir / "elsewhere") << "keep"; }
  std::filesystem::create_symlink(dir / "elsewhere", dir / "sp.identity.tmp");
  Daemon d(dir, "", "--listen 127.0.0.1:0 --identity " + (dir / "sp.identity").string());
  const auto url = d.url_line();
  EXPECT_EQ(d.stop(), 0) << d.log();
  EXPECT_EQ(read_file(dir / "elsewhere"), "keep");
  const auto pk = SuperPeerUrl::parse(url);
  ASSERT_TRUE(pk) << url << d.log();
  const auto config = agent::read_agent_config(read_file(dir / "sp.identity"));
  ASSERT_TRUE(config) << config.error().to_string();
  EXPECT_EQ(config->identity.pk(), pk->public_key());
}

}  // namespace
}  // namespace sarvolt::test
