#include "agent/firewall/firewall.hpp"

#include <algorithm>

#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::firewall")

using fmt::arg;

namespace {
// Most peers a rebuild makes room for up front.
constexpr std::size_t kPeerRoom = 8192;
}  // namespace

std::size_t OutboundBatches::home_of(const NodePeer* peer) const noexcept {
  const auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(peer)) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
}

void OutboundBatches::add(const NodePeer* peer, std::span<const std::uint8_t> packet) {
  // A flow's packets come in runs: the batch added to last comes first.
  if (used_ != 0 && batches_[last_].peer == peer) {
    batches_[last_].packets.push_back(packet);
    return;
  }
  if ((used_ + 1) * 2 > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home_of(peer);
  while (slots_[i].stamp == stamp_ && slots_[i].peer != peer) i = (i + 1) & mask;
  Slot& slot = slots_[i];
  if (slot.stamp != stamp_) {
    if (used_ == batches_.size()) batches_.emplace_back();
    batches_[used_].peer = peer;
    slot = {peer, stamp_, static_cast<std::uint32_t>(used_)};
    ++used_;
  }
  last_ = slot.batch;
  batches_[last_].packets.push_back(packet);
}

// Twice the slots (at least 64), the pass's batches placed again.
void OutboundBatches::grow() {
  std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2));
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t b = 0; b < used_; ++b) {
    std::size_t i = home_of(batches_[b].peer);
    while (slots_[i].stamp == stamp_) i = (i + 1) & mask;
    slots_[i] = {batches_[b].peer, stamp_, static_cast<std::uint32_t>(b)};
  }
}

void OutboundBatches::clear() noexcept {
  for (std::size_t i = 0; i < used_; ++i) {
    batches_[i].peer = nullptr;
    batches_[i].packets.clear();
  }
  used_ = 0;
  if (++stamp_ == 0) {  // wrapped: no slot may keep an old stamp
    for (auto& s : slots_) s.stamp = 0;
    stamp_ = 1;
  }
}

AgentFirewall::AgentFirewall() : tries_(std::make_shared<const FirewallTries>()) {}

AgentFirewall::~AgentFirewall() {
  for (const auto& slot : peers_) slot.peer->stop();
}

namespace {

// The trace lines and the rare outcomes of the packet paths, out of their way.
[[gnu::cold, gnu::noinline]] void trace_dest_entry(spdlog::logger& log, const util::Ipv4Net& net, util::Ipv4Addr src,
                                                   util::Ipv4Addr dst) {
  SV_TRACE(log, "Found dest trie entry with net {net} src={src} dst={dst}", arg("net", net), arg("src", src),
           arg("dst", dst));
}

[[gnu::cold, gnu::noinline]] void no_source_route(spdlog::logger& log, util::Ipv4Addr src, util::Ipv4Addr dst) {
  SV_DEBUG(log,
           "No outbound route found for source: {src} -> {dst} (source IP not in routing table) src={src} dst={dst}",
           arg("src", src), arg("dst", dst));
}

[[gnu::cold, gnu::noinline]] void trace_queued(spdlog::logger& log, const NodePeer& peer, util::Ipv4Addr src,
                                               util::Ipv4Addr dst) {
  SV_TRACE(log, "Found corresponding source entry: {} -> {}", src, peer.pk());
  SV_TRACE(log, "Successfully forwarded packet to channel: {src} -> {dst} src={src} dst={dst}", arg("src", src),
           arg("dst", dst));
}

[[gnu::cold, gnu::noinline]] void trace_accepted(spdlog::logger& log, const p2p::PubKey& from, util::Ipv4Addr src,
                                                 util::Ipv4Addr dst) {
  SV_TRACE(log, "Successfully forwarded packet to TUN device: {src} -> {dst} peer={peer} src={src} dst={dst}",
           arg("src", src), arg("dst", dst), arg("peer", from.debug()));
}

[[gnu::cold, gnu::noinline]] void source_mismatch(spdlog::logger& log, const p2p::PubKey& from,
                                                  const p2p::PubKey& expected, util::Ipv4Addr src,
                                                  util::Ipv4Addr dst) {
  SV_WARN(log,
          "Security violation: packet source mismatch - received from peer {peer} with source IP {src} but expected "
          "peer {expected} for this route peer={peer_debug} expected_peer={expected_debug} src={src} dst={dst}",
          arg("peer", from), arg("src", src), arg("expected", expected), arg("peer_debug", from.debug()),
          arg("expected_debug", expected.debug()), arg("dst", dst));
}

}  // namespace

