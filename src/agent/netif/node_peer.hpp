// NodePeer: the agent's handle on one remote peer: its p2p link and the
// driver task that carries the peer's datagrams into the TUN device through
// the firewall's receive check. stop() closes the link, which ends the driver
// and every hand-over still waiting on the link; destroying the object stops
// it too. The firewall's peer table owns the peers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "agent/netif/context.hpp"
#include "core/error.hpp"
#include "util/expected.hpp"
#include "util/slab.hpp"

namespace sarvolt::agent {

// Packets received from peers are at most this many per read.
inline constexpr std::size_t kNodePeerRecvBatch = 138;

class NodePeer {
  struct Key {};

 public:
  // Opens the link to `pk` and starts the peer's driver in the context's task
  // group. The TUN side is the device in the context's TUN slot now; without
  // one, the peer drops what it receives for its whole life. A link the node
  // refuses is a NodeError. With `starts`, the driver starts when that batch
  // is launched. With `shared`, the peers created with the same one share
  // what their drivers take from the context, taken at the first of them.
  // With `blocks`, the peer's block comes from slabs that the peers
  // created with it share (a slab is freed with the last of its peers).
  struct Shared;
  class Blocks;
  static util::Expected<std::shared_ptr<NodePeer>, core::Error> create(
      DataPlaneContext& ctx, const p2p::PubKey& pk, util::TaskGroup::Batch* starts = nullptr,
      std::shared_ptr<const Shared>* shared = nullptr, Blocks* blocks = nullptr);
  NodePeer(Key, const p2p::PubKey& pk, p2p::NodePeerRef link) : pk_(pk), link_(std::move(link)) {}
  ~NodePeer();
  NodePeer(const NodePeer&) = delete;
  NodePeer& operator=(const NodePeer&) = delete;

  const p2p::PubKey& pk() const noexcept { return pk_; }
  const p2p::NodePeerRef& link() const noexcept { return link_; }
  bool driver_running() const noexcept { return !task_.done(); }

  void stop();

 private:
  p2p::PubKey pk_;
  p2p::NodePeerRef link_;
  util::TaskGroup::Task task_;
};

// Slabs for the blocks of peers created in one go, by one thread: the first
// holds one block, each next one twice as many, up to 16, so a few peers
// cost what they did and many peers rarely allocate.
class NodePeer::Blocks {
 public:
  Blocks() = default;
  Blocks(const Blocks&) = delete;
  Blocks& operator=(const Blocks&) = delete;

 private:
  friend class NodePeer;
  util::Slabs<96, 16> slabs_;  // a block: a peer, its count and the allocator
};

}  // namespace sarvolt::agent
