// AgentFirewall: the overlay routing table and packet filter. It owns the
// peer table (key -> NodePeer) and two two-level prefix tries, published
// together as one immutable snapshot:
//   transmit: destination -> source -> peer (where a TUN packet goes)
//   receive:  source -> destination -> key (who may send a packet to us)
// The transmit trie points into the snapshot's peer list. The packet paths
// read a snapshot without locks; the apply step rebuilds the tries aside from
// every network's applied access rules, reuses peers by key, publishes, and
// then stops the peers no rule names any more.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "util/published.hpp"
#include "agent/netif/context.hpp"
#include "agent/netif/node_peer.hpp"
#include "network/network.hpp"
#include "util/ipv4.hpp"
#include "util/packet.hpp"
#include "util/prefix_map.hpp"

namespace sarvolt::agent {

// A leaf keeps one entry in itself, as most hold (32 bytes an outer entry
// where the default would take 64).
using TransmitLeaf = util::PrefixMap<const NodePeer*, 16>;
using TransmitTrie = util::PrefixMap<TransmitLeaf>;
// A receive leaf's pointer is packed: 44 bytes, not 48.
using ReceiveLeaf = util::PrefixMap<p2p::PubKey, 48, true>;
using ReceiveTrie = util::PrefixMap<ReceiveLeaf>;

struct FirewallTries {
  TransmitTrie tx;
  ReceiveTrie rx;
  std::vector<std::shared_ptr<NodePeer>> peers;  // every peer `tx` names
};

struct PubKeyHash {
  std::size_t operator()(const p2p::PubKey& pk) const noexcept { return p2p::hash_value(pk); }
};

// Packets of one TUN read pass grouped per peer, in read order. Reused from
// pass to pass, so the steady path allocates nothing. The peers belong to the
// tries snapshot the pass holds.
class OutboundBatches {
 public:
  struct Batch {
    const NodePeer* peer = nullptr;
    std::vector<std::span<const std::uint8_t>> packets;
  };

  void add(const NodePeer* peer, std::span<const std::uint8_t> packet);
  bool empty() const noexcept { return used_ == 0; }
  std::span<Batch> batches() noexcept { return {batches_.data(), used_}; }
  void clear() noexcept;

 private:
  // Open addressing from peer to batch; a slot counts only with the pass's
  // stamp, so a clear is one increment.
  struct Slot {
    const NodePeer* peer = nullptr;
    std::uint32_t stamp = 0;
    std::uint32_t batch = 0;
  };
  std::size_t home_of(const NodePeer* peer) const noexcept;
  void grow();

  std::vector<Batch> batches_;
  std::size_t used_ = 0;
  std::uint32_t last_ = 0;   // the batch added to last, while used_ != 0
  std::vector<Slot> slots_;  // a power of two, at most half full
  std::uint32_t stamp_ = 1;
};

class AgentFirewall {
 public:
  AgentFirewall();
  ~AgentFirewall();  // stops every peer
  AgentFirewall(const AgentFirewall&) = delete;
  AgentFirewall& operator=(const AgentFirewall&) = delete;

  std::shared_ptr<const FirewallTries> tries() const { return tries_.load(std::memory_order_acquire); }

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
  // the tries from all networks. Apply steps run one at a time.
  void apply_desired_state(DataPlaneContext& ctx, network::NetworkMap& networks);
  void update_tries(DataPlaneContext& ctx, const network::NetworkMap& networks);

 private:
  // A peer, its key's hash and the last rebuild that named it: 24 bytes a
  // peer, so a first apply's inserts touch few cache lines. Found by key
  // through the peer; growing the table reads no peer.
  struct PeerSlot {
    std::shared_ptr<NodePeer> peer;
    std::uint32_t hash;
    mutable std::uint32_t seen = 0;
    const p2p::PubKey& pk() const noexcept { return peer->pk(); }
  };

  util::Published<const FirewallTries> tries_;
  boost::unordered_flat_set<PeerSlot, p2p::SlotByKeyHash<PeerSlot>, p2p::SlotByKeyEq<PeerSlot>> peers_;
  std::uint32_t rebuild_ = 0;  // stamp of the current rebuild
  bool retry_refused_ = false;
};

}  // namespace sarvolt::agent
