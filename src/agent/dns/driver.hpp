// The embedded DNS server's task side: the shared server state (the catalog,
// the request queue that intercepted queries travel on, the shutdown signal
// and the task group of the server's tasks) and the driver, which takes
// requests off the queue and answers each one in a task of its own
// (respond, wrap in IPv4/UDP, write into the request's TUN device).
//
// Bounds: the queue holds at most kRequestQueueCapacity requests; a send
// beyond that fails with Full and the request is dropped. At most
// kMaxRequestsInFlight answer tasks run at once; while that many are running
// the driver leaves further requests on the queue, so a slow TUN device
// fills the queue and the excess is dropped at the sender.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>

#include "agent/dns/server.hpp"
#include "core/error.hpp"
#include "network/network.hpp"
#include "util/expected.hpp"
#include "util/task_group.hpp"

namespace sarvolt::agent::dns {

inline constexpr std::size_t kRequestQueueCapacity = 1024;
inline constexpr std::size_t kMaxRequestsInFlight = 64;

class DnsServer {
 public:
  enum class SendError { Full, Closed };

  explicit DnsServer(boost::asio::any_io_executor ex, std::size_t queue_capacity = kRequestQueueCapacity);

  // A share of the current catalog (the mutex is held for the copy only).
  std::shared_ptr<const Catalog> catalog() const;
  // Rebuilds the catalog from every network's desired host-name list; the
  // mutex is held for the whole rebuild.
  void update_catalog(const network::NetworkMap& networks);

  // Queues a request without waiting; on failure it is dropped.
  util::Expected<void, SendError> send(DnsServerRequest request);
  // Takes the oldest queued request without waiting (the driver's side).
  std::optional<DnsServerRequest> try_receive();
  std::size_t capacity() const noexcept { return capacity_; }

  // Signals shutdown: the driver ends at its next look, dropping what is
  // still queued, and later sends fail with Closed. False when it was
  // signalled already.
  bool shutdown();
  // Closes the request queue without shutdown: the driver ends with an error.
  void close_requests();

  // Takes requests until shutdown. Success on shutdown; the IoError "DNS
  // server receiver channel was closed" when the queue closed without it.
  static boost::asio::awaitable<util::Expected<void, core::Error>> run(std::shared_ptr<DnsServer> self);
  // Runs the driver in `tasks`; an error ends it with ERROR "I/O error: ...".
  static void spawn(const std::shared_ptr<DnsServer>& self);

  // The driver and the answer tasks.
  util::TaskGroup tasks;

 private:
  using Channel = boost::asio::experimental::concurrent_channel<void(boost::system::error_code, DnsServerRequest)>;
  using Wake = boost::asio::experimental::concurrent_channel<void(boost::system::error_code)>;

  const boost::asio::any_io_executor executor_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Catalog> catalog_;  // never null
  Channel requests_;
  Wake slot_free_;  // an answer task ended while the driver waited for room
  std::atomic<bool> shut_down_{false};
  std::atomic<std::size_t> in_flight_{0};
};

// Counted handle on the server; the driver holds one.
using DnsServerRef = std::shared_ptr<DnsServer>;

}  // namespace sarvolt::agent::dns
