#pragma once
// Holds one registered waiter of a queue; unregisters however the wait ends.

#include <cstddef>
#include <mutex>

namespace sarvolt::p2p {

class WaiterGuard {
 public:
  WaiterGuard(std::mutex& mutex, std::size_t& waiters) : mutex_(mutex), waiters_(waiters) {}
  ~WaiterGuard() {
    std::lock_guard lock(mutex_);
    --waiters_;
  }
  WaiterGuard(const WaiterGuard&) = delete;
  WaiterGuard& operator=(const WaiterGuard&) = delete;

 private:
  std::mutex& mutex_;
  std::size_t& waiters_;
};

}  // namespace sarvolt::p2p
