// Received datagrams of the UDP node: dispatch, HELLO/ACK with super peers
// and peers, opening sealed bodies, replay windows; HELLO/ACK sending.
#include "platform/p2p/udp_node_core.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::udp_node")

UdpNode::Core::SuperPeerInfo* UdpNode::Core::super_peer_at(const udp::endpoint& from) {
  for (auto& info : super_peers)
    if (std::find(info.endpoints.begin(), info.endpoints.end(), from) != info.endpoints.end()) return &info;
  return nullptr;
}

std::optional<std::span<const std::uint8_t>> UdpNode::Core::open_body(
    const wire::Header& h, const std::optional<crypto::SessionKeys>& keys) {
  if (!armed) return h.body;
  if (!keys) return std::nullopt;
  const auto out = std::span(scratch).first(h.body.size() - crypto::SessionKeys::kTagSize);
  if (!wire::open(h, *keys, out)) return std::nullopt;
  return out;
}

void UdpNode::Core::handle_datagram(std::span<const std::uint8_t> d, const udp::endpoint& raw_from, Instant now) {
  count.received.fetch_add(1, std::memory_order_relaxed);
  const auto from = wire::normalize(raw_from);
  auto h = wire::decode_header(d);
  if (!h || h->recipient != own_pk() || h->sealed != armed) {
    count.malformed.fetch_add(1, std::memory_order_relaxed);
    SV_TRACE(lg(), "Dropped datagram from {}: {}", p2p::to_string(from),
             h ? "not for this node or wrong sealing" : h.error().message());
    return;
  }
  SuperPeerInfo* via = super_peer_at(from);
  if (via && !h->short_sender && h->sender == via->sp->pk()) return from_super_peer(*via, *h, from, now);
  switch (h->type) {
    case wire::Type::Hello:
    case wire::Type::Ack: return peer_hello(*h, d.size(), from, via, now);
    case wire::Type::App: return peer_app(*h, now);
    case wire::Type::Unite: break;
  }
  count.malformed.fetch_add(1, std::memory_order_relaxed);
}

