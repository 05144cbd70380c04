// WakeSignal: the wake-up of one waiting task, kept as a spare when nobody
// waits, and closable. The waiter's handler is parked in place (no heap).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/channel_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

#include "util/parked_handler.hpp"

namespace sarvolt::util {

// `Size`: room for the waiter's handler. `kEarly`: how a wait that ends at
// once (a spare signal, or closed) completes, after its initiation.
template <std::size_t Size, Completion kEarly>
class WakeSignal {
 public:
  WakeSignal() = default;
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // Waits for the next wake-up; completes with channel_closed once closed,
  // operation_aborted when cancelled. One waiter at a time.
  auto wait() {
    auto token = boost::asio::as_tuple(boost::asio::use_awaitable);
    return boost::asio::async_initiate<decltype(token), void(boost::system::error_code)>(
        [self = this](auto handler) { self->park(std::move(handler)); }, token);
  }

  // Completes the parked wait `how`, or leaves a spare signal for the next.
  void signal(Completion how) {
    ParkedHandler<Size> h;
    {
      std::lock_guard lock(mutex_);
      if (!parked_) {
        spare_ = true;
        return;
      }
      h = std::move(parked_);
    }
    h.complete({}, how);
  }

  // Ends the pending wait and every later one.
  void close() {
    ParkedHandler<Size> h;
    {
      std::lock_guard lock(mutex_);
      closed_.store(true, std::memory_order_release);
      h = std::move(parked_);
    }
    h.complete(boost::asio::experimental::error::channel_closed, Completion::post);
  }
  bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire); }

 private:
  // Ends the parked wait of generation `gen` with operation_aborted.
  struct Cancel {
    WakeSignal* self;  // alive while its waiter waits
    std::uint64_t gen;
    void operator()(boost::asio::cancellation_type type) const {
      using C = boost::asio::cancellation_type;
      if ((type & (C::terminal | C::partial | C::total)) == C::none) return;
      ParkedHandler<Size> h;
      {
        std::lock_guard lock(self->mutex_);
        if (!self->parked_ || self->generation_ != gen) return;
        h = std::move(self->parked_);
      }
      h.complete(boost::asio::error::operation_aborted, Completion::post);
    }
  };

  template <class Handler>
  void park(Handler handler) {
    boost::system::error_code ec;
    {
      std::lock_guard lock(mutex_);
      if (closed_.load(std::memory_order_relaxed)) {
        ec = boost::asio::experimental::error::channel_closed;
      } else if (spare_) {
        spare_ = false;
      } else {
        auto slot = boost::asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.template emplace<Cancel>(Cancel{this, ++generation_});
        parked_.emplace(std::move(handler));
        return;
      }
    }
    // Not from inside the initiation: the handler runs after it.
    ParkedHandler<Size> h;
    h.emplace(std::move(handler));
    h.complete(ec, kEarly);
  }

  std::mutex mutex_;
  ParkedHandler<Size> parked_;  // under mutex_
  bool spare_ = false;  // under mutex_
  std::uint64_t generation_ = 0;  // under mutex_
  std::atomic<bool> closed_{false};
};

}  // namespace sarvolt::util
