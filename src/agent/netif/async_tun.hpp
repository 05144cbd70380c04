// AsyncTun: a TUN device (or anything that moves one packet per read/write,
// such as a SOCK_SEQPACKET socket) over a non-blocking file descriptor.
// Reads and readability waits belong to one task (the TUN driver); writes
// may come from any task at once: the kernel takes concurrent writes, and
// waits for room are serialised on an internal strand.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <system_error>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/strand.hpp>

#include "util/expected.hpp"

namespace sarvolt::agent {

class AsyncTun {
 public:
  // Takes ownership of `fd` and makes it non-blocking.
  static util::Expected<std::shared_ptr<AsyncTun>, std::error_code> create(boost::asio::any_io_executor ex, int fd);
  ~AsyncTun();
  AsyncTun(const AsyncTun&) = delete;
  AsyncTun& operator=(const AsyncTun&) = delete;

  int fd() const noexcept { return fd_; }

  // One non-blocking read; std::errc::resource_unavailable_try_again when
  // nothing is waiting.
  util::Expected<std::size_t, std::error_code> try_recv(std::span<std::uint8_t> buf) noexcept;
  // Waits until a read would not block (cancellable).
  boost::asio::awaitable<void> wait_readable();

  // One non-blocking write attempt.
  util::Expected<std::size_t, std::error_code> try_send(std::span<const std::uint8_t> packet) noexcept;
  // Writes one packet, waiting while the device has no room (cancellable).
  boost::asio::awaitable<util::Expected<void, std::error_code>> send(std::span<const std::uint8_t> packet);

 private:
  AsyncTun(boost::asio::any_io_executor ex, int fd, int read_fd, int write_fd);
  boost::asio::awaitable<void> wait_writable();  // runs on write_strand_

  int fd_;
  boost::asio::posix::stream_descriptor read_wait_;
  boost::asio::strand<boost::asio::any_io_executor> write_strand_;
  boost::asio::posix::stream_descriptor write_wait_;  // a dup of fd_, used on write_strand_ only
};

}  // namespace sarvolt::agent
