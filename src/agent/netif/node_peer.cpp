#include "agent/netif/node_peer.hpp"

#include <cstddef>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/firewall/firewall.hpp"
#include "agent/netif/packet_steps.hpp"
#include "agent/netif/tun_device.hpp"
#include "util/log.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::netif::node_peer")

namespace asio = boost::asio;
using fmt::arg;

struct NodePeer::Shared {
  std::uint16_t mtu;
  std::weak_ptr<AgentFirewall> firewall;
  std::shared_ptr<util::AsyncTun> tun;  // none: everything received is dropped
  std::shared_ptr<TunNetworks> tun_networks;
};

namespace {

// The rare outcomes and the trace lines, out of the per-datagram path's way.
[[gnu::cold, gnu::noinline]] void drop_undecodable(spdlog::logger& log, const util::Ipv4DecodeError& e,
                                                   const p2p::PubKey& pk) {
  if (e.kind == util::Ipv4DecodeError::Kind::NotIpv4)
    SV_DEBUG(log, "Received IPv6 packet (IPv6 is not supported, packet dropped) pk={}", pk.debug());
  else
    SV_DEBUG(log, "Failed to decode IP packet: {} pk={}", e.to_string(), pk.debug());
}

[[gnu::cold, gnu::noinline]] void trace_received(spdlog::logger& log, const p2p::PubKey& pk, util::Ipv4Addr src,
                                                 util::Ipv4Addr dst, std::size_t size) {
  SV_TRACE(log, "Received packet from Sarvolt. pk={} src={} dst={} payload_len={}", pk.debug(), src, dst, size);
}

[[gnu::cold, gnu::noinline]] void answer_too_big(spdlog::logger& log, const p2p::PubKey& pk, std::uint16_t mtu,
                                                 p2p::NodePeer& link, const TunNetworks& tun_networks,
                                                 const util::Ipv4HeaderView& hdr) {
  const auto src = hdr.source(), dst = hdr.destination();
  const std::size_t size = hdr.packet().size();
  SV_TRACE(log,
           "Packet size {size} bytes exceeds MTU {mtu} bytes with Don't Fragment flag set, sending ICMP "
           "Fragmentation Needed peer={peer} src={src} dst={dst} packet_size={size} mtu={mtu}",
           arg("size", size), arg("mtu", mtu), arg("peer", pk.debug()), arg("src", src), arg("dst", dst));
  if (!util::may_answer_with_icmp_error(hdr, *tun_networks.load(std::memory_order_acquire))) {
    SV_DEBUG(log, "Not answering with an ICMP error (ICMP error, fragment or non-unicast source) pk={}", pk.debug());
    return;
  }
  util::IcmpBuffer reply;
  const std::size_t len = util::build_icmp_fragmentation_needed(hdr, mtu, reply);
  auto sent = link.send_datagram({reply.data(), len});
  if (sent)
    SV_TRACE(log, "Successfully sent ICMP Fragmentation Needed response to peer pk={}", pk.debug());
  else
    SV_WARN(log, "Failed to send ICMP Fragmentation Needed response to peer: {error} pk={peer} error={error}",
            arg("error", sent.error().message()), arg("peer", pk.debug()));
}

[[gnu::cold, gnu::noinline]] void drop_control(spdlog::logger& log, const p2p::PubKey& pk, util::Ipv4Addr src,
                                               util::Ipv4Addr dst) {
  SV_TRACE(log,
           "Dropping Sarvolt control plane packet: {src} -> {dst} (control traffic filtered) peer={peer} "
           "src={src} dst={dst}",
           arg("src", src), arg("dst", dst), arg("peer", pk.debug()));
}

[[gnu::cold, gnu::noinline]] void drop_unrouted(spdlog::logger& log, const p2p::PubKey& pk) {
  SV_DEBUG(log, "No inbound route found for destination (missing destination route in routing table). pk={}",
           pk.debug());
}

}  // namespace

void handle_peer_datagram(const p2p::PubKey& pk, std::uint16_t mtu, p2p::NodePeer& link,
                          const TunNetworks& tun_networks, const ReceiveTrie& rx, std::span<const std::uint8_t> bytes,
                          std::vector<std::span<const std::uint8_t>>& to_tun) {
  spdlog::logger& log = lg();
  const auto hdr = util::Ipv4HeaderView::decode(bytes);
  if (!hdr) return drop_undecodable(log, hdr.error(), pk);
  const auto src = hdr->source(), dst = hdr->destination();
  if (log.should_log(spdlog::level::trace)) trace_received(log, pk, src, dst, bytes.size());
  if (bytes.size() > mtu && hdr->dont_fragment()) return answer_too_big(log, pk, mtu, link, tun_networks, *hdr);
  if (util::is_sarvolt_control_packet(*hdr)) return drop_control(log, pk, src, dst);
  if (!AgentFirewall::handle_inbound_packet(rx, bytes, src, dst, pk, to_tun)) drop_unrouted(log, pk);
}

