// AsyncTun: a TUN device (or anything that moves one packet per read/write,
// such as a SOCK_SEQPACKET socket) over a non-blocking file descriptor.
// Reads and readability waits belong to one task (the TUN driver); writes
// may come from any task at once: the kernel takes concurrent writes, and
// waits for room are serialised on an internal strand. A writer may wake the
// waiting reader at once (wake_reader, send_all_and_wake), so that what the
// local stack answered to its write is read on the writer's thread; so may a
// thread that busy polls the data path (util/busy_poll.hpp). The device's
// readability reaches the reactor through an epoll set of its own, which a
// writer empties while it writes for a waiting reader: the answer to its
// write then wakes no other thread. Waiting (for data or for room) allocates
// no more than any other socket operation.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <system_error>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "util/busy_poll.hpp"
#include "util/expected.hpp"
#include "util/parked_handler.hpp"

namespace sarvolt::util {

// EAGAIN / EWOULDBLOCK: a non-blocking descriptor has nothing (or no room) now.
bool would_block(const std::error_code& e) noexcept;

class AsyncTun final : public std::enable_shared_from_this<AsyncTun>, public PollSource {
 public:
  // Takes ownership of `fd` and makes it non-blocking.
  static Expected<std::shared_ptr<AsyncTun>, std::error_code> create(boost::asio::any_io_executor ex, int fd);
  ~AsyncTun() override;
  AsyncTun(const AsyncTun&) = delete;
  AsyncTun& operator=(const AsyncTun&) = delete;

  int fd() const noexcept { return fd_; }

  // One non-blocking read; std::errc::resource_unavailable_try_again when
  // nothing is waiting.
  Expected<std::size_t, std::error_code> try_recv(std::span<std::uint8_t> buf) noexcept;
  // Waits until a read would not block, or until wake_reader() (cancellable).
  // One waiter at a time.
  boost::asio::awaitable<void> wait_readable();
  // Ends a pending wait_readable() now, resuming the reader inline where its
  // executor allows (it is not running elsewhere): a writer calls it after a
  // write the local stack may have answered already, which is then read on
  // the writer's thread instead of waking another. False when no reader was
  // waiting.
  bool wake_reader();

  int poll_fd() const noexcept override { return fd_; }
  bool poll_wake() override { return wake_reader(); }

  // One non-blocking write attempt.
  Expected<std::size_t, std::error_code> try_send(std::span<const std::uint8_t> packet) noexcept;
  // Writes one packet, waiting while the device has no room (cancellable).
  boost::asio::awaitable<Expected<void, std::error_code>> send(std::span<const std::uint8_t> packet);
  // Writes every packet (waiting for room); the count written, or the first
  // write error after trying all of them.
  boost::asio::awaitable<Expected<std::size_t, std::error_code>> send_all(
      std::span<const std::span<const std::uint8_t>> packets);
  // As send_all, then wake_reader(). While the packets go without waiting
  // for room, a waiting reader's readability is off the reactor: what the
  // local stack answers to them at once (echo replies, ACKs) is read on this
  // thread after the writes, without waking another.
  boost::asio::awaitable<Expected<std::size_t, std::error_code>> send_all_and_wake(
      std::span<const std::span<const std::uint8_t>> packets);

 private:
  AsyncTun(boost::asio::any_io_executor ex, int fd, int read_set, int write_fd);
  // Takes the device's readability off read_wait_'s epoll set while a
  // reader waits (true), or puts it back.
  bool quiet_reader();
  void rearm_reader();
  // Under read_mutex_; false (errno set) when the set refused.
  bool arm(bool on);
  // send_all; with `quiet` (the reader's readability taken off), it is put
  // back before any wait for room.
  boost::asio::awaitable<Expected<std::size_t, std::error_code>> send_each(
      std::span<const std::span<const std::uint8_t>> packets, bool quiet);
  struct StartReadWait;
  struct ReadWaitDone;
  struct CancelRead;
  // The waiting reader's completion handler, kept without allocating; no
  // work of its own: the pending reactor wait keeps the context running.
  using Waiter = ParkedHandler<64, false>;
  struct StartWriteWait;
  // Waits for room, started on write_strand_; the outcome goes to `ec`.
  boost::asio::awaitable<void> wait_writable(boost::system::error_code& ec);

  int fd_;
  // An epoll set holding fd_ for reading: on the reactor for good, started
  // by the reader only.
  boost::asio::posix::stream_descriptor read_wait_;
  std::mutex read_mutex_;  // guards the five below
  bool armed_ = true;  // fd_'s readability is in the set
  bool read_wait_out_ = false;  // a wait on read_wait_ is pending
  bool read_ready_ = false;  // that wait completed while no reader waited
  bool waiting_ = false;  // waiter_ holds the reader's handler
  Waiter waiter_;
  boost::asio::any_io_executor write_strand_;  // a strand of ex
  // On write_strand_ only: a dup of fd_, on the reactor only while writers
  // wait for room (else each packet the device queues for reading would be
  // a second readiness report to run).
  boost::asio::posix::stream_descriptor write_wait_;
  int write_fd_;
  std::size_t write_waits_ = 0;
};

}  // namespace sarvolt::util
