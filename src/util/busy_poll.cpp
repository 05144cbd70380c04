#include "util/busy_poll.hpp"

#include <poll.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace sarvolt::util::busy_poll {

namespace {

struct Entry {
  const PollSource* id = nullptr;
  std::weak_ptr<PollSource> source;
  int fd = -1;
};

struct Table {
  std::mutex mutex;
  std::array<Entry, kMaxSources> entries;  // under mutex
  std::atomic<std::uint64_t> generation{0};  // bumped on every change
};

Table& table() {
  static Table t;
  return t;
}

// The source polled on `fd`, if it is still there.
std::shared_ptr<PollSource> source_on(int fd) {
  auto& t = table();
  std::lock_guard lock(t.mutex);
  for (const auto& e : t.entries)
    if (e.id && e.fd == fd) return e.source.lock();
  return nullptr;
}

}  // namespace

bool add(std::weak_ptr<PollSource> source, const PollSource* id) {
  auto& t = table();
  std::lock_guard lock(t.mutex);
  for (auto& e : t.entries) {
    if (e.id) continue;
    e = Entry{id, std::move(source), id->poll_fd()};
    t.generation.fetch_add(1, std::memory_order_release);
    return true;
  }
  return false;
}

void remove(const PollSource* id) noexcept {
  auto& t = table();
  std::weak_ptr<PollSource> gone;  // released outside the lock
  std::lock_guard lock(t.mutex);
  for (auto& e : t.entries) {
    if (e.id != id) continue;
    gone = std::move(e.source);
    e = Entry{};
    t.generation.fetch_add(1, std::memory_order_release);
  }
}

SpinEnd spin(int own, std::chrono::nanoseconds window, std::chrono::nanoseconds limit) {
  using Clock = std::chrono::steady_clock;
  auto& t = table();
  std::array<pollfd, 1 + kMaxSources> fds;
  std::uint64_t seen = ~std::uint64_t{0};
  std::size_t count = 1;
  const auto start = Clock::now();
  auto last = start;
  bool woke = false;
  for (;;) {
    if (const auto g = t.generation.load(std::memory_order_acquire); g != seen) {
      std::lock_guard lock(t.mutex);
      seen = t.generation.load(std::memory_order_relaxed);
      count = 1;
      for (const auto& e : t.entries)
        if (e.id) fds[count++].fd = e.fd;
    }
    fds[0].fd = own;
    for (std::size_t i = 0; i < count; ++i) fds[i].events = POLLIN, fds[i].revents = 0;
    const int ready = ::poll(fds.data(), count, 0);
    if (ready < 0 && errno != EINTR) return SpinEnd::missed;
    if (ready > 0) {
      if (fds[0].revents) return SpinEnd::readable;
      for (std::size_t i = 1; i < count; ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        if (auto s = source_on(fds[i].fd); s && s->poll_wake()) {
          woke = true;
          last = Clock::now();
        }
      }
    }
    const auto now = Clock::now();
    if (now - last >= window || now - start >= limit) return woke ? SpinEnd::woke : SpinEnd::missed;
  }
}

}  // namespace sarvolt::util::busy_poll
