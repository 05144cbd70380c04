// The overlay node over UDP (wire format in wire.hpp).
//   UdpNode::bind(opts)   Node::bind: keys, checks, concurrent super peer
//                         resolution, sockets, then the node tasks
//   UdpNode               a Node: initiate(pk) gives a link at once; its
//                         datagrams go relayed through a super peer until a
//                         direct path (after a UNITE and a direct HELLO/ACK,
//                         sealed only) is reachable; the best reachable path
//                         is used
//   UdpSocketHandle       what a UdpSocketRef holds; its release closes the
//                         socket, which the next housekeeping reopens
//   UdpNode::counters     datagrams received and dropped, by reason
//
// Tasks: one receive loop per socket (the node driver) and the housekeeping
// loop, on one strand of the runtime that awaited bind; both log
// "I/O error: {}" when they end with an error. Node::shutdown stops them and
// completes when they have ended; releasing the last UdpNode handle stops
// them without waiting. Links (NodePeerRef) may outlive the node: their
// reads then end with operation_aborted and their sends with Closed.
//
// Housekeeping, every housekeeping_interval ms: reopen closed sockets; HELLO
// to every resolved address of every super peer; HELLO to every peer that has
// a link, through each reachable super peer (or the default one) and each
// direct path; drop direct paths and idle peers past hello_max_age; reorder
// paths; move the default route to a reachable super peer when it has none.
// A peer's HELLO or ACK carries its proof of work; below min_pow_difficulty
// the peer is refused (its datagrams dropped, sends and initiate fail).
// Application datagrams are delivered only from peers whose proof of work
// was seen and is sufficient. A peer the node does not know is added only
// when its HELLO opens and carries this network id and enough proof of
// work (so forged keys cannot fill the table); up to max_peers. Before any
// key agreement for an unknown key come the cheap checks (size, own key, an
// ACK, which answers only a peer we know, room in the table) and a budget of
// agreements per second shared by all strangers, so that a flood of fresh
// keys costs the node a bounded share of its time. A peer's direct paths
// come only from sealed datagrams (the UNITE of a super peer, the peer's
// HELLO and ACK), since only these prove a key; unsealed nodes relay. An ACK
// is never larger than the HELLO it answers (a direct HELLO is padded to mtu
// to probe the path, and its ACK to the same size).
// Bind errors: CryptoError (a key does not convert or agree),
// NoSuperPeers, SuperPeerNetworkIdMismatch, InvalidMaxPeers,
// NoAsyncRuntimeFound (bind not awaited on a running io_context), Io (a
// socket does not open or bind); AgreementPkNotPresent /
// AgreementSkNotPresent cannot arise here, since sealing derives both.
#pragma once

#include <cstdint>
#include <memory>

#include <boost/asio/ip/udp.hpp>

#include "platform/p2p/node.hpp"

namespace sarvolt::p2p {

struct NodeCounters {
  std::uint64_t received = 0;           // datagrams read from the sockets
  std::uint64_t delivered = 0;          // application datagrams handed to links
  std::uint64_t dropped_malformed = 0;  // not decodable, not for this node, or wrong sealing mode
  std::uint64_t dropped_unauthentic = 0;  // failed to open
  std::uint64_t dropped_replayed = 0;   // (epoch, counter) seen before or too old
  std::uint64_t dropped_refused = 0;    // peer's proof of work unknown or too low, or wrong network id
  std::uint64_t dropped_unknown = 0;    // from a peer or super peer the node does not know
  std::uint64_t dropped_full = 0;       // link's receive queue full, or peer table full
  std::uint64_t dropped_busy = 0;       // a stranger's HELLO over the key agreement budget
};

class UdpNode final : public Node {
 public:
  struct Core;
  struct Key {};

  static boost::asio::awaitable<util::Expected<std::shared_ptr<UdpNode>, NodeError>> bind(NodeOpts opts);

  UdpNode(Key, std::shared_ptr<Core> core);
  ~UdpNode() override;

  const Identity& identity() const noexcept override;
  util::Expected<NodePeerRef, InitiateError> initiate(const PubKey& pk) override;
  NodeOpts opts() const override;
  boost::asio::awaitable<void> shutdown() override;

  NodeCounters counters() const noexcept;
  // Local endpoints of the open sockets.
  std::vector<boost::asio::ip::udp::endpoint> local_endpoints() const;

 private:
  std::shared_ptr<Core> core_;
};

class UdpSocketHandle {
 public:
  struct Socket;
  UdpSocketHandle(std::weak_ptr<UdpNode::Core> core, std::shared_ptr<Socket> socket);
  ~UdpSocketHandle();  // closes the socket
  UdpSocketHandle(const UdpSocketHandle&) = delete;
  UdpSocketHandle& operator=(const UdpSocketHandle&) = delete;

  const boost::asio::ip::udp::endpoint& local_endpoint() const noexcept;

 private:
  std::weak_ptr<UdpNode::Core> core_;
  std::shared_ptr<Socket> socket_;
};

}  // namespace sarvolt::p2p
