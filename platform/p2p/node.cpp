#include "platform/p2p/node.hpp"

#include <time.h>

namespace sarvolt::p2p {

Instant NodePeer::creation_time() noexcept {
  // The steady clock is CLOCK_MONOTONIC; its coarse reading shares the origin.
  timespec ts{};
  if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0) return Clock::now();
  return Instant(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(ts.tv_sec) +
                                                             std::chrono::nanoseconds(ts.tv_nsec)));
}

NodePeerStats NodePeer::stats() const {
  NodePeerStats s;
  s.created_at = created_at_;
  return s;
}

Node::Node() : Node(std::make_shared<SuperPeerTable>(), std::make_shared<UdpSocketTable>()) {}

Node::Node(std::shared_ptr<SuperPeerTable> super_peers, std::shared_ptr<UdpSocketTable> udp_sockets)
    : super_peers_(std::move(super_peers)), udp_sockets_(std::move(udp_sockets)) {}

NodeOpts Node::opts() const {
  return NodeOptsBuilder().identity(identity()).super_peers(SUPER_PEERS_DEFAULT()).build().value();
}

boost::asio::awaitable<void> Node::shutdown() { co_return; }

}  // namespace sarvolt::p2p
