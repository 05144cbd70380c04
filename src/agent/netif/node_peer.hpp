// NodePeer: the agent's handle on one remote peer: its p2p link and the
// driver task that carries the peer's datagrams into the TUN device through
// the firewall's receive check. Handles compare and hash by the peer's key.
// The driver ends when the last NodePeer handle goes (the firewall's tries,
// the rebuild's reuse map); a hand-over waiting on a released peer is
// cancelled through its release watcher.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/strand.hpp>

#include "platform/p2p/node.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent {

class AgentInner;
class AgentFirewall;
class AsyncTun;

// Packets received from peers are at most this many per read.
inline constexpr std::size_t kNodePeerRecvBatch = 138;
// Drivers yield to the runtime after handling more than this many items in a row.
inline constexpr std::size_t kYieldAfter = 23;

// Who to tell when a peer is released while a hand-over to it is pending.
class ReleaseWatcher {
 public:
  virtual ~ReleaseWatcher() = default;
  virtual void peer_released(std::uint64_t ticket) = 0;
};

class NodePeerInner {
 public:
  NodePeerInner(p2p::NodePeerRef link, const p2p::PubKey& pk, boost::asio::any_io_executor ex, std::uint16_t mtu);

  const p2p::NodePeerRef& link() const noexcept { return link_; }
  const p2p::PubKey& pk() const noexcept { return pk_; }
  std::uint16_t mtu() const noexcept { return mtu_; }
  bool released() const noexcept { return released_.load(std::memory_order_acquire); }
  bool driver_running() const noexcept { return running_.load(std::memory_order_acquire); }

  // Registers `w` (with `ticket`) to hear of the release; false when the peer
  // is released already. Only one watcher at a time (the TUN driver).
  bool watch_release(std::weak_ptr<ReleaseWatcher> w, std::uint64_t ticket);
  void unwatch_release();

 private:
  friend class NodePeer;
  friend struct NodePeerDriver;
  void release();  // the last handle went

  p2p::NodePeerRef link_;
  p2p::PubKey pk_;
  std::uint16_t mtu_;
  boost::asio::strand<boost::asio::any_io_executor> strand_;
  boost::asio::cancellation_signal stop_;  // emitted on strand_ only
  std::atomic<bool> released_{false};
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::weak_ptr<ReleaseWatcher> watcher_;
  std::uint64_t ticket_ = 0;
};

class NodePeer {
 public:
  NodePeer() = default;

  // Opens the link to `pk` and starts the peer's driver on the agent's
  // runtime. The TUN side is the device in the network interface's slot now;
  // without one, the peer drops what it receives for its whole life.
  static util::Expected<NodePeer, std::string> create(const std::shared_ptr<p2p::Node>& node, const p2p::PubKey& pk,
                                                      const std::shared_ptr<AgentInner>& agent);

  explicit operator bool() const noexcept { return handle_ != nullptr; }
  const p2p::PubKey& pk() const noexcept { return handle_->inner->pk(); }
  const std::shared_ptr<NodePeerInner>& inner() const noexcept { return handle_->inner; }
  const p2p::NodePeerRef& link() const noexcept { return handle_->inner->link(); }

  friend bool operator==(const NodePeer& a, const NodePeer& b) noexcept {
    return a.handle_ == b.handle_ || (a.handle_ && b.handle_ && a.pk() == b.pk());
  }

 private:
  struct Handle {
    explicit Handle(std::shared_ptr<NodePeerInner> i) : inner(std::move(i)) {}
    ~Handle();
    std::shared_ptr<NodePeerInner> inner;
  };
  explicit NodePeer(std::shared_ptr<Handle> h) : handle_(std::move(h)) {}
  std::shared_ptr<Handle> handle_;
};

// Counted handle: a NodePeer is one.
using NodePeerRef = NodePeer;

std::size_t hash_value(const NodePeer& p) noexcept;

}  // namespace sarvolt::agent

template <>
struct std::hash<sarvolt::agent::NodePeer> {
  std::size_t operator()(const sarvolt::agent::NodePeer& p) const noexcept { return sarvolt::agent::hash_value(p); }
};
