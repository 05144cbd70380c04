#include "agent/netif/tun_device.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/firewall/firewall.hpp"
#include "agent/netif/packet_steps.hpp"
#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::netif::tun_device")

namespace asio = boost::asio;
using fmt::arg;

namespace {

void answer_unreachable(util::AsyncTun& device, const TunNetworks& tun_networks, const util::Ipv4HeaderView& hdr) {
  const auto src = hdr.source(), dst = hdr.destination();
  if (!util::may_answer_with_icmp_error(hdr, *tun_networks.load(std::memory_order_acquire))) {
    SV_DEBUG(lg(), "Not answering with an ICMP error (ICMP error, fragment or non-unicast address) src={} dst={}",
             src, dst);
    return;
  }
  util::IcmpBuffer reply;
  const std::size_t len = util::build_icmp_host_unreachable(hdr, reply);
  auto r = device.try_send({reply.data(), len});
  if (r)
    SV_TRACE(lg(), "Sent ICMP Destination Unreachable (Host Unreachable) response src={} dst={}", src, dst);
  else if (util::would_block(r.error()))
    SV_TRACE(lg(),
             "TUN device pending while sending ICMP Destination Unreachable response; ICMP response dropped "
             "src={} dst={}",
             src, dst);
  else
    SV_DEBUG(lg(),
             "Failed to send ICMP Destination Unreachable (Host Unreachable) response: {error} error={error} "
             "src={src} dst={dst}",
             arg("error", r.error().message()), arg("src", src), arg("dst", dst));
}

// The rare outcomes and the trace lines, out of the per-packet path's way.
[[gnu::cold, gnu::noinline]] void drop_undecodable(spdlog::logger& log, const util::Ipv4DecodeError& e) {
  if (e.kind == util::Ipv4DecodeError::Kind::NotIpv4)
    SV_DEBUG(log, "Received IPv6 packet (IPv6 is not supported, packet dropped)");
  else
    SV_DEBUG(log, "Failed to decode IP packet: {error} error={error}", arg("error", e.to_string()));
}

[[gnu::cold, gnu::noinline]] void trace_received(spdlog::logger& log, util::Ipv4Addr src, util::Ipv4Addr dst,
                                                 std::size_t size) {
  SV_TRACE(log, "Received packet from TUN device. src={} dst={} payload_len={}", src, dst, size);
}

[[gnu::cold, gnu::noinline]] void drop_control(spdlog::logger& log, util::Ipv4Addr src, util::Ipv4Addr dst) {
  SV_TRACE(log, "Dropping Sarvolt control plane packet: {src} -> {dst} (control traffic filtered) src={src} dst={dst}",
           arg("src", src), arg("dst", dst));
}

[[gnu::cold, gnu::noinline]] void loop_back(spdlog::logger& log, util::AsyncTun& device,
                                            std::span<const std::uint8_t> packet, util::Ipv4Addr addr) {
  SV_TRACE(log, "Loopback packet detected: {src} -> {dst}, sending directly back to TUN device src={src} dst={dst}",
           arg("src", addr), arg("dst", addr));
  (void)device.try_send(packet);
}

[[gnu::cold, gnu::noinline]] void no_route(spdlog::logger& log, util::AsyncTun& device,
                                           const TunNetworks& tun_networks, const util::Ipv4HeaderView& hdr) {
  const auto src = hdr.source(), dst = hdr.destination();
  SV_DEBUG(log,
           "No outbound route found for destination: {src} -> {dst} (missing destination route in routing table), "
           "sending ICMP Destination Unreachable (Host Unreachable) src={src} dst={dst}",
           arg("src", src), arg("dst", dst));
  answer_unreachable(device, tun_networks, hdr);
}

}  // namespace

