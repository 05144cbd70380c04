// Overlay transport over UDP on 127.0.0.1, each figure beside a bare loop
// over plain sockets in the same run:
//   Direct     node A -> node B over the direct path (after the super peer's
//              UNITE), datagrams of 64 and 1400 bytes, sealed (a node that
//              does not seal proves nothing and takes no direct path);
//              B's link is read by a coroutine. Bare: sendto() on one socket,
//              recv() on another, in two threads.
//   Relay      datagrams of 64 and 1400 bytes from client A through the super
//              peer's relay code (RelayServer) to client B. Bare: a thread
//              that recvfrom()s and sendto()s each datagram to B.
//   Allocs     heap allocations per datagram on the steady path (send_datagram
//              and read_datagrams of a sealed direct link, every thread
//              counted through a replaced operator new).
// The sender sends windows of kWindow datagrams and waits until the receiver
// has them all (or kWindowWait passed: a loss), so the figure is delivered
// datagrams per second; every wait is bounded.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "platform/p2p/relay_server.hpp"
#include "platform/p2p/udp_node.hpp"
#include "platform/p2p/wire.hpp"

namespace {
std::atomic<std::uint64_t> g_allocs{0};
void* counted(std::size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* counted(std::size_t n, std::align_val_t al) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  const auto a = static_cast<std::size_t>(al);
  if (void* p = std::aligned_alloc(a, (n + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void* operator new(std::size_t n, std::align_val_t al) { return counted(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) { return counted(n, al); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
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
using udp = asio::ip::udp;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kPerIteration = 20000;
constexpr std::size_t kWindow = 64;
constexpr auto kWindowWait = 20ms;

const udp::endpoint kLoopback(asio::ip::make_address("127.0.0.1"), 0);

// Sends `total` datagrams in windows; returns how many arrived.
template <class Send>
std::uint64_t pump(std::size_t total, Send&& send, const std::atomic<std::uint64_t>& received) {
  const std::uint64_t base = received.load();
  std::uint64_t sent = 0;
  while (sent < total) {
    const std::size_t w = std::min(kWindow, total - sent);
    for (std::size_t i = 0; i < w; ++i) {
      for (int tries = 0; !send() && tries < 10000; ++tries) std::this_thread::yield();
    }
    sent += w;
    const auto deadline = Clock::now() + kWindowWait;
    while (received.load(std::memory_order_acquire) - base < sent && Clock::now() < deadline) std::this_thread::yield();
  }
  return received.load() - base;
}

struct Runtime {
  explicit Runtime(int threads = 2) : guard(io.get_executor()) {
    for (int i = 0; i < threads; ++i) pool.emplace_back([this] { io.run(); });
  }
  ~Runtime() {
    guard.reset();
    io.stop();
    for (auto& t : pool) t.join();
  }
  template <class T>
  T run(asio::awaitable<T> a) {
    auto f = asio::co_spawn(io, std::move(a), asio::use_future);
    if (f.wait_for(15s) != std::future_status::ready) throw std::runtime_error("timed out");
    return f.get();
  }
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> guard;
  std::vector<std::thread> pool;
};

// A RelayServer on its own thread.
struct SuperPeer {
  explicit SuperPeer(std::uint8_t min_pow)
      : id(p2p::Identity::generate(0).value()), server(io.get_executor(), id, options(min_pow), kLoopback) {
    asio::co_spawn(io, server.run(), asio::detached);
    thread = std::thread([this] { io.run(); });
  }
  ~SuperPeer() {
    server.stop();
    thread.join();
  }
  static p2p::RelayOptions options(std::uint8_t min_pow) {
    p2p::RelayOptions o;
    o.min_pow_difficulty = min_pow;
    return o;
  }
  p2p::SuperPeerUrl url() const {
    return p2p::SuperPeerUrl::parse(fmt::format("udp://127.0.0.1:{}?publicKey={}&networkId=1",
                                                server.local_endpoint().port(), id.pk()))
        .value();
  }
  asio::io_context io;
  p2p::Identity id;
  p2p::RelayServer server;
  std::thread thread;
};

// Two nodes joined by a direct path; B's link is drained by a coroutine.
struct NodePair {
  explicit NodePair(bool armed) : sp(0) {
    auto opts = [&] {
      return p2p::NodeOptsBuilder()
          .identity(p2p::Identity::generate(0).value())
          .super_peers({sp.url()})
          .udp_addrs({asio::ip::make_address("127.0.0.1")})
          .udp_port(0)
          .min_pow_difficulty(0)
          .arm_messages(armed)
          .housekeeping_interval(20000)  // no housekeeping during a run
          .build()
          .value();
    };
    a = rt.run(p2p::UdpNode::bind(opts())).value();
    b = rt.run(p2p::UdpNode::bind(opts())).value();
    ab = a->initiate(b->identity().pk()).value();
    ba = b->initiate(a->identity().pk()).value();
    asio::co_spawn(reader_strand, drain(ba, received), asio::bind_cancellation_slot(stop.slot(), [this](auto) {
                     done.store(true);
                   }));
    const Bytes big(300, 1);
    const auto end = Clock::now() + 10s;
    while (Clock::now() < end) {
      (void)ab->send_datagram(big);
      const auto s = ab->stats();
      if (!s.direct_path_order.empty() &&
          p2p::PeerPath::is_reachable(s.direct_paths.at(s.direct_path_order[0]), Clock::now(), 30000)) {
        direct = true;
        break;
      }
      std::this_thread::sleep_for(2ms);
    }
    std::this_thread::sleep_for(50ms);  // let the set-up datagrams drain
  }
  ~NodePair() {
    asio::post(reader_strand, [this] { stop.emit(asio::cancellation_type::terminal); });
    for (int i = 0; i < 500 && !done.load(); ++i) std::this_thread::sleep_for(10ms);
    rt.run(a->shutdown());
    rt.run(b->shutdown());
  }
  static asio::awaitable<void> drain(p2p::NodePeerRef link, std::atomic<std::uint64_t>& count) {
    std::vector<p2p::Datagram> slots(64);
    for (;;) count.fetch_add(co_await link->read_datagrams(slots), std::memory_order_release);
  }

  SuperPeer sp;
  Runtime rt;
  std::shared_ptr<p2p::UdpNode> a, b;
  p2p::NodePeerRef ab, ba;
  asio::strand<asio::io_context::executor_type> reader_strand{asio::make_strand(rt.io)};
  asio::cancellation_signal stop;
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> received{0};
  bool direct = false;
};

// A UDP socket on 127.0.0.1 with a 100 ms receive timeout.
struct Sock {
  Sock() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    ::bind(fd, kLoopback.data(), static_cast<socklen_t>(kLoopback.size()));
    timeval tv{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    socklen_t len = static_cast<socklen_t>(ep.capacity());
    ::getsockname(fd, ep.data(), &len);
    ep.resize(len);
  }
  ~Sock() { ::close(fd); }
  bool send_to(const udp::endpoint& to, std::span<const std::uint8_t> d) const {
    return ::sendto(fd, d.data(), d.size(), 0, to.data(), static_cast<socklen_t>(to.size())) ==
           static_cast<ssize_t>(d.size());
  }
  int fd;
  udp::endpoint ep;
};

// Counts datagrams of `size` bytes arriving at `s` until stopped.
struct Counter {
  Counter(const Sock& s, std::size_t size) : thread([this, &s, size] {
    std::vector<std::uint8_t> buf(65536);
    while (!stop.load()) {
      const ssize_t n = ::recv(s.fd, buf.data(), buf.size(), 0);
      if (n == static_cast<ssize_t>(size)) received.fetch_add(1, std::memory_order_release);
    }
  }) {}
  ~Counter() {
    stop.store(true);
    thread.join();
  }
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> stop{false};
  std::thread thread;
};

void add_stats(benchmark::internal::Benchmark* b) {
  b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
  b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
  b->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
}

void finish(benchmark::State& state, std::uint64_t delivered, std::uint64_t sent) {
  state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
  state.counters["lost"] = static_cast<double>(sent) - static_cast<double>(delivered);
}

// --- (a) direct path ---------------------------------------------------------

void BM_Direct_Node(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  NodePair pair(state.range(1) != 0);
  if (!pair.direct) return state.SkipWithError("no direct path");
  const Bytes payload(size, 0x42);
  std::uint64_t delivered = 0, sent = 0;
  for (auto _ : state) {
    delivered += pump(kPerIteration, [&] { return static_cast<bool>(pair.ab->send_datagram(payload)); },
                      pair.received);
    sent += kPerIteration;
  }
  finish(state, delivered, sent);
}
BENCHMARK(BM_Direct_Node)->ArgNames({"bytes", "sealed"})->ArgsProduct({{64, 1400}, {1}})->Apply(add_stats);

void BM_Direct_BareUdp(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  Sock tx, rx;
  Counter counter(rx, size);
  const Bytes payload(size, 0x42);
  std::uint64_t delivered = 0, sent = 0;
  for (auto _ : state) {
    delivered += pump(kPerIteration, [&] { return tx.send_to(rx.ep, payload); }, counter.received);
    sent += kPerIteration;
  }
  finish(state, delivered, sent);
}
BENCHMARK(BM_Direct_BareUdp)->ArgNames({"bytes"})->Arg(64)->Arg(1400)->Apply(add_stats);

// --- (b) relay ---------------------------------------------------------------

Bytes hello_for(const p2p::Identity& id, const p2p::PubKey& sp) {
  std::array<std::uint8_t, p2p::wire::kHelloBodySize> body{};
  p2p::wire::encode_hello(body, {p2p::wire::kProtocolVersion, id.pow(), 1, 0, 1});
  Bytes d(256);
  d.resize(p2p::wire::encode(d, p2p::wire::Type::Hello, sp, {id.pk()}, body, nullptr));
  return d;
}

void BM_Relay_Server(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  SuperPeer sp(0);
  const auto sp_ep = sp.server.local_endpoint();
  const auto ida = p2p::Identity::generate(0).value(), idb = p2p::Identity::generate(0).value();
  Sock a, b;
  a.send_to(sp_ep, hello_for(ida, sp.id.pk()));
  b.send_to(sp_ep, hello_for(idb, sp.id.pk()));
  std::this_thread::sleep_for(50ms);
  Bytes d(p2p::wire::kMaxDatagramSize);
  d.resize(p2p::wire::encode(d, p2p::wire::Type::App, idb.pk(), {ida.pk(), true, 1}, Bytes(size, 7), nullptr));
  Counter counter(b, d.size());
  std::uint64_t delivered = 0, sent = 0;
  for (auto _ : state) {
    delivered += pump(kPerIteration, [&] { return a.send_to(sp_ep, d); }, counter.received);
    sent += kPerIteration;
  }
  finish(state, delivered, sent);
}
BENCHMARK(BM_Relay_Server)->ArgNames({"bytes"})->Arg(64)->Arg(1400)->Apply(add_stats);

void BM_Relay_BareForwarder(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  Sock a, fwd, b;
  const Bytes d(p2p::wire::encoded_size(true, false, size), 7);
  std::atomic<bool> stop{false};
  std::thread forwarder([&] {
    std::vector<std::uint8_t> buf(65536);
    while (!stop.load()) {
      const ssize_t n = ::recv(fwd.fd, buf.data(), buf.size(), 0);
      if (n > 0) fwd.send_to(b.ep, {buf.data(), static_cast<std::size_t>(n)});
    }
  });
  Counter counter(b, d.size());
  std::uint64_t delivered = 0, sent = 0;
  for (auto _ : state) {
    delivered += pump(kPerIteration, [&] { return a.send_to(fwd.ep, d); }, counter.received);
    sent += kPerIteration;
  }
  stop.store(true);
  forwarder.join();
  finish(state, delivered, sent);
}
BENCHMARK(BM_Relay_BareForwarder)->ArgNames({"bytes"})->Arg(64)->Arg(1400)->Apply(add_stats);

// --- (c) allocations ---------------------------------------------------------

void BM_SteadyPath_Allocs(benchmark::State& state) {
  NodePair pair(true);
  if (!pair.direct) return state.SkipWithError("no direct path");
  const Bytes payload(1400, 0x42);
  auto send = [&] { return static_cast<bool>(pair.ab->send_datagram(payload)); };
  pump(2048, send, pair.received);  // warm-up: every receive slot, frames, buffers
  std::uint64_t allocs = 0, delivered = 0;
  for (auto _ : state) {
    const auto before = g_allocs.load();
    delivered += pump(kPerIteration, send, pair.received);
    allocs += g_allocs.load() - before;
  }
  state.counters["allocs_per_datagram"] = static_cast<double>(allocs) / static_cast<double>(std::max<std::uint64_t>(delivered, 1));
  state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
}
BENCHMARK(BM_SteadyPath_Allocs)->Apply(add_stats);

}  // namespace

BENCHMARK_MAIN();
