// Links of the UDP node (NodePeer): application datagrams in and out.
#include "platform/p2p/udp_node_core.hpp"

#include <cerrno>
#include <cstring>
#include <optional>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "platform/p2p/waiter_guard.hpp"
#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::udp_node")

using namespace std::chrono_literals;

asio::awaitable<boost::system::error_code> Waker::wait() {
  auto [ec] = co_await WakeSignal::wait();
  co_return ec;
}

void UdpNode::Core::peer_app(const wire::Header& h, Instant now) {
  auto p = h.short_sender ? find_short(h.sender_short_id) : find_peer(h.sender);
  if (!p) {
    count.unknown.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const auto payload = open_body(h, p->keys(own_pk(), agreement));
  if (!payload) {
    count.unauthentic.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::shared_ptr<Waker> wake;
  {
    std::lock_guard lock(p->mutex);
    if (armed && !p->replay.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
      count.replayed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (p->pow != PowStatus::Ok) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (p->count == kRingCapacity) {
      count.full.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (p->ring.empty()) {  // the first datagram queued
      p->ring.resize(kRingCapacity);
      Peer::rings_allocated.fetch_add(1, std::memory_order_relaxed);
    }
    p->ring[(p->head + p->count) % p->ring.size()].assign(payload->begin(), payload->end());
    ++p->count;
    p->app_rx = now;
    p->last_traffic = now;
    if (p->read_waiters > 0) wake = p->reader;
  }
  count.delivered.fetch_add(1, std::memory_order_relaxed);
  if (wake && std::find(to_wake.begin(), to_wake.end(), wake) == to_wake.end()) to_wake.push_back(std::move(wake));
}

namespace {

// Where an application datagram to `p` goes and in which sender form, or why
// it cannot go.
util::Expected<void, SendDatagramError> app_route(Peer& p, udp::endpoint& to, wire::Sender& sender) {
  std::lock_guard lock(p.mutex);
  if (p.closed) return send_error(SendKind::Closed, "node shut down");
  if (p.pow == PowStatus::Nok) return send_error(SendKind::Failed, "peer refused: proof of work below the minimum");
  if (!p.route) return send_error(SendKind::Failed, "no path to peer");
  to = *p.route;
  if (p.tx_id) {
    sender.short_form = true;
    sender.short_id = p.tx_id->value();
  }
  return {};
}

// The peer's session keys (for encode_app), derived here on the first send.
util::Expected<void, SendDatagramError> keys_ready(Peer& p, const PubKey& own,
                                                  const std::optional<crypto::AgreementKeys>& agreement) {
  if (agreement && !p.keys(own, agreement)) return send_error(SendKind::Failed, p.keys_failure());
  return {};
}

util::Unexpected<SendDatagramError> send_failure(int err) {
  if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) return send_error(SendKind::QueueFull, "send queue full");
  return send_error(SendKind::Failed, fmt::format("send failed: {}", std::strerror(err)));
}

}  // namespace

std::size_t UdpNode::Core::encode_app(Peer& p, const wire::Sender& sender, std::span<const std::uint8_t> payload,
                                      std::span<std::uint8_t> out) {
  if (!armed) return wire::encode(out, wire::Type::App, p.pk, sender, payload, nullptr);
  const wire::Seal seal{&p.ready_keys(), epoch, p.tx_counter.fetch_add(1, std::memory_order_relaxed), salt};
  return wire::encode(out, wire::Type::App, p.pk, sender, payload, &seal);
}

util::Expected<void, SendDatagramError> UdpNode::Core::send_app(Peer& p, std::span<const std::uint8_t> payload) {
  if (payload.size() > wire::kMaxAppPayload)
    return send_error(SendKind::TooLarge, fmt::format("datagram too large: {} bytes", payload.size()));
  udp::endpoint to;
  wire::Sender sender{own_pk()};
  if (auto routed = app_route(p, to, sender); !routed) return util::Unexpected(std::move(routed.error()));
  if (auto ready = keys_ready(p, own_pk(), agreement); !ready) return util::Unexpected(std::move(ready.error()));
  const auto buf = send_buffer();
  const std::size_t n = encode_app(p, sender, payload, buf);
  if (const int err = send_raw(to, buf.first(n)); err != 0) return send_failure(err);
  p.app_tx.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  return {};
}

util::Expected<std::size_t, SendDatagramError> UdpNode::Core::send_app_batch(
    Peer& p, std::span<const std::span<const std::uint8_t>> payloads) {
  udp::endpoint to;
  wire::Sender sender{own_pk()};
  if (auto routed = app_route(p, to, sender); !routed) return util::Unexpected(std::move(routed.error()));
  if (auto ready = keys_ready(p, own_pk(), agreement); !ready) return util::Unexpected(std::move(ready.error()));
  const auto buf = batch_buffer();
  std::array<std::span<const std::uint8_t>, kSendBatch> out;
  std::size_t used = 0, m = 0;
  for (; m < payloads.size() && m < kSendBatch; ++m) {
    const auto& payload = payloads[m];
    if (used + wire::encoded_size(sender.short_form, armed, payload.size()) > buf.size()) break;
    const auto room = buf.subspan(used);
    const std::size_t n = encode_app(p, sender, payload, room);
    out[m] = room.first(n);
    used += n;
  }
  const int sent = send_raw_batch(to, {out.data(), m});
  if (sent <= 0) return send_failure(-sent);
  p.app_tx.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  return static_cast<std::size_t>(sent);
}

namespace {

[[noreturn]] void throw_aborted() { throw boost::system::system_error(asio::error::operation_aborted); }

class UdpNodePeer final : public NodePeer {
 public:
  UdpNodePeer(std::shared_ptr<UdpNode::Core> core, std::shared_ptr<Peer> peer)
      : core_(std::move(core)), peer_(std::move(peer)), wake_(std::make_shared<Waker>(core_->ex)) {}

  ~UdpNodePeer() override { close(); }

  void close() override {
    if (wake_->link_closed.exchange(true)) return;
    {
      std::lock_guard lock(peer_->mutex);
      if (peer_->reader == wake_) peer_->reader.reset();
    }
    wake_->close();
  }
  bool closed() const noexcept override { return wake_->link_closed.load(std::memory_order_acquire); }

  const std::shared_ptr<Waker>& waker() const noexcept { return wake_; }
  const PubKey& pk() const noexcept override { return peer_->pk; }

  asio::awaitable<std::size_t> read_datagrams(std::span<Datagram> slots) override {
    return read_loop(peer_, wake_, slots);  // holds the peer and the waker, not `this`
  }

  asio::awaitable<util::Expected<void, SendDatagramError>> send_datagrams_wait(
      std::span<const std::span<const std::uint8_t>> datagrams) override {
    return send_loop(core_, peer_, wake_, datagrams);
  }

  util::Expected<void, SendDatagramError> send_datagram(std::span<const std::uint8_t> datagram) override {
    if (closed()) return send_error(SendKind::Closed, "link closed");
    return core_->send_app(*peer_, datagram);
  }

  NodePeerStats stats() const override { return core_->peer_stats(*peer_); }

 private:
  static asio::awaitable<std::size_t> read_loop(std::shared_ptr<Peer> p, std::shared_ptr<Waker> w,
                                                std::span<Datagram> slots) {
    if (slots.empty()) co_return 0;
    for (;;) {
      std::size_t n = 0;
      bool closed;
      {
        std::lock_guard lock(p->mutex);
        closed = p->closed || w->link_closed.load(std::memory_order_acquire);
        while (!closed && n < slots.size() && p->count > 0) {
          // Buffers only ever move to where they are at least as large, so
          // neither side loses capacity and warm traffic allocates nothing.
          auto& slot = p->ring[p->head];
          auto& out = slots[n++];
          if (out.capacity() >= slot.capacity()) {
            std::swap(out, slot);
            slot.clear();
          } else {
            out.assign(slot.begin(), slot.end());
          }
          p->head = (p->head + 1) % p->ring.size();
          --p->count;
        }
        if (!closed && n == 0) ++p->read_waiters;
      }
      if (closed) throw_aborted();
      if (n > 0) co_return n;
      WaiterGuard guard(p->mutex, p->read_waiters);
      if (co_await w->wait()) throw_aborted();  // cancelled, the link released or the node stopped
    }
  }

  static asio::awaitable<util::Expected<void, SendDatagramError>> send_loop(
      std::shared_ptr<UdpNode::Core> core, std::shared_ptr<Peer> p, std::shared_ptr<Waker> w,
      std::span<const std::span<const std::uint8_t>> datagrams) {
    for (const auto& d : datagrams)
      if (d.size() > wire::kMaxAppPayload)
        co_return send_error(SendKind::TooLarge, fmt::format("datagram too large: {} bytes", d.size()));
    std::optional<asio::steady_timer> backoff;
    while (!datagrams.empty()) {
      if (w->link_closed.load(std::memory_order_acquire)) co_return send_error(SendKind::Closed, "link closed");
      auto sent = core->send_app_batch(*p, datagrams);
      if (sent) {
        datagrams = datagrams.subspan(*sent);
        continue;
      }
      if (sent.error().kind() != SendKind::QueueFull) co_return util::Unexpected(sent.error());
      // The socket's send buffer is full: wait a little and try again.
      if (!backoff) backoff.emplace(co_await asio::this_coro::executor);
      backoff->expires_after(200us);
      co_await backoff->async_wait(asio::use_awaitable);
    }
    co_return util::Expected<void, SendDatagramError>{};
  }

  std::shared_ptr<UdpNode::Core> core_;
  std::shared_ptr<Peer> peer_;
  std::shared_ptr<Waker> wake_;
};

}  // namespace

util::Expected<NodePeerRef, InitiateError> UdpNode::Core::open_link(const std::shared_ptr<Peer>& p, bool& opened) {
  auto& peer = *p;
  std::shared_ptr<UdpNodePeer> link;
  {
    std::lock_guard lock(peer.mutex);
    if (peer.pow == PowStatus::Nok)
      return util::Unexpected(InitiateError("peer refused: proof of work below the minimum: " + peer.pk.to_string()));
    if (auto existing = peer.handle.lock(); existing && !existing->closed()) return existing;
    link = std::make_shared<UdpNodePeer>(shared_from_this(), p);
    peer.handle = link;
    peer.reader = link->waker();
  }
  opened = true;
  return NodePeerRef(std::move(link));
}

}  // namespace sarvolt::p2p
