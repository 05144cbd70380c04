// util::Published<T>: a shared pointer one side replaces while others read
// it (snapshots of tries, catalogs, the TUN device). A plain lock around the
// pointer: readers copy it once per batch, and thread checkers understand it,
// which they do not for the standard library's atomic shared pointer (its
// readers unlock with relaxed order). The memory-order arguments are accepted
// for the same call shape and ignored: the lock orders everything.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace sarvolt::util {

template <class T>
class Published {
 public:
  Published() = default;
  explicit Published(std::shared_ptr<T> value) : value_(std::move(value)) {}

  std::shared_ptr<T> load(std::memory_order = std::memory_order_seq_cst) const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  // The value replaced is released after the lock.
  void store(std::shared_ptr<T> value, std::memory_order = std::memory_order_seq_cst) {
    std::lock_guard lock(mutex_);
    value_.swap(value);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;
};

}  // namespace sarvolt::util
