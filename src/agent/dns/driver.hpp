// The embedded DNS server's task side: the request queue that intercepted
// queries travel on, the one-shot shutdown channel, the shared server state
// (catalog slot and shutdown sender) behind counted DnsServerRef handles, and
// the driver that takes requests off the queue and answers each one in a
// task of its own (respond, wrap in IPv4/UDP, write into the request's TUN
// device).
//
// Bounds: the queue holds at most kRequestQueueCapacity requests; a push
// beyond that fails with SendError::Full and the request is dropped. At most
// kMaxRequestsInFlight answer tasks run at once; while that many are
// running the driver leaves further requests on the queue, so a slow TUN
// device fills the queue and the excess is dropped at the sender.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agent/config.hpp"
#include "agent/dns/server.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent::dns {

inline constexpr std::size_t kRequestQueueCapacity = 1024;
inline constexpr std::size_t kMaxRequestsInFlight = 64;

namespace detail {
class Wake;
struct RequestQueue;
struct ShutdownSlot;
}  // namespace detail

// Sending end of the request queue. One per queue; dropping it closes the
// queue for the receiver once the queued requests are taken. A
// default-constructed sender is closed.
class RequestSender {
 public:
  enum class SendError { Full, Closed };

  RequestSender() = default;
  ~RequestSender();
  RequestSender(RequestSender&& o) noexcept : q_(std::move(o.q_)) {}
  RequestSender& operator=(RequestSender&& o) noexcept;
  RequestSender(const RequestSender&) = delete;
  RequestSender& operator=(const RequestSender&) = delete;

  // Queues `request` without waiting. On failure the request is dropped.
  util::Expected<void, SendError> try_send(DnsServerRequest request) const;
  // Requests waiting to be taken.
  std::size_t queued() const;
  std::size_t capacity() const;

 private:
  friend std::pair<RequestSender, class RequestReceiver> request_channel(std::size_t capacity);
  explicit RequestSender(std::shared_ptr<detail::RequestQueue> q) : q_(std::move(q)) {}
  std::shared_ptr<detail::RequestQueue> q_;
};

// Receiving end; dropping it drops every queued request and makes further
// sends fail with Closed.
class RequestReceiver {
 public:
  ~RequestReceiver();
  RequestReceiver(RequestReceiver&& o) noexcept : q_(std::move(o.q_)) {}
  RequestReceiver& operator=(RequestReceiver&&) = delete;
  RequestReceiver(const RequestReceiver&) = delete;
  RequestReceiver& operator=(const RequestReceiver&) = delete;

  enum class RecvError { Empty, Closed };
  // The oldest queued request; Closed once the queue is empty and the
  // sender is gone.
  util::Expected<DnsServerRequest, RecvError> try_receive();

 private:
  friend std::pair<RequestSender, RequestReceiver> request_channel(std::size_t capacity);
  friend class DnsServerDriver;
  explicit RequestReceiver(std::shared_ptr<detail::RequestQueue> q) : q_(std::move(q)) {}
  std::shared_ptr<detail::RequestQueue> q_;
};

std::pair<RequestSender, RequestReceiver> request_channel(std::size_t capacity = kRequestQueueCapacity);

// One-shot shutdown channel: the receiver is ready once a value was sent or
// the sender is gone.
class ShutdownSender {
 public:
  ~ShutdownSender();
  ShutdownSender(ShutdownSender&& o) noexcept : slot_(std::move(o.slot_)) {}
  ShutdownSender& operator=(ShutdownSender&&) = delete;
  ShutdownSender(const ShutdownSender&) = delete;
  ShutdownSender& operator=(const ShutdownSender&) = delete;

  // Never waits; a value already sent is not repeated.
  void try_send() const;

 private:
  friend std::pair<ShutdownSender, class ShutdownReceiver> shutdown_channel();
  explicit ShutdownSender(std::shared_ptr<detail::ShutdownSlot> s) : slot_(std::move(s)) {}
  std::shared_ptr<detail::ShutdownSlot> slot_;
};

class ShutdownReceiver {
 public:
  ShutdownReceiver(ShutdownReceiver&& o) noexcept : slot_(std::move(o.slot_)) {}
  ShutdownReceiver& operator=(ShutdownReceiver&&) = delete;
  ShutdownReceiver(const ShutdownReceiver&) = delete;
  ShutdownReceiver& operator=(const ShutdownReceiver&) = delete;
  ~ShutdownReceiver() = default;

