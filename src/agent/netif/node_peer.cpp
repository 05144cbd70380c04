#include "agent/netif/node_peer.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/firewall/firewall.hpp"
#include "agent/inner.hpp"
#include "agent/netif/tun_device.hpp"
#include "util/log.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::netif::node_peer")

namespace asio = boost::asio;

namespace {

bool is_abort(const boost::system::system_error& e) {
  return e.code() == asio::error::operation_aborted;
}

}  // namespace

NodePeerInner::NodePeerInner(p2p::NodePeerRef link, const p2p::PubKey& pk, asio::any_io_executor ex,
                             std::uint16_t mtu)
    : link_(std::move(link)), pk_(pk), mtu_(mtu), strand_(asio::make_strand(std::move(ex))) {}

bool NodePeerInner::watch_release(std::weak_ptr<ReleaseWatcher> w, std::uint64_t ticket) {
  std::lock_guard lock(mutex_);
  if (released_.load(std::memory_order_relaxed)) return false;
  watcher_ = std::move(w);
  ticket_ = ticket;
  return true;
}

void NodePeerInner::unwatch_release() {
  std::lock_guard lock(mutex_);
  watcher_.reset();
}

void NodePeerInner::release() {
  std::weak_ptr<ReleaseWatcher> watcher;
  std::uint64_t ticket;
  {
    std::lock_guard lock(mutex_);
    released_.store(true, std::memory_order_release);
    watcher.swap(watcher_);
    ticket = ticket_;
  }
  if (auto w = watcher.lock()) w->peer_released(ticket);
}

struct NodePeerDriver {
  static void stop(const std::shared_ptr<NodePeerInner>& self) {
    asio::post(self->strand_, [self] { self->stop_.emit(asio::cancellation_type::terminal); });
  }

  // Handles one received datagram; accepted packets go to `to_tun`.
  static void handle_datagram(NodePeerInner& self, const ReceiveTrie& rx, std::span<const std::uint8_t> bytes,
                              std::vector<std::span<const std::uint8_t>>& to_tun) {
    const auto& pk = self.pk();
    auto hdr = util::Ipv4HeaderView::decode(bytes);
    if (!hdr) {
      if (hdr.error().kind == util::Ipv4DecodeError::Kind::NotIpv4)
        SV_DEBUG(lg(), "Received IPv6 packet (IPv6 is not supported, packet dropped) pk={}", pk.debug());
      else
        SV_DEBUG(lg(), "Failed to decode IP packet: {} pk={}", hdr.error().to_string(), pk.debug());
      return;
    }
    const auto src = hdr->source(), dst = hdr->destination();
    SV_TRACE(lg(), "Received packet from Sarvolt. pk={} src={} dst={} payload_len={}", pk.debug(), src, dst,
             bytes.size());

    if (bytes.size() > self.mtu() && hdr->dont_fragment()) {
      SV_TRACE(lg(),
               "Packet size {} bytes exceeds MTU {} bytes with Don't Fragment flag set, sending ICMP Fragmentation "
               "Needed peer={} src={} dst={} packet_size={} mtu={}",
               bytes.size(), self.mtu(), pk.debug(), src, dst, bytes.size(), self.mtu());
      if (!util::may_answer_with_icmp_error(*hdr)) {
        SV_DEBUG(lg(), "Not answering with an ICMP error (ICMP error, fragment or non-unicast source) pk={}",
                 pk.debug());
        return;
      }
      util::IcmpBuffer reply;
      const std::size_t len = util::build_icmp_fragmentation_needed(*hdr, self.mtu(), reply);
      auto sent = self.link()->send_datagram({reply.data(), len});
      if (sent)
        SV_TRACE(lg(), "Successfully sent ICMP Fragmentation Needed response to peer pk={}", pk.debug());
      else
        SV_WARN(lg(), "Failed to send ICMP Fragmentation Needed response to peer: {} pk={} error={}",
                sent.error().message(), pk.debug(), sent.error().message());
      return;
    }

    if (util::is_sarvolt_control_packet(bytes)) {
      SV_TRACE(lg(), "Dropping Sarvolt control plane packet: {} -> {} (control traffic filtered) peer={} src={} dst={}",
               src, dst, pk.debug(), src, dst);
      return;
    }

    if (!AgentFirewall::handle_inbound_packet(rx, bytes, src, dst, pk, to_tun))
      SV_DEBUG(lg(), "No inbound route found for destination (missing destination route in routing table). pk={}",
               pk.debug());
  }

