#include "agent/dns/driver.hpp"

#include <deque>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/netif/async_tun.hpp"
#include "util/log.hpp"

namespace sarvolt::agent::dns {

SV_NAMED_LOGGER(server_lg, "sarvolt_agent::agent::dns::server")
SV_NAMED_LOGGER(mobile_lg, "sarvolt_agent::agent::dns::mobile")

namespace asio = boost::asio;

namespace {

// Requests the driver hands out in a row before it yields to the runtime.
constexpr std::size_t kYieldAfter = 23;

}  // namespace

namespace detail {

// Wakes the driver. Holds at most one pending wake-up, so a notify between
// the driver's last check and its wait is not lost.
class Wake {
 public:
  explicit Wake(asio::any_io_executor ex) : ch_(std::move(ex), 1) {}
  void notify() { (void)ch_.try_send(boost::system::error_code{}); }
  asio::awaitable<void> wait() {
    auto [ec] = co_await ch_.async_receive(asio::as_tuple(asio::use_awaitable));
    (void)ec;
  }

 private:
  asio::experimental::concurrent_channel<void(boost::system::error_code)> ch_;
};

struct RequestQueue {
  explicit RequestQueue(std::size_t cap) : capacity(cap) {}

  const std::size_t capacity;
  std::mutex mutex;
  std::deque<DnsServerRequest> items;
  bool sender_open = true;
  bool receiver_open = true;
  std::shared_ptr<Wake> wake;  // set once the driver runs

  void notify_locked() {
    if (wake) wake->notify();
  }
};

struct ShutdownSlot {
  std::atomic<bool> done{false};
  std::mutex mutex;
  std::shared_ptr<Wake> wake;

  void fire() {
    done.store(true, std::memory_order_release);
    std::lock_guard lock(mutex);
    if (wake) wake->notify();
  }
};

// Answer tasks running; the driver waits while there are too many.
struct InFlight {
  explicit InFlight(std::shared_ptr<Wake> w) : wake(std::move(w)) {}
  std::atomic<std::size_t> count{0};
  const std::shared_ptr<Wake> wake;
};

}  // namespace detail

// ---- request queue -------------------------------------------------------

RequestSender::~RequestSender() {
  if (!q_) return;
  std::lock_guard lock(q_->mutex);
  q_->sender_open = false;
  q_->notify_locked();
}

RequestSender& RequestSender::operator=(RequestSender&& o) noexcept {
  if (this != &o) {
    RequestSender old(std::move(*this));
    q_ = std::move(o.q_);
  }
  return *this;
}

util::Expected<void, RequestSender::SendError> RequestSender::try_send(DnsServerRequest request) const {
  if (!q_) return util::Unexpected(SendError::Closed);
  std::lock_guard lock(q_->mutex);
  if (!q_->receiver_open) return util::Unexpected(SendError::Closed);
  if (q_->items.size() >= q_->capacity) return util::Unexpected(SendError::Full);
  q_->items.push_back(std::move(request));
  q_->notify_locked();
  return {};
}

std::size_t RequestSender::queued() const {
  if (!q_) return 0;
  std::lock_guard lock(q_->mutex);
  return q_->items.size();
}

std::size_t RequestSender::capacity() const { return q_ ? q_->capacity : 0; }

RequestReceiver::~RequestReceiver() {
  if (!q_) return;
  std::deque<DnsServerRequest> dropped;
  {
    std::lock_guard lock(q_->mutex);
    q_->receiver_open = false;
    q_->wake.reset();
    dropped.swap(q_->items);
  }
}

util::Expected<DnsServerRequest, RequestReceiver::RecvError> RequestReceiver::try_receive() {
  std::lock_guard lock(q_->mutex);
  if (q_->items.empty()) return util::Unexpected(q_->sender_open ? RecvError::Empty : RecvError::Closed);
  DnsServerRequest r = std::move(q_->items.front());
  q_->items.pop_front();
  return r;
}

std::pair<RequestSender, RequestReceiver> request_channel(std::size_t capacity) {
  auto q = std::make_shared<detail::RequestQueue>(capacity);
  return {RequestSender(q), RequestReceiver(q)};
}

// ---- shutdown channel ----------------------------------------------------

ShutdownSender::~ShutdownSender() {
  if (slot_) slot_->fire();
}

void ShutdownSender::try_send() const {
  if (slot_) slot_->fire();
}

bool ShutdownReceiver::ready() const noexcept { return !slot_ || slot_->done.load(std::memory_order_acquire); }

std::pair<ShutdownSender, ShutdownReceiver> shutdown_channel() {
  auto slot = std::make_shared<detail::ShutdownSlot>();
  return {ShutdownSender(slot), ShutdownReceiver(slot)};
}

// ---- server state ----------------------------------------------------------

std::pair<DnsServerRef, ShutdownReceiver> DnsServerRef::create() {
  auto [tx, rx] = shutdown_channel();
  auto inner = std::make_shared<Inner>();
  inner->state.catalog = std::make_shared<const Catalog>();
  inner->state.shutdown_tx.emplace(std::move(tx));
  return {DnsServerRef(std::move(inner)), std::move(rx)};
}

DnsServerRef::DnsServerRef(const DnsServerRef& o) : inner_(o.inner_) {
  if (!inner_) return;
  std::lock_guard lock(inner_->mutex);
  ++inner_->state.ref_count;
}

DnsServerRef::~DnsServerRef() {
  if (!inner_) return;
  std::optional<ShutdownSender> dropped;
  {
    std::lock_guard lock(inner_->mutex);
    auto& s = inner_->state;
    if (s.ref_count > 0) --s.ref_count;
    if (s.ref_count == 0 && s.shutdown_tx) {
      dropped.emplace(std::move(*s.shutdown_tx));
      s.shutdown_tx.reset();
    }
  }
}

std::shared_ptr<const Catalog> DnsServerRef::catalog() const {
  std::lock_guard lock(inner_->mutex);
  return inner_->state.catalog;
}

void DnsServerRef::update_catalog(const NetworkMap& networks) const {
  std::lock_guard lock(inner_->mutex);
  inner_->state.catalog = Catalog::build(networks);
}

bool DnsServerRef::shutdown() const {
  std::optional<ShutdownSender> tx;
  {
    std::lock_guard lock(inner_->mutex);
    if (!inner_->state.shutdown_tx) return false;
    tx.emplace(std::move(*inner_->state.shutdown_tx));
    inner_->state.shutdown_tx.reset();
  }
  tx->try_send();
  return true;
}

std::size_t DnsServerRef::ref_count() const {
  std::lock_guard lock(inner_->mutex);
  return inner_->state.ref_count;
}

bool DnsServerRef::has_shutdown_sender() const {
  std::lock_guard lock(inner_->mutex);
  return inner_->state.shutdown_tx.has_value();
}

// ---- driver --------------------------------------------------------------

namespace {

class InFlightGuard {
 public:
  explicit InFlightGuard(std::shared_ptr<detail::InFlight> f) : f_(std::move(f)) {
    f_->count.fetch_add(1, std::memory_order_acq_rel);
  }
  InFlightGuard(InFlightGuard&& o) noexcept : f_(std::move(o.f_)) {}
  InFlightGuard& operator=(InFlightGuard&&) = delete;
  ~InFlightGuard() {
    if (!f_) return;
    if (f_->count.fetch_sub(1, std::memory_order_acq_rel) >= kMaxRequestsInFlight) f_->wake->notify();
  }

