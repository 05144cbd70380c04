// Statistics the node reports of its super peers and node peers, as plain
// owned values (every value measured by the node, none invented).
//   PowStatus       text "Unknw" (no HELLO/ACK seen yet), "Ok", "Nok"
//   ShortId         4-byte id a node assigns to a peer; the peer puts it in
//                   its datagrams instead of its public key; text = 8 hex digits
//   SuperPeerStats  one super peer: configured address, resolved addresses,
//                   TCP port and path (this node has no TCP: always absent),
//                   UDP paths (best first) and reachability
//   NodePeerStats   one node peer: proof-of-work state, protocol version 2,
//                   created at, last application send/receive, direct paths
//                   (best first), relay paths by super peer key (best first),
//                   TX/RX short ids, reachability
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <fmt/format.h>

#include "platform/p2p/identity.hpp"
#include "platform/p2p/peer_path.hpp"

namespace sarvolt::p2p {

enum class PowStatus : std::uint8_t { Unknown, Ok, Nok };
const char* to_string(PowStatus status) noexcept;

class ShortId {
 public:
  constexpr ShortId() = default;
  constexpr explicit ShortId(std::uint32_t value) : value_(value) {}
  constexpr std::uint32_t value() const noexcept { return value_; }
  std::string to_string() const;
  friend bool operator==(const ShortId&, const ShortId&) = default;

 private:
  std::uint32_t value_ = 0;
};

struct TcpPathStats {
  std::optional<PeerPathKey> key;
  PeerPath path;
};

struct SuperPeerStats {
  std::string address;  // "HOST:PORT" as configured
  std::optional<std::vector<boost::asio::ip::udp::endpoint>> resolved_addresses;
  std::uint16_t tcp_port = 0;
  std::optional<TcpPathStats> tcp_path;
  std::vector<PeerPathKey> udp_path_order;  // best first
  std::map<PeerPathKey, PeerPath> udp_paths;
  bool reachable = false;
};

struct NodePeerStats {
  PowStatus pow_status = PowStatus::Unknown;
  bool protocol_version_2 = false;
  Instant created_at;
  std::optional<Instant> app_tx;
  std::optional<Instant> app_rx;
  std::vector<PeerPathKey> direct_path_order;  // best first
  std::map<PeerPathKey, PeerPath> direct_paths;
  std::vector<PubKey> relay_path_order;  // super peer keys, best first
  std::map<PubKey, PeerPath> relay_paths;
  std::optional<ShortId> tx_short_id;
  ShortId rx_short_id;
  bool reachable = false;
};

}  // namespace sarvolt::p2p

template <>
struct fmt::formatter<sarvolt::p2p::ShortId> : fmt::formatter<std::string_view> {
  auto format(const sarvolt::p2p::ShortId& id, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(id.to_string(), ctx);
  }
};

template <>
struct fmt::formatter<sarvolt::p2p::PowStatus> : fmt::formatter<std::string_view> {
  auto format(sarvolt::p2p::PowStatus s, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(sarvolt::p2p::to_string(s), ctx);
  }
};
