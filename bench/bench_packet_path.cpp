// The agent's own CPU time per packet on the data plane, with 64-byte packets:
//   Outbound  packets written into the test end of a SOCK_SEQPACKET pair that
//             stands in for the TUN device -> TUN driver -> in-memory links;
//             a sink thread drains every peer's queue.
//   Inbound   datagrams sent by the peers on their links -> peer drivers ->
//             the socket pair; a sink thread reads the test end.
// Each case runs three forwarders over the same transport, in turns:
//   agent  the agent's drivers (decode, checks, two lookups, hand-over)
//   bare   a read-and-forward loop with the agent's syscalls (one read or
//          write per packet, batch hand-over to the links), nothing else
//   mmsg   the same loop with one recvmmsg / sendmmsg per batch
// The figure is the CPU time of the runtime threads per packet (thread CPU
// clocks, so load from elsewhere on the machine shows less than in wall
// time). The headline "own" is agent - bare, per round; the ratios are
// agent / bare and agent / mmsg CPU time per packet. "allocs" counts the C
// heap allocations of the runtime threads per packet (malloc level, so
// Asio's own allocator is seen too).
// UdpPath rows run the agent over the real UDP node instead: A and one peer B
// are UdpNodes on 127.0.0.1 relayed by a super peer on its own thread; B's
// runtime sends or sinks, A's runtime (the agent's) is measured. UDP may drop
// under load, so figures are per packet that crossed.
// Environment: SARVOLT_BENCH_ROUNDS (7), SARVOLT_BENCH_THREADS (1),
// SARVOLT_BENCH_PACKETS (200000 per run), SARVOLT_BENCH_SIZES ("64").
// Under callgrind each measured run is dumped on its own ("run:<name>"), with
// the runtime threads' instructions only: scripts/bench-packet-instructions
// turns them into instructions per packet, which load does not move.
// bench_packet_steps measures the drivers' per-packet functions alone, with
// no syscall in the loop.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "agent/inner.hpp"
#include "data_plane.hpp"
#include "harness.hpp"
#include "network/config/effective.hpp"
#include "p2p_net.hpp"
#include "platform/p2p/fabric.hpp"
#include "util/packet.hpp"

namespace {

namespace asio = boost::asio;
namespace p2p = sarvolt::p2p;
namespace agent = sarvolt::agent;
namespace network = sarvolt::network;
namespace util = sarvolt::util;
using bench::Clock;
using bench::env_int;
using bench::PeerSink;
using bench::TunSink;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kStallTimeout = std::chrono::seconds(10);
constexpr std::uint16_t kMtu = 1500;
constexpr std::size_t kQueueCapacity = 512;  // fabric queue per directed pair
constexpr int kSocketBuffer = 1 << 20;
constexpr std::size_t kChunk = 4096;  // packets pushed before waiting for them
constexpr std::size_t kBatch = 64;    // the loops' batch, as the TUN driver's

// Members 0..n-1 of 10.0.0.0/16, one group, allowed to talk to each other.
network::NetworkConfig network_config(std::size_t n) {
  const auto& ids = bench::identities(n);
  network::NetworkConfig cfg;
  cfg.network = *util::Ipv4Net::parse("10.0.0.0/16");
  const network::GroupSet g{"g"};
  for (std::size_t i = 0; i < n; ++i)
    cfg.node[ids[i].pk()] = {ids[i].pk(), bench::address_of(i), fmt::format("n{}", i), g};
  cfg.policy.insert({g, g});
  return cfg;
}

// An IPv4/UDP packet of `size` bytes with a valid header checksum.
Bytes ipv4_packet(util::Ipv4Addr src, util::Ipv4Addr dst, std::size_t size) {
  return sarvolt::test::ipv4_packet({.src = src, .dst = dst, .payload = size - 20});
}

// --- planes ------------------------------------------------------------------------

enum class Direction { Outbound, Inbound };
enum class Mode { Mmsg, Bare, Agent };
constexpr Mode kModes[] = {Mode::Mmsg, Mode::Bare, Mode::Agent};

const char* name_of(Direction d) { return d == Direction::Outbound ? "Outbound" : "Inbound"; }
const char* name_of(Mode m) { return m == Mode::Agent ? "agent" : m == Mode::Bare ? "bare" : "mmsg"; }

// A socket pair as the TUN device: the agent's end and the bench's end.
std::pair<int, int> device_pair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
  for (int fd : fds) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  }
  return {fds[0], fds[1]};
}

