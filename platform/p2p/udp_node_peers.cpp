// Peers of the UDP node: the peer table, UNITE, path choice, HELLOs to
// peers, their statistics, and housekeeping.
#include "platform/p2p/udp_node_core.hpp"

#include <algorithm>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::udp_node")

void UdpNode::Core::unite(const PubKey& pk, const udp::endpoint& ep, Instant now) {
  auto p = find_peer(pk);
  if (!p) return;
  {
    std::lock_guard lock(p->mutex);
    if (p->pow == PowStatus::Nok) return;
    const auto key = PeerPathKey::udp(ep);
    if (!p->direct.contains(key)) {
      if (p->direct.size() >= kMaxDirectPaths) return;
      p->direct.emplace(key, PeerPath{});
      p->direct_order.push_back(key);
    }
    p->direct[key].hello_sent(now);
  }
  send_peer_hello(*p, wire::Type::Hello, ep, micros(now), probe_size());
}

// HELLO through every reachable super peer (or the default one) and every
// direct path.
void UdpNode::Core::hello_peer(Peer& p, Instant now) {
  std::vector<std::pair<PubKey, udp::endpoint>> relays;
  {
    std::lock_guard lock(relay_mutex);
    for (const auto& info : super_peers)
      if (info.best.reachable && info.best.endpoint) relays.emplace_back(info.sp->pk(), *info.best.endpoint);
    if (relays.empty() && !super_peers.empty()) {
      const auto& d = super_peers[default_index];
      if (d.best.endpoint)
        relays.emplace_back(d.sp->pk(), *d.best.endpoint);
      else if (!d.endpoints.empty())
        relays.emplace_back(d.sp->pk(), d.endpoints.front());
    }
  }
  std::vector<udp::endpoint> direct;
  {
    std::lock_guard lock(p.mutex);
    if (p.pow == PowStatus::Nok || p.closed) return;
    for (const auto& [sp, ep] : relays) {
      if (!p.relay.contains(sp)) p.relay_order.push_back(sp);
      p.relay[sp].hello_sent(now);
    }
    for (auto& [key, path] : p.direct) {
      path.hello_sent(now);
      direct.push_back(key.endpoint());
    }
  }
  const std::uint64_t ts = micros(now);
  for (const auto& [sp, ep] : relays) send_peer_hello(p, wire::Type::Hello, ep, ts, 0);
  for (const auto& ep : direct) send_peer_hello(p, wire::Type::Hello, ep, ts, probe_size());
}

void UdpNode::Core::hello_soon(std::shared_ptr<Peer> p) {
  bool post_now = false;
  {
    std::lock_guard lock(hello_mutex);
    post_now = to_hello.empty();
    to_hello.push_back(std::move(p));
  }
  if (!post_now) return;
  asio::post(strand, [self = shared_from_this()] {
    std::vector<std::shared_ptr<Peer>> list;
    {
      std::lock_guard lock(self->hello_mutex);
      list.swap(self->to_hello);
    }
    for (const auto& p : list) self->hello_peer(*p, Clock::now());
  });
}

util::Expected<std::shared_ptr<Peer>, std::string> UdpNode::Core::peer_for(const PubKey& pk, Instant now,
                                                                           std::optional<crypto::SessionKeys> keys) {
  std::lock_guard lock(peers_mutex);
  if (opts.max_peers() != 0 && peers.size() >= opts.max_peers()) {
    if (const auto it = peers.find(pk); it != peers.end()) return it->second;
    return util::Unexpected(fmt::format("peer table full ({} peers)", peers.size()));
  }
  // One probe finds the key or makes its entry, filled below.
  const auto [it, added] = peers.try_emplace(pk);
  if (!added) return it->second;
  try {
    std::uint32_t id = 0;
    while (id == 0 || by_short.contains(id)) id = random_id();
    auto p = std::make_shared<Peer>(pk, ShortId(id), std::move(keys), now);
    p->route = relay_endpoint(nullptr);
    by_short.emplace(id, p);
    it->second = std::move(p);
  } catch (...) {
    peers.erase(it);
    throw;
  }
  SV_DEBUG(lg(), "Peer {} added (rx short id {})", pk, it->second->rx_id);
  return it->second;
}