  static asio::awaitable<void> run(std::shared_ptr<NodePeerInner> self, std::weak_ptr<AgentFirewall> firewall,
                                   std::shared_ptr<AsyncTun> tun) {
    const auto& pk = self->pk();
    // Slots grow on first use and keep their capacity: an idle peer costs
    // little memory, a busy one allocates nothing per datagram.
    std::vector<p2p::Datagram> slots(kNodePeerRecvBatch);
    std::vector<std::span<const std::uint8_t>> to_tun;
    to_tun.reserve(kNodePeerRecvBatch);
    std::size_t handled = 0;
    try {
      while (!self->released()) {
        SV_TRACE(lg(), "Drive transmit.");
        const std::size_t n = co_await self->link()->read_datagrams(slots);
        if (!tun) {
          if (n > 0)
            SV_WARN(lg(),
                    "No TUN device available, dropping {} received datagram(s). Messages cannot be forwarded. pk={} "
                    "dropped_count={}",
                    n, pk.debug(), n);
        } else {
          SV_TRACE(lg(), "Recv ready. Got {} datagrams.", n);
          auto fw = firewall.lock();
          if (!fw) break;
          {
            const auto rx = fw->receive_trie();
            fw.reset();
            to_tun.clear();
            for (std::size_t i = 0; i < n; ++i) handle_datagram(*self, *rx, slots[i], to_tun);
          }
          auto written = co_await TunDevice::send(*tun, to_tun);
          if (written)
            SV_TRACE(lg(), "Successfully forwarded packet to TUN device. pk={}", pk.debug());
          else
            SV_WARN(lg(), "Failed to forward packet to TUN device: {} pk={} error={}", written.error().message(),
                    pk.debug(), written.error().message());
        }
        handled += n;
        if (handled > kYieldAfter) {
          handled = 0;
          co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        }
      }
    } catch (const boost::system::system_error& e) {
      if (!is_abort(e)) SV_ERROR(lg(), "I/O error: {}", e.what());
    } catch (const std::exception& e) {
      SV_ERROR(lg(), "I/O error: {}", e.what());
    }
    SV_TRACE(lg(), "NodePeerDriver ready");
    self->running_.store(false, std::memory_order_release);
  }
};

util::Expected<NodePeer, std::string> NodePeer::create(const std::shared_ptr<p2p::Node>& node, const p2p::PubKey& pk,
                                                       const std::shared_ptr<AgentInner>& agent) {
  std::shared_ptr<TunDevice> tun_device = agent->netif->tun_device();
  auto link = node->initiate(pk);
  if (!link) return util::Unexpected(link.error().message());
  auto inner = std::make_shared<NodePeerInner>(std::move(*link), pk, agent->executor, agent->tun_mtu);
  inner->running_.store(true, std::memory_order_release);
  // The completion handler keeps the signal's owner alive until the spawned
  // coroutine has let go of its slot.
  asio::co_spawn(inner->strand_,
                 NodePeerDriver::run(inner, agent->firewall, tun_device ? tun_device->device() : nullptr),
                 asio::bind_cancellation_slot(inner->stop_.slot(), [inner](std::exception_ptr) {}));
  return NodePeer(std::make_shared<Handle>(std::move(inner)));
}

NodePeer::Handle::~Handle() {
  inner->release();
  NodePeerDriver::stop(inner);
}

std::size_t hash_value(const NodePeer& p) noexcept { return p ? p2p::hash_value(p.pk()) : 0; }

}  // namespace sarvolt::agent
