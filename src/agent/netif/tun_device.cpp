#include "agent/netif/tun_device.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/dns/agent_dns.hpp"
#include "agent/firewall/firewall.hpp"
#include "util/log.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::netif::tun_device")

namespace asio = boost::asio;

namespace {

bool would_block(const std::error_code& e) {
  return e == std::errc::resource_unavailable_try_again || e == std::errc::operation_would_block;
}

}  // namespace

struct TunDevice::Driver : ReleaseWatcher, std::enable_shared_from_this<Driver> {
  Driver(asio::any_io_executor ex, std::shared_ptr<AsyncTun> dev, std::uint16_t mtu_, std::weak_ptr<AgentFirewall> fw,
         std::weak_ptr<dns::AgentDns> dns_)
      : strand(asio::make_strand(std::move(ex))),
        device(std::move(dev)),
        mtu(mtu_),
        firewall(std::move(fw)),
        dns(std::move(dns_)) {}

  asio::strand<asio::any_io_executor> strand;
  asio::cancellation_signal cancel;  // emitted on strand only
  std::atomic<bool> stopped{false};
  std::atomic<bool> running{true};
  const std::shared_ptr<AsyncTun> device;
  const std::uint16_t mtu;
  const std::weak_ptr<AgentFirewall> firewall;
  const std::weak_ptr<dns::AgentDns> dns;
  // Strand only: the hand-over in flight and whether it was cancelled.
  std::uint64_t next_ticket = 0;
  std::uint64_t waiting_ticket = 0;
  bool handover_cancelled = false;

  void stop() {
    stopped.store(true, std::memory_order_release);
    asio::post(strand, [self = shared_from_this()] { self->cancel.emit(asio::cancellation_type::terminal); });
  }

  // A peer whose batch we are handing over was released: give up on it.
  void peer_released(std::uint64_t ticket) override {
    asio::post(strand, [self = shared_from_this(), ticket] {
      if (self->waiting_ticket != ticket) return;
      self->handover_cancelled = true;
      self->cancel.emit(asio::cancellation_type::terminal);
    });
  }

  void answer_unreachable(const util::Ipv4HeaderView& hdr) {
    const auto src = hdr.source(), dst = hdr.destination();
    if (!util::may_answer_with_icmp_error(hdr)) {
      SV_DEBUG(lg(), "Not answering with an ICMP error (ICMP error, fragment or non-unicast address) src={} dst={}",
               src, dst);
      return;
    }
    util::IcmpBuffer reply;
    const std::size_t len = util::build_icmp_host_unreachable(hdr, reply);
    auto r = device->try_send({reply.data(), len});
    if (r)
      SV_TRACE(lg(), "Sent ICMP Destination Unreachable (Host Unreachable) response src={} dst={}", src, dst);
    else if (would_block(r.error()))
      SV_TRACE(lg(),
               "TUN device pending while sending ICMP Destination Unreachable response; ICMP response dropped "
               "src={} dst={}",
               src, dst);
    else
      SV_DEBUG(lg(), "Failed to send ICMP Destination Unreachable (Host Unreachable) response: {} error={} src={} dst={}",
               r.error().message(), r.error().message(), src, dst);
  }

  // One packet read from the device; true when it was queued on a batch
  // (its buffer must then be kept until the hand-over).
  bool handle_packet(std::span<const std::uint8_t> packet, const TransmitTrie* tx, dns::AgentDns* dns_service,
                     OutboundBatches& batches) {
    auto hdr = util::Ipv4HeaderView::decode(packet);
    if (!hdr) {
      if (hdr.error().kind == util::Ipv4DecodeError::Kind::NotIpv4)
        SV_DEBUG(lg(), "Received IPv6 packet (IPv6 is not supported, packet dropped)");
      else
        SV_DEBUG(lg(), "Failed to decode IP packet: {} error={}", hdr.error().to_string(), hdr.error().to_string());
      return false;
    }
    const auto src = hdr->source(), dst = hdr->destination();
    SV_TRACE(lg(), "Received packet from TUN device. src={} dst={} payload_len={}", src, dst, packet.size());
    if (util::is_sarvolt_control_packet(packet)) {
      SV_TRACE(lg(), "Dropping Sarvolt control plane packet: {} -> {} (control traffic filtered) src={} dst={}", src,
               dst, src, dst);
      return false;
    }
    if (src == dst) {
      SV_TRACE(lg(), "Loopback packet detected: {} -> {}, sending directly back to TUN device src={} dst={}", src, dst,
               src, dst);
      (void)device->try_send(packet);
      return false;
    }
    if (tx && AgentFirewall::handle_outbound_packet(*tx, packet, *hdr, batches)) return true;
    if (dns_service && dns_service->handle_outbound_packet(packet, *hdr, device)) return false;
    SV_DEBUG(lg(),
             "No outbound route found for destination: {} -> {} (missing destination route in routing table), sending "
             "ICMP Destination Unreachable (Host Unreachable) src={} dst={}",
             src, dst, src, dst);
    answer_unreachable(*hdr);
    return false;
  }