// Under peers_mutex: ids come from the system's generator a block at a time.
std::uint32_t UdpNode::Core::random_id() {
  if (ids_used == ids.size()) {
    crypto::random_bytes({reinterpret_cast<std::uint8_t*>(ids.data()), sizeof ids});
    ids_used = 0;
  }
  return ids[ids_used++];
}

// A key agreement (~0.1 ms), so done on first use, outside peers_mutex.
void Peer::derive_keys(const PubKey& own, const crypto::AgreementKeys& agreement) {
  auto k = crypto::compute_kx_session_keys(own, agreement, pk);
  if (!k) {
    keys_failure_ = fmt::format("cannot derive session keys: {}", k.error().message);
    keys_state_.store(kKeysFailed, std::memory_order_release);
    SV_WARN(lg(), "Peer {} unusable: {}", pk, keys_failure_);
    return;
  }
  keys_ = std::move(*k);
  keys_derived.fetch_add(1, std::memory_order_relaxed);
  keys_state_.store(kKeysReady, std::memory_order_release);
}

std::shared_ptr<Peer> UdpNode::Core::find_peer(const PubKey& pk) {
  std::lock_guard lock(peers_mutex);
  const auto it = peers.find(pk);
  return it == peers.end() ? nullptr : it->second;
}

bool UdpNode::Core::table_full() {
  std::lock_guard lock(peers_mutex);
  return opts.max_peers() != 0 && peers.size() >= opts.max_peers();
}

std::shared_ptr<Peer> UdpNode::Core::find_short(std::uint32_t id) {
  std::lock_guard lock(peers_mutex);
  const auto it = by_short.find(id);
  return it == by_short.end() ? nullptr : it->second;
}

std::optional<udp::endpoint> UdpNode::Core::relay_endpoint(const PubKey* sp) {
  std::lock_guard lock(relay_mutex);
  if (super_peers.empty()) return std::nullopt;
  const SuperPeerInfo* info = &super_peers[default_index];
  if (sp) {
    const auto it = std::find_if(super_peers.begin(), super_peers.end(),
                                 [&](const SuperPeerInfo& i) { return i.sp->pk() == *sp; });
    if (it != super_peers.end()) info = &*it;
  }
  if (info->best.endpoint) return info->best.endpoint;
  if (!info->endpoints.empty()) return info->endpoints.front();
  return std::nullopt;
}

void UdpNode::Core::recompute(Peer& p, Instant now) {
  const auto rank = [&](const PeerPath& path) {
    return std::pair{!PeerPath::is_reachable(path, now, opts.hello_timeout()),
                     path.median_latency_us().value_or(UINT64_MAX)};
  };
  std::stable_sort(p.direct_order.begin(), p.direct_order.end(),
                   [&](const auto& a, const auto& b) { return rank(p.direct.at(a)) < rank(p.direct.at(b)); });
  std::stable_sort(p.relay_order.begin(), p.relay_order.end(),
                   [&](const auto& a, const auto& b) { return rank(p.relay.at(a)) < rank(p.relay.at(b)); });
  if (!p.direct_order.empty() && PeerPath::is_reachable(p.direct.at(p.direct_order.front()), now, opts.hello_timeout())) {
    p.route = p.direct_order.front().endpoint();
    return;
  }
  const bool relay_up =
      !p.relay_order.empty() && PeerPath::is_reachable(p.relay.at(p.relay_order.front()), now, opts.hello_timeout());
  p.route = relay_endpoint(relay_up ? &p.relay_order.front() : nullptr);
}