bool AgentFirewall::handle_outbound_packet(const TransmitTrie& tx, std::span<const std::uint8_t> packet,
                                           const util::Ipv4HeaderView& hdr, OutboundBatches& batches) {
  spdlog::logger& log = lg();
  const bool trace = log.should_log(spdlog::level::trace);
  const auto src = hdr.source(), dst = hdr.destination();
  const auto* dest_entry = tx.longest_match(dst);
  if (!dest_entry) return false;
  if (trace) trace_dest_entry(log, dest_entry->first, src, dst);
  const auto* source_entry = dest_entry->second.longest_match(src);
  if (!source_entry) {
    no_source_route(log, src, dst);
    return false;
  }
  const NodePeer* peer = source_entry->second;
  batches.add(peer, packet);
  if (trace) trace_queued(log, *peer, src, dst);
  return true;
}

bool AgentFirewall::handle_inbound_packet(const ReceiveTrie& rx, std::span<const std::uint8_t> packet,
                                          util::Ipv4Addr src, util::Ipv4Addr dst, const p2p::PubKey& from,
                                          std::vector<std::span<const std::uint8_t>>& to_tun) {
  const auto* source_entry = rx.longest_match(src);
  if (!source_entry) return false;
  const auto* dest_entry = source_entry->second.longest_match(dst);
  if (!dest_entry) return false;
  const p2p::PubKey& expected = dest_entry->second;
  spdlog::logger& log = lg();
  if (expected == from) {
    to_tun.push_back(packet);
    if (log.should_log(spdlog::level::trace)) trace_accepted(log, from, src, dst);
  } else {
    source_mismatch(log, from, expected, src, dst);
  }
  return true;
}

void AgentFirewall::apply_desired_state(DataPlaneContext& ctx, network::NetworkMap& networks) {
  bool changed = false;
  for (auto& [url, net] : networks) {
    auto& current = net.current.access_rules;
    const auto& desired = net.desired.access_rules;
    if (current == desired) {
      // Share the desired map: the state comparison after apply is then a pointer test.
      current = desired;
      continue;
    }
    SV_TRACE(lg(), "Access rules change: current=\n{}; desired=\n{}", current.to_string(), desired.to_string());
    current = desired;
    changed = true;
  }
  // A key the node refused last time is tried again at the next apply.
  if (changed || retry_refused_) update_tries(ctx, networks);
}