  bool ready() const noexcept;

 private:
  friend std::pair<ShutdownSender, ShutdownReceiver> shutdown_channel();
  friend class DnsServerDriver;
  explicit ShutdownReceiver(std::shared_ptr<detail::ShutdownSlot> s) : slot_(std::move(s)) {}
  std::shared_ptr<detail::ShutdownSlot> slot_;
};

std::pair<ShutdownSender, ShutdownReceiver> shutdown_channel();

// The server's shared state. Reached only under DnsServerRef's mutex.
struct ServerState {
  std::shared_ptr<const Catalog> catalog;  // never null: an empty catalog until the first rebuild
  std::size_t ref_count = 0;               // clones not yet released
  std::optional<ShutdownSender> shutdown_tx;
};

// Counted handle on the server state. The handle from create() is not
// counted, every copy is. Releasing a handle that leaves the count at 0
// drops the shutdown sender, which ends the driver: with the DNS object
// holding the first handle and the driver one copy, whichever goes first
// stops the server.
class DnsServerRef {
 public:
  static std::pair<DnsServerRef, ShutdownReceiver> create();

  DnsServerRef(const DnsServerRef& o);
  DnsServerRef(DnsServerRef&& o) noexcept : inner_(std::move(o.inner_)) {}
  DnsServerRef& operator=(const DnsServerRef&) = delete;
  DnsServerRef& operator=(DnsServerRef&&) = delete;
  ~DnsServerRef();

  // A share of the current catalog (the mutex is held for the copy only).
  std::shared_ptr<const Catalog> catalog() const;
  // Rebuilds the catalog from every network's desired host-name list; the
  // mutex is held for the whole rebuild.
  void update_catalog(const NetworkMap& networks) const;
  // Takes the shutdown sender out and sends one value on it; false when it
  // was gone already.
  bool shutdown() const;

  std::size_t ref_count() const;
  bool has_shutdown_sender() const;

 private:
  struct Inner {
    std::mutex mutex;
    ServerState state;
  };
  explicit DnsServerRef(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<Inner> inner_;
};

// Why run() ended other than by shutdown.
struct DriverError {
  std::errc kind;
  std::string text;
};

// Takes requests off the queue until shutdown and answers each one in its
// own task, at most kMaxRequestsInFlight at once. Shutdown is checked first,
// every time: queued requests are then dropped unanswered. Answer tasks that
// are already running finish on their own after the driver ended.
class DnsServerDriver {
 public:
  DnsServerDriver(DnsServerRef server, RequestReceiver requests, ShutdownReceiver shutdown);
  DnsServerDriver(DnsServerDriver&&) noexcept = default;
  DnsServerDriver& operator=(DnsServerDriver&&) = delete;

  // Success on shutdown (a value sent or the sender gone); DriverError
  // {broken_pipe, "DNS server receiver channel was closed"} when the request
  // sender went while shutdown was still open. Requests are answered on the
  // executor run() runs on.
  static boost::asio::awaitable<util::Expected<void, DriverError>> run(DnsServerDriver driver);

  // Runs run() as a detached task on `ex` (no strand needed: the driver is
  // one coroutine); an error ends it with ERROR "I/O error: {e}".
  static void spawn(boost::asio::any_io_executor ex, DnsServerDriver driver);

  // True until the driver is gone (run() returned, or it was dropped unrun).
  std::shared_ptr<const std::atomic<bool>> running_flag() const noexcept { return running_.flag; }

 private:
  // Runs the driver and logs its error; the running flag drops after that.
  static boost::asio::awaitable<void> task(DnsServerDriver d);

  struct RunningFlag {
    std::shared_ptr<std::atomic<bool>> flag = std::make_shared<std::atomic<bool>>(true);
    RunningFlag() = default;
    RunningFlag(RunningFlag&& o) noexcept : flag(std::move(o.flag)) {}
    RunningFlag& operator=(RunningFlag&&) = delete;
    ~RunningFlag() {
      if (flag) flag->store(false, std::memory_order_release);
    }
  };
  // Destroyed in reverse: the receivers, then the server handle, then the
  // flag drops.
  RunningFlag running_;
  DnsServerRef server_;
  RequestReceiver requests_;
  ShutdownReceiver shutdown_;
};

}  // namespace sarvolt::agent::dns