NodePeerStats UdpNode::Core::peer_stats(Peer& p) {
  NodePeerStats s;
  const Instant now = Clock::now();
  std::lock_guard lock(p.mutex);
  s.pow_status = p.pow;
  s.protocol_version_2 = p.v2;
  s.created_at = p.created_at;
  const auto tx = p.app_tx.load(std::memory_order_relaxed);
  if (tx != Instant::min().time_since_epoch().count()) s.app_tx = Instant(Instant::duration(tx));
  s.app_rx = p.app_rx;
  s.direct_path_order = p.direct_order;
  s.direct_paths = p.direct;
  s.relay_path_order = p.relay_order;
  s.relay_paths = p.relay;
  s.tx_short_id = p.tx_id;
  s.rx_short_id = p.rx_id;
  const auto up = [&](const auto& kv) { return PeerPath::is_reachable(kv.second, now, opts.hello_timeout()); };
  s.reachable = std::any_of(p.direct.begin(), p.direct.end(), up) || std::any_of(p.relay.begin(), p.relay.end(), up);
  return s;
}

void UdpNode::Core::housekeeping(Instant now) {
  (void)open_sockets(false);

  for (auto& info : super_peers) {
    for (const auto& ep : info.endpoints) {
      send_super_peer_hello(*info.sp, ep, now);
      std::lock_guard lock(info.sp->state_mutex());
      info.sp->state().paths[PeerPathKey::udp(ep)].hello_sent(now);
    }
    SuperPeer::Best best;
    {
      std::lock_guard lock(info.sp->state_mutex());
      best = SuperPeer::reorder(info.sp->state(), now, opts.hello_timeout());
    }
    std::lock_guard lock(relay_mutex);
    info.best = best;
  }
  std::optional<PubKey> new_default;
  {
    std::lock_guard lock(relay_mutex);
    if (!super_peers.empty() && !super_peers[default_index].best.reachable) {
      for (std::size_t i = 0; i < super_peers.size(); ++i) {
        if (super_peers[i].best.reachable) {
          default_index = i;
          new_default = super_peers[i].sp->pk();
          break;
        }
      }
    }
  }
  if (new_default) {
    std::lock_guard lock(sp_table->mutex);
    sp_table->default_route = *new_default;
    SV_DEBUG(lg(), "Default route moved to super peer {}", *new_default);
  }

  std::vector<std::shared_ptr<Peer>> list;
  {
    std::lock_guard lock(peers_mutex);
    list.reserve(peers.size());
    for (const auto& [pk, p] : peers) list.push_back(p);
  }
  const auto max_age = std::chrono::milliseconds(opts.hello_max_age());
  std::vector<std::shared_ptr<Peer>> idle;
  for (const auto& p : list) {
    bool linked;
    {
      std::lock_guard lock(p->mutex);
      linked = !p->handle.expired();
      if (!linked && now - p->last_traffic > max_age) {
        idle.push_back(p);
        continue;
      }
      std::erase_if(p->direct_order, [&](const PeerPathKey& key) {
        const PeerPath& path = p->direct.at(key);
        const auto since = path.last_ack ? path.last_ack : path.unanswered_hello_since;
        if (!since || now - *since <= max_age) return false;
        p->direct.erase(key);
        return true;
      });
      recompute(*p, now);
    }
    if (linked) hello_peer(*p, now);
  }
  if (!idle.empty()) {
    std::lock_guard lock(peers_mutex);
    for (const auto& p : idle) {
      std::lock_guard peer_lock(p->mutex);
      if (!p->handle.expired()) continue;
      peers.erase(p->pk);
      by_short.erase(p->rx_id.value());
      SV_DEBUG(lg(), "Peer {} forgotten (idle)", p->pk);
    }
  }
}

asio::awaitable<void> UdpNode::Core::housekeeping_loop(std::shared_ptr<Core> self) {
  asio::steady_timer timer(self->strand);
  try {
    for (;;) {
      self->housekeeping(Clock::now());
      timer.expires_after(std::chrono::milliseconds(self->opts.housekeeping_interval()));
      co_await timer.async_wait(asio::use_awaitable);
    }
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted) throw;
  }
}

}  // namespace sarvolt::p2p