 private:
  std::shared_ptr<detail::InFlight> f_;
};

asio::awaitable<void> answer(std::shared_ptr<const Catalog> catalog, DnsServerRequest req, InFlightGuard guard) {
  (void)guard;  // held until the answer is written
  SV_TRACE(server_lg(), "Received DNS packet from {}:{} ({} bytes) src={} src_port={} dst={} dst_port={} len={}",
           req.src, req.src_port, req.payload.size(), req.src, req.src_port, req.dst, req.dst_port,
           req.payload.size());
  SV_TRACE(server_lg(), "Processing DNS packet using embedded DNS");
  try {
    auto reply = respond(*catalog, req.payload, req.src, req.src_port);
    if (!reply || !req.tun_device || reply->size() > kMaxUdpPayload) co_return;
    const auto packet = build_reply_packet(req.dst, req.dst_port, req.src, req.src_port, *reply);
    auto sent = co_await req.tun_device->send(packet);
    if (!sent)
      SV_ERROR(server_lg(), "Failed to write DNS response to TUN device: {} client={}:{}", sent.error().message(),
               req.src, req.src_port);
  } catch (const std::exception& e) {
    SV_ERROR(server_lg(), "Failed to answer DNS request: {}", e.what());
  }
}

}  // namespace

DnsServerDriver::DnsServerDriver(DnsServerRef server, RequestReceiver requests, ShutdownReceiver shutdown)
    : server_(std::move(server)), requests_(std::move(requests)), shutdown_(std::move(shutdown)) {}

asio::awaitable<util::Expected<void, DriverError>> DnsServerDriver::run(DnsServerDriver d) {
  const auto ex = co_await asio::this_coro::executor;
  auto wake = std::make_shared<detail::Wake>(ex);
  auto in_flight = std::make_shared<detail::InFlight>(wake);
  {
    std::lock_guard lock(d.shutdown_.slot_->mutex);
    d.shutdown_.slot_->wake = wake;
  }
  auto& q = *d.requests_.q_;
  {
    std::lock_guard lock(q.mutex);
    q.wake = wake;
  }

  std::size_t handed_out = 0;
  while (true) {
    // Shutdown first: what is still queued then is dropped unanswered.
    if (d.shutdown_.ready()) co_return util::Expected<void, DriverError>{};

    // At the in-flight limit the queue is left alone; a finishing task wakes us.
    if (in_flight->count.load(std::memory_order_acquire) < kMaxRequestsInFlight) {
      auto request = d.requests_.try_receive();
      if (request) {
        asio::co_spawn(ex, answer(d.server_.catalog(), std::move(*request), InFlightGuard(in_flight)),
                       asio::detached);
        if (++handed_out > kYieldAfter) {
          handed_out = 0;
          co_await asio::post(ex, asio::use_awaitable);
        }
        continue;
      }
      if (request.error() == RequestReceiver::RecvError::Closed) {
        // Both ends going at once (the DNS object released): shutdown wins.
        if (d.shutdown_.ready()) co_return util::Expected<void, DriverError>{};
        co_return util::Unexpected(DriverError{std::errc::broken_pipe, "DNS server receiver channel was closed"});
      }
    }
    handed_out = 0;
    co_await wake->wait();
  }
}

asio::awaitable<void> DnsServerDriver::task(DnsServerDriver d) {
  RunningFlag running(std::move(d.running_));
  auto r = co_await run(std::move(d));
  if (!r) SV_ERROR(mobile_lg(), "I/O error: {}", r.error().text);
}

void DnsServerDriver::spawn(asio::any_io_executor ex, DnsServerDriver driver) {
  asio::co_spawn(ex, task(std::move(driver)), asio::detached);
}

}  // namespace sarvolt::agent::dns
