// In-memory overlay for tests of the data plane: nodes of one process joined
// by bounded datagram queues, with faults that a test switches on and off.
//   Fabric          owns the queues; hold it in a std::shared_ptr
//   MemoryNode      a Node on the fabric (Fabric::add_node)
//   MemoryNodePeer  the link from one node to a key (MemoryNode::initiate)
// Every directed pair (from, to) has one inbound queue at `to` of
// queue_capacity datagrams; it exists from first use by either side, so
// datagrams sent before the receiver initiates the sender are kept. A node
// initiating the same key again gets the same link while any handle on it is
// alive and it is open, and a new link on the same queues otherwise. Closing
// or destroying a link ends its pending waits: reads raise operation_aborted,
// batch sends return Closed.
// All Fabric functions are thread-safe. Pending waits hold the link's queues,
// not the link, so a link may be dropped while one of its waits is pending;
// the io_context running a wait must outlive that wait. A wait is parked in
// its link, not on the heap. Wake-ups from outside the waiter's io_context
// are relayed through it, those of one burst with one post, and the waiters
// are resumed from there without a further post; so neither the waking
// thread nor the waiter allocates per wake-up, however many links wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/p2p/node.hpp"

namespace sarvolt::p2p {

class MemoryNode;
class MemoryNodePeer;

class Fabric : public std::enable_shared_from_this<Fabric> {
 public:
  static constexpr std::size_t kDefaultQueueCapacity = 1024;
  static constexpr std::size_t kMaxDatagramSize = 65535;

  // Must be owned by a std::shared_ptr (std::make_shared<Fabric>(...)).
  explicit Fabric(std::size_t queue_capacity = kDefaultQueueCapacity);
  ~Fabric();
  Fabric(const Fabric&) = delete;
  Fabric& operator=(const Fabric&) = delete;

  std::size_t queue_capacity() const noexcept { return capacity_; }

  // A node with this identity; throws std::invalid_argument while another
  // live node of the fabric has the same key.
  std::shared_ptr<MemoryNode> add_node(Identity identity);

  // Every initiate() of `pk`, from any node, fails with "peer refused: <pk>".
  void refuse_initiate(const PubKey& pk, bool refuse);
  // Sends from `from` to `to` fail with Failed "send failed"; pending batch
  // sends fail too.
  void fail_sends(const PubKey& from, const PubKey& to, bool fail);
  // Sends from `from` to `to` are held: batch sends stay pending until
  // released, single sends fail with QueueFull.
  void hold_sends(const PubKey& from, const PubKey& to, bool hold);

  // Queues `bytes` at `to_node` as if sent by `from` (faults do not apply, and
  // sent_count does not change); false when that queue is full.
  bool inject(const PubKey& to_node, const PubKey& from, std::span<const std::uint8_t> bytes);
  // Datagrams taken from links of `from` towards `to`, since the start.
  std::size_t sent_count(const PubKey& from, const PubKey& to) const;
  // Datagrams waiting at `to_node` from `from`.
  std::size_t queued(const PubKey& to_node, const PubKey& from) const;
  // Removes and returns the datagrams waiting at `to_node` from `from`.
  std::vector<std::vector<std::uint8_t>> drain(const PubKey& to_node, const PubKey& from);

 private:
  friend class MemoryNode;
  friend class MemoryNodePeer;
  struct Queue;
  static void set_fault(Queue& q, bool Queue::*flag, bool on);
  struct Impl;

  std::shared_ptr<Queue> queue(const PubKey& from, const PubKey& to) const;
  // Without a call while no key is refused.
  bool refused(const PubKey& pk) const { return refusing_.load(std::memory_order_acquire) && refused_now(pk); }
  bool refused_now(const PubKey& pk) const;

  const std::size_t capacity_;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> refusing_{false};  // some key is refused
};

class MemoryNode final : public Node {
  struct Key {};

 public:
  MemoryNode(Key, std::shared_ptr<Fabric> fabric, Identity identity);
  ~MemoryNode() override;

  const Identity& identity() const noexcept override { return identity_; }
  // The link to `pk` (a MemoryNodePeer); fails when the fabric refuses `pk`
  // or `pk` is this node's own key.
  util::Expected<NodePeerRef, InitiateError> initiate(const PubKey& pk) override;

  const std::shared_ptr<Fabric>& fabric() const noexcept { return fabric_; }

 private:
  friend class Fabric;
  friend class MemoryNodePeer;
  struct Links;

  std::shared_ptr<Fabric> fabric_;
  Identity identity_;
  // Each link leaves it when it ends; links come from its slabs. The last
  // of the node and its links deletes it.
  Links* links_;
};

namespace detail {
// The remote key of a link, first: a node's link table reaches it through
// this base, also for a key whose link is not made yet.
struct LinkKey {
  PubKey remote;
};
}  // namespace detail

class MemoryNodePeer final : public NodePeer,
                             public std::enable_shared_from_this<MemoryNodePeer>,
                             private detail::LinkKey {
  struct Key {};

 public:
  struct Waker;

  MemoryNodePeer(Key, MemoryNode::Links* links, const PubKey& remote);
  ~MemoryNodePeer() override;
  MemoryNodePeer(const MemoryNodePeer&) = delete;
  MemoryNodePeer& operator=(const MemoryNodePeer&) = delete;

  // The remote key.
  const PubKey& pk() const noexcept override { return remote; }
  const PubKey& local_pk() const noexcept;

  // Returns 0 at once when `slots` is empty.
  boost::asio::awaitable<std::size_t> read_datagrams(std::span<Datagram> slots) override;
  // Takes datagrams in order as room appears (a batch may be split around a
  // concurrent reader); TooLarge before anything is taken when one exceeds
  // Fabric::kMaxDatagramSize.
  boost::asio::awaitable<util::Expected<void, SendDatagramError>> send_datagrams_wait(
      std::span<const std::span<const std::uint8_t>> datagrams) override;
  util::Expected<void, SendDatagramError> send_datagram(std::span<const std::uint8_t> datagram) override;
  void close() override;
  bool closed() const noexcept override;

 private:
  friend class MemoryNode;

  static boost::asio::awaitable<std::size_t> read_loop(std::shared_ptr<Fabric::Queue> q,
                                                       std::shared_ptr<Waker> self, std::span<Datagram> slots);
  static boost::asio::awaitable<util::Expected<void, SendDatagramError>> send_loop(
      std::shared_ptr<Fabric::Queue> q, std::shared_ptr<Waker> self,
      std::span<const std::span<const std::uint8_t>> datagrams);

  // The queues and wakers of a link in use, in one block.
  struct Attachment;

  // Takes the queues and makes the wakers, on first use: a link that is
  // opened but never used costs its slab block alone.
  void attach();
  // Once closed_ is set: ends the waits of a link in use, and says so.
  void ended(bool in_use, const PubKey& local);

  MemoryNode::Links* links_;  // of the node that opened it; kept by this link
  // attached_ and closed_ change under links_->mutex.
  std::atomic<bool> attached_{false};
  std::atomic<bool> closed_{false};
  std::shared_ptr<Attachment> att_;  // set once by attach()
};

}  // namespace sarvolt::p2p
