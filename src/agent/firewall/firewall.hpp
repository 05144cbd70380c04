// AgentFirewall: the overlay routing table and packet filter. Two two-level
// prefix tries, each published whole as an immutable snapshot:
//   transmit: destination -> source -> NodePeer (where a TUN packet goes)
//   receive:  source -> destination -> key (who may send a packet to us)
// The packet paths read a snapshot without locks; the apply step rebuilds
// both tries aside from every network's applied access rules and publishes
// them, reusing NodePeer objects by key.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "agent/config.hpp"
#include "agent/netif/node_peer.hpp"
#include "util/ipv4.hpp"
#include "util/packet.hpp"
#include "util/prefix_map.hpp"

namespace sarvolt::agent {

using TransmitTrie = util::PrefixMap<util::PrefixMap<NodePeer>>;
using ReceiveTrie = util::PrefixMap<util::PrefixMap<p2p::PubKey>>;

struct PubKeyHash {
  std::size_t operator()(const p2p::PubKey& pk) const noexcept { return p2p::hash_value(pk); }
};

// Packets of one TUN read pass grouped per peer, in read order. Reused from
// pass to pass, so the steady path allocates nothing.
class OutboundBatches {
 public:
  struct Batch {
    std::shared_ptr<NodePeerInner> peer;
    std::vector<std::span<const std::uint8_t>> packets;
  };

  void add(const NodePeer& peer, std::span<const std::uint8_t> packet);
  bool empty() const noexcept { return used_ == 0; }
  std::span<Batch> batches() noexcept { return {batches_.data(), used_}; }
  void clear() noexcept;

 private:
  std::vector<Batch> batches_;
  std::size_t used_ = 0;
  boost::unordered_flat_map<p2p::PubKey, std::size_t, PubKeyHash> index_;
};

class AgentFirewall {
 public:
  AgentFirewall();

  std::shared_ptr<const TransmitTrie> transmit_trie() const { return tx_.load(std::memory_order_acquire); }
  std::shared_ptr<const ReceiveTrie> receive_trie() const { return rx_.load(std::memory_order_acquire); }

  // Queues the packet on the batch of the peer the transmit trie names for
  // its (destination, source); false when there is no route.
  static bool handle_outbound_packet(const TransmitTrie& tx, std::span<const std::uint8_t> packet,
                                     const util::Ipv4HeaderView& hdr, OutboundBatches& batches);
  // True when the receive trie has an entry for (src, dst); the packet is
  // then appended to `to_tun` if `from` is the expected peer, else dropped
  // with a WARN.
  static bool handle_inbound_packet(const ReceiveTrie& rx, std::span<const std::uint8_t> packet, util::Ipv4Addr src,
                                    util::Ipv4Addr dst, const p2p::PubKey& from,
                                    std::vector<std::span<const std::uint8_t>>& to_tun);

  // Records each network's desired access rules as current and, when any
  // changed or the last rebuild had to leave a refused peer out, rebuilds
  // both tries from all networks.
  void apply_desired_state(const std::shared_ptr<AgentInner>& agent, NetworkMap& networks);
  void update_tries(const std::shared_ptr<AgentInner>& agent, const NetworkMap& networks);

 private:
  std::atomic<std::shared_ptr<const ReceiveTrie>> rx_;
  std::atomic<std::shared_ptr<const TransmitTrie>> tx_;
  bool retry_refused_ = false;  // apply steps only (one at a time)
};

}  // namespace sarvolt::agent
