#include "util/rwlock.hpp"

#include <algorithm>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace sarvolt::util {

namespace asio = boost::asio;

struct RwLockCore::Waiter {
  Waiter(const asio::any_io_executor& ex, bool w) : write(w), wake(ex, 1) {}
  const bool write;
  bool granted = false;  // under the lock's mutex
  asio::experimental::concurrent_channel<void(boost::system::error_code)> wake;
};

asio::awaitable<void> RwLockCore::acquire(bool write) {
  std::shared_ptr<Waiter> me;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
      if (write && !writer_ && readers_ == 0) {
        writer_ = true;
        co_return;
      }
      if (!write && !writer_) {
        ++readers_;
        co_return;
      }
    }
    me = std::make_shared<Waiter>(co_await asio::this_coro::executor, write);
    queue_.push_back(me);
  }
  auto [ec] = co_await me->wake.async_receive(asio::as_tuple(asio::use_awaitable));
  if (!ec) co_return;
  // Cancelled: leave the queue, or give back what was granted meanwhile.
  bool granted;
  {
    std::lock_guard lock(mutex_);
    granted = me->granted;
    if (!granted) std::erase(queue_, me);
  }
  if (granted) {
    release(write);
  } else {
    // A reader behind a departed writer may now go first.
    std::vector<std::shared_ptr<Waiter>> woken;
    {
      std::lock_guard lock(mutex_);
      grant_locked(woken);
    }
    for (auto& w : woken) (void)w->wake.try_send(boost::system::error_code{});
  }
  throw boost::system::system_error(ec);
}

void RwLockCore::release(bool write) {
  std::vector<std::shared_ptr<Waiter>> woken;
  {
    std::lock_guard lock(mutex_);
    if (write)
      writer_ = false;
    else
      --readers_;
    grant_locked(woken);
  }
  for (auto& w : woken) (void)w->wake.try_send(boost::system::error_code{});
}

void RwLockCore::grant_locked(std::vector<std::shared_ptr<Waiter>>& woken) {
  while (!queue_.empty() && !writer_) {
    auto& next = queue_.front();
    if (next->write) {
      if (readers_ > 0) return;
      writer_ = true;
    } else {
      ++readers_;
    }
    next->granted = true;
    woken.push_back(std::move(next));
    queue_.pop_front();
    if (writer_) return;
  }
}

}  // namespace sarvolt::util
