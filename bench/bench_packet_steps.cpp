// The agent's own per-packet work with no syscall in the loop, so that load
// elsewhere on the machine does not hide it: the drivers' per-packet
// functions (handle_tun_packet, handle_peer_datagram) driven from packets
// prepared in memory, in the drivers' batches, on this thread.
//   Outbound  a pass as the TUN driver makes it: snapshot of the tries and
//             the DNS hook, then per packet decode, control and loopback
//             checks, DNS offer, transmit lookups, queueing on the peer's
//             batch; the sink counts the batches and clears them.
//   Inbound   a pass as a peer driver makes it: snapshot of the tries, then
//             per datagram decode, MTU and control checks, receive lookups,
//             queueing for the TUN write; the sink counts and clears.
// The agent (firewall with its peers, DNS with its server address) is real,
// over the in-memory fabric; destinations (outbound) and sending peers
// (inbound) go round-robin. The figure is this thread's CPU time per packet,
// per round; "allocs" counts its heap allocations per packet.
// Environment: SARVOLT_BENCH_ROUNDS (7), SARVOLT_BENCH_PACKETS (1000000 per
// round), SARVOLT_BENCH_SIZES ("64,1400").
// Under callgrind (--collect-atstart=no) only the measured loop collects and
// each round is dumped on its own ("steps:<name>"): scripts/bench-packet-
// instructions turns that into instructions per packet.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "agent/dns/mobile.hpp"
#include "agent/inner.hpp"
#include "agent/netif/packet_steps.hpp"
#include "data_plane.hpp"
#include "harness.hpp"
#include "network/config/effective.hpp"
#include "platform/p2p/fabric.hpp"
#include "util/packet.hpp"

namespace {

namespace asio = boost::asio;
namespace p2p = sarvolt::p2p;
namespace agent = sarvolt::agent;
namespace network = sarvolt::network;
namespace util = sarvolt::util;
using bench::env_int;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kMtu = 1500;
constexpr std::size_t kOutBatch = agent::kTunReadBatch;
constexpr std::size_t kInBatch = 64;  // a peer driver's read, in a steady flow

enum class Direction { Outbound, Inbound };
const char* name_of(Direction d) { return d == Direction::Outbound ? "Outbound" : "Inbound"; }

double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// An IPv4/UDP packet of `size` bytes with a valid header checksum, in a
// buffer of the driver's size.
Bytes ipv4_packet(util::Ipv4Addr src, util::Ipv4Addr dst, std::size_t size) {
  Bytes p = sarvolt::test::ipv4_packet({.src = src, .dst = dst, .payload = size - 20});
  p.reserve(kMtu + 1u);
  return p;
}

// The agent (node A) with `peers` peers on one fabric, DNS on, a socket pair
// as its TUN device; its runtime thread only keeps the idle drivers.
class Agent {
 public:
  explicit Agent(std::size_t peers) : peers_(peers), runtime_(1, false, "agent") {
    const auto& ids = bench::identities(peers + 1);
    fabric_ = std::make_shared<p2p::Fabric>(64);
    node_a_ = fabric_->add_node(ids[0]);
    for (std::size_t i = 1; i <= peers; ++i) nodes_.push_back(fabric_->add_node(ids[i]));
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    test_fd_ = fds[1];
    dns_ = agent::dns::MobileAgentDns::create(runtime_.io.get_executor());
    agent::AgentInner::Parts parts;
    parts.executor = runtime_.io.get_executor();
    parts.node = node_a_;
    parts.dns = dns_;
    parts.platform->tun_device = util::AsyncTun::create(runtime_.io.get_executor(), fds[0]).value();
    parts.tun_mtu = kMtu;
    agent_ = std::make_shared<agent::AgentInner>(std::move(parts));

    network::NetworkConfig cfg;
    cfg.network = *util::Ipv4Net::parse("10.0.0.0/16");
    const network::GroupSet g{"g"};
    for (std::size_t i = 0; i <= peers; ++i)
      cfg.node[ids[i].pk()] = {ids[i].pk(), bench::address_of(i), fmt::format("n{}", i), g};
    cfg.policy.insert({g, g});
    network::Network n(*util::Url::parse("file:///bench.toml"));
    n.desired.ip = {*util::Ipv4Net::parse("10.0.0.1/16"), std::nullopt};
    n.desired.access_rules = {cfg.effective_access_rule_list(ids[0].pk()).value(), std::nullopt};
    networks_.emplace(n.config_url, std::move(n));
    auto done = asio::co_spawn(runtime_.io, agent_->apply_desired_state(networks_), asio::use_future);
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) throw std::runtime_error("apply hung");
    done.get();
    if (agent_->firewall->tries()->peers.size() != peers) throw std::runtime_error("peers missing from the tries");
    if (!dns_->server_ip()) throw std::runtime_error("no DNS server address");
  }

