// cancellable(token, task): awaits `task` on a strand of its own and turns a
// cancellation of `token` into Asio's terminal cancellation of it, so that
// the operation the task waits on (a timer, a channel, an HTTP request)
// completes with operation_aborted at once. The result is the task's, or
// none when the token was cancelled by the time the task ended (whatever it
// ended with). Other failures of the task are passed on.
#pragma once

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "util/cancellation_token.hpp"

namespace sarvolt::util {

namespace detail {

// Runs on `strand`: the slot is connected and signalled only there.
template <class T>
boost::asio::awaitable<std::optional<T>> cancellable_on(boost::asio::strand<boost::asio::any_io_executor> strand,
                                                        CancellationToken token, boost::asio::awaitable<T> task) {
  namespace asio = boost::asio;
  auto signal = std::make_shared<asio::cancellation_signal>();
  const auto registration = token.subscribe(
      [strand, signal] { asio::post(strand, [signal] { signal->emit(asio::cancellation_type::terminal); }); });
  try {
    auto result = co_await asio::co_spawn(strand, std::move(task),
                                          asio::bind_cancellation_slot(signal->slot(), asio::use_awaitable));
    if (token.is_cancelled()) co_return std::nullopt;
    co_return std::optional<T>(std::move(result));
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted || !token.is_cancelled()) throw;
  }
  co_return std::nullopt;
}

}  // namespace detail

template <class T>
  requires(!std::is_void_v<T>)
boost::asio::awaitable<std::optional<T>> cancellable(CancellationToken token, boost::asio::awaitable<T> task) {
  namespace asio = boost::asio;
  if (token.is_cancelled()) co_return std::nullopt;
  auto strand = asio::make_strand(co_await asio::this_coro::executor);
  co_return co_await asio::co_spawn(strand, detail::cancellable_on<T>(strand, std::move(token), std::move(task)),
                                    asio::use_awaitable);
}

}  // namespace sarvolt::util
