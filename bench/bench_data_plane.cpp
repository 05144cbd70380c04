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
//   Allocs    heap allocations per packet on the warm path (global operator
//             new is counted; "dp_" counts only the runtime's threads).
//   Rebuild   firewall rebuild from ~10 000 access rules (5 000 nodes in a
//             /16): first build with NodePeer creation, a rebuild that reuses
//             every peer, and the rule-trie derivation alone as the baseline.
// Pipelines send kChunk packets per iteration and wait until all of them came
// out, so the figure is sustained throughput; every wait is bounded and a
// watchdog ends a run that hangs anyway. Packets go round-robin over the
// peers. Environment: SARVOLT_BENCH_ROUNDS (3), SARVOLT_BENCH_THREADS (2),
// SARVOLT_BENCH_WATCHDOG (300 s). The rebuild benchmarks need ~1.2 GiB.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <poll.h>
#include <pthread.h>
#include <sodium.h>
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
#include <future>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "agent/inner.hpp"
#include "network/config/effective.hpp"
#include "platform/p2p/fabric.hpp"
#include "util/packet.hpp"

// --- allocation counters -------------------------------------------------------

namespace {

std::atomic<std::uint64_t> g_allocs{0};     // every thread
std::atomic<std::uint64_t> g_dp_allocs{0};  // the agent's runtime threads only
thread_local bool t_data_plane_thread = false;
thread_local std::uint64_t t_allocs = 0;  // this thread's

inline void count_alloc() noexcept {
  ++t_allocs;
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (t_data_plane_thread) g_dp_allocs.fetch_add(1, std::memory_order_relaxed);
}

void* counted_alloc(std::size_t n) {
  count_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

void* counted_alloc(std::size_t n, std::align_val_t al) {
  count_alloc();
  const auto a = static_cast<std::size_t>(al);
  const std::size_t rounded = (n + a - 1) / a * a;
  if (void* p = std::aligned_alloc(a, rounded ? rounded : a)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void* operator new(std::size_t n, std::align_val_t al) { return counted_alloc(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) { return counted_alloc(n, al); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  count_alloc();
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  count_alloc();
  return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

namespace asio = boost::asio;
namespace p2p = sarvolt::p2p;
namespace agent = sarvolt::agent;
namespace network = sarvolt::network;
namespace util = sarvolt::util;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 4096;  // packets per iteration
constexpr auto kStallTimeout = std::chrono::seconds(5);
constexpr std::uint16_t kMtu = 1500;
constexpr std::size_t kQueueCapacity = 512;  // fabric queue, per directed pair
constexpr int kDefaultThreads = 2;           // runtime threads, SARVOLT_BENCH_THREADS overrides
constexpr int kSocketBuffer = 1 << 20;       // SO_SNDBUF / SO_RCVBUF of the pair
constexpr std::size_t kMaxPacket = 1400;
constexpr unsigned kWatchdogSeconds = 300;  // SARVOLT_BENCH_WATCHDOG overrides (1..3600)
constexpr int kDefaultRounds = 3;           // SARVOLT_BENCH_ROUNDS overrides

// --- identities and addresses --------------------------------------------------

// Node i: a key from a seed holding i; address 10.0.0.1 + i.
p2p::Identity identity_for(std::uint32_t i) {
  std::array<unsigned char, 32> seed;
  seed.fill(0x5A);
  std::memcpy(seed.data(), &i, sizeof i);
  std::array<unsigned char, 32> pk;
  std::array<std::uint8_t, 64> sk;
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  return p2p::Identity(p2p::SecKey(sk), p2p::Pow(0));
}

const std::vector<p2p::Identity>& identities(std::size_t n) {
  static std::vector<p2p::Identity> ids;
  if (sodium_init() < 0) throw std::runtime_error("sodium_init");
  while (ids.size() < n) ids.push_back(identity_for(static_cast<std::uint32_t>(ids.size())));
  return ids;
}

util::Ipv4Addr address_of(std::size_t i) { return util::Ipv4Addr(static_cast<std::uint32_t>((10u << 24) + 1u + i)); }

// Members 0..n-1 of 10.0.0.0/16, one group, allowed to talk to each other.
network::NetworkConfig network_config(std::size_t n) {
  const auto& ids = identities(n);
  network::NetworkConfig cfg;
  cfg.network = *util::Ipv4Net::parse("10.0.0.0/16");
  const network::GroupSet g{"g"};
  for (std::size_t i = 0; i < n; ++i) cfg.node[ids[i].pk()] = {ids[i].pk(), address_of(i), fmt::format("n{}", i), g};
  cfg.policy.insert({g, g});
  return cfg;
}

network::Network joined_network(const network::NetworkConfig& cfg, const p2p::PubKey& me) {
  auto url = *util::Url::parse("file:///bench.toml");
  network::Network n(url);
  n.desired.ip = {*util::Ipv4Net::parse("10.0.0.1/16"), std::nullopt};
  n.desired.access_rules = {cfg.effective_access_rule_list(me).value(), std::nullopt};
  return n;
}

// An IPv4/UDP packet of `size` bytes with a valid header checksum.
Bytes ipv4_packet(util::Ipv4Addr src, util::Ipv4Addr dst, std::size_t size) {
  Bytes p(size, 0xAB);
  p[0] = 0x45;
  p[2] = static_cast<std::uint8_t>(size >> 8);
  p[3] = static_cast<std::uint8_t>(size);
  p[8] = 64;
  p[9] = 17;
  p[10] = p[11] = 0;
  const auto s = src.octets(), d = dst.octets();
  std::copy(s.begin(), s.end(), p.begin() + 12);
  std::copy(d.begin(), d.end(), p.begin() + 16);
  const std::uint16_t sum = util::internet_checksum({p.data(), 20});
  p[10] = static_cast<std::uint8_t>(sum >> 8);
  p[11] = static_cast<std::uint8_t>(sum);
  p[20] = 0x9C;  // UDP 40000 -> 5000
  p[21] = 0x40;
  p[22] = 0x13;
  p[23] = 0x88;
  return p;
}

int runtime_threads() {
  const char* v = std::getenv("SARVOLT_BENCH_THREADS");
  const int n = v ? std::atoi(v) : kDefaultThreads;
  return n >= 1 && n <= 16 ? n : kDefaultThreads;
}

template <class Pred>
bool wait_until(Pred pred, Clock::time_point deadline) {
  for (unsigned spins = 0; !pred(); ++spins) {
    if (Clock::now() > deadline) return pred();
    if (spins < 64)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  return true;
}

// A thread pool on an io_context; `data_plane` threads have their
// allocations counted apart. Threads are named for profiles.
class Runtime {
 public:
  Runtime(int threads, bool data_plane, const char* name) : work_(asio::make_work_guard(io)) {
    for (int i = 0; i < threads; ++i)
      threads_.emplace_back([this, data_plane, name] {
        ::pthread_setname_np(::pthread_self(), name);
        t_data_plane_thread = data_plane;
        io.run();
      });
  }
  ~Runtime() { stop(); }
  // CPU time its threads used so far.
  double cpu_seconds() const {
    double total = 0;
    for (const auto& t : threads_) {
      clockid_t id;
      timespec ts{};
      if (::pthread_getcpuclockid(const_cast<std::thread&>(t).native_handle(), &id) == 0 &&
          ::clock_gettime(id, &ts) == 0)
        total += static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    return total;
  }
  // Lets queued work finish for a moment, then stops.
  void stop() {
    if (threads_.empty()) return;
    work_.reset();
    wait_until([this] { return io.stopped(); }, Clock::now() + std::chrono::milliseconds(300));
    io.stop();
    for (auto& t : threads_) t.join();
    threads_.clear();
  }
  asio::io_context io;

 private:
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

// --- sinks ----------------------------------------------------------------------

// Reads every peer's queue of datagrams from `from` on one thread.
class PeerSink {
 public:
  PeerSink(const std::vector<std::shared_ptr<p2p::MemoryNode>>& nodes, const p2p::PubKey& from)
      : rt_(1, false, "peer-sink") {
    for (const auto& n : nodes) links_.push_back(n->initiate(from).value());
    loops_ = links_.size();
    for (std::size_t i = 0; i < loops_; ++i) asio::co_spawn(rt_.io, read_loop(i), asio::detached);
  }
  ~PeerSink() {
    // Dropping the links ends the pending reads.
    asio::post(rt_.io, [this] {
      stopping_ = true;
      links_.clear();
    });
    wait_until([this] { return ended_.load() == loops_; }, Clock::now() + std::chrono::seconds(2));
    rt_.stop();
  }
  std::uint64_t received() const { return received_.load(std::memory_order_acquire); }

 private:
  // Holds no link across a wait: the links go on this thread while it waits.
  asio::awaitable<void> read_loop(std::size_t i) {
    std::vector<p2p::Datagram> slots(128);
    try {
      while (!stopping_) {
        const std::size_t n = co_await links_[i]->read_datagrams(slots);
        received_.fetch_add(n, std::memory_order_release);
      }
    } catch (const std::exception&) {
    }
    ++ended_;
  }

  Runtime rt_;
  std::vector<p2p::NodePeerRef> links_;
  bool stopping_ = false;  // sink thread only
  std::size_t loops_ = 0;
  std::atomic<std::size_t> ended_{0};
  std::atomic<std::uint64_t> received_{0};
};

// Reads the test end of the socket pair on one thread.
class TunSink {
 public:
  explicit TunSink(int fd)
      : thread_([this, fd] {
          ::pthread_setname_np(::pthread_self(), "tun-sink");
          run(fd);
        }) {}
  ~TunSink() {
    stop_ = true;
    thread_.join();
  }
  std::uint64_t received() const { return received_.load(std::memory_order_acquire); }

 private:
  void run(int fd) {
    constexpr std::size_t kBatch = 64;
    std::vector<std::array<std::uint8_t, 2048>> bufs(kBatch);
    std::array<iovec, kBatch> iov;
    std::array<mmsghdr, kBatch> msgs;
    while (!stop_.load(std::memory_order_relaxed)) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0) continue;
      for (std::size_t i = 0; i < kBatch; ++i) {
        iov[i] = {bufs[i].data(), bufs[i].size()};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(fd, msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (n > 0) received_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_release);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> received_{0};
  std::thread thread_;
};

// --- planes ---------------------------------------------------------------------

enum class Direction { Outbound, Inbound };
enum class Mode { Bare, Agent };

// Node A (index 0) and `peers` peer nodes on one fabric, a socket pair as the
// TUN device, and either the agent or a bare forwarder between them.
class Plane {
 public:
  Plane(Direction dir, Mode mode, std::size_t peers) : dir_(dir), mode_(mode), peers_(peers) {
    const auto& ids = identities(peers + 1);
    fabric_ = std::make_shared<p2p::Fabric>(kQueueCapacity);
    node_a_ = fabric_->add_node(ids[0]);
    for (std::size_t i = 1; i <= peers; ++i) nodes_.push_back(fabric_->add_node(ids[i]));

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    for (int fd : fds) {
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    }
    dev_fd_ = fds[0];
    test_fd_ = fds[1];

    if (dir == Direction::Outbound) {
      peer_sink_ = std::make_unique<PeerSink>(nodes_, ids[0].pk());
    } else {
      tun_sink_ = std::make_unique<TunSink>(test_fd_);
      for (const auto& n : nodes_) peer_links_.push_back(n->initiate(ids[0].pk()).value());
    }

    runtime_ = std::make_unique<Runtime>(runtime_threads(), true, mode == Mode::Agent ? "agent" : "bare");
    if (mode == Mode::Agent) {
      start_agent();
    } else {
      for (const auto& n : nodes_) bare_links_.push_back(node_a_->initiate(n->identity().pk()).value());
      if (dir == Direction::Outbound)
        asio::co_spawn(runtime_->io, bare_outbound(), asio::detached);
      else
        start_bare_inbound();
    }

    for (std::size_t i = 0; i < peers; ++i) {
      out_packets_[0].push_back(ipv4_packet(address_of(0), address_of(i + 1), 64));
      out_packets_[1].push_back(ipv4_packet(address_of(0), address_of(i + 1), kMaxPacket));
      in_packets_[0].push_back(ipv4_packet(address_of(i + 1), address_of(0), 64));
      in_packets_[1].push_back(ipv4_packet(address_of(i + 1), address_of(0), kMaxPacket));
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
    agent_.reset();
    networks_.clear();
    // A bare loop sees the stop after its next read: give each one.
    if (mode_ == Mode::Bare && dir_ == Direction::Inbound) {
      static const Bytes kNudge(20, 0);
      for (const auto& n : nodes_) fabric_->inject(node_a_->identity().pk(), n->identity().pk(), kNudge);
    } else if (mode_ == Mode::Bare) {
      (void)::send(test_fd_, out_packets_[0][0].data(), out_packets_[0][0].size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    runtime_->stop();
    runtime_.reset();  // loops still pending go with it, before their links
    bare_links_.clear();
    peer_sink_.reset();
    peer_links_.clear();
    tun_sink_.reset();
    if (mode_ != Mode::Agent) ::close(dev_fd_);  // else the device owns it
    ::close(test_fd_);
  }

  std::uint64_t received() const { return peer_sink_ ? peer_sink_->received() : tun_sink_->received(); }
  double runtime_cpu_seconds() const { return runtime_->cpu_seconds(); }

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
  void start_agent() {
    agent::AgentInner::Parts parts;
    parts.executor = runtime_->io.get_executor();
    parts.node = node_a_;
    parts.netif = std::make_shared<agent::MobileAgentNetIf>();
    parts.router = std::make_unique<agent::MobileAgentRouter>();
    parts.firewall = std::make_shared<agent::AgentFirewall>();
    parts.tun = agent::AsyncTun::create(runtime_->io.get_executor(), dev_fd_).value();
    parts.tun_mtu = kMtu;
    agent_ = std::make_shared<agent::AgentInner>(std::move(parts));
    const auto cfg = network_config(peers_ + 1);
    auto n = joined_network(cfg, identities(1)[0].pk());
    networks_.emplace(n.config_url, std::move(n));
    auto done = asio::co_spawn(runtime_->io, agent_->apply_desired_state(networks_), asio::use_future);
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) throw std::runtime_error("apply hung");
    done.get();
    if (agent_->firewall->transmit_trie()->size() != peers_) throw std::runtime_error("unexpected transmit trie");
  }

  // The driver's loop without decode, firewall or release watching: read up
  // to kTunReadBatch packets, group them by the link that the destination's
  // low 16 bits name, hand each group over, wait when nothing is readable.
  asio::awaitable<void> bare_outbound() {
    std::vector<std::uint16_t> index(65536, 0);
    for (std::size_t i = 0; i < peers_; ++i) index[address_of(i + 1).to_u32() & 0xFFFF] = static_cast<std::uint16_t>(i);
    asio::posix::stream_descriptor readable(runtime_->io, ::dup(dev_fd_));
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
          const ssize_t n = ::recv(dev_fd_, buf.data(), buf.size(), MSG_DONTWAIT);
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
    ::setsockopt(dev_fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    for (const auto& link : bare_links_)
      asio::co_spawn(runtime_->io, bare_inbound(link.get(), dev_fd_, &stop_), asio::detached);
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
    constexpr std::size_t kBatch = 64;
    std::array<iovec, kBatch> iov;
    std::array<mmsghdr, kBatch> msgs;
    std::size_t sent = 0;
    while (sent < count) {
      const std::size_t batch = std::min(kBatch, count - sent);
      for (std::size_t j = 0; j < batch; ++j) {
        const Bytes& p = packets[(seq_ + j) % packets.size()];
        iov[j] = {const_cast<std::uint8_t*>(p.data()), p.size()};
        msgs[j] = {};
        msgs[j].msg_hdr.msg_iov = &iov[j];
        msgs[j].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::sendmmsg(test_fd_, msgs.data(), static_cast<unsigned>(batch), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        seq_ += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      if (Clock::now() > deadline) return false;
      pollfd pfd{test_fd_, POLLOUT, 0};
      ::poll(&pfd, 1, 20);
    }
    return true;
  }

  bool push_links(const std::vector<Bytes>& packets, std::size_t count, Clock::time_point deadline) {
    for (std::size_t sent = 0; sent < count; ++sent, ++seq_) {
      const std::size_t i = seq_ % packets.size();
      for (unsigned spins = 0;; ++spins) {
        auto r = peer_links_[i]->send_datagram(packets[i]);
        if (r) break;
        if (r.error().kind() != p2p::SendDatagramError::Kind::QueueFull) return false;
        if ((spins & 63) == 63 && Clock::now() > deadline) return false;
        std::this_thread::yield();
      }
    }
    return true;
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
  std::vector<p2p::NodePeerRef> peer_links_;  // peer -> A, inbound sources
  std::vector<p2p::NodePeerRef> bare_links_;  // A -> peer, bare loops
  std::unique_ptr<Runtime> runtime_;
  std::shared_ptr<agent::AgentInner> agent_;
  agent::NetworkMap networks_;
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
  const std::uint64_t allocs0 = g_allocs.load(), dp0 = g_dp_allocs.load();
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
  Result r{n / seconds, static_cast<double>(g_allocs.load() - allocs0) / n,
           static_cast<double>(g_dp_allocs.load() - dp0) / n, (p->runtime_cpu_seconds() - cpu0) * 1e9 / n};
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
    const std::uint64_t allocs0 = g_allocs.load(), dp0 = g_dp_allocs.load();
    bool ok = true;
    for (std::size_t done = 0; ok && done < kPackets; done += kChunk) ok = p.send(size, kChunk);
    const std::uint64_t allocs = g_allocs.load() - allocs0, dp = g_dp_allocs.load() - dp0;
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

// Node A of a 5 000-node network, its agent without a TUN device, and the
// access rules it derives (2 x 4 999 node rules).
struct RebuildWorld {
  RebuildWorld() : rt(runtime_threads(), true, "agent") {
    const auto& ids = identities(kRebuildNodes);
    fabric = std::make_shared<p2p::Fabric>(4);  // queues stay small: 10 000 of them
    node_a = fabric->add_node(ids[0]);
    const auto cfg = network_config(kRebuildNodes);
    proto = std::make_unique<network::Network>(joined_network(cfg, ids[0].pk()));
    proto->current.ip = proto->desired.ip;  // as the network interface's apply leaves it
  }
  ~RebuildWorld() { rt.stop(); }

  std::shared_ptr<agent::AgentInner> make_agent() {
    agent::AgentInner::Parts parts;
    parts.executor = rt.io.get_executor();
    parts.node = node_a;
    parts.netif = std::make_shared<agent::MobileAgentNetIf>();
    parts.router = std::make_unique<agent::MobileAgentRouter>();
    parts.firewall = std::make_shared<agent::AgentFirewall>();
    parts.tun_mtu = kMtu;
    return std::make_shared<agent::AgentInner>(std::move(parts));
  }
  agent::NetworkMap fresh_networks() const {
    agent::NetworkMap m;
    m.emplace(proto->config_url, *proto);
    return m;
  }
  std::size_t rules() const { return proto->desired.access_rules.applied->rules.size(); }

  Runtime rt;  // the peer drivers run here
  std::shared_ptr<p2p::Fabric> fabric;
  std::shared_ptr<p2p::MemoryNode> node_a;
  std::unique_ptr<network::Network> proto;
};

RebuildWorld& rebuild_world() {
  static RebuildWorld w;
  return w;
}

std::vector<std::weak_ptr<agent::NodePeerInner>> peers_of(const agent::AgentFirewall& fw) {
  std::vector<std::weak_ptr<agent::NodePeerInner>> out;
  for (const auto& [dest, inner] : *fw.transmit_trie())
    for (const auto& [source, peer] : inner) out.push_back(peer.inner());
  return out;
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
    allocs0_ = t_allocs;
    faults0_ = minor_faults();
  }
  void stop() {
    allocs_ += t_allocs - allocs0_;
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

bool all_expired(const std::vector<std::weak_ptr<agent::NodePeerInner>>& peers) {
  for (const auto& p : peers)
    if (!p.expired()) return false;
  return true;
}

// apply_desired_state on a new firewall: tries and 4 999 NodePeers created.
// Their drivers start on the runtime meanwhile ("settle_ms": until they all
// ran). Releasing a peer whose driver never ran is a use-after-free of the
// driver's cancellation state, so every release here waits for that first.
void BM_Rebuild_First(benchmark::State& state) {
  auto& w = rebuild_world();
  double release_ms = 0, settle_ms = 0, rss_mb = 0, driver_allocs = 0;
  CostWindow cost;
  for (auto _ : state) {
    state.PauseTiming();
    auto agent = w.make_agent();
    auto networks = w.fresh_networks();
    const long rss0 = rss_kib();
    const std::uint64_t dp0 = g_dp_allocs.load();
    cost.start();
    state.ResumeTiming();
    agent->firewall->apply_desired_state(agent, networks);
    state.PauseTiming();
    cost.stop();
    auto peers = peers_of(*agent->firewall);
    const auto s0 = Clock::now();
    if (!settle(w.rt.io, std::chrono::seconds(10))) {
      park(std::move(agent));
      state.SkipWithError("peer drivers did not start");
      break;
    }
    if (peers.size() != kRebuildNodes - 1) {
      state.SkipWithError("unexpected transmit trie");
      break;
    }
    settle_ms += std::chrono::duration<double, std::milli>(Clock::now() - s0).count();
    rss_mb = std::max(rss_mb, static_cast<double>(rss_kib() - rss0) / 1024.0);
    driver_allocs += static_cast<double>(g_dp_allocs.load() - dp0);
    // Release every peer and wait (bounded) until their drivers are gone.
    const auto t0 = Clock::now();
    agent.reset();
    networks.clear();
    const bool gone = wait_until([&] { return all_expired(peers); }, Clock::now() + std::chrono::seconds(10));
    release_ms += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (!gone) {
      state.SkipWithError("peer drivers did not end");
      break;
    }
    state.ResumeTiming();
  }
  state.counters["rules"] = static_cast<double>(w.rules());
  state.counters["peers"] = static_cast<double>(kRebuildNodes - 1);
  const auto n = static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
  state.counters["settle_ms"] = settle_ms / n;
  state.counters["release_ms"] = release_ms / n;
  // The largest growth, on the first pass; later ones reuse what it freed.
  state.counters["rss_growth_MiB"] = rss_mb;
  state.counters["driver_allocs"] = driver_allocs / n;  // on the runtime, until settled
  cost.report(state);
}

// update_tries again over the same rules: every peer is reused.
void BM_Rebuild_Reuse(benchmark::State& state) {
  auto& w = rebuild_world();
  auto agent = w.make_agent();
  auto networks = w.fresh_networks();
  agent->firewall->apply_desired_state(agent, networks);
  const auto before = peers_of(*agent->firewall);
  if (!settle(w.rt.io, std::chrono::seconds(10))) {
    park(std::move(agent));
    state.SkipWithError("peer drivers did not start");
    for (auto _ : state) {
    }
    return;
  }
  CostWindow cost;
  cost.start();
  for (auto _ : state) agent->firewall->update_tries(agent, networks);
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
  const auto& rules = *w.proto->desired.access_rules.applied;
  CostWindow cost;
  cost.start();
  for (auto _ : state) {
    auto tries = rules.routing_tries();
    benchmark::DoNotOptimize(tries);
  }
  cost.stop();
  cost.report(state);
  state.counters["rules"] = static_cast<double>(w.rules());
}

// --- registration and summary -----------------------------------------------------

int rounds() {
  const char* v = std::getenv("SARVOLT_BENCH_ROUNDS");
  const int n = v ? std::atoi(v) : kDefaultRounds;
  return n >= 1 && n <= 20 ? n : kDefaultRounds;
}

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
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

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
        const std::string range = fmt::format("[{:.2f}..{:.2f}]", *std::min_element(ratio.begin(), ratio.end()),
                                              *std::max_element(ratio.begin(), ratio.end()));
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
  const char* watchdog = std::getenv("SARVOLT_BENCH_WATCHDOG");
  const int seconds = watchdog ? std::atoi(watchdog) : 0;
  ::alarm(seconds >= 1 && seconds <= 3600 ? static_cast<unsigned>(seconds) : kWatchdogSeconds);
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  print_summary();
  benchmark::Shutdown();
  return 0;
}
