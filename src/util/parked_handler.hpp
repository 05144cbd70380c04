// ParkedHandler: a waiting operation's completion handler, void(error_code),
// held in place (no heap) until it is completed or dropped.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include <boost/asio/append.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/system/error_code.hpp>

namespace sarvolt::util {

// How a parked handler is run on its executor.
enum class Completion { post, defer, dispatch };

namespace parked_detail {

// The handler alone.
template <class Handler, bool TrackWork>
struct Holder {
  explicit Holder(Handler&& h) : handler(std::move(h)) {}
  Handler handler;
};

// The handler and the work it keeps on its executor.
template <class Handler>
struct Holder<Handler, true> {
  using Work = std::decay_t<decltype(boost::asio::prefer(boost::asio::get_associated_executor(std::declval<Handler&>()),
                                                         boost::asio::execution::outstanding_work.tracked))>;
  explicit Holder(Handler&& h)
      : handler(std::move(h)),
        work(boost::asio::prefer(boost::asio::get_associated_executor(handler),
                                 boost::asio::execution::outstanding_work.tracked)) {}
  Handler handler;
  Work work;
};

}  // namespace parked_detail

// Holds one handler in `Size` bytes. With `TrackWork`, the handler keeps
// work on its executor while parked (its io_context's run() does not return).
// Not thread-safe: the owner locks.
template <std::size_t Size, bool TrackWork = true>
class ParkedHandler {
 public:
  static constexpr std::size_t kSize = Size;

  ParkedHandler() = default;
  ParkedHandler(ParkedHandler&& other) noexcept { take(other); }
  ParkedHandler& operator=(ParkedHandler&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  ~ParkedHandler() { reset(); }

  explicit operator bool() const noexcept { return ops_ != nullptr; }

  // Parks `handler`, dropping one parked before.
  template <class Handler>
  void emplace(Handler&& handler) {
    using Held = parked_detail::Holder<std::decay_t<Handler>, TrackWork>;
    static_assert(sizeof(Held) <= Size, "handler does not fit");
    static_assert(alignof(Held) <= alignof(std::max_align_t), "handler over-aligned");
    reset();
    new (bytes_) Held(std::forward<Handler>(handler));
    ops_ = &kOps<Held>;
  }

  // Runs the parked handler (if any) with `ec` on its executor. It leaves
  // the slot first: it may park the next wait here.
  void complete(boost::system::error_code ec, Completion how) {
    if (const Ops* ops = std::exchange(ops_, nullptr)) ops->complete(bytes_, ec, how);
  }

  // Drops the parked handler (if any) without running it.
  void reset() noexcept {
    if (const Ops* ops = std::exchange(ops_, nullptr)) ops->destroy(bytes_);
  }

 private:
  struct Ops {
    void (*move)(void* from, void* to) noexcept;
    void (*destroy)(void* p) noexcept;
    void (*complete)(void* p, boost::system::error_code ec, Completion how);
  };
  template <class Held>
  static constexpr Ops kOps = {
      [](void* from, void* to) noexcept {
        new (to) Held(std::move(*static_cast<Held*>(from)));
        static_cast<Held*>(from)->~Held();
      },
      [](void* p) noexcept { static_cast<Held*>(p)->~Held(); },
      [](void* p, boost::system::error_code ec, Completion how) {
        Held held(std::move(*static_cast<Held*>(p)));
        static_cast<Held*>(p)->~Held();
        // To the handler's own executor: no second hop through a work dispatcher.
        switch (how) {
          case Completion::dispatch:
            boost::asio::dispatch(boost::asio::append(std::move(held.handler), ec));
            break;
          case Completion::defer:
            boost::asio::defer(boost::asio::append(std::move(held.handler), ec));
            break;
          case Completion::post:
            boost::asio::post(boost::asio::append(std::move(held.handler), ec));
            break;
        }
      }};

  void take(ParkedHandler& other) noexcept {
    if (other.ops_) {
      other.ops_->move(other.bytes_, bytes_);
      ops_ = std::exchange(other.ops_, nullptr);
    }
  }

  alignas(std::max_align_t) unsigned char bytes_[Size];
  const Ops* ops_ = nullptr;
};

}  // namespace sarvolt::util