  ~Agent() {
    const auto ctx = agent_->data_plane;
    const auto server = dns_->server();
    agent_.reset();
    dns_.reset();
    networks_.clear();
    ctx->tasks.stop();
    ctx->tasks.wait_for(std::chrono::seconds(2));
    if (server) server->tasks.wait_for(std::chrono::seconds(2));
    runtime_.stop();
    ::close(test_fd_);
  }

  std::size_t peers() const { return peers_; }
  const agent::DataPlaneContext& ctx() const { return *agent_->data_plane; }
  const p2p::PubKey& peer_key(std::size_t i) const { return bench::identities(peers_ + 1)[i + 1].pk(); }

 private:
  std::size_t peers_;
  bench::Runtime runtime_;
  std::shared_ptr<p2p::Fabric> fabric_;
  std::shared_ptr<p2p::MemoryNode> node_a_;
  std::vector<std::shared_ptr<p2p::MemoryNode>> nodes_;
  std::shared_ptr<agent::dns::MobileAgentDns> dns_;
  std::shared_ptr<agent::AgentInner> agent_;
  network::NetworkMap networks_;
  int test_fd_ = -1;
};

// One case: its agent, its prepared packets and the drivers' state.
class Steps {
 public:
  Steps(Direction dir, std::size_t peers, std::size_t size) : dir_(dir), agent_(peers) {
    // Enough passes for every destination (or peer) to come round.
    const std::size_t batch = dir == Direction::Outbound ? kOutBatch : kInBatch;
    const std::size_t passes = dir == Direction::Outbound ? std::max<std::size_t>(1, (peers + batch - 1) / batch) : peers;
    for (std::size_t pass = 0, k = 0; pass < passes; ++pass) {
      std::vector<Bytes> bufs;
      for (std::size_t i = 0; i < batch; ++i, ++k) {
        if (dir == Direction::Outbound)
          bufs.push_back(ipv4_packet(bench::address_of(0), bench::address_of(1 + k % peers), size));
        else
          bufs.push_back(ipv4_packet(bench::address_of(1 + pass), bench::address_of(0), size));
      }
      passes_.push_back(std::move(bufs));
    }
    // Each peer's key and link, as its driver holds them.
    const auto tries = agent_.ctx().firewall.lock()->tries();
    for (std::size_t i = 0; i < peers; ++i) {
      keys_.push_back(agent_.peer_key(i));
      for (const auto& p : tries->peers)
        if (p->pk() == keys_.back()) links_.push_back(p->link());
    }
    if (links_.size() != peers) throw std::runtime_error("a peer's link is missing");
    to_tun_.reserve(agent::kNodePeerRecvBatch);
    run(200000);  // warm-up: batches and vectors at their final capacity
    if (handed_ != 200000) throw std::runtime_error(fmt::format("{} of 200000 packets handed over", handed_));
  }

  // Runs about `packets` packets through the per-packet functions, whole passes.
  std::size_t run(std::size_t packets) {
    handed_ = 0;
    std::size_t done = 0;
    while (done < packets) {
      done += dir_ == Direction::Outbound ? outbound_pass(passes_[next_]) : inbound_pass(next_, passes_[next_]);
      next_ = (next_ + 1) % passes_.size();
    }
    return done;
  }
  std::size_t handed() const { return handed_; }
  // What run(packets) runs.
  std::size_t whole_passes(std::size_t packets) const {
    const std::size_t batch = passes_[0].size();
    return (packets + batch - 1) / batch * batch;
  }

 private:
  // What TunDevice's driver does with one read pass, minus the reads and the
  // hand-overs.
  std::size_t outbound_pass(const std::vector<Bytes>& bufs) {
    const auto& ctx = agent_.ctx();
    auto fw = ctx.firewall.lock();
    const auto tries = fw ? fw->tries() : nullptr;
    fw.reset();
    const auto dns_hook = ctx.dns.lock();
    for (const Bytes& b : bufs)
      (void)agent::handle_tun_packet(ctx.tun, *ctx.tun_networks, {b.data(), b.size()}, tries->tx, dns_hook.get(),
                                     batches_);
    for (const auto& batch : batches_.batches()) handed_ += batch.packets.size();
    batches_.clear();
    return bufs.size();
  }

  // What a peer's driver does with one read, minus the read and the write.
  std::size_t inbound_pass(std::size_t peer, const std::vector<Bytes>& bufs) {
    const auto& ctx = agent_.ctx();
    const p2p::PubKey& pk = keys_[peer];
    to_tun_.clear();
    {
      auto fw = ctx.firewall.lock();
      const auto tries = fw->tries();
      fw.reset();
      for (const Bytes& b : bufs)
        agent::handle_peer_datagram(pk, ctx.tun_mtu, *links_[peer], *ctx.tun_networks, tries->rx, {b.data(), b.size()},
                                    to_tun_);
    }
    handed_ += to_tun_.size();
    return bufs.size();
  }