bool handle_tun_packet(const std::shared_ptr<util::AsyncTun>& device, const TunNetworks& tun_networks,
                       std::span<const std::uint8_t> packet, const TransmitTrie& tx, OutboundPacketHook* dns_hook,
                       OutboundBatches& batches) {
  spdlog::logger& log = lg();
  const auto hdr = util::Ipv4HeaderView::decode(packet);
  if (!hdr) {
    drop_undecodable(log, hdr.error());
    return false;
  }
  const auto src = hdr->source(), dst = hdr->destination();
  if (log.should_log(spdlog::level::trace)) trace_received(log, src, dst, packet.size());
  if (util::is_sarvolt_control_packet(*hdr)) {
    drop_control(log, src, dst);
    return false;
  }
  if (src == dst) {
    loop_back(log, *device, packet, src);
    return false;
  }
  // Queries to our own DNS server addresses are answered here even when a
  // route (an exit route through a gateway, say) covers those addresses.
  if (dns_hook && dns_hook->handle_outbound_packet(packet, *hdr, device)) return false;
  if (AgentFirewall::handle_outbound_packet(tx, packet, *hdr, batches)) return true;
  no_route(log, *device, tun_networks, *hdr);
  return false;
}

namespace {

struct Driver {
  std::shared_ptr<util::AsyncTun> device;
  std::uint16_t mtu;
  std::weak_ptr<AgentFirewall> firewall;
  std::weak_ptr<OutboundPacketHook> dns;
  std::shared_ptr<TunNetworks> tun_networks;

  asio::awaitable<void> run() {
    std::vector<std::vector<std::uint8_t>> buffers(kTunReadBatch, std::vector<std::uint8_t>(mtu + 1u));
    OutboundBatches batches;
    const FirewallTries empty;
    std::size_t handled = 0;
    try {
      while (true) {
        SV_TRACE(lg(), "Drive transmit.");
        std::size_t reads = 0, kept = 0;
        // The snapshot stays until the pass's hand-overs are done: the
        // batches point at its peers.
        auto fw = firewall.lock();
        const auto tries = fw ? fw->tries() : nullptr;
        fw.reset();
        {
          const auto dns_hook = dns.lock();
          const TransmitTrie& tx = tries ? tries->tx : empty.tx;
          for (; reads < kTunReadBatch; ++reads) {
            auto& buf = buffers[kept];
            auto r = device->try_recv({buf.data(), buf.size()});
            if (!r) {
              if (util::would_block(r.error())) break;
              SV_TRACE(lg(), "Recv error: {}", r.error().message());
              throw std::system_error(r.error());
            }
            if (*r > mtu) {
              SV_DEBUG(lg(), "Dropping packet longer than the TUN MTU of {} bytes", mtu);
              continue;
            }
            if (handle_tun_packet(device, *tun_networks, {buf.data(), *r}, tx, dns_hook.get(), batches)) ++kept;
          }
        }
        // Each batch to its peer, in the driver's own frame; waits while the
        // link is full. A peer that is stopped meanwhile closes its link,
        // which ends the wait.
        for (auto& batch : batches.batches()) {
          auto r = co_await batch.peer->link()->send_datagrams_wait(batch.packets);
          if (r)
            SV_TRACE(lg(), "Successfully forwarded packet to Sarvolt.");
          else if (r.error().kind() == p2p::SendDatagramError::Kind::Closed)
            SV_DEBUG(lg(), "Dropped batch for stopped peer {}", batch.peer->pk());
          else
            SV_ERROR(lg(), "Failed to send packet: {error} error={error}", arg("error", r.error().message()));
        }
        batches.clear();
        handled += reads;
        if (reads == 0) {
          SV_TRACE(lg(), "Recv pending");
          handled = 0;
          co_await device->wait_readable();
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
  }
};

asio::awaitable<void> drive(Driver d) { co_await d.run(); }

}  // namespace

std::shared_ptr<TunDevice> TunDevice::create(DataPlaneContext& ctx) {
  auto task = ctx.tasks.spawn(ctx.executor, drive(Driver{ctx.tun, ctx.tun_mtu, ctx.firewall, ctx.dns, ctx.tun_networks}));
  return std::shared_ptr<TunDevice>(new TunDevice(ctx.tun, std::move(task)));
}

TunDevice::~TunDevice() { task_.stop(); }

}  // namespace sarvolt::agent
