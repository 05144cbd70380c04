#include "util/async_tun.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/append.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace sarvolt::util {

namespace asio = boost::asio;

namespace {
std::error_code last_error() { return {errno, std::system_category()}; }

// On an io_context's executor, a strand of that concrete executor: it fits
// in an any_io_executor, so starting and completing waits on it allocates nothing.
asio::any_io_executor strand_of(const asio::any_io_executor& ex) {
  if (const auto* io = ex.target<asio::io_context::executor_type>()) return asio::make_strand(*io);
  return asio::make_strand(ex);
}
}  // namespace

bool would_block(const std::error_code& e) noexcept {
  return e == std::errc::resource_unavailable_try_again || e == std::errc::operation_would_block;
}

Expected<std::shared_ptr<AsyncTun>, std::error_code> AsyncTun::create(asio::any_io_executor ex, int fd) {
  // The descriptor is ours from here on, also when creation fails.
  int fds[3] = {fd, -1, -1};
  auto fail = [&](std::error_code err) -> Expected<std::shared_ptr<AsyncTun>, std::error_code> {
    for (int f : fds)
      if (f >= 0) ::close(f);
    return Unexpected(err);
  };
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return fail(last_error());
  if ((fds[1] = ::epoll_create1(EPOLL_CLOEXEC)) < 0) return fail(last_error());
  epoll_event ev{};
  ev.events = EPOLLIN;
  if (::epoll_ctl(fds[1], EPOLL_CTL_ADD, fd, &ev) != 0) return fail(last_error());
  if ((fds[2] = ::fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0) return fail(last_error());
  try {
    std::shared_ptr<AsyncTun> tun(new AsyncTun(std::move(ex), fds[0], fds[1], fds[2]));
    busy_poll::add(tun, tun.get());
    return tun;
  } catch (const boost::system::system_error& e) {
    // The read set that was registered has been closed with it; the
    // descriptor for write waits is registered only while a writer waits.
    ::close(fd);
    ::close(fds[2]);
    return Unexpected(std::error_code(e.code().value(), std::system_category()));
  }
}

// The read set and the dup of fd only wait for readiness; fd_ itself is
// read and written directly.
AsyncTun::AsyncTun(asio::any_io_executor ex, int fd, int read_set, int write_fd)
    : fd_(fd),
      read_wait_(ex, read_set),
      write_strand_(strand_of(ex)),
      write_wait_(write_strand_),
      write_fd_(write_fd) {}

AsyncTun::~AsyncTun() {
  busy_poll::remove(this);
  if (waiting_) waiter_.reset();
  boost::system::error_code ignored;
  read_wait_.close(ignored);
  if (write_wait_.is_open())
    write_wait_.close(ignored);
  else
    ::close(write_fd_);
  ::close(fd_);
}

Expected<std::size_t, std::error_code> AsyncTun::try_recv(std::span<std::uint8_t> buf) noexcept {
  while (true) {
    ssize_t n = ::read(fd_, buf.data(), buf.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return Unexpected(last_error());
  }
}

// Completes the reader's wait when one is stored. Asio moves it around; only
// the last copy is live. Destroyed live (the runtime shut down with the wait
// pending), it destroys the stored reader too, as Asio would its own handler.
struct AsyncTun::ReadWaitDone {
  explicit ReadWaitDone(std::weak_ptr<AsyncTun> t) : tun(std::move(t)) {}
  ReadWaitDone(ReadWaitDone&& o) noexcept : tun(std::move(o.tun)), live(std::exchange(o.live, false)) {}
  ReadWaitDone& operator=(ReadWaitDone&&) = delete;
  ~ReadWaitDone() {
    if (live) finish(nullptr);
  }

  void operator()(const boost::system::error_code& ec) {
    live = false;
    finish(&ec);
  }

  void finish(const boost::system::error_code* ec) {
    auto self = tun.lock();
    if (!self) return;
    bool waiting;
    {
      std::lock_guard lock(self->read_mutex_);
      self->read_wait_out_ = false;
      waiting = std::exchange(self->waiting_, false);
      if (!waiting && ec && !*ec) self->read_ready_ = true;
    }
    if (!waiting) return;
    if (ec)
      self->waiter_.complete(*ec, Completion::dispatch);
    else
      self->waiter_.reset();
  }

  std::weak_ptr<AsyncTun> tun;
  bool live = true;
};

// Terminal, partial or total cancellation ends the reactor's wait, which
// completes the reader with operation_aborted.
struct AsyncTun::CancelRead {
  explicit CancelRead(std::weak_ptr<AsyncTun> t) : tun(std::move(t)) {}
  std::weak_ptr<AsyncTun> tun;
  void operator()(asio::cancellation_type type) const {
    using C = asio::cancellation_type;
    if ((type & (C::terminal | C::partial | C::total)) == C::none) return;
    if (auto self = tun.lock()) {
      boost::system::error_code ignored;
      self->read_wait_.cancel(ignored);
    }
  }
};

// Runs on the reader's executor. A reactor wait that is still pending (its
// last reader was woken by a writer) is kept for the next reader.
struct AsyncTun::StartReadWait {
  AsyncTun* tun;

  template <class Handler>
  void operator()(Handler&& handler) const {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.template emplace<CancelRead>(tun->weak_from_this());
    bool start = false;
    {
      std::unique_lock lock(tun->read_mutex_);
      if (!std::exchange(tun->read_ready_, false)) {
        if (!tun->armed_ && !tun->arm(true)) {
          // Readability cannot go back on the reactor: the wait fails.
          lock.unlock();
          asio::dispatch(asio::append(std::forward<Handler>(handler),
                                      boost::system::error_code(errno, boost::system::system_category())));
          return;
        }
        tun->waiter_.emplace(std::forward<Handler>(handler));
        tun->waiting_ = true;
        start = !std::exchange(tun->read_wait_out_, true);
        lock.unlock();
        if (start)
          tun->read_wait_.async_wait(asio::posix::stream_descriptor::wait_read, ReadWaitDone(tun->weak_from_this()));
        return;
      }
    }
    // Readable since the reader last looked: it reads again at once.
    asio::dispatch(asio::append(std::forward<Handler>(handler), boost::system::error_code{}));
  }
};

asio::awaitable<void> AsyncTun::wait_readable() {
  return asio::async_initiate<decltype(asio::use_awaitable), void(boost::system::error_code)>(StartReadWait{this},
                                                                                              asio::use_awaitable);
}

bool AsyncTun::wake_reader() {
  {
    std::lock_guard lock(read_mutex_);
    if (!std::exchange(waiting_, false)) return false;
  }
  waiter_.complete(boost::system::error_code{}, Completion::dispatch);
  return true;
}

bool AsyncTun::arm(bool on) {
  epoll_event ev{};
  ev.events = on ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
  // Level-triggered: armed again over queued packets, the set reports them.
  if (::epoll_ctl(read_wait_.native_handle(), EPOLL_CTL_MOD, fd_, &ev) != 0) return false;
  armed_ = on;
  return true;
}

bool AsyncTun::quiet_reader() {
  std::lock_guard lock(read_mutex_);
  return waiting_ && armed_ && arm(false);
}

void AsyncTun::rearm_reader() {
  std::lock_guard lock(read_mutex_);
  if (!armed_) arm(true);
}

Expected<std::size_t, std::error_code> AsyncTun::try_send(std::span<const std::uint8_t> packet) noexcept {
  while (true) {
    ssize_t n = ::write(fd_, packet.data(), packet.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return Unexpected(last_error());
  }
}

asio::awaitable<Expected<void, std::error_code>> AsyncTun::send(std::span<const std::uint8_t> packet) {
  while (true) {
    auto r = try_send(packet);
    if (r) co_return Expected<void, std::error_code>{};
    if (!would_block(r.error())) co_return Unexpected(r.error());
    boost::system::error_code ec;
    co_await wait_writable(ec);
    auto state = co_await asio::this_coro::cancellation_state;
    state.slot().clear();
    // A cancel aborts every write wait: the writers it was not meant for try again.
    if (ec == asio::error::operation_aborted && state.cancelled() == asio::cancellation_type::none) continue;
    if (ec) throw boost::system::system_error(ec);
  }
}

asio::awaitable<Expected<std::size_t, std::error_code>> AsyncTun::send_all(
    std::span<const std::span<const std::uint8_t>> packets) {
  return send_each(packets, false);
}

asio::awaitable<Expected<std::size_t, std::error_code>> AsyncTun::send_all_and_wake(
    std::span<const std::span<const std::uint8_t>> packets) {
  auto written = co_await send_each(packets, !packets.empty() && quiet_reader());
  wake_reader();
  co_return written;
}

asio::awaitable<Expected<std::size_t, std::error_code>> AsyncTun::send_each(
    std::span<const std::span<const std::uint8_t>> packets, bool quiet) {
  std::size_t written = 0;
  std::error_code first_error;
  for (const auto& packet : packets) {
    auto r = try_send(packet);
    if (!r && would_block(r.error())) {
      // Waiting for room: the reader is not kept from the device meanwhile.
      if (std::exchange(quiet, false)) rearm_reader();
      auto waited = co_await send(packet);
      r = waited ? Expected<std::size_t, std::error_code>(packet.size()) : Unexpected(waited.error());
    }
    if (r) {
      ++written;
      continue;
    }
    // Keep going: one bad packet must not cost the ones after it.
    if (!first_error) first_error = r.error();
  }
  if (first_error) co_return Unexpected(first_error);
  co_return written;
}

// The wait completes straight into the awaiting coroutine. It carries no
// cancellation slot of its own, since it is started on write_strand_ while
// the writer's slot is emitted on the writer's executor; the writer's slot
// instead gets a handler that cancels the write waits on write_strand_.
struct AsyncTun::StartWriteWait {
  AsyncTun* tun;

  struct Cancel {
    explicit Cancel(AsyncTun* t) : tun(t) {}
    AsyncTun* tun;  // alive while the wait is: the writer clears this handler before it returns
    void operator()(asio::cancellation_type type) const {
      using C = asio::cancellation_type;
      if ((type & (C::terminal | C::partial | C::total)) == C::none) return;
      auto self = tun->weak_from_this().lock();
      if (!self) return;
      asio::post(self->write_strand_, [self] {
        boost::system::error_code ignored;
        self->write_wait_.cancel(ignored);
      });
    }
  };

  // Completes on write_strand_: the last wait out takes the descriptor off
  // the reactor again, then the writer resumes on its own executor.
  template <class Handler>
  struct Done {
    using executor_type = asio::any_io_executor;
    executor_type get_executor() const noexcept { return strand; }
    void operator()(const boost::system::error_code& ec) {
      if (auto self = tun.lock(); self && --self->write_waits_ == 0) self->write_wait_.release();
      asio::dispatch(asio::append(std::move(h), ec));
    }
    std::weak_ptr<AsyncTun> tun;
    asio::any_io_executor strand;
    Handler h;
  };

  template <class Handler>
  void operator()(Handler&& handler) const {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.template emplace<Cancel>(tun);
    asio::dispatch(tun->write_strand_, [t = tun, h = asio::bind_cancellation_slot(asio::cancellation_slot(),
                                                                                 std::forward<Handler>(handler))]() mutable {
      using H = decltype(h);
      if (!t->write_wait_.is_open()) {
        boost::system::error_code ec;
        t->write_wait_.assign(t->write_fd_, ec);
        if (ec) {
          asio::dispatch(asio::append(std::move(h), ec));
          return;
        }
      }
      ++t->write_waits_;
      t->write_wait_.async_wait(asio::posix::stream_descriptor::wait_write,
                                Done<H>{t->weak_from_this(), t->write_strand_, std::move(h)});
    });
  }
};

asio::awaitable<void> AsyncTun::wait_writable(boost::system::error_code& ec) {
  auto token = asio::redirect_error(asio::use_awaitable, ec);
  return asio::async_initiate<decltype(token), void(boost::system::error_code)>(StartWriteWait{this}, token);
}

}  // namespace sarvolt::util
