// block_on: runs an awaitable on an io_context from a thread outside it and
// waits for its result (or rethrows what it threw). Works for results that
// are not default-constructible. Never call it from a thread of that
// io_context: it would wait for itself.
#pragma once

#include <exception>
#include <future>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

namespace sarvolt::util {

template <class Executor, class T>
T block_on(const Executor& ex, boost::asio::awaitable<T> task) {
  std::promise<T> promise;
  auto future = promise.get_future();
  boost::asio::co_spawn(
      ex,
      [](boost::asio::awaitable<T> t, std::promise<T>& p) -> boost::asio::awaitable<void> {
        try {
          if constexpr (std::is_void_v<T>) {
            co_await std::move(t);
            p.set_value();
          } else {
            p.set_value(co_await std::move(t));
          }
        } catch (...) {
          p.set_exception(std::current_exception());
        }
      }(std::move(task), promise),
      boost::asio::detached);
  return future.get();
}

}  // namespace sarvolt::util
