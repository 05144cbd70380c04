// Packet data plane throughput, each figure beside a bare forwarder over the
// same transport in the same run:
//   Outbound  packets written into the test end of a SOCK_SEQPACKET pair that
//             stands in for the TUN device -> TUN driver (decode, transmit trie,
//             per-peer batches, hand-over) -> in-memory links; a sink drains
//             every peer's queue. Bare: the same loop without decode, firewall
//             or release watching: read() up to 64 packets, group them by the
//             link the destination's low 16 bits pick, send_datagrams_wait().
//   Inbound   datagrams sent by the peers on their links -> peer drivers
//             (decode, checks, receive trie) -> writes to the socket pair; a
//             sink reads the test end. Bare: read_datagrams(), write() each.
//   Allocs    heap allocations per packet on the warm path (C heap
//             allocations are counted; "dp_" counts only the runtime's threads).
//   Rebuild   firewall rebuild from ~10 000 access rules (5 000 nodes in a
//             /16): first build with NodePeer creation, a rebuild that reuses
//             every peer, and the rule-trie derivation alone as the baseline;
//             First_Udp: the first build over a UDP node on 127.0.0.1 (a new
//             node each pass, so every key is new to it), as a real agent.
// Pipelines send kChunk packets per iteration and wait until all of them came
// out, so the figure is sustained throughput; every wait is bounded and a
// watchdog ends a run that hangs anyway. Packets go round-robin over the
// peers. Environment: SARVOLT_BENCH_ROUNDS (3), SARVOLT_BENCH_THREADS (2),
// SARVOLT_BENCH_WATCHDOG (300 s). The rebuild benchmarks need ~1.2 GiB.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "data_plane.hpp"
#include "harness.hpp"
#include "p2p_net.hpp"
#include "platform/p2p/udp_node.hpp"

