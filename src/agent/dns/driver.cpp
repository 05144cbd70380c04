#include "agent/dns/driver.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/netif/context.hpp"
#include "util/async_tun.hpp"
#include "util/log.hpp"

namespace sarvolt::agent::dns {

namespace {
spdlog::logger& lg() { return server_logger(); }
}  // namespace

namespace asio = boost::asio;
using fmt::arg;

DnsServer::DnsServer(asio::any_io_executor ex, std::size_t queue_capacity)
    : executor_(ex),
      capacity_(queue_capacity),
      catalog_(std::make_shared<const Catalog>()),
      requests_(ex, queue_capacity),
      slot_free_(ex, 1) {}

std::shared_ptr<const Catalog> DnsServer::catalog() const {
  std::lock_guard lock(mutex_);
  return catalog_;
}

void DnsServer::update_catalog(const network::NetworkMap& networks) {
  std::lock_guard lock(mutex_);
  catalog_ = Catalog::build(networks);
}

util::Expected<void, DnsServer::SendError> DnsServer::send(DnsServerRequest request) {
  if (shut_down_.load(std::memory_order_acquire)) return util::Unexpected(SendError::Closed);
  if (requests_.try_send(boost::system::error_code{}, std::move(request))) return {};
  return util::Unexpected(requests_.is_open() ? SendError::Full : SendError::Closed);
}

std::optional<DnsServerRequest> DnsServer::try_receive() {
  std::optional<DnsServerRequest> out;
  (void)requests_.try_receive([&](boost::system::error_code, DnsServerRequest r) { out = std::move(r); });
  return out;
}

bool DnsServer::shutdown() {
  if (shut_down_.exchange(true, std::memory_order_acq_rel)) return false;
  // Drops what is queued (reset empties the queue), then refuses more.
  requests_.reset();
  requests_.close();
  slot_free_.close();
  return true;
}

void DnsServer::close_requests() { requests_.close(); }

namespace {

// The reply packet for `req`, or nothing. The DNS message is built in a
// buffer kept per thread, so the packet is the only allocation.
std::optional<std::vector<std::uint8_t>> reply_packet(const Catalog& catalog, const DnsServerRequest& req) {
  thread_local std::vector<std::uint8_t> scratch;
  const auto reply = respond(catalog, req.payload, req.src, req.src_port, scratch);
  if (!reply || reply->size() > kMaxUdpPayload) return std::nullopt;
  return build_reply_packet(req.dst, req.dst_port, req.src, req.src_port, *reply);
}

asio::awaitable<void> answer(std::shared_ptr<const Catalog> catalog, DnsServerRequest req) {
  SV_TRACE(lg(),
           "Received DNS packet from {src}:{src_port} ({len} bytes) src={src} src_port={src_port} dst={dst} "
           "dst_port={dst_port} len={len}",
           arg("src", req.src), arg("src_port", req.src_port), arg("len", req.payload.size()), arg("dst", req.dst),
           arg("dst_port", req.dst_port));
  SV_TRACE(lg(), "Processing DNS packet using embedded DNS");
  try {
    const auto packet = reply_packet(*catalog, req);
    if (!packet || !req.tun_device) co_return;
    auto sent = co_await req.tun_device->send(*packet);
    if (!sent)
      SV_ERROR(lg(), "Failed to write DNS response to TUN device: {} client={}:{}", sent.error().message(), req.src,
               req.src_port);
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted) SV_ERROR(lg(), "Failed to answer DNS request: {}", e.what());
  } catch (const std::exception& e) {
    SV_ERROR(lg(), "Failed to answer DNS request: {}", e.what());
  }
}

}  // namespace

asio::awaitable<util::Expected<void, core::Error>> DnsServer::run(std::shared_ptr<DnsServer> self) {
  std::size_t handed_out = 0;
  while (true) {
    // Shutdown first: what is still queued then is dropped unanswered.
    if (self->shut_down_.load(std::memory_order_acquire)) co_return util::Expected<void, core::Error>{};
    if (self->in_flight_.load(std::memory_order_acquire) >= kMaxRequestsInFlight) {
      handed_out = 0;
      (void)co_await self->slot_free_.async_receive(asio::as_tuple(asio::use_awaitable));
      continue;
    }
    auto [ec, request] = co_await self->requests_.async_receive(asio::as_tuple(asio::use_awaitable));
    if (self->shut_down_.load(std::memory_order_acquire)) co_return util::Expected<void, core::Error>{};
    if (ec) {
      if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
      co_return util::Unexpected(core::Error::io(std::string("DNS server receiver channel was closed")));
    }
    self->in_flight_.fetch_add(1, std::memory_order_acq_rel);
    self->tasks.spawn(self->executor_, answer(self->catalog(), std::move(request)), [self](std::exception_ptr) {
      if (self->in_flight_.fetch_sub(1, std::memory_order_acq_rel) >= kMaxRequestsInFlight)
        (void)self->slot_free_.try_send(boost::system::error_code{});
    });
    if (++handed_out > kYieldAfter) {
      handed_out = 0;
      co_await asio::post(self->executor_, asio::use_awaitable);
    }
  }
}

void DnsServer::spawn(const std::shared_ptr<DnsServer>& self) {
  self->tasks.spawn(self->executor_, [](std::shared_ptr<DnsServer> s) -> asio::awaitable<void> {
    auto r = co_await run(std::move(s));
    if (!r) SV_ERROR(lg(), "I/O error: {}", r.error().detail());
  }(self));
}

}  // namespace sarvolt::agent::dns