// Node A (index 0) and `peers` peer nodes on one fabric, a socket pair as the
// TUN device, and one forwarder between them.
class Plane {
 public:
  Plane(Direction dir, Mode mode, std::size_t peers, std::size_t size)
      : dir_(dir), mode_(mode), peers_(peers) {
    const auto& ids = bench::identities(peers + 1);
    fabric_ = std::make_shared<p2p::Fabric>(kQueueCapacity);
    node_a_ = fabric_->add_node(ids[0]);
    for (std::size_t i = 1; i <= peers; ++i) nodes_.push_back(fabric_->add_node(ids[i]));

    std::tie(dev_fd_, test_fd_) = device_pair();
    if (dir == Direction::Outbound) {
      peer_sink_ = std::make_unique<PeerSink>(nodes_, ids[0].pk());
    } else {
      tun_sink_ = std::make_unique<TunSink>(test_fd_);
      for (const auto& n : nodes_) peer_links_.push_back(n->initiate(ids[0].pk()).value());
    }
    for (std::size_t i = 0; i < peers; ++i) {
      out_packets_.push_back(ipv4_packet(bench::address_of(0), bench::address_of(i + 1), size));
      in_packets_.push_back(ipv4_packet(bench::address_of(i + 1), bench::address_of(0), size));
    }

    runtime_ = std::make_unique<bench::Runtime>(env_int("SARVOLT_BENCH_THREADS", 1, 1, 16), true, name_of(mode));
    if (mode == Mode::Agent) {
      start_agent();
    } else {
      for (const auto& n : nodes_) links_.push_back(node_a_->initiate(n->identity().pk()).value());
      if (dir == Direction::Outbound) {
        asio::co_spawn(runtime_->io, outbound_loop(), asio::detached);
      } else {
        timeval tv{1, 0};  // a write blocked this long means the sink is gone
        ::setsockopt(dev_fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        for (const auto& link : links_) asio::co_spawn(runtime_->io, inbound_loop(link.get()), asio::detached);
      }
    }
    // Every ring slot and buffer on the path gets its final capacity.
    const std::size_t warm = (kQueueCapacity + 256) * peers + 8 * kChunk;
    if (!run(warm)) throw std::runtime_error("data plane stalled during warm-up");
  }

  ~Plane() {
    stop_ = true;
    agent_.reset();
    networks_.clear();
    // A loop sees the stop after its next packet: give each one.
    if (mode_ != Mode::Agent && dir_ == Direction::Inbound) {
      static const Bytes kNudge(20, 0);
      for (const auto& n : nodes_) fabric_->inject(node_a_->identity().pk(), n->identity().pk(), kNudge);
    } else if (mode_ != Mode::Agent) {
      (void)::send(test_fd_, out_packets_[0].data(), out_packets_[0].size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    runtime_->stop();
    runtime_.reset();
    links_.clear();
    peer_sink_.reset();
    peer_links_.clear();
    tun_sink_.reset();
    if (mode_ != Mode::Agent) ::close(dev_fd_);  // else the agent's device owns it
    ::close(test_fd_);
  }

  double cpu_seconds() const { return runtime_->cpu_seconds(); }

  // Pushes `count` packets round-robin over the peers, kChunk at a time, and
  // waits until all of them came out; false on a stall.
  bool run(std::size_t count) {
    for (std::size_t done = 0; done < count;) {
      const std::size_t n = std::min(kChunk, count - done);
      const auto deadline = Clock::now() + kStallTimeout;
      if (!(dir_ == Direction::Outbound ? push_tun(n, deadline) : push_links(n, deadline))) return false;
      target_ += n;
      if (!bench::wait_until([this] { return received() >= target_; }, deadline)) return false;
      done += n;
    }
    return true;
  }

 private:
  std::uint64_t received() const { return peer_sink_ ? peer_sink_->received() : tun_sink_->received(); }

  void start_agent() {
    agent::AgentInner::Parts parts;
    parts.executor = runtime_->io.get_executor();
    parts.node = node_a_;
    parts.platform->tun_device = util::AsyncTun::create(runtime_->io.get_executor(), dev_fd_).value();
    parts.tun_mtu = kMtu;
    agent_ = std::make_shared<agent::AgentInner>(std::move(parts));
    const auto cfg = network_config(peers_ + 1);
    const auto& me = bench::identities(1)[0].pk();
    network::Network n(*util::Url::parse("file:///bench.toml"));
    n.desired.ip = {*util::Ipv4Net::parse("10.0.0.1/16"), std::nullopt};
    n.desired.access_rules = {cfg.effective_access_rule_list(me).value(), std::nullopt};
    networks_.emplace(n.config_url, std::move(n));
    auto done = asio::co_spawn(runtime_->io, agent_->apply_desired_state(networks_), asio::use_future);
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) throw std::runtime_error("apply hung");
    done.get();
  }

  // Reads up to kBatch packets (one recv each, or one recvmmsg), groups them
  // by the link the destination's low 16 bits name, hands each group over,
  // and waits when nothing is readable.
  asio::awaitable<void> outbound_loop() {
    std::vector<std::uint16_t> index(65536, 0);
    for (std::size_t i = 0; i < peers_; ++i)
      index[bench::address_of(i + 1).to_u32() & 0xFFFF] = static_cast<std::uint16_t>(i);
    asio::posix::stream_descriptor readable(runtime_->io, ::dup(dev_fd_));
    std::vector<std::vector<std::uint8_t>> bufs(kBatch, std::vector<std::uint8_t>(kMtu + 1u));
    std::array<iovec, kBatch> iov;
    std::array<mmsghdr, kBatch> msgs;
    std::vector<std::vector<std::span<const std::uint8_t>>> groups(peers_);
    for (auto& g : groups) g.reserve(kBatch);
    std::vector<std::uint16_t> touched;
    touched.reserve(kBatch);
    try {
      while (!stop_.load(std::memory_order_relaxed)) {
        std::size_t reads = 0;
        auto take = [&](const std::vector<std::uint8_t>& buf, std::size_t n) {
          const std::uint16_t i = index[(std::uint32_t{buf[18]} << 8) | buf[19]];
          if (groups[i].empty()) touched.push_back(i);
          groups[i].emplace_back(buf.data(), n);
        };
        if (mode_ == Mode::Mmsg) {
          for (std::size_t i = 0; i < kBatch; ++i) {
            iov[i] = {bufs[i].data(), bufs[i].size()};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
          }
          const int n = ::recvmmsg(dev_fd_, msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
          for (int i = 0; i < n; ++i)
            if (msgs[i].msg_len >= 20) take(bufs[i], msgs[i].msg_len);
          reads = n > 0 ? static_cast<std::size_t>(n) : 0;
        } else {
          for (; reads < kBatch; ++reads) {
            const ssize_t n = ::recv(dev_fd_, bufs[reads].data(), bufs[reads].size(), MSG_DONTWAIT);
            if (n < 20) break;
            take(bufs[reads], static_cast<std::size_t>(n));
          }
        }
        for (const std::uint16_t i : touched) {
          (void)co_await links_[i]->send_datagrams_wait(groups[i]);
          groups[i].clear();
        }
        touched.clear();
        if (reads == 0) co_await readable.async_wait(asio::posix::stream_descriptor::wait_read, asio::use_awaitable);
      }
    } catch (const std::exception&) {
    }
  }

  // One loop per link: read a batch, write it (one send each, or sendmmsg).
  asio::awaitable<void> inbound_loop(p2p::NodePeer* link) {
    std::vector<p2p::Datagram> slots(agent::kNodePeerRecvBatch);
    std::vector<iovec> iov(slots.size());
    std::vector<mmsghdr> msgs(slots.size());
    try {
      while (!stop_.load(std::memory_order_relaxed)) {
        const std::size_t n = co_await link->read_datagrams(slots);
        if (mode_ == Mode::Mmsg) {
          for (std::size_t i = 0; i < n; ++i) {
            iov[i] = {slots[i].data(), slots[i].size()};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
          }
          for (std::size_t sent = 0; sent < n;) {
            const int k = ::sendmmsg(dev_fd_, msgs.data() + sent, static_cast<unsigned>(n - sent), MSG_NOSIGNAL);
            if (k <= 0) co_return;
            sent += static_cast<std::size_t>(k);
          }
        } else {
          for (std::size_t i = 0; i < n; ++i)
            if (::send(dev_fd_, slots[i].data(), slots[i].size(), MSG_NOSIGNAL) < 0) co_return;
        }
      }
    } catch (const std::exception&) {
    }
  }

  bool push_tun(std::size_t count, Clock::time_point deadline) {
    return bench::send_cycling(test_fd_, out_packets_, seq_, count, deadline);
  }

  bool push_links(std::size_t count, Clock::time_point deadline) {
    return bench::send_links_cycling(peer_links_, in_packets_, seq_, count, deadline);
  }

  const Direction dir_;
  const Mode mode_;
  const std::size_t peers_;
  std::shared_ptr<p2p::Fabric> fabric_;
  std::shared_ptr<p2p::MemoryNode> node_a_;
  std::vector<std::shared_ptr<p2p::MemoryNode>> nodes_;
  int dev_fd_ = -1;
  int test_fd_ = -1;
  std::unique_ptr<PeerSink> peer_sink_;
  std::unique_ptr<TunSink> tun_sink_;
  std::vector<p2p::NodePeerRef> peer_links_;  // peer -> A: inbound sources
  std::vector<p2p::NodePeerRef> links_;       // A -> peer: the loops' links
  std::unique_ptr<bench::Runtime> runtime_;
  std::shared_ptr<agent::AgentInner> agent_;
  network::NetworkMap networks_;
  std::atomic<bool> stop_{false};
  std::vector<Bytes> out_packets_, in_packets_;
  std::size_t seq_ = 0;
  std::uint64_t target_ = 0;
};

// --- the agent over the UDP node --------------------------------------------------

class UdpPlane {
 public:
  explicit UdpPlane(Direction dir) : dir_(dir) {
    const auto& ids = bench::identities(2);
    peer_rt_ = std::make_unique<bench::Runtime>(1, false, "udp-peer");
    runtime_ = std::make_unique<bench::Runtime>(1, true, "agent");
    node_a_ = bind(*runtime_, ids[0]);
    node_b_ = bind(*peer_rt_, ids[1]);
    link_b_ = node_b_->initiate(ids[0].pk()).value();

    std::tie(dev_fd_, test_fd_) = device_pair();
    if (dir == Direction::Inbound) {
      tun_sink_ = std::make_unique<TunSink>(test_fd_);
    } else {
      asio::co_spawn(peer_rt_->io, sink(link_b_, received_, stop_), asio::detached);
    }
    packet_ = dir == Direction::Outbound ? ipv4_packet(bench::address_of(0), bench::address_of(1), 64)
                                         : ipv4_packet(bench::address_of(1), bench::address_of(0), 64);
    agent::AgentInner::Parts parts;
    parts.executor = runtime_->io.get_executor();
    parts.node = node_a_;
    parts.platform->tun_device = util::AsyncTun::create(runtime_->io.get_executor(), dev_fd_).value();
    parts.tun_mtu = kMtu;
    agent_ = std::make_shared<agent::AgentInner>(std::move(parts));
    const auto cfg = network_config(2);
    network::Network n(*util::Url::parse("file:///bench.toml"));
    n.desired.ip = {*util::Ipv4Net::parse("10.0.0.1/16"), std::nullopt};
    n.desired.access_rules = {cfg.effective_access_rule_list(ids[0].pk()).value(), std::nullopt};
    networks_.emplace(n.config_url, std::move(n));
    auto done = asio::co_spawn(runtime_->io, agent_->apply_desired_state(networks_), asio::use_future);
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) throw std::runtime_error("apply hung");
    done.get();
    // Until the path carries packets (registration at the super peer first).
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (run(64) == 0)
      if (Clock::now() > deadline) throw std::runtime_error("no packet crossed the UDP path");
    run(20000);
  }

  ~UdpPlane() {
    stop_ = true;
    agent_.reset();
    networks_.clear();
    link_b_->close();
    for (auto* n : {&node_a_, &node_b_}) {
      auto f = asio::co_spawn(n == &node_a_ ? runtime_->io : peer_rt_->io, (*n)->shutdown(), asio::use_future);
      (void)f.wait_for(std::chrono::seconds(5));
    }
    runtime_->stop();
    peer_rt_->stop();
    tun_sink_.reset();
    ::close(test_fd_);
  }

  double cpu_seconds() const { return runtime_->cpu_seconds(); }

  // Sends `count` packets in chunks, each followed by a bounded wait for what
  // arrives; returns how many crossed.
  std::uint64_t run(std::size_t count) {
    const std::uint64_t start = received();
    constexpr std::size_t kUdpChunk = 256;
    for (std::size_t done = 0; done < count;) {
      const std::size_t n = std::min(kUdpChunk, count - done);
      const std::uint64_t before = received();
      const auto deadline = Clock::now() + std::chrono::seconds(2);
      for (std::size_t i = 0; i < n; ++i) {
        if (dir_ == Direction::Outbound) {
          while (::send(test_fd_, packet_.data(), packet_.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && Clock::now() < deadline)
            std::this_thread::yield();
        } else {
          while (!link_b_->send_datagram(packet_) && Clock::now() < deadline) std::this_thread::yield();
        }
      }
      // Until all arrived, or nothing more for 50 ms.
      std::uint64_t seen = received();
      for (auto quiet = Clock::now(); received() < before + n && Clock::now() - quiet < std::chrono::milliseconds(50);) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (received() != seen) {
          seen = received();
          quiet = Clock::now();
        }
      }
      done += n;
    }
    return received() - start;
  }

 private:
  static p2p::NodeRef bind(bench::Runtime& rt, const p2p::Identity& id) {
    static sarvolt::test::TestSuperPeer super_peer(0);
    auto opts = sarvolt::test::test_opts(id, {super_peer.url()}).min_pow_difficulty(0).build().value();
    auto f = asio::co_spawn(rt.io, p2p::UdpNode::bind(std::move(opts)), asio::use_future);
    if (f.wait_for(std::chrono::seconds(10)) != std::future_status::ready) throw std::runtime_error("bind hung");
    auto r = f.get();
    if (!r) throw std::runtime_error("bind failed: " + r.error().message());
    return *r;
  }

  static asio::awaitable<void> sink(p2p::NodePeerRef link, std::atomic<std::uint64_t>& received,
                                    std::atomic<bool>& stop) {
    std::vector<p2p::Datagram> slots(64);
    try {
      while (!stop.load()) received += co_await link->read_datagrams(slots);
    } catch (const std::exception&) {
    }
  }

  std::uint64_t received() const { return tun_sink_ ? tun_sink_->received() : received_.load(); }

  const Direction dir_;
  std::unique_ptr<bench::Runtime> peer_rt_, runtime_;
  p2p::NodeRef node_a_, node_b_;
  p2p::NodePeerRef link_b_;
  int dev_fd_ = -1, test_fd_ = -1;
  std::unique_ptr<TunSink> tun_sink_;
  std::atomic<std::uint64_t> received_{0};
  std::atomic<bool> stop_{false};
  Bytes packet_;
  std::shared_ptr<agent::AgentInner> agent_;
  network::NetworkMap networks_;
};

struct UdpSample {
  double cpu_ns = 0, allocs = 0, crossed = 0;
};
std::map<Direction, std::vector<UdpSample>> g_udp;

void BM_UdpPath(benchmark::State& state, Direction dir) {
  const auto packets = static_cast<std::size_t>(env_int("SARVOLT_BENCH_PACKETS", 200000, 10000, 10000000)) / 4;
  static std::map<Direction, std::unique_ptr<UdpPlane>> planes;
  UdpSample s;
  for (auto _ : state) {
    try {
      if (!planes.contains(dir)) planes.clear();  // one at a time: both use A's identity
      auto& p = planes[dir];
      if (!p) p = std::make_unique<UdpPlane>(dir);
      const std::uint64_t a0 = bench::g_runtime_allocs.load();
      const double c0 = p->cpu_seconds();
      const auto n = static_cast<double>(std::max<std::uint64_t>(1, p->run(packets)));
      s = {(p->cpu_seconds() - c0) * 1e9 / n, static_cast<double>(bench::g_runtime_allocs.load() - a0) / n,
           n / static_cast<double>(packets)};
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
  }
  state.counters["cpu_ns_per_pkt"] = s.cpu_ns;
  state.counters["allocs_per_pkt"] = s.allocs;
  state.counters["crossed"] = s.crossed;
  g_udp[dir].push_back(s);
}

// --- measurement ---------------------------------------------------------------------

struct Sample {
  double cpu_ns = 0;  // runtime CPU per packet
  double allocs = 0;  // runtime heap allocations per packet
  double pps = 0;
};

Sample measure(Plane& p, std::size_t packets, const std::string& name) {
  const std::uint64_t a0 = bench::g_runtime_allocs.load();
  const double c0 = p.cpu_seconds();
  const auto t0 = Clock::now();
#ifdef SARVOLT_BENCH_CALLGRIND
  CALLGRIND_ZERO_STATS;
#endif
  if (!p.run(packets)) throw std::runtime_error("pipeline stalled");
#ifdef SARVOLT_BENCH_CALLGRIND
  const std::string dump_name = "run:" + name;
  CALLGRIND_DUMP_STATS_AT(dump_name.c_str());
#else
  (void)name;
#endif
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double n = static_cast<double>(packets);
  return {(p.cpu_seconds() - c0) * 1e9 / n, static_cast<double>(bench::g_runtime_allocs.load() - a0) / n, n / wall};
}

struct Case {
  Direction dir;
  std::size_t peers;
  std::size_t size;
  auto key() const { return std::tuple(dir, peers, size); }
};

// The planes of one case stay alive, one per forwarder, so that all three
// are measured side by side under the same conditions.
Plane& plane(const Case& c, Mode m) {
  static std::map<std::tuple<Direction, std::size_t, std::size_t, Mode>, std::unique_ptr<Plane>> planes;
  const auto key = std::tuple_cat(c.key(), std::tuple(m));
  if (auto it = planes.find(key); it != planes.end()) return *it->second;
  std::erase_if(planes, [&](const auto& kv) {
    return std::tuple(std::get<0>(kv.first), std::get<1>(kv.first), std::get<2>(kv.first)) != c.key();
  });
  return *planes.emplace(key, std::make_unique<Plane>(c.dir, m, c.peers, c.size)).first->second;
}

std::map<std::tuple<Direction, std::size_t, std::size_t>, std::map<int, std::map<Mode, Sample>>> g_samples;

void BM_PacketPath(benchmark::State& state, Case c, Mode m, int round) {
  const auto packets = static_cast<std::size_t>(env_int("SARVOLT_BENCH_PACKETS", 200000, 10000, 10000000));
  Sample s;
  for (auto _ : state) {
    try {
      s = measure(plane(c, m), packets,
                  fmt::format("{}/{}/size:{}/peers:{}/round:{}", name_of(c.dir), name_of(m), c.size, c.peers, round));
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
  }
  state.counters["cpu_ns_per_pkt"] = s.cpu_ns;
  state.counters["allocs_per_pkt"] = s.allocs;
  state.counters["pps"] = s.pps;
  auto& round_samples = g_samples[c.key()][round];
  round_samples[m] = s;
  if (m == Mode::Agent && round_samples.contains(Mode::Bare) && round_samples.contains(Mode::Mmsg)) {
    state.counters["own_ns_per_pkt"] = s.cpu_ns - round_samples[Mode::Bare].cpu_ns;
    state.counters["agent_div_bare"] = s.cpu_ns / round_samples[Mode::Bare].cpu_ns;
    state.counters["agent_div_mmsg"] = s.cpu_ns / round_samples[Mode::Mmsg].cpu_ns;
  }
}

std::vector<Case> cases() {
  std::vector<Case> out;
  for (const std::size_t size : bench::packet_sizes("64"))
    for (const Direction dir : {Direction::Outbound, Direction::Inbound})
      for (const std::size_t peers : {std::size_t{1}, std::size_t{100}}) out.push_back({dir, peers, size});
  return out;
}

// Rounds of the three forwarders in turn, so that load from elsewhere on the
// machine hits all of them alike.
void register_all(int rounds) {
  for (const Direction dir : {Direction::Outbound, Direction::Inbound})
    for (int r = 1; r <= rounds; ++r)
      benchmark::RegisterBenchmark(fmt::format("BM_UdpPath/{}/agent/size:64/peers:1/round:{}", name_of(dir), r).c_str(),
                                   BM_UdpPath, dir)
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
  for (const Case& c : cases())
    for (int r = 1; r <= rounds; ++r)
      for (const Mode m : kModes) {
        const std::string name = fmt::format("BM_PacketPath/{}/{}/size:{}/peers:{}/round:{}", name_of(c.dir),
                                             name_of(m), c.size, c.peers, r);
        benchmark::RegisterBenchmark(name.c_str(), BM_PacketPath, c, m, r)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
      }
}

void print_udp_summary() {
  if (g_udp.empty()) return;
  std::printf("\nAgent over the UDP node (1 peer, 64 B, via the super peer): runtime CPU ns and heap allocations per\n"
              "packet that crossed, share of packets that crossed. Median [min..max] over rounds.\n");
  for (const auto& [dir, samples] : g_udp) {
    std::vector<double> cpu, allocs, crossed;
    for (const auto& s : samples) {
      cpu.push_back(s.cpu_ns);
      allocs.push_back(s.allocs);
      crossed.push_back(s.crossed);
    }
    const auto c = bench::summarise(cpu), a = bench::summarise(allocs), x = bench::summarise(crossed);
    std::printf("%-9s cpu %.0f [%.0f..%.0f]  allocs %.3f [%.3f..%.3f]  crossed %.3f [%.3f..%.3f]\n", name_of(dir),
                c.median, c.min, c.max, a.median, a.min, a.max, x.median, x.min, x.max);
  }
}

void print_summary() {
  std::printf(
      "\nAgent's own CPU per packet. cpu = runtime threads' CPU ns per packet; own = agent - bare per round;\n"
      "ratios = agent / baseline CPU time per packet; allocs = heap allocations per packet on the runtime\n"
      "threads (agent, bare). Median [min..max] over rounds.\n");
  std::printf("%-24s %-18s %-18s %-18s %-18s %-17s %-17s %-7s %-7s %s\n", "case", "mmsg cpu", "bare cpu", "agent cpu",
              "agent own", "agent/bare", "agent/mmsg", "allocs", "bare_al", "agent pkt/s");
  for (const Case& c : cases()) {
    const auto it = g_samples.find(c.key());
    if (it == g_samples.end()) continue;
    std::map<Mode, std::vector<double>> cpu, allocs, pps;
    std::vector<double> own, vs_bare, vs_mmsg;
    for (const auto& [round, by_mode] : it->second) {
      if (by_mode.size() != 3) continue;
      for (const auto& [m, s] : by_mode) {
        cpu[m].push_back(s.cpu_ns);
        allocs[m].push_back(s.allocs);
        pps[m].push_back(s.pps);
      }
      const double a = by_mode.at(Mode::Agent).cpu_ns;
      own.push_back(a - by_mode.at(Mode::Bare).cpu_ns);
      vs_bare.push_back(a / by_mode.at(Mode::Bare).cpu_ns);
      vs_mmsg.push_back(a / by_mode.at(Mode::Mmsg).cpu_ns);
    }
    if (own.empty()) continue;
    auto ns = [](const std::vector<double>& v) {
      const auto s = bench::summarise(v);
      return fmt::format("{:.0f} [{:.0f}..{:.0f}]", s.median, s.min, s.max);
    };
    auto ratio = [](const std::vector<double>& v) {
      const auto s = bench::summarise(v);
      return fmt::format("{:.2f} [{:.2f}..{:.2f}]", s.median, s.min, s.max);
    };
    const std::string label = fmt::format("{} {} B, {} peer{}", name_of(c.dir), c.size, c.peers, c.peers > 1 ? "s" : "");
    std::printf("%-24s %-18s %-18s %-18s %-18s %-17s %-17s %-7.3f %-7.3f %.0f\n", label.c_str(),
                ns(cpu[Mode::Mmsg]).c_str(), ns(cpu[Mode::Bare]).c_str(), ns(cpu[Mode::Agent]).c_str(),
                ns(own).c_str(), ratio(vs_bare).c_str(), ratio(vs_mmsg).c_str(),
                bench::summarise(allocs[Mode::Agent]).median, bench::summarise(allocs[Mode::Bare]).median,
                bench::summarise(pps[Mode::Agent]).median);
  }
  print_udp_summary();
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::alarm(3600);  // a hung run ends with SIGALRM
  const int rounds = env_int("SARVOLT_BENCH_ROUNDS", 7, 1, 50);
  std::printf("bench_packet_path: %d rounds, %d runtime thread(s)\n", rounds,
              env_int("SARVOLT_BENCH_THREADS", 1, 1, 16));
  register_all(rounds);
  return bench::run_main(argc, argv, print_summary);
}