void AgentFirewall::update_tries(DataPlaneContext& ctx, const network::NetworkMap& networks) {
  SV_TRACE(lg(), "Rebuild tries");
  spdlog::logger& log = lg();  // the rows' trace lines: looked up once
  auto next = std::make_shared<FirewallTries>();
  // One stamp per rebuild marks the keys it named; 0 is never a stamp.
  if (++rebuild_ == 0) {
    for (const auto& slot : peers_) slot.seen = 0;
    rebuild_ = 1;
  }
  const std::uint32_t stamp = rebuild_;
  // A first apply makes the peer table's room once, for a key per row (up
  // to the bound); room the keys did not take goes again at the end.
  const bool first = peers_.empty();
  std::size_t refused = 0;
  std::size_t rows = 0;  // transmit rows so far
  // New peers' drivers start together once the rebuild is done.
  util::TaskGroup::Batch starts(ctx.tasks);
  std::shared_ptr<const NodePeer::Shared> shared;  // what their drivers share
  NodePeer::Blocks blocks;  // and the slabs of their blocks

  // Keys the node refused this time: left out for the rest of the rebuild.
  boost::unordered_flat_set<p2p::PubKey, PubKeyHash> refused_keys;

  // The peer for `pk`, reused or created. Peers are listed in the order the
  // rows first name them.
  auto peer_for = [&](const p2p::PubKey& pk) -> const NodePeer* {
    auto it = peers_.find(pk);
    if (it == peers_.end()) {
      if (refused > 0 && refused_keys.contains(pk)) return nullptr;
      auto created = NodePeer::create(ctx, pk, &starts, &shared, &blocks);
      if (!created) {
        // Leave this key out; the next rebuild tries it again.
        SV_WARN(lg(), "Failed to create node peer {pk}: {error} peer={peer}", arg("pk", pk),
                arg("error", created.error()), arg("peer", pk.debug()));
        ++refused;
        refused_keys.insert(pk);
        return nullptr;
      }
      it = peers_.insert(PeerSlot{std::move(*created), p2p::slot_hash(pk)}).first;
    }
    if (it->seen == stamp) return it->peer.get();
    it->seen = stamp;
    next->peers.push_back(it->peer);
    return it->peer.get();
  };

  // Entries in network order: of equal prefixes the later network's whole
  // leaf stays.
  TransmitTrie::Entries tx_entries;
  ReceiveTrie::Entries rx_entries;
  for (const auto& [url, net] : networks) {
    if (!net.current.ip.applied) {
      SV_TRACE(lg(),
               "Skipping network: no TUN device available (IP not applied). No routing entries will be created. "
               "network={}",
               url);
      continue;
    }
    if (!net.current.access_rules.applied) {
      SV_TRACE(lg(), "No access rules available for network network={}", url);
      continue;
    }
    const auto& rules = *net.current.access_rules.applied;
    const network::RuleTrieRows tx_rows = rules.trie_rows(network::Direction::OUT);
    const network::RuleTrieRows rx_rows = rules.trie_rows(network::Direction::IN);
    SV_TRACE(lg(), "Processing access rules for network network={}", url);
    tx_entries.reserve(tx_entries.size() + tx_rows.outer_count());
    rx_entries.reserve(rx_entries.size() + rx_rows.outer_count());
    // Room for a peer per row, up to a bound, in what this rebuild frees
    // again; the kept peer table grows by its keys alone, so many rules
    // through few peers leave no table sized by the rows.
    rows += tx_rows.size();
    const std::size_t expect = std::min(rows, kPeerRoom);
    next->peers.reserve(expect);
    starts.reserve(expect);  // made only if a peer is new
    if (first) peers_.reserve(expect);

    // Rows of one outer prefix follow each other and share its key; each
    // leaf is filled where it stays.
    const std::size_t tx_first = tx_entries.size();
    const auto end_tx_leaf = [&] {
      if (tx_entries.size() > tx_first && tx_entries.back().second.empty()) tx_entries.pop_back();
    };
    tx_rows.for_each([&](const util::Ipv4Net& dest, const util::Ipv4Net& source, const p2p::PubKey& pk) {
      if (tx_entries.size() == tx_first || !(tx_entries.back().first == dest)) {
        end_tx_leaf();
        SV_TRACE(log, "Building TX trie for dest network dest_net={}", dest);
        tx_entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(dest), std::forward_as_tuple());
      }
      const NodePeer* peer = peer_for(pk);
      if (!peer) return;
      tx_entries.back().second.insert(source, peer);
      SV_TRACE(log, "Added TX route: {source} -> {dest} via peer {pk} dest_net={dest} source_net={source} peer={peer}",
               arg("source", source), arg("dest", dest), arg("pk", pk), arg("peer", pk.debug()));
    });
    end_tx_leaf();

    const std::size_t rx_first = rx_entries.size();
    rx_rows.for_each([&](const util::Ipv4Net& source, const util::Ipv4Net& dest, const p2p::PubKey& pk) {
      if (rx_entries.size() == rx_first || !(rx_entries.back().first == source)) {
        SV_TRACE(log, "Building RX trie for source network source_net={}", source);
        rx_entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(source), std::forward_as_tuple());
      }
      rx_entries.back().second.insert(dest, pk);
      SV_TRACE(log,
               "Added RX route: {source} -> {dest} from peer {pk} to TUN device source_net={source} dest_net={dest} "
               "peer={peer}",
               arg("source", source), arg("dest", dest), arg("pk", pk), arg("peer", pk.debug()));
    });
  }
  const std::size_t tx_leaves = tx_entries.size();
  // Each trie's spare room goes before the next one is built.
  next->tx.assign(std::move(tx_entries));
  next->tx.shrink_to_fit();
  next->rx.assign(std::move(rx_entries));
  next->rx.shrink_to_fit();
  // A later network's entry replaces an earlier one's whole leaf, so keep
  // only the peers the finished transmit trie names: all of them when no
  // leaf was replaced. Those it does not name lose this rebuild's stamp.
  if (next->tx.size() != tx_leaves) {
    for (const auto& peer : next->peers) peers_.find(peer->pk())->seen = 0;
    next->peers.clear();
    for (const auto& [dest, leaf] : next->tx) {
      for (const auto& [source, peer] : leaf) {
        const PeerSlot& slot = *peers_.find(peer->pk());
        if (slot.seen == stamp) continue;
        slot.seen = stamp;
        next->peers.push_back(slot.peer);
      }
    }
  }
  next->peers.shrink_to_fit();
  retry_refused_ = refused > 0;
  SV_TRACE(lg(), "Tries rebuilt successfully.");
  tries_.store(std::move(next), std::memory_order_release);
  // Peers no rule names any more: closing their links ends their drivers and
  // any hand-over to them that an older snapshot's reader still waits on.
  erase_if(peers_, [&](const PeerSlot& slot) {
    if (slot.seen == stamp) return false;
    slot.peer->stop();
    return true;
  });
  if (first && peers_.size() * 2 < std::min(rows, kPeerRoom)) peers_.rehash(0);
}

}  // namespace sarvolt::agent
