// The per-packet work of the data-plane drivers, apart from their I/O loops,
// so that the drivers and the packet-path bench run the same code.
//   handle_tun_packet     one packet read from the TUN device: decode, drops,
//                         loopback, DNS offer, transmit lookup and queueing on
//                         its peer's batch, or an ICMP host unreachable.
//   handle_peer_datagram  one datagram from a peer: decode, ICMP
//                         fragmentation needed, drops, receive check and
//                         queueing for the TUN write.
// Internal to the data plane.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "agent/firewall/firewall.hpp"
#include "agent/netif/context.hpp"

namespace sarvolt::agent {

// True when the packet was queued on a batch (its buffer must then be kept
// until the hand-over). Loopback packets and ICMP answers go to `device`.
bool handle_tun_packet(const std::shared_ptr<util::AsyncTun>& device, const TunNetworks& tun_networks,
                       std::span<const std::uint8_t> packet, const TransmitTrie& tx, OutboundPacketHook* dns_hook,
                       OutboundBatches& batches);

// Accepted packets are appended to `to_tun`; an ICMP answer goes back on
// `link`, the link of peer `pk`. Packets longer than `mtu` with Don't
// Fragment are answered, not delivered.
void handle_peer_datagram(const p2p::PubKey& pk, std::uint16_t mtu, p2p::NodePeer& link,
                          const TunNetworks& tun_networks, const ReceiveTrie& rx, std::span<const std::uint8_t> bytes,
                          std::vector<std::span<const std::uint8_t>>& to_tun);

}  // namespace sarvolt::agent