void UdpNode::Core::from_super_peer(SuperPeerInfo& info, const wire::Header& h, const udp::endpoint& from,
                                    Instant now) {
  SuperPeer& sp = *info.sp;
  const auto body = open_body(h, sp.keys());
  if (!body) {
    count.unauthentic.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (armed) {
    std::lock_guard lock(sp.state_mutex());
    if (!sp.state().replay.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
      count.replayed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  if (h.type == wire::Type::Ack) {
    const auto ack = wire::decode_hello(*body);
    if (!ack || ack->network_id != opts.network_id()) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const std::uint64_t now_us = micros(now);
    if (ack->timestamp_us > now_us || now_us - ack->timestamp_us > 600'000'000) return;  // not one of ours
    SuperPeer::Best best;
    {
      std::lock_guard lock(sp.state_mutex());
      auto& st = sp.state();
      const auto it = st.paths.find(PeerPathKey::udp(from));
      if (it == st.paths.end()) return;
      it->second.ack_received(now, std::chrono::microseconds(now_us - ack->timestamp_us));
      best = SuperPeer::reorder(st, now, opts.hello_timeout());
    }
    std::lock_guard lock(relay_mutex);
    info.best = best;
    SV_TRACE(lg(), "ACK from super peer {} via {}", sp.pk(), p2p::to_string(from));
    return;
  }
  if (h.type == wire::Type::Unite) {
    const auto u = wire::decode_unite(*body);
    if (!u) {
      count.malformed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    SV_TRACE(lg(), "UNITE from super peer {}: peer {} at {}", sp.pk(), u->peer, p2p::to_string(u->endpoint));
    // Unsealed, a UNITE proves nothing (and its HELLO would go to any address).
    if (opts.process_unites() && armed) unite(u->peer, u->endpoint, now);
    return;
  }
  count.malformed.fetch_add(1, std::memory_order_relaxed);
}

bool UdpNode::Core::stranger_passes(const wire::Header& h, Instant now) {
  if (h.type != wire::Type::Hello) {  // an ACK answers only a HELLO of ours, to a peer we know
    count.unknown.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (h.body.size() < wire::kHelloBodySize + (armed ? crypto::SessionKeys::kTagSize : 0) || h.sender == own_pk()) {
    count.malformed.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (table_full()) {
    count.full.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (armed && !strangers.take(now)) {
    count.busy.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

void UdpNode::Core::peer_hello(const wire::Header& h, std::size_t size, const udp::endpoint& from, SuperPeerInfo* via,
                               Instant now) {
  // A stranger is remembered only once its HELLO opened, carries this network
  // id and enough proof of work: forged keys cannot fill the table. Its proof
  // of work is sealed, so what can be checked before the key agreement is,
  // and the agreements strangers cause are budgeted.
  std::shared_ptr<Peer> known = find_peer(h.sender);
  if (!known && !stranger_passes(h, now)) return;
  std::optional<crypto::SessionKeys> fresh;
  if (!known && armed) {
    auto k = crypto::compute_kx_session_keys(own_pk(), *agreement, h.sender);
    if (!k) {
      count.unauthentic.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    fresh = std::move(*k);
    Peer::keys_derived.fetch_add(1, std::memory_order_relaxed);
  }
  const auto body = open_body(h, known ? known->keys(own_pk(), agreement) : fresh);
  if (!body) {
    count.unauthentic.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const auto hello = wire::decode_hello(*body);
  if (!hello) {
    count.malformed.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const bool pow_ok = pow_difficulty(h.sender, hello->pow) >= opts.min_pow_difficulty();
  if (!known && (!pow_ok || hello->network_id != opts.network_id())) {
    count.refused.fetch_add(1, std::memory_order_relaxed);
    SV_DEBUG(lg(), "{} from {} refused (network id {}, proof of work {})", wire::type_name(h.type), h.sender,
             hello->network_id, pow_difficulty(h.sender, hello->pow));
    return;
  }
  util::Expected<std::shared_ptr<Peer>, std::string> p = known;
  if (!known) p = peer_for(h.sender, now, std::move(fresh));
  if (!p) {
    count.full.fetch_add(1, std::memory_order_relaxed);
    SV_DEBUG(lg(), "HELLO from {} dropped: {}", h.sender, p.error());
    return;
  }
  Peer& peer = **p;
  const bool direct = via == nullptr;
  const std::uint64_t now_us = micros(now);
  {
    std::lock_guard lock(peer.mutex);
    if (armed && !peer.replay.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
      count.replayed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (hello->network_id != opts.network_id()) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const PowStatus was = peer.pow;
    peer.pow = pow_ok ? PowStatus::Ok : PowStatus::Nok;
    peer.v2 = hello->version >= 2;
    if (hello->short_id != 0) peer.tx_id = ShortId(hello->short_id);
    peer.last_traffic = now;
    if (!pow_ok) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      if (was != PowStatus::Nok)
        SV_WARN(lg(), "Peer {} refused: proof of work {} is below the minimum difficulty {}", peer.pk,
                pow_difficulty(peer.pk, hello->pow), opts.min_pow_difficulty());
      return;
    }
    const auto key = PeerPathKey::udp(from);
    // Only a sealed HELLO proves the sender's key, and so may give it a new
    // address; unsealed peers stay on their relays.
    if (direct && armed && opts.process_unites() && !peer.direct.contains(key) &&
        peer.direct.size() < kMaxDirectPaths) {
      peer.direct.emplace(key, PeerPath{});
      peer.direct_order.push_back(key);
    }
    if (h.type == wire::Type::Ack && hello->timestamp_us <= now_us &&
        now_us - hello->timestamp_us <= 600'000'000) {
      PeerPath* path = nullptr;
      if (direct) {
        const auto it = peer.direct.find(key);
        if (it != peer.direct.end()) path = &it->second;
      } else {
        if (!peer.relay.contains(via->sp->pk())) peer.relay_order.push_back(via->sp->pk());
        path = &peer.relay[via->sp->pk()];
      }
      if (path) path->ack_received(now, std::chrono::microseconds(now_us - hello->timestamp_us));
      recompute(peer, now);
    }
  }
  // A direct ACK echoes the HELLO's padding, so a probe learns what the path
  // carries, but is never larger than the HELLO: the source may be forged.
  if (h.type == wire::Type::Hello)
    send_peer_hello(peer, wire::Type::Ack, from, hello->timestamp_us, direct ? std::min(size, probe_size()) : 0);
}

void UdpNode::Core::send_peer_hello(Peer& p, wire::Type type, const udp::endpoint& to, std::uint64_t timestamp,
                                    std::size_t size) {
  const wire::Hello hello{wire::kProtocolVersion, opts.identity().pow(), opts.network_id(), p.rx_id.value(), timestamp};
  std::size_t body_size = wire::kHelloBodySize;
  const std::size_t bare = wire::encoded_size(false, armed, body_size);
  if (size > bare) body_size += size - bare;
  std::vector<std::uint8_t> body(body_size);
  wire::encode_hello(std::span(body).first<wire::kHelloBodySize>(), hello);
  const auto buf = send_buffer();
  std::size_t n;
  if (armed) {
    const auto& keys = p.keys(own_pk(), agreement);
    if (!keys) return;  // logged once where derivation failed
    const wire::Seal seal{&*keys, epoch, p.tx_counter.fetch_add(1, std::memory_order_relaxed), salt};
    n = wire::encode(buf, type, p.pk, wire::Sender{own_pk()}, body, &seal);
  } else {
    n = wire::encode(buf, type, p.pk, wire::Sender{own_pk()}, body, nullptr);
  }
  if (const int err = send_raw(to, buf.first(n)); err != 0)
    SV_TRACE(lg(), "{} to peer {} via {} failed: {}", wire::type_name(type), p.pk, p2p::to_string(to),
             std::strerror(err));
}

void UdpNode::Core::send_super_peer_hello(SuperPeer& sp, const udp::endpoint& to, Instant now) {
  const wire::Hello hello{wire::kProtocolVersion, opts.identity().pow(), opts.network_id(), 0, micros(now)};
  std::array<std::uint8_t, wire::kHelloBodySize> body{};
  wire::encode_hello(body, hello);
  const auto buf = send_buffer();
  std::size_t n;
  if (armed) {
    const wire::Seal seal{&*sp.keys(), epoch, sp.next_counter(), salt};
    n = wire::encode(buf, wire::Type::Hello, sp.pk(), wire::Sender{own_pk()}, body, &seal);
  } else {
    n = wire::encode(buf, wire::Type::Hello, sp.pk(), wire::Sender{own_pk()}, body, nullptr);
  }
  if (const int err = send_raw(to, buf.first(n)); err != 0)
    SV_TRACE(lg(), "HELLO to super peer {} via {} failed: {}", sp.pk(), p2p::to_string(to), std::strerror(err));
}

// HELLO through every reachable super peer (or the default one) and every

}  // namespace sarvolt::p2p
