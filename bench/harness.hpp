// Shared pieces of the data-plane benchmarks; include it in one source per
// program (it defines the C allocation functions).
//   Allocation counting at the C level: every malloc, calloc, realloc and
//   aligned allocation (operator new and Asio's recycling allocator end up
//   there) is counted, apart for threads marked as runtime threads; live heap
//   bytes and their peak are tracked; each thread also keeps its own count.
//   Runtime: an io_context run by named threads, with their CPU time; with
//   SARVOLT_CALLGRIND_RUNTIME=1 under callgrind --collect-atstart=no, only the
//   counted runtime threads collect.
//   Sinks: drain the peers' links, or the test end of a socket pair.
//   Identities and addresses: node i has a key from a seed holding i and the
//   address 10.0.0.1 + i.
//   Summaries: median and range of a series.
//   Settings: an integer from the environment, within bounds.
#pragma once

#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sodium.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define SARVOLT_BENCH_CALLGRIND 1
#endif

#include "main.hpp"
#include "platform/p2p/fabric.hpp"
#include "platform/p2p/identity.hpp"
#include "util/ipv4.hpp"

// --- allocation counting ------------------------------------------------------

extern "C" {
void* __libc_malloc(std::size_t);
void __libc_free(void*);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
}

namespace bench {

inline std::atomic<std::uint64_t> g_allocs{0};          // every thread
inline std::atomic<std::uint64_t> g_runtime_allocs{0};  // runtime threads only
inline std::atomic<std::int64_t> g_live_bytes{0};
inline std::atomic<std::int64_t> g_peak_bytes{0};
inline thread_local bool t_runtime_thread = false;
inline thread_local std::uint64_t t_allocs = 0;  // this thread's

inline void note_alloc(void* p) noexcept {
  if (!p) return;
  ++t_allocs;
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (t_runtime_thread) g_runtime_allocs.fetch_add(1, std::memory_order_relaxed);
  const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
  const std::int64_t live = g_live_bytes.fetch_add(size, std::memory_order_relaxed) + size;
  std::int64_t peak = g_peak_bytes.load(std::memory_order_relaxed);
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

inline void note_free(void* p) noexcept {
  if (p) g_live_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

// Starts a new peak from the bytes live now.
inline void reset_peak() noexcept { g_peak_bytes.store(g_live_bytes.load()); }

}  // namespace bench

extern "C" {
void* malloc(std::size_t n) {
  void* p = __libc_malloc(n);
  bench::note_alloc(p);
  return p;
}
void free(void* p) {
  bench::note_free(p);
  __libc_free(p);
}
void* calloc(std::size_t n, std::size_t size) {
  void* p = __libc_calloc(n, size);
  bench::note_alloc(p);
  return p;
}
void* realloc(void* old, std::size_t n) {
  bench::note_free(old);
  void* p = __libc_realloc(old, n);
  if (p) {
    bench::note_alloc(p);
  } else if (old && n != 0) {
    // Failed: the old block stays.
    bench::g_live_bytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(old)));
  }
  return p;
}
void* memalign(std::size_t align, std::size_t n) {
  void* p = __libc_memalign(align, n);
  bench::note_alloc(p);
  return p;
}
void* aligned_alloc(std::size_t align, std::size_t n) { return memalign(align, n); }
int posix_memalign(void** out, std::size_t align, std::size_t n) {
  void* p = memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}

namespace bench {

using Clock = std::chrono::steady_clock;

// Writes `count` packets into `fd` (a datagram socket) in batches of 64 with
// sendmmsg, cycling through `packets` from `seq` (advanced as they go);
// waits for room until `deadline`. False on an error or at the deadline.
inline bool send_cycling(int fd, const std::vector<std::vector<std::uint8_t>>& packets, std::size_t& seq,
                         std::size_t count, Clock::time_point deadline) {
  constexpr std::size_t kBatch = 64;
  std::array<iovec, kBatch> iov;
  std::array<mmsghdr, kBatch> msgs;
  for (std::size_t sent = 0; sent < count;) {
    const std::size_t batch = std::min(kBatch, count - sent);
    for (std::size_t j = 0; j < batch; ++j) {
      const auto& p = packets[(seq + j) % packets.size()];
      iov[j] = {const_cast<std::uint8_t*>(p.data()), p.size()};
      msgs[j] = {};
      msgs[j].msg_hdr.msg_iov = &iov[j];
      msgs[j].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::sendmmsg(fd, msgs.data(), static_cast<unsigned>(batch), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      seq += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() > deadline) return false;
    pollfd pfd{fd, POLLOUT, 0};
    ::poll(&pfd, 1, 20);
  }
  return true;
}

// Sends `count` datagrams over `links` (link i carries packets[i]), cycling
// from `seq`; a full queue is retried until `deadline`. False on another
// error or at the deadline.
template <class Links>
bool send_links_cycling(const Links& links, const std::vector<std::vector<std::uint8_t>>& packets, std::size_t& seq,
                        std::size_t count, Clock::time_point deadline) {
  for (std::size_t sent = 0; sent < count; ++sent, ++seq) {
    const std::size_t i = seq % packets.size();
    for (unsigned spins = 0;; ++spins) {
      auto r = links[i]->send_datagram(packets[i]);
      if (r) break;
      if (r.error().kind() != sarvolt::p2p::SendDatagramError::Kind::QueueFull) return false;
      if ((spins & 63) == 63 && Clock::now() > deadline) return false;
      std::this_thread::yield();
    }
  }
  return true;
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

// An io_context run by `threads` named threads; their allocations count as
// runtime allocations when `counted`.
class Runtime {
 public:
  Runtime(int threads, bool counted, const char* name) : work_(boost::asio::make_work_guard(io)) {
    for (int i = 0; i < threads; ++i)
      threads_.emplace_back([this, counted, name] {
        ::pthread_setname_np(::pthread_self(), name);
        t_runtime_thread = counted;
#ifdef SARVOLT_BENCH_CALLGRIND
        static const bool runtime_only = std::getenv("SARVOLT_CALLGRIND_RUNTIME") != nullptr;
        if (counted && runtime_only) CALLGRIND_TOGGLE_COLLECT;
#endif
        io.run();
      });
  }
  ~Runtime() { stop(); }
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

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

  boost::asio::io_context io;

 private:
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

// --- sinks --------------------------------------------------------------------

// Reads every peer's queue of datagrams from `from` on its own thread.
class PeerSink {
 public:
  PeerSink(const std::vector<std::shared_ptr<sarvolt::p2p::MemoryNode>>& nodes, const sarvolt::p2p::PubKey& from)
      : rt_(1, false, "peer-sink") {
    for (const auto& n : nodes) links_.push_back(n->initiate(from).value());
    loops_ = links_.size();
    for (std::size_t i = 0; i < loops_; ++i) boost::asio::co_spawn(rt_.io, read_loop(i), boost::asio::detached);
  }
  ~PeerSink() {
    boost::asio::post(rt_.io, [this] {
      stopping_ = true;
      links_.clear();  // ends the pending reads
    });
    wait_until([this] { return ended_.load() == loops_; }, Clock::now() + std::chrono::seconds(2));
    rt_.stop();
  }
  PeerSink(const PeerSink&) = delete;
  PeerSink& operator=(const PeerSink&) = delete;
  std::uint64_t received() const { return received_.load(std::memory_order_acquire); }

 private:
  // Holds no link across a wait: the links go on this thread while it waits.
  boost::asio::awaitable<void> read_loop(std::size_t i) {
    std::vector<sarvolt::p2p::Datagram> slots(128);
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
  std::vector<sarvolt::p2p::NodePeerRef> links_;
  bool stopping_ = false;  // sink thread only
  std::size_t loops_ = 0;
  std::atomic<std::size_t> ended_{0};
  std::atomic<std::uint64_t> received_{0};
};

// Reads the test end of a socket pair on its own thread, 64 packets a call.
class TunSink {
 public:
  explicit TunSink(int fd) : thread_([this, fd] { run(fd); }) {}
  ~TunSink() {
    stop_ = true;
    thread_.join();
  }
  TunSink(const TunSink&) = delete;
  TunSink& operator=(const TunSink&) = delete;
  std::uint64_t received() const { return received_.load(std::memory_order_acquire); }

 private:
  void run(int fd) {
    ::pthread_setname_np(::pthread_self(), "tun-sink");
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

// --- identities and addresses -------------------------------------------------

inline sarvolt::p2p::Identity identity_for(std::uint32_t i) {
  std::array<unsigned char, 32> seed;
  seed.fill(0x5A);
  std::memcpy(seed.data(), &i, sizeof i);
  std::array<unsigned char, 32> pk;
  std::array<std::uint8_t, 64> sk;
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  return sarvolt::p2p::Identity(sarvolt::p2p::SecKey(sk), sarvolt::p2p::Pow(0));
}

inline const std::vector<sarvolt::p2p::Identity>& identities(std::size_t n) {
  static std::vector<sarvolt::p2p::Identity> ids;
  if (sodium_init() < 0) throw std::runtime_error("sodium_init");
  while (ids.size() < n) ids.push_back(identity_for(static_cast<std::uint32_t>(ids.size())));
  return ids;
}

inline sarvolt::util::Ipv4Addr address_of(std::size_t i) {
  return sarvolt::util::Ipv4Addr(static_cast<std::uint32_t>((10u << 24) + 1u + i));
}

// --- summaries ----------------------------------------------------------------

struct Summary {
  double median = 0, min = 0, max = 0;
};

inline Summary summarise(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

// --- settings -----------------------------------------------------------------

// The integer in environment variable `name`, or `fallback` when it is unset
// or outside [lo, hi].
inline int env_int(const char* name, int fallback, int lo, int hi) {
  const char* v = std::getenv(name);
  const int n = v ? std::atoi(v) : fallback;
  return n >= lo && n <= hi ? n : fallback;
}

// Packet sizes from SARVOLT_BENCH_SIZES ("64,1400"; 28 to 1400 each), else
// from `fallback`; 64 when neither names one.
inline std::vector<std::size_t> packet_sizes(const char* fallback) {
  std::vector<std::size_t> out;
  const char* v = std::getenv("SARVOLT_BENCH_SIZES");
  const std::string text = v ? v : fallback;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t comma = std::min(text.find(',', pos), text.size());
    const int n = std::atoi(text.substr(pos, comma - pos).c_str());
    if (n >= 28 && n <= 1400) out.push_back(static_cast<std::size_t>(n));
    pos = comma + 1;
  }
  if (out.empty()) out.push_back(64);
  return out;
}

}  // namespace bench
