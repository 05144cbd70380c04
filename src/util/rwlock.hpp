// AsyncRwLock<T>: a value behind a read-write lock for coroutines. Waiting
// never blocks a thread; waiters are served in arrival order (a reader that
// arrives after a waiting writer waits for it), consecutive readers together.
//   co_await lock.read()   a guard giving const access; shared with readers
//   co_await lock.write()  a guard giving mutable access; exclusive
// Guards release when destroyed. A wait that is cancelled leaves the queue.
#pragma once

#include <deque>
#include <type_traits>
#include <vector>
#include <memory>
#include <mutex>
#include <utility>

#include <boost/asio/awaitable.hpp>

namespace sarvolt::util {

class RwLockCore {
 public:
  RwLockCore() = default;
  RwLockCore(const RwLockCore&) = delete;
  RwLockCore& operator=(const RwLockCore&) = delete;

  boost::asio::awaitable<void> acquire(bool write);
  void release(bool write);

 private:
  struct Waiter;
  // Under mutex_: hands the lock to the waiters at the front that can have it.
  void grant_locked(std::vector<std::shared_ptr<Waiter>>& woken);

  std::mutex mutex_;
  std::size_t readers_ = 0;
  bool writer_ = false;
  std::deque<std::shared_ptr<Waiter>> queue_;
};

template <class T>
class AsyncRwLock {
 public:
  template <class Access>
  class Guard {
   public:
    Guard(Guard&& o) noexcept : lock_(std::exchange(o.lock_, nullptr)) {}
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (lock_) lock_->core_.release(kWrite);
    }
    Access& operator*() const noexcept { return lock_->value_; }
    Access* operator->() const noexcept { return &lock_->value_; }

   private:
    friend class AsyncRwLock;
    static constexpr bool kWrite = !std::is_const_v<Access>;
    explicit Guard(AsyncRwLock* lock) : lock_(lock) {}
    AsyncRwLock* lock_;
  };
  using ReadGuard = Guard<const T>;
  using WriteGuard = Guard<T>;

  template <class... Args>
  explicit AsyncRwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}

  boost::asio::awaitable<ReadGuard> read() {
    co_await core_.acquire(false);
    co_return ReadGuard(this);
  }
  boost::asio::awaitable<WriteGuard> write() {
    co_await core_.acquire(true);
    co_return WriteGuard(this);
  }

 private:
  RwLockCore core_;
  T value_;
};

}  // namespace sarvolt::util