namespace {

namespace asio = boost::asio;
namespace p2p = sarvolt::p2p;
namespace agent = sarvolt::agent;
namespace network = sarvolt::network;
namespace util = sarvolt::util;
namespace test = sarvolt::test;
using test::Bytes;
using bench::address_of;
using bench::Clock;
using bench::PeerSink;
using bench::TunSink;
using bench::wait_until;

constexpr std::size_t kChunk = 4096;  // packets per iteration
constexpr auto kStallTimeout = std::chrono::seconds(5);
constexpr std::uint16_t kMtu = 1500;
constexpr std::size_t kQueueCapacity = 512;  // fabric queue, per directed pair
constexpr int kDefaultThreads = 2;           // runtime threads, SARVOLT_BENCH_THREADS overrides
constexpr int kSocketBuffer = 1 << 20;       // SO_SNDBUF / SO_RCVBUF of the pair
constexpr std::size_t kMaxPacket = 1400;
constexpr int kWatchdogSeconds = 300;  // SARVOLT_BENCH_WATCHDOG overrides (1..3600)
constexpr int kDefaultRounds = 3;           // SARVOLT_BENCH_ROUNDS overrides

// An IPv4/UDP packet of `size` bytes with a valid header checksum.
Bytes packet(std::size_t from, std::size_t to, std::size_t size) {
  return test::ipv4_packet({.src = address_of(from), .dst = address_of(to), .payload = size - 20});
}

int runtime_threads() { return bench::env_int("SARVOLT_BENCH_THREADS", kDefaultThreads, 1, 16); }

// Runs first on each runtime thread: names it for profiles, counts its
// allocations apart when it runs the data plane, and notes its CPU clock.
class ThreadMarks {
 public:
  std::function<void()> hook(const char* name, bool data_plane) {
    return [this, name, data_plane] {
      ::pthread_setname_np(::pthread_self(), name);
      bench::t_runtime_thread = data_plane;
      clockid_t id;
      if (::pthread_getcpuclockid(::pthread_self(), &id) != 0) return;
      std::lock_guard lock(mutex_);
      clocks_.push_back(id);
    };
  }
  // CPU time the marked threads used so far.
  double cpu_seconds() const {
    std::lock_guard lock(mutex_);
    double total = 0;
    for (const clockid_t id : clocks_) {
      timespec ts{};
      if (::clock_gettime(id, &ts) == 0) total += static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    return total;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<clockid_t> clocks_;
};

// --- planes ---------------------------------------------------------------------

enum class Direction { Outbound, Inbound };
enum class Mode { Bare, Agent };

// The test data plane with node A (member 0) and `peers` peer members, and
// either its agent core joined to their network, or a bare forwarder between
// a socket pair of its own and A's links (the agent core then sits idle).
class Plane {
 public:
  Plane(Direction dir, Mode mode, std::size_t peers) : dir_(dir), mode_(mode), peers_(peers) {
    dp_ = std::make_unique<test::DataPlane>(test::DataPlane::Options{
        .with_tun = mode == Mode::Agent,
        .mtu = kMtu,
        .queue_capacity = kQueueCapacity,
        .threads = runtime_threads(),
        .members = peers + 1,
        .socket_buffer = kSocketBuffer,
        .on_thread = marks_.hook(mode == Mode::Agent ? "agent" : "bare", true)});
    const std::vector<std::shared_ptr<p2p::MemoryNode>> nodes(dp_->nodes.begin() + 1,
                                                              dp_->nodes.begin() + 1 + static_cast<std::ptrdiff_t>(peers));
    if (mode == Mode::Bare) bare_tun_.emplace(kSocketBuffer);
    test_fd_ = mode == Mode::Agent ? dp_->tun->test : bare_tun_->test;

    if (dir == Direction::Outbound) {
      peer_sink_ = std::make_unique<PeerSink>(nodes, dp_->a.pk());
    } else {
      tun_sink_ = std::make_unique<TunSink>(test_fd_);
      for (const auto& n : nodes) peer_links_.push_back(n->initiate(dp_->a.pk()).value());
    }

    if (mode == Mode::Agent) {
      dp_->join();
      if (dp_->agent->firewall->tries()->tx.size() != peers_) throw std::runtime_error("unexpected transmit trie");
    } else {
      for (const auto& n : nodes) bare_links_.push_back(dp_->nodes[0]->initiate(n->identity().pk()).value());
      if (dir == Direction::Outbound)
        asio::co_spawn(dp_->io, bare_outbound(), asio::detached);
      else
        start_bare_inbound();
    }

    for (std::size_t i = 0; i < peers; ++i) {
      out_packets_[0].push_back(packet(0, i + 1, 64));
      out_packets_[1].push_back(packet(0, i + 1, kMaxPacket));
      in_packets_[0].push_back(packet(i + 1, 0, 64));
      in_packets_[1].push_back(packet(i + 1, 0, kMaxPacket));
    }
  }

  // Runs the largest packets through until every ring slot and buffer on the
  // path has its final capacity, so later runs see the steady state.
  bool warm_up() {
    const std::size_t warm = (kQueueCapacity + 256) * peers_ + 8 * kChunk;
    for (std::size_t done = 0; done < warm; done += kChunk)
      if (!send(kMaxPacket, kChunk)) return false;
    return true;
  }

  ~Plane() {
    stop_ = true;
    // A bare loop sees the stop after its next read: give each one.
    if (mode_ == Mode::Bare && dir_ == Direction::Inbound) {
      static const Bytes kNudge(20, 0);
      for (std::size_t i = 1; i <= peers_; ++i) dp_->fabric->inject(dp_->a.pk(), dp_->ids[i].pk(), kNudge);
    } else if (mode_ == Mode::Bare) {
      (void)::send(test_fd_, out_packets_[0][0].data(), out_packets_[0][0].size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (mode_ == Mode::Bare) dp_->stop(std::chrono::milliseconds(300));  // loops still pending go before their links
    dp_.reset();  // the agent core, its drivers and the runtime
    bare_links_.clear();
    peer_sink_.reset();
    peer_links_.clear();
    tun_sink_.reset();
  }

  std::uint64_t received() const { return peer_sink_ ? peer_sink_->received() : tun_sink_->received(); }
  double runtime_cpu_seconds() const { return marks_.cpu_seconds(); }

  // Pushes `count` packets of `size` bytes round-robin over the peers and
  // waits until all of them came out; false on a stall.
  bool send(std::size_t size, std::size_t count) {
    const std::size_t k = size == 64 ? 0 : 1;
    const auto deadline = Clock::now() + kStallTimeout;
    const bool pushed = dir_ == Direction::Outbound ? push_tun(out_packets_[k], count, deadline)
                                                    : push_links(in_packets_[k], count, deadline);
    if (!pushed) return false;
    target_ += count;
    return wait_until([this] { return received() >= target_; }, deadline);
  }

 private:
  // The driver's loop without decode, firewall or release watching: read up
  // to kTunReadBatch packets, group them by the link that the destination's
  // low 16 bits name, hand each group over, wait when nothing is readable.
  asio::awaitable<void> bare_outbound() {
    const int dev_fd = bare_tun_->device;
    std::vector<std::uint16_t> index(65536, 0);
    for (std::size_t i = 0; i < peers_; ++i) index[address_of(i + 1).to_u32() & 0xFFFF] = static_cast<std::uint16_t>(i);
    asio::posix::stream_descriptor readable(dp_->io, ::dup(dev_fd));
    std::vector<std::vector<std::uint8_t>> bufs(agent::kTunReadBatch, std::vector<std::uint8_t>(kMtu + 1u));
    std::vector<std::vector<std::span<const std::uint8_t>>> groups(peers_);
    std::vector<std::uint16_t> touched;
    touched.reserve(agent::kTunReadBatch);
    for (auto& g : groups) g.reserve(agent::kTunReadBatch);
    try {
      while (!stop_.load(std::memory_order_relaxed)) {
        std::size_t reads = 0;
        for (; reads < agent::kTunReadBatch; ++reads) {
          auto& buf = bufs[reads];
          const ssize_t n = ::recv(dev_fd, buf.data(), buf.size(), MSG_DONTWAIT);
          if (n < 20) break;
          const std::uint16_t i = index[(std::uint32_t{buf[18]} << 8) | buf[19]];
          if (groups[i].empty()) touched.push_back(i);
          groups[i].emplace_back(buf.data(), static_cast<std::size_t>(n));
        }
        for (const std::uint16_t i : touched) {
          (void)co_await bare_links_[i]->send_datagrams_wait(groups[i]);
          groups[i].clear();
        }
        touched.clear();
        if (reads == 0) co_await readable.async_wait(asio::posix::stream_descriptor::wait_read, asio::use_awaitable);
      }
    } catch (const std::exception&) {
    }
  }

  // One loop per link: read a batch, write each datagram to the device.
  void start_bare_inbound() {
    timeval tv{1, 0};  // a write blocked this long means the sink is gone
    ::setsockopt(bare_tun_->device, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    for (const auto& link : bare_links_)
      asio::co_spawn(dp_->io, bare_inbound(link.get(), bare_tun_->device, &stop_), asio::detached);
  }

  static asio::awaitable<void> bare_inbound(p2p::NodePeer* link, int fd, const std::atomic<bool>* stop) {
    std::vector<p2p::Datagram> slots(agent::kNodePeerRecvBatch);
    try {
      while (!stop->load(std::memory_order_relaxed)) {
        const std::size_t n = co_await link->read_datagrams(slots);
        for (std::size_t i = 0; i < n; ++i)
          if (::send(fd, slots[i].data(), slots[i].size(), MSG_NOSIGNAL) < 0) co_return;
      }
    } catch (const std::exception&) {
    }
  }

  bool push_tun(const std::vector<Bytes>& packets, std::size_t count, Clock::time_point deadline) {
    return bench::send_cycling(test_fd_, packets, seq_, count, deadline);
  }

  bool push_links(const std::vector<Bytes>& packets, std::size_t count, Clock::time_point deadline) {
    return bench::send_links_cycling(peer_links_, packets, seq_, count, deadline);
  }

  const Direction dir_;
  const Mode mode_;
  const std::size_t peers_;
  ThreadMarks marks_;
  std::optional<test::SocketTun> bare_tun_;  // the bare loop's device; the agent's is in the data plane
  int test_fd_ = -1;
  std::unique_ptr<PeerSink> peer_sink_;
  std::unique_ptr<TunSink> tun_sink_;
  std::vector<p2p::NodePeerRef> peer_links_;  // peer -> A, inbound sources
  std::vector<p2p::NodePeerRef> bare_links_;  // A -> peer, bare loops
  std::unique_ptr<test::DataPlane> dp_;
  std::atomic<bool> stop_{false};
  std::array<std::vector<Bytes>, 2> out_packets_, in_packets_;  // per peer: 64 B, 1400 B
  std::size_t seq_ = 0;
  std::uint64_t target_ = 0;
};

// Planes of one (direction, peer count) stay alive, the bare and the agent
// one side by side, so that both are measured under the same conditions.
Plane& plane(Direction dir, Mode mode, std::size_t peers) {
  static std::map<std::tuple<Direction, Mode, std::size_t>, std::unique_ptr<Plane>> planes;
  const auto key = std::make_tuple(dir, mode, peers);
  if (auto it = planes.find(key); it != planes.end()) return *it->second;
  for (auto it = planes.begin(); it != planes.end();) {
    if (std::get<0>(it->first) != dir || std::get<2>(it->first) != peers)
      it = planes.erase(it);
    else
      ++it;
  }
  auto fresh = std::make_unique<Plane>(dir, mode, peers);
  if (!fresh->warm_up()) throw std::runtime_error("data plane stalled during warm-up");
  return *planes.emplace(key, std::move(fresh)).first->second;
}

// --- results ----------------------------------------------------------------------

struct Result {
  double pps = 0;
  double allocs = 0;
  double dp_allocs = 0;
  double cpu_ns = 0;  // runtime threads' CPU time per packet
};
std::map<std::string, std::map<std::int64_t, Result>> g_results;  // by "<dir>/<mode>/<size>B/<peers>", round

const char* name_of(Direction d) { return d == Direction::Outbound ? "Outbound" : "Inbound"; }
const char* name_of(Mode m) { return m == Mode::Agent ? "Agent" : "Bare"; }

std::string key_of(Direction d, Mode m, std::size_t size, std::size_t peers) {
  return std::string(name_of(d)) + "/" + name_of(m) + "/" + std::to_string(size) + "B/" + std::to_string(peers);
}

void BM_Pipeline(benchmark::State& state, Direction dir, Mode mode) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const auto peers = static_cast<std::size_t>(state.range(1));
  const std::int64_t round = state.range(2);
  Plane* p = nullptr;
  try {
    p = &plane(dir, mode, peers);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    for (auto _ : state) {
    }
    return;
  }
  const std::uint64_t allocs0 = bench::g_allocs.load(), dp0 = bench::g_runtime_allocs.load();
  const double cpu0 = p->runtime_cpu_seconds();
  std::size_t packets = 0;
  const auto t0 = Clock::now();
  for (auto _ : state) {
    if (!p->send(size, kChunk)) {
      state.SkipWithError("pipeline stalled");
      break;
    }
    packets += kChunk;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (packets == 0) return;
  const double n = static_cast<double>(packets);
  Result r{n / seconds, static_cast<double>(bench::g_allocs.load() - allocs0) / n,
           static_cast<double>(bench::g_runtime_allocs.load() - dp0) / n, (p->runtime_cpu_seconds() - cpu0) * 1e9 / n};
  state.counters["pps"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  state.counters["Gbit_s"] = benchmark::Counter(n * static_cast<double>(size) * 8e-9, benchmark::Counter::kIsRate);
  state.counters["allocs_per_pkt"] = r.allocs;
  state.counters["dp_allocs_per_pkt"] = r.dp_allocs;
  state.counters["dp_cpu_ns_per_pkt"] = r.cpu_ns;
  if (mode == Mode::Agent) {
    const auto& bare = g_results[key_of(dir, Mode::Bare, size, peers)];
    if (const auto base = bare.find(round); base != bare.end()) state.counters["vs_bare"] = r.pps / base->second.pps;
  }
  g_results[key_of(dir, mode, size, peers)][round] = r;
}

// Allocations over a fixed number of packets after the plane's warm-up.
void BM_Allocs(benchmark::State& state, Direction dir, Mode mode) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const auto peers = static_cast<std::size_t>(state.range(1));
  constexpr std::size_t kPackets = 25 * kChunk;
  Plane* plane_ptr = nullptr;
  try {
    plane_ptr = &plane(dir, mode, peers);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    for (auto _ : state) {
    }
    return;
  }
  Plane& p = *plane_ptr;
  for (auto _ : state) {
    if (!p.send(size, 4 * kChunk)) {  // same size as the count below
      state.SkipWithError("pipeline stalled");
      break;
    }
    const std::uint64_t allocs0 = bench::g_allocs.load(), dp0 = bench::g_runtime_allocs.load();
    bool ok = true;
    for (std::size_t done = 0; ok && done < kPackets; done += kChunk) ok = p.send(size, kChunk);
    const std::uint64_t allocs = bench::g_allocs.load() - allocs0, dp = bench::g_runtime_allocs.load() - dp0;
    if (!ok) {
      state.SkipWithError("pipeline stalled");
      break;
    }
    state.counters["packets"] = static_cast<double>(kPackets);
    state.counters["allocs"] = static_cast<double>(allocs);
    state.counters["allocs_per_pkt"] = static_cast<double>(allocs) / kPackets;
    state.counters["dp_allocs"] = static_cast<double>(dp);
    state.counters["dp_allocs_per_pkt"] = static_cast<double>(dp) / kPackets;
  }
}

// --- firewall rebuild -------------------------------------------------------------

constexpr std::size_t kRebuildNodes = 5000;

// Node A of a 5 000-node network (the test data plane without a TUN
// device), its agents, and the access rules it derives (2 x 4 999 node rules).
struct RebuildWorld {
  RebuildWorld()
      : dp({.with_tun = false,
            .mtu = kMtu,
            .queue_capacity = 4,  // queues stay small: 10 000 of them
            .threads = runtime_threads(),
            .members = kRebuildNodes,
            .on_thread = marks.hook("agent", true)}),
        proto(dp.member_network()) {
    proto.current.ip = proto.desired.ip;  // as the network interface's apply leaves it
  }

  std::shared_ptr<agent::AgentInner> make_agent() { return dp.make_agent(); }
  network::NetworkMap fresh_networks() const {
    network::NetworkMap m;
    m.emplace(proto.config_url, proto);
    return m;
  }
  std::size_t rules() const { return proto.desired.access_rules.applied->rules.size(); }

  ThreadMarks marks;
  test::DataPlane dp;  // the peer drivers run on its runtime
  network::Network proto;
};

RebuildWorld& rebuild_world() {
  static RebuildWorld w;
  return w;
}

std::vector<std::weak_ptr<agent::NodePeer>> peers_of(const agent::AgentFirewall& fw) {
  const auto& peers = fw.tries()->peers;
  return {peers.begin(), peers.end()};
}

// Waits (bounded) until the runtime has run everything queued before the
// call: two marker handlers in a row, so work that was running beside the
// first one has finished too.
bool settle(asio::io_context& io, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (int pass = 0; pass < 2; ++pass) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    asio::post(io, [done] { done->store(true); });
    if (!wait_until([&] { return done->load(); }, deadline)) return false;
  }
  return true;
}

long minor_faults() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

long rss_kib() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Allocations of the calling thread and minor page faults (whole process)
// over the timed part of a benchmark.
class CostWindow {
 public:
  void start() {
    allocs0_ = bench::t_allocs;
    faults0_ = minor_faults();
  }
  void stop() {
    allocs_ += bench::t_allocs - allocs0_;
    faults_ += minor_faults() - faults0_;
  }
  void report(benchmark::State& state) const {
    const auto n = static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
    state.counters["allocs"] = static_cast<double>(allocs_) / n;
    state.counters["minflt"] = static_cast<double>(faults_) / n;
  }

 private:
  std::uint64_t allocs0_ = 0, allocs_ = 0;
  long faults0_ = 0, faults_ = 0;
};

// Keeps an agent whose peers may not have run yet: releasing them would crash.
void park(std::shared_ptr<agent::AgentInner> agent) {
  static std::vector<std::shared_ptr<agent::AgentInner>> parked;
  parked.push_back(std::move(agent));
}

bool all_expired(const std::vector<std::weak_ptr<agent::NodePeer>>& peers) {
  for (const auto& p : peers)
    if (!p.expired()) return false;
  return true;
}

// First applies, one per pass: the apply alone is timed; then its peers'
// drivers are awaited (bounded), and the wait, heap in use per peer and the
// runtime's allocations until then are summed over the passes.
struct FirstApplies {
  CostWindow cost;
  double settle_ms = 0, heap_per_peer = 0, driver_allocs = 0;

  // The pass's peers, or nothing (the error set on `state`) when their
  // drivers did not all start.
  std::optional<std::vector<std::weak_ptr<agent::NodePeer>>> pass(benchmark::State& state, RebuildWorld& w,
                                                                  std::shared_ptr<agent::AgentInner>& agent,
                                                                  network::NetworkMap& networks,
                                                                  std::chrono::seconds limit) {
    const std::int64_t heap0 = bench::g_live_bytes.load();
    const std::uint64_t dp0 = bench::g_runtime_allocs.load();
    cost.start();
    state.ResumeTiming();
    agent->firewall->apply_desired_state(*agent->data_plane, networks);
    state.PauseTiming();
    cost.stop();
    auto peers = peers_of(*agent->firewall);
    const auto s0 = Clock::now();
    if (!settle(w.dp.io, limit)) {
      park(std::move(agent));
      state.SkipWithError("peer drivers did not start");
      return std::nullopt;
    }
    if (peers.size() != kRebuildNodes - 1) {
      state.SkipWithError("unexpected transmit trie");
      return std::nullopt;
    }
    settle_ms += std::chrono::duration<double, std::milli>(Clock::now() - s0).count();
    heap_per_peer += static_cast<double>(bench::g_live_bytes.load() - heap0) / static_cast<double>(peers.size());
    driver_allocs += static_cast<double>(bench::g_runtime_allocs.load() - dp0);
    return peers;
  }
};

// apply_desired_state on a new firewall: tries and 4 999 NodePeers created.
// Their drivers start on the runtime meanwhile ("settle_ms": until they all
// ran). Releasing a peer whose driver never ran is a use-after-free of the
// driver's cancellation state, so every release here waits for that first.
void BM_Rebuild_First(benchmark::State& state) {
  auto& w = rebuild_world();
  double release_ms = 0, rss_mb = 0;
  FirstApplies first;
  for (auto _ : state) {
    state.PauseTiming();
    {  // everything of the pass, its release included, ends while paused
      auto agent = w.make_agent();
      auto networks = w.fresh_networks();
      const long rss0 = rss_kib();
      const auto peers = first.pass(state, w, agent, networks, std::chrono::seconds(10));
      if (!peers) break;
      rss_mb = std::max(rss_mb, static_cast<double>(rss_kib() - rss0) / 1024.0);
      // Release every peer and wait (bounded) until their drivers have ended,
      // so that no teardown runs into the next timed pass.
      const auto t0 = Clock::now();
      const auto ctx = agent->data_plane;
      agent.reset();
      networks.clear();
      const bool gone = wait_until([&] { return all_expired(*peers); }, Clock::now() + std::chrono::seconds(10)) &&
                        ctx->tasks.wait_for(std::chrono::seconds(10));
      release_ms += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      if (!gone) {
        state.SkipWithError("peer drivers did not end");
        break;
      }
    }
    state.ResumeTiming();
  }
  state.counters["rules"] = static_cast<double>(w.rules());
  state.counters["peers"] = static_cast<double>(kRebuildNodes - 1);
  const auto n = static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
  state.counters["settle_ms"] = first.settle_ms / n;
  state.counters["release_ms"] = release_ms / n;
  // The largest growth, on the first pass; later ones reuse what it freed.
  state.counters["rss_growth_MiB"] = rss_mb;
  state.counters["driver_allocs"] = first.driver_allocs / n;  // on the runtime, until settled
  // Heap in use per peer once settled: its links, driver, tries' share.
  state.counters["heap_per_peer_B"] = first.heap_per_peer / n;
  first.cost.report(state);
  // The apply's own allocations (its thread) per new peer.
  state.counters["allocs_per_peer"] = state.counters["allocs"] / static_cast<double>(kRebuildNodes - 1);
}

// A UDP node for A on 127.0.0.1 with a super peer there, bound on the
// rebuild runtime; its messages sealed as by default.
p2p::NodeRef bind_udp_node(RebuildWorld& w) {
  static test::TestSuperPeer super_peer(0);
  auto opts = test::test_opts(w.dp.a, {super_peer.url()}).min_pow_difficulty(0).build().value();
  auto bound = w.dp.run(p2p::Node::bind(std::move(opts)), std::chrono::seconds(10));
  if (!bound) throw std::runtime_error("bind failed: " + bound.error().message());
  return *bound;
}

// BM_Rebuild_First over a fresh UDP node each pass: link creation as a real
// agent pays it (the peer's session keys, its table entry, a HELLO posted).
void BM_Rebuild_First_Udp(benchmark::State& state) {
  auto& w = rebuild_world();
  FirstApplies first;
  for (auto _ : state) {
    state.PauseTiming();
    {
      auto node = bind_udp_node(w);
      agent::AgentInner::Parts parts;
      parts.executor = w.dp.io.get_executor();
      parts.node = node;
      parts.tun_mtu = w.dp.options.mtu;
      auto agent = std::make_shared<agent::AgentInner>(std::move(parts));
      auto networks = w.fresh_networks();
      const auto peers = first.pass(state, w, agent, networks, std::chrono::seconds(30));
      if (!peers) break;
      const auto ctx = agent->data_plane;
      agent.reset();
      networks.clear();
      const bool gone = wait_until([&] { return all_expired(*peers); }, Clock::now() + std::chrono::seconds(10)) &&
                        ctx->tasks.wait_for(std::chrono::seconds(10));
      w.dp.run(node->shutdown(), std::chrono::seconds(10));
      if (!gone) {
        state.SkipWithError("peer drivers did not end");
        break;
      }
    }
    state.ResumeTiming();
  }
  state.counters["peers"] = static_cast<double>(kRebuildNodes - 1);
  const auto n = static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
  state.counters["settle_ms"] = first.settle_ms / n;
  state.counters["driver_allocs"] = first.driver_allocs / n;
  state.counters["heap_per_peer_B"] = first.heap_per_peer / n;
  first.cost.report(state);
  state.counters["allocs_per_peer"] = state.counters["allocs"] / static_cast<double>(kRebuildNodes - 1);
}

// update_tries again over the same rules: every peer is reused.
void BM_Rebuild_Reuse(benchmark::State& state) {
  auto& w = rebuild_world();
  auto agent = w.make_agent();
  auto networks = w.fresh_networks();
  agent->firewall->apply_desired_state(*agent->data_plane, networks);
  const auto before = peers_of(*agent->firewall);
  if (!settle(w.dp.io, std::chrono::seconds(10))) {
    park(std::move(agent));
    state.SkipWithError("peer drivers did not start");
    for (auto _ : state) {
    }
    return;
  }
  CostWindow cost;
  cost.start();
  for (auto _ : state) agent->firewall->update_tries(*agent->data_plane, networks);
  cost.stop();
  cost.report(state);
  const auto after = peers_of(*agent->firewall);
  std::size_t reused = 0;
  for (std::size_t i = 0; i < after.size() && i < before.size(); ++i)
    reused += after[i].lock() == before[i].lock() ? 1 : 0;
  if (reused != kRebuildNodes - 1) state.SkipWithError("peers were not reused");
  state.counters["rules"] = static_cast<double>(w.rules());
  state.counters["peers_reused"] = static_cast<double>(reused);
  agent.reset();
  networks.clear();
  wait_until([&] { return all_expired(after); }, Clock::now() + std::chrono::seconds(10));
}

// Baseline: the rule tries the rebuild starts from, derived alone.
void BM_Rebuild_RuleTriesOnly(benchmark::State& state) {
  auto& w = rebuild_world();
  const auto& rules = *w.proto.desired.access_rules.applied;
  CostWindow cost;
  cost.start();
  for (auto _ : state) {
    auto tries = rules.routing_tries();
    benchmark::DoNotOptimize(tries);
    // Freeing them is no part of the derivation: untimed, as the rebuild
    // rows time no teardown either.
    state.PauseTiming();
    cost.stop();
    { const auto gone = std::move(tries); }
    cost.start();
    state.ResumeTiming();
  }
  cost.stop();
  cost.report(state);
  state.counters["rules"] = static_cast<double>(w.rules());
}

// --- registration and summary -----------------------------------------------------

int rounds() { return bench::env_int("SARVOLT_BENCH_ROUNDS", kDefaultRounds, 1, 20); }

// Pipelines run in rounds, the bare loop right before the agent each time, so
// load from elsewhere on the machine hits both alike; the summary takes medians.
void register_all() {
  const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {{64, 1}, {1400, 1}, {64, 100}, {1400, 100}};
  for (int round = 1; round <= rounds(); ++round) {
    for (Direction dir : {Direction::Outbound, Direction::Inbound}) {
      for (const auto& [size, peers] : cases) {
        for (Mode mode : {Mode::Bare, Mode::Agent}) {
          const std::string name = std::string("BM_") + name_of(dir) + "/" + name_of(mode);
          benchmark::RegisterBenchmark(name.c_str(), BM_Pipeline, dir, mode)
              ->Args({size, peers, round})
              ->ArgNames({"size", "peers", "round"})
              ->UseRealTime()
              ->Unit(benchmark::kMicrosecond);
        }
      }
    }
  }
  for (Direction dir : {Direction::Outbound, Direction::Inbound}) {
    for (Mode mode : {Mode::Bare, Mode::Agent}) {
      const std::string name = std::string("BM_Allocs/") + name_of(dir) + "/" + name_of(mode);
      benchmark::RegisterBenchmark(name.c_str(), BM_Allocs, dir, mode)
          ->Args({64, 100})
          ->ArgNames({"size", "peers"})
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::RegisterBenchmark("BM_Rebuild_RuleTriesOnly", BM_Rebuild_RuleTriesOnly)
      ->Iterations(10)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Rebuild_First", BM_Rebuild_First)->Iterations(5)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Rebuild_Reuse", BM_Rebuild_Reuse)->Iterations(10)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Rebuild_First_Udp", BM_Rebuild_First_Udp)
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
}

double median(const std::vector<double>& v) { return bench::summarise(v).median; }

void print_summary() {
  if (g_results.empty()) return;
  std::printf(
      "\nMedians over rounds; ratio = agent / bare pkt/s (per-round range in brackets); *_cpu = runtime\n"
      "threads' CPU ns per packet; allocs of the agent run: all threads, and runtime threads only.\n");
  std::printf("%-27s %11s %11s %6s %13s %10s %10s %9s %9s\n", "pipeline", "bare pkt/s", "agent pkt/s", "ratio",
              "[min..max]", "allocs/pkt", "dp_allocs", "bare_cpu", "agent_cpu");
  for (Direction dir : {Direction::Outbound, Direction::Inbound}) {
    for (std::size_t size : {64, 1400}) {
      for (std::size_t peers : {1, 100}) {
        const auto& bare = g_results[key_of(dir, Mode::Bare, size, peers)];
        const auto& agent = g_results[key_of(dir, Mode::Agent, size, peers)];
        std::vector<double> b, a, ratio, allocs, dp, bcpu, acpu;
        for (const auto& [round, r] : agent) {
          a.push_back(r.pps);
          allocs.push_back(r.allocs);
          dp.push_back(r.dp_allocs);
          acpu.push_back(r.cpu_ns);
          if (const auto it = bare.find(round); it != bare.end()) ratio.push_back(r.pps / it->second.pps);
        }
        for (const auto& [round, r] : bare) {
          b.push_back(r.pps);
          bcpu.push_back(r.cpu_ns);
        }
        if (a.empty() || b.empty() || ratio.empty()) continue;
        const std::string label = fmt::format("{} {} B, {} peer{}", name_of(dir), size, peers, peers > 1 ? "s" : "");
        const bench::Summary r = bench::summarise(ratio);
        const std::string range = fmt::format("[{:.2f}..{:.2f}]", r.min, r.max);
        std::printf("%-27s %11.0f %11.0f %6.2f %13s %10.3f %10.3f %9.0f %9.0f\n", label.c_str(), median(b), median(a),
                    median(a) / median(b), range.c_str(), median(allocs), median(dp), median(bcpu), median(acpu));
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  // A hung run dies with SIGALRM instead of waiting forever.
  ::alarm(static_cast<unsigned>(bench::env_int("SARVOLT_BENCH_WATCHDOG", kWatchdogSeconds, 1, 3600)));
  register_all();
  return bench::run_main(argc, argv, print_summary);
}
