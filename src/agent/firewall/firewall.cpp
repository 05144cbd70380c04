#include "agent/firewall/firewall.hpp"

#include <boost/unordered/unordered_flat_set.hpp>

#include "agent/inner.hpp"
#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::firewall")

void OutboundBatches::add(const NodePeer& peer, std::span<const std::uint8_t> packet) {
  auto [it, fresh] = index_.try_emplace(peer.pk(), used_);
  if (fresh) {
    if (used_ == batches_.size()) batches_.emplace_back();
    batches_[used_].peer = peer.inner();
    ++used_;
  }
  batches_[it->second].packets.push_back(packet);
}

void OutboundBatches::clear() noexcept {
  for (std::size_t i = 0; i < used_; ++i) {
    batches_[i].peer.reset();
    batches_[i].packets.clear();
  }
  used_ = 0;
  index_.clear();
}

AgentFirewall::AgentFirewall()
    : rx_(std::make_shared<const ReceiveTrie>()), tx_(std::make_shared<const TransmitTrie>()) {}

bool AgentFirewall::handle_outbound_packet(const TransmitTrie& tx, std::span<const std::uint8_t> packet,
                                           const util::Ipv4HeaderView& hdr, OutboundBatches& batches) {
  const auto src = hdr.source(), dst = hdr.destination();
  const auto* dest_entry = tx.longest_match(dst);
  if (!dest_entry) return false;
  SV_TRACE(lg(), "Found dest trie entry with net {} src={} dst={}", dest_entry->first, src, dst);
  const auto* source_entry = dest_entry->second.longest_match(src);
  if (!source_entry) {
    SV_DEBUG(lg(), "No outbound route found for source: {} -> {} (source IP not in routing table) src={} dst={}", src,
             dst, src, dst);
    return false;
  }
  const NodePeer& peer = source_entry->second;
  SV_TRACE(lg(), "Found corresponding source entry: {} -> {}", src, peer.pk());
  batches.add(peer, packet);
  SV_TRACE(lg(), "Successfully forwarded packet to channel: {} -> {} src={} dst={}", src, dst, src, dst);
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
  if (expected == from) {
    to_tun.push_back(packet);
    SV_TRACE(lg(), "Successfully forwarded packet to TUN device: {} -> {} peer={} src={} dst={}", src, dst,
             from.debug(), src, dst);
  } else {
    SV_WARN(lg(),
            "Security violation: packet source mismatch - received from peer {} with source IP {} but expected peer {} "
            "for this route peer={} expected_peer={} src={} dst={}",
            from, src, expected, from.debug(), expected.debug(), src, dst);
  }
  return true;
}

void AgentFirewall::apply_desired_state(const std::shared_ptr<AgentInner>& agent, NetworkMap& networks) {
  bool changed = false;
  for (auto& [url, net] : networks) {
    auto& current = net.current.access_rules;
    const auto& desired = net.desired.access_rules;
    if (current == desired) continue;
    SV_TRACE(lg(), "Access rules change: current=\n{}; desired=\n{}", current.to_string(), desired.to_string());
    current = desired;
    changed = true;
  }
  // A key the node refused last time is tried again at the next apply.
  if (changed || retry_refused_) update_tries(agent, networks);
}

void AgentFirewall::update_tries(const std::shared_ptr<AgentInner>& agent, const NetworkMap& networks) {
  SV_TRACE(lg(), "Rebuild tries");
  const auto published = transmit_trie();
  boost::unordered_flat_map<p2p::PubKey, NodePeer, PubKeyHash> peers;
  for (const auto& [dest, inner] : *published)
    for (const auto& [source, peer] : inner) peers.try_emplace(peer.pk(), peer);
  // Keys the node refused this time; each is tried once per rebuild.
  boost::unordered_flat_set<p2p::PubKey, PubKeyHash> refused;

  auto tx = std::make_shared<TransmitTrie>();
  auto rx = std::make_shared<ReceiveTrie>();
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
    auto [net_tx, net_rx] = net.current.access_rules.applied->routing_tries();
    SV_TRACE(lg(), "Processing access rules for network network={}", url);

    for (const auto& [dest, sources] : net_tx) {
      SV_TRACE(lg(), "Building TX trie for dest network dest_net={}", dest);
      util::PrefixMap<NodePeer> leaf;
      for (const auto& [source, pk] : sources) {
        auto it = peers.find(pk);
        if (it == peers.end()) {
          if (refused.contains(pk)) continue;
          auto created = NodePeer::create(agent->node, pk, agent);
          if (!created) {
            // Leave this key out; the next rebuild tries it again.
            SV_WARN(lg(), "Failed to create node peer {}: {} peer={}", pk, created.error(), pk.debug());
            refused.insert(pk);
            continue;
          }
          it = peers.emplace(pk, std::move(*created)).first;
        }
        leaf.insert(source, it->second);
        SV_TRACE(lg(), "Added TX route: {} -> {} via peer {} dest_net={} source_net={} peer={}", source, dest, pk, dest,
                 source, pk.debug());
      }
      if (!leaf.empty()) tx->insert(dest, std::move(leaf));
    }

    for (const auto& [source, dests] : net_rx) {
      SV_TRACE(lg(), "Building RX trie for source network source_net={}", source);
      util::PrefixMap<p2p::PubKey> leaf;
      for (const auto& [dest, pk] : dests) {
        leaf.insert(dest, pk);
        SV_TRACE(lg(), "Added RX route: {} -> {} from peer {} to TUN device source_net={} dest_net={} peer={}", source,
                 dest, pk, source, dest, pk.debug());
      }
      rx->insert(source, std::move(leaf));
    }
  }
  retry_refused_ = !refused.empty();
  SV_TRACE(lg(), "Tries rebuilt successfully.");
  tx_.store(std::move(tx), std::memory_order_release);
  rx_.store(std::move(rx), std::memory_order_release);
}

}  // namespace sarvolt::agent