  Direction dir_;
  Agent agent_;
  std::vector<std::vector<Bytes>> passes_;
  std::vector<p2p::PubKey> keys_;
  std::vector<p2p::NodePeerRef> links_;
  agent::OutboundBatches batches_;
  std::vector<std::span<const std::uint8_t>> to_tun_;
  std::size_t next_ = 0;
  std::size_t handed_ = 0;
};

struct Case {
  Direction dir;
  std::size_t peers;
  std::size_t size;
  auto key() const { return std::tuple(dir, peers, size); }
};

struct Sample {
  double cpu_ns = 0, allocs = 0;
};
std::map<std::tuple<Direction, std::size_t, std::size_t>, std::vector<Sample>> g_samples;

Steps& steps(const Case& c) {
  static std::map<std::tuple<Direction, std::size_t, std::size_t>, std::unique_ptr<Steps>> cases;
  if (auto it = cases.find(c.key()); it != cases.end()) return *it->second;
  cases.clear();  // one agent at a time
  return *cases.emplace(c.key(), std::make_unique<Steps>(c.dir, c.peers, c.size)).first->second;
}

void BM_PacketSteps(benchmark::State& state, Case c, int round) {
  const auto packets = static_cast<std::size_t>(env_int("SARVOLT_BENCH_PACKETS", 1000000, 10000, 100000000));
  Sample s;
  for (auto _ : state) {
    try {
      Steps& st = steps(c);
      const std::string dump = fmt::format("steps:{}/size:{}/peers:{}/round:{}/packets:{}", name_of(c.dir), c.size,
                                           c.peers, round, st.whole_passes(packets));
      const std::uint64_t a0 = bench::t_allocs;
      const double c0 = thread_cpu_seconds();
#ifdef SARVOLT_BENCH_CALLGRIND
      CALLGRIND_ZERO_STATS;
      CALLGRIND_TOGGLE_COLLECT;
#endif
      const std::size_t n = st.run(packets);
#ifdef SARVOLT_BENCH_CALLGRIND
      CALLGRIND_TOGGLE_COLLECT;
      CALLGRIND_DUMP_STATS_AT(dump.c_str());
#else
      (void)dump;
#endif
      const double cpu = thread_cpu_seconds() - c0;
      if (st.handed() != n || n != st.whole_passes(packets)) throw std::runtime_error(fmt::format("{} of {} packets handed over", st.handed(), n));
      s = {cpu * 1e9 / static_cast<double>(n), static_cast<double>(bench::t_allocs - a0) / static_cast<double>(n)};
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
  }
  state.counters["cpu_ns_per_pkt"] = s.cpu_ns;
  state.counters["allocs_per_pkt"] = s.allocs;
  g_samples[c.key()].push_back(s);
}

std::vector<Case> cases() {
  std::vector<Case> out;
  for (const Direction dir : {Direction::Outbound, Direction::Inbound})
    for (const std::size_t peers : {std::size_t{1}, std::size_t{100}})
      for (const std::size_t size : bench::packet_sizes("64,1400")) out.push_back({dir, peers, size});
  return out;
}

void print_summary() {
  std::printf("\nAgent's per-packet work without syscalls: this thread's CPU ns and heap allocations per packet.\n"
              "Median [min..max] over rounds.\n");
  for (const Case& c : cases()) {
    const auto it = g_samples.find(c.key());
    if (it == g_samples.end()) continue;
    std::vector<double> cpu, allocs;
    for (const auto& s : it->second) {
      cpu.push_back(s.cpu_ns);
      allocs.push_back(s.allocs);
    }
    const auto t = bench::summarise(cpu), a = bench::summarise(allocs);
    const std::string label =
        fmt::format("{} {} B, {} peer{}", name_of(c.dir), c.size, c.peers, c.peers > 1 ? "s" : "");
    std::printf("%-26s cpu %6.1f [%6.1f..%6.1f] ns  allocs %.6f\n", label.c_str(), t.median, t.min, t.max, a.max);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::alarm(3600);  // a hung run ends with SIGALRM
  const int rounds = env_int("SARVOLT_BENCH_ROUNDS", 7, 1, 50);
  std::printf("bench_packet_steps: %d rounds\n", rounds);
  for (const Case& c : cases())
    for (int r = 1; r <= rounds; ++r)
      benchmark::RegisterBenchmark(
          fmt::format("BM_PacketSteps/{}/size:{}/peers:{}/round:{}", name_of(c.dir), c.size, c.peers, r).c_str(),
          BM_PacketSteps, c, r)
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
  return bench::run_main(argc, argv, print_summary);
}