  // Hands one batch to its peer; waits while the link is full.
  asio::awaitable<void> hand_over(OutboundBatches::Batch& batch) {
    auto& peer = *batch.peer;
    const std::uint64_t ticket = ++next_ticket;
    if (!peer.watch_release(weak_from_this(), ticket)) {
      SV_DEBUG(lg(), "Dropping batch for released peer {}", peer.pk());
      co_return;
    }
    waiting_ticket = ticket;
    std::exception_ptr failure;
    try {
      auto r = co_await peer.link()->send_datagrams_wait(batch.packets);
      if (r)
        SV_TRACE(lg(), "Successfully forwarded packet to Sarvolt.");
      else
        SV_ERROR(lg(), "Failed to send packet: {} error={}", r.error().message(), r.error().message());
    } catch (const boost::system::system_error& e) {
      if (e.code() != asio::error::operation_aborted || stopped.load(std::memory_order_acquire))
        failure = std::current_exception();
      else
        SV_DEBUG(lg(), "Dropped pending hand-over to released peer {}", peer.pk());
    }
    waiting_ticket = 0;
    peer.unwatch_release();
    if (handover_cancelled && !stopped.load(std::memory_order_acquire)) {
      handover_cancelled = false;
      co_await asio::this_coro::reset_cancellation_state();
    }
    if (failure) std::rethrow_exception(failure);
  }

  static asio::awaitable<void> run(std::shared_ptr<Driver> d) {
    std::vector<std::vector<std::uint8_t>> buffers(kTunReadBatch, std::vector<std::uint8_t>(d->mtu + 1u));
    OutboundBatches batches;
    std::size_t handled = 0;
    try {
      while (!d->stopped.load(std::memory_order_acquire)) {
        SV_TRACE(lg(), "Drive transmit.");
        std::size_t reads = 0, kept = 0;
        {
          auto fw = d->firewall.lock();
          const auto tx = fw ? fw->transmit_trie() : nullptr;
          fw.reset();
          const auto dns_service = d->dns.lock();
          for (; reads < kTunReadBatch; ++reads) {
            auto& buf = buffers[kept];
            auto r = d->device->try_recv({buf.data(), buf.size()});
            if (!r) {
              if (would_block(r.error())) break;
              SV_TRACE(lg(), "Recv error: {}", r.error().message());
              throw std::system_error(r.error());
            }
            if (*r > d->mtu) {
              SV_DEBUG(lg(), "Dropping packet longer than the TUN MTU of {} bytes", d->mtu);
              continue;
            }
            if (d->handle_packet({buf.data(), *r}, tx.get(), dns_service.get(), batches)) ++kept;
          }
        }
        // The trie snapshot is let go before waiting, so released peers can end.
        for (auto& batch : batches.batches()) co_await d->hand_over(batch);
        batches.clear();
        handled += reads;
        if (reads == 0) {
          SV_TRACE(lg(), "Recv pending");
          handled = 0;
          co_await d->device->wait_readable();
        } else if (handled > kYieldAfter) {
          handled = 0;
          co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        }
      }
    } catch (const boost::system::system_error& e) {
      if (e.code() != asio::error::operation_aborted) SV_ERROR(lg(), "I/O error: {}", e.code().message());
    } catch (const std::system_error& e) {
      SV_ERROR(lg(), "I/O error: {}", e.code().message());
    } catch (const std::exception& e) {
      SV_ERROR(lg(), "I/O error: {}", e.what());
    }
    SV_TRACE(lg(), "TunDeviceDriver ready");
    d->running.store(false, std::memory_order_release);
  }
};

std::shared_ptr<TunDevice> TunDevice::create(asio::any_io_executor ex, std::shared_ptr<AsyncTun> device,
                                             std::uint16_t mtu, std::weak_ptr<AgentFirewall> firewall,
                                             std::weak_ptr<dns::AgentDns> dns) {
  auto driver = std::make_shared<Driver>(std::move(ex), device, mtu, std::move(firewall), std::move(dns));
  // The completion handler keeps the signal's owner alive until the spawned
  // coroutine has let go of its slot.
  asio::co_spawn(driver->strand, Driver::run(driver),
                 asio::bind_cancellation_slot(driver->cancel.slot(), [driver](std::exception_ptr) {}));
  return std::shared_ptr<TunDevice>(new TunDevice(std::move(device), std::move(driver)));
}

TunDevice::TunDevice(std::shared_ptr<AsyncTun> device, std::shared_ptr<Driver> driver)
    : device_(std::move(device)), driver_(std::move(driver)) {}

TunDevice::~TunDevice() { driver_->stop(); }

bool TunDevice::driver_running() const noexcept { return driver_->running.load(std::memory_order_acquire); }

asio::awaitable<util::Expected<std::size_t, std::error_code>> TunDevice::send(
    AsyncTun& device, std::span<const std::span<const std::uint8_t>> packets) {
  std::size_t written = 0;
  std::error_code first_error;
  for (const auto& packet : packets) {
    auto r = device.try_send(packet);
    if (r) {
      ++written;
      continue;
    }
    if (would_block(r.error())) {
      auto waited = co_await device.send(packet);
      if (waited) {
        ++written;
        continue;
      }
      r = util::Unexpected(waited.error());
    }
    // Keep going: one bad packet must not cost the ones after it.
    if (!first_error) first_error = r.error();
  }
  if (first_error) co_return util::Unexpected(first_error);
  co_return written;
}

}  // namespace sarvolt::agent
