// The overlay node and its links to remote peers.
//   Node::initiate(pk)              a link to a peer, at once, or InitiateError
//   NodePeer::read_datagrams        waits for >= 1 datagram, fills up to slots.size()
//   NodePeer::send_datagrams_wait   waits while the link's send queue is full
//   NodePeer::send_datagram         immediate; fails when the queue is full
//   NodePeer::close                 ends the link and its pending waits
//   NodePeer::stats                 what the node measured of the peer
//   Node::bind(opts)                binds a UDP node (udp_node.hpp)
//   Node::opts                      the node's options
//   Node::super_peer_table          super peers by key + default-route key
//   Node::udp_socket_table          the node's UDP sockets; releasing a
//                                   UdpSocketRef closes that socket
//   Node::shutdown                  stops the node's tasks, awaits their end
// A link is safe to use from two tasks at once (one reading and sending single
// datagrams, another sending batches). Waiting operations honour Asio's
// per-operation cancellation (terminal) and complete with
// boost::asio::error::operation_aborted raised as boost::system::system_error.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>

#include "platform/p2p/identity.hpp"
#include "platform/p2p/node_opts.hpp"
#include "platform/p2p/stats.hpp"
#include "util/expected.hpp"

namespace sarvolt::p2p {

// A received datagram; slots are reused, so their capacity is kept.
using Datagram = std::vector<std::uint8_t>;

class InitiateError {
 public:
  explicit InitiateError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

class SendDatagramError {
 public:
  enum class Kind { QueueFull, Closed, TooLarge, Failed };
  SendDatagramError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

class NodePeer {
 public:
  NodePeer() : created_at_(creation_time()) {}
  virtual ~NodePeer() = default;

  virtual const PubKey& pk() const noexcept = 0;

  // Completes with n >= 1 once datagrams are there; slots[0..n) then hold one
  // datagram each (resized to its length).
  virtual boost::asio::awaitable<std::size_t> read_datagrams(std::span<Datagram> slots) = 0;

  // Completes once the link has taken every datagram (the caller's buffers may
  // be reused then), or with an error.
  virtual boost::asio::awaitable<util::Expected<void, SendDatagramError>> send_datagrams_wait(
      std::span<const std::span<const std::uint8_t>> datagrams) = 0;

  virtual util::Expected<void, SendDatagramError> send_datagram(std::span<const std::uint8_t> datagram) = 0;

  // Ends the link: pending and later reads raise operation_aborted, pending
  // and later sends fail with Closed. Initiating the key again gives a new
  // link.
  virtual void close() = 0;
  virtual bool closed() const noexcept = 0;

  // What the node knows of the peer. A link without a wire protocol reports
  // its creation time and nothing else (unknown proof of work, no paths,
  // short id 0, not reachable).
  virtual NodePeerStats stats() const;

 protected:
  Instant created_at() const noexcept { return created_at_; }

 private:
  // The monotonic clock as of the kernel's last tick: a few ns to read where
  // the exact one may take ~30 ns (as in a VM), and a link's age needs no
  // finer grain. Never later than Clock::now().
  static Instant creation_time() noexcept;

  Instant created_at_;
};

// Counted handle on a link; copies reach the same link.
using NodePeerRef = std::shared_ptr<NodePeer>;

// Why Node::bind failed; message() is the display text.
class NodeError {
 public:
  enum class Kind {
    CryptoError,
    NoSuperPeers,
    SuperPeerNetworkIdMismatch,
    AgreementPkNotPresent,
    AgreementSkNotPresent,
    NoAsyncRuntimeFound,  // bind not awaited on a running io_context
    InvalidMaxPeers,  // max_peers neither 0 nor a power of two
    Io,               // a UDP socket could not be opened or bound
  };
  NodeError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

class SuperPeer;
using SuperPeerRef = std::shared_ptr<SuperPeer>;

// The node's super peers, in list order (one entry per key), and the key of
// the super peer that relays by default. Read both under `mutex`.
struct SuperPeerTable {
  std::mutex mutex;
  std::vector<std::pair<PubKey, SuperPeerRef>> entries;
  PubKey default_route;
};

class UdpSocketHandle;
// Counted handle on one of the node's UDP sockets; the node holds no other
// strong handle, so releasing it closes the socket. The node opens a fresh
// one at its next housekeeping.
using UdpSocketRef = std::shared_ptr<UdpSocketHandle>;

// The node's UDP sockets by the address they are bound to.
struct UdpSocketTable {
  std::mutex mutex;
  std::unordered_map<boost::asio::ip::address, UdpSocketRef> sockets;
};

class Node;
using NodeRef = std::shared_ptr<Node>;

class Node {
 public:
  Node();
  virtual ~Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  virtual const Identity& identity() const noexcept = 0;
  virtual util::Expected<NodePeerRef, InitiateError> initiate(const PubKey& pk) = 0;

  // The options the node was bound with; a node made otherwise reports the
  // defaults around its identity and SUPER_PEERS_DEFAULT.
  virtual NodeOpts opts() const;
  // Tables the status report and the host read (empty for nodes without
  // super peers or sockets).
  SuperPeerTable& super_peer_table() const noexcept { return *super_peers_; }
  UdpSocketTable& udp_socket_table() const noexcept { return *udp_sockets_; }
  // Stops the node's tasks and completes once they have ended; pending link
  // reads end with operation_aborted, sends with Closed. Idempotent.
  virtual boost::asio::awaitable<void> shutdown();

  // Binds a UDP node (see udp_node.hpp); must be awaited on the runtime that
  // is to run the node's tasks.
  static boost::asio::awaitable<util::Expected<NodeRef, NodeError>> bind(NodeOpts opts);

 protected:
  Node(std::shared_ptr<SuperPeerTable> super_peers, std::shared_ptr<UdpSocketTable> udp_sockets);

 private:
  std::shared_ptr<SuperPeerTable> super_peers_;
  std::shared_ptr<UdpSocketTable> udp_sockets_;
};

}  // namespace sarvolt::p2p