namespace {

struct Driver {
  Driver(const p2p::PubKey& pk, p2p::NodePeerRef link, std::shared_ptr<const NodePeer::Shared> shared)
      : pk(pk),
        link(std::move(link)),
        shared(std::move(shared)),
        mtu(this->shared->mtu),
        firewall(this->shared->firewall),
        tun(this->shared->tun),
        tun_networks(this->shared->tun_networks) {}

  p2p::PubKey pk;
  p2p::NodePeerRef link;
  std::shared_ptr<const NodePeer::Shared> shared;
  // Of `shared`:
  const std::uint16_t& mtu;
  const std::weak_ptr<AgentFirewall>& firewall;
  const std::shared_ptr<util::AsyncTun>& tun;
  const std::shared_ptr<TunNetworks>& tun_networks;

  asio::awaitable<void> run() {
    // An idle peer waits with one slot; the full batch of slots (which then
    // keep their capacity) and the hand-over list come with its first
    // datagrams. So an idle peer costs little memory, a busy one allocates
    // nothing per datagram.
    std::vector<p2p::Datagram> slots(1);
    std::vector<std::span<const std::uint8_t>> to_tun;
    std::size_t handled = 0;
    try {
      while (true) {
        SV_TRACE(lg(), "Drive transmit.");
        const std::size_t n = co_await link->read_datagrams(slots);
        if (!tun) {
          if (n > 0)
            SV_WARN(lg(),
                    "No TUN device available, dropping {n} received datagram(s). Messages cannot be forwarded. "
                    "pk={pk} dropped_count={n}",
                    arg("n", n), arg("pk", pk.debug()));
        } else {
          SV_TRACE(lg(), "Recv ready. Got {} datagrams.", n);
          to_tun.clear();
          {
            auto fw = firewall.lock();
            if (!fw) break;
            const auto tries = fw->tries();
            fw.reset();
            for (std::size_t i = 0; i < n; ++i)
              handle_peer_datagram(pk, mtu, *link, *tun_networks, tries->rx, slots[i], to_tun);
          }
          // The local stack answers in our write (echo replies, ACKs): the
          // TUN driver, woken after it, reads them here, on this thread, and
          // their readiness wakes no other thread meanwhile.
          auto written = co_await tun->send_all_and_wake(to_tun);
          if (written)
            SV_TRACE(lg(), "Successfully forwarded packet to TUN device. pk={}", pk.debug());
          else
            SV_WARN(lg(), "Failed to forward packet to TUN device: {error} pk={pk} error={error}",
                    arg("error", written.error().message()), arg("pk", pk.debug()));
        }
        // A batch short of the slots drained the link: the next read waits,
        // so there is no run to break with a yield.
        handled = n < slots.size() ? 0 : handled + n;
        if (slots.size() < kNodePeerRecvBatch) {
          slots.resize(kNodePeerRecvBatch);
          to_tun.reserve(kNodePeerRecvBatch);
        }
        if (handled > kYieldAfter) {
          handled = 0;
          co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        }
      }
    } catch (const boost::system::system_error& e) {
      if (e.code() != asio::error::operation_aborted) SV_ERROR(lg(), "I/O error: {}", e.what());
    } catch (const std::exception& e) {
      SV_ERROR(lg(), "I/O error: {}", e.what());
    }
    SV_TRACE(lg(), "NodePeerDriver ready");
  }
};

asio::awaitable<void> drive(Driver d) { co_await d.run(); }

}  // namespace

util::Expected<std::shared_ptr<NodePeer>, core::Error> NodePeer::create(DataPlaneContext& ctx, const p2p::PubKey& pk,
                                                                        util::TaskGroup::Batch* starts,
                                                                        std::shared_ptr<const Shared>* shared,
                                                                        Blocks* blocks) {
  auto link = ctx.node->initiate(pk);
  if (!link) return util::Unexpected(core::Error::make(core::Error::Kind::NodeError, link.error().message()));
  std::shared_ptr<const Shared> own;
  if (!shared) shared = &own;
  if (!*shared) {
    const auto tun_device = ctx.tun_slot.load(std::memory_order_acquire);
    *shared = std::make_shared<const Shared>(
        Shared{ctx.tun_mtu, ctx.firewall, tun_device ? tun_device->device() : nullptr, ctx.tun_networks});
  }
  std::shared_ptr<NodePeer> peer;  // object and count in one block
  if (blocks) {
    peer = std::allocate_shared<NodePeer>(blocks->slabs_.allocator<NodePeer>(), Key{}, pk, *link);
  } else {
    peer = std::make_shared<NodePeer>(Key{}, pk, *link);
  }
  if (starts) {
    // The driver's frame is made where it starts, at the batch launch.
    peer->task_ = starts->spawn_made(ctx.executor, [link = std::move(*link), shared = *shared]() mutable {
      const p2p::PubKey& remote = link->pk();
      return drive(Driver(remote, std::move(link), std::move(shared)));
    });
  } else {
    peer->task_ = ctx.tasks.spawn(ctx.executor, drive(Driver(pk, std::move(*link), *shared)));
  }
  return peer;
}

NodePeer::~NodePeer() { stop(); }

void NodePeer::stop() {
  link_->close();
  task_.stop();
}

}  // namespace sarvolt::agent
