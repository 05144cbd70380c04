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
  struct Shared;
  static util::Expected<std::shared_ptr<NodePeer>, core::Error> create(
      DataPlaneContext& ctx, const p2p::PubKey& pk, util::TaskGroup::Batch* starts = nullptr,
      std::shared_ptr<const Shared>* shared = nullptr);
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

}  // namespace sarvolt::agent
