// Options of a node, built with NodeOptsBuilder (identity and super peers are
// required; everything else has the default shown). What each does here:
//   identity               the node's keys and proof of work (sent in HELLOs)
//   udp_addrs       []     one UDP socket per address; empty = the wildcard
//                          (dual-stack [::], or 0.0.0.0 where IPv6 is off)
//   udp_port        absent port of every socket; 0 = a random port; absent
//                          = PubKey::udp_port of the own key (udp_port())
//   arm_messages    true   seal every datagram to nodes and super peers with
//                          XChaCha20-Poly1305 under crypto_kx session keys;
//                          false: send and accept only unsealed datagrams
//   max_peers       8192   bound of the node-peer table (0 = no bound); must
//                          be 0 or a power of two (checked by Node::bind)
//   min_pow_difficulty 24  peers whose proof of work is below are refused
//   hello_timeout   30000  ms; a path without an ACK for this long is no
//                          longer reachable (and not chosen)
//   hello_max_age   60000  ms; a direct path without an ACK for this long is
//                          dropped; a peer without a link handle and without
//                          traffic for this long is forgotten
//   super_peers            where the node says HELLO and whose relay it uses
//   network_id      1      must equal every super peer's; sent in HELLOs
//   process_unites  true   follow a super peer's UNITE with a direct HELLO
//   mtu             1200   the network MTU: direct-path HELLOs are padded to
//                          mtu - 48 bytes, so a direct path becomes reachable
//                          only when datagrams of that size pass; 576..65535
//   housekeeping_interval 5000  ms between HELLO rounds, path upkeep and the
//                          reopening of closed UDP sockets; at least 1
//   enforce_tcp     false  accepted and shown; this node has no TCP transport
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "platform/p2p/identity.hpp"
#include "util/expected.hpp"

namespace sarvolt::p2p {

class NodeOptsBuilderError {
 public:
  enum class Kind { UninitializedField, ValidationError };
  NodeOptsBuilderError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  // "`identity` must be initialized", or the validation message.
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

class NodeOptsBuilder;

class NodeOpts {
 public:
  const Identity& identity() const noexcept { return identity_; }
  const std::vector<boost::asio::ip::address>& udp_addrs() const noexcept { return udp_addrs_; }
  // The configured port, if any.
  const std::optional<std::uint16_t>& configured_udp_port() const noexcept { return udp_port_; }
  // The effective port: the configured one, else PubKey::udp_port of the own key.
  std::uint16_t udp_port() const noexcept { return udp_port_ ? *udp_port_ : identity_.pk().udp_port(); }
  bool arm_messages() const noexcept { return arm_messages_; }
  std::uint64_t max_peers() const noexcept { return max_peers_; }
  std::uint8_t min_pow_difficulty() const noexcept { return min_pow_difficulty_; }
  std::uint64_t hello_timeout() const noexcept { return hello_timeout_; }
  std::uint64_t hello_max_age() const noexcept { return hello_max_age_; }
  const std::vector<SuperPeerUrl>& super_peers() const noexcept { return super_peers_; }
  std::int32_t network_id() const noexcept { return network_id_; }
  bool process_unites() const noexcept { return process_unites_; }
  std::uint64_t mtu() const noexcept { return mtu_; }
  std::uint64_t housekeeping_interval() const noexcept { return housekeeping_interval_; }
  bool enforce_tcp() const noexcept { return enforce_tcp_; }

 private:
  friend class NodeOptsBuilder;
  explicit NodeOpts(Identity identity) : identity_(std::move(identity)) {}

  Identity identity_;
  std::vector<boost::asio::ip::address> udp_addrs_;
  std::optional<std::uint16_t> udp_port_;
  bool arm_messages_ = true;
  std::uint64_t max_peers_ = 8192;
  std::uint8_t min_pow_difficulty_ = 24;
  std::uint64_t hello_timeout_ = 30000;
  std::uint64_t hello_max_age_ = 60000;
  std::vector<SuperPeerUrl> super_peers_;
  std::int32_t network_id_ = 1;
  bool process_unites_ = true;
  std::uint64_t mtu_ = 1200;
  std::uint64_t housekeeping_interval_ = 5000;
  bool enforce_tcp_ = false;
};

class NodeOptsBuilder {
 public:
  NodeOptsBuilder& identity(Identity v);
  NodeOptsBuilder& udp_addrs(std::vector<boost::asio::ip::address> v);
  NodeOptsBuilder& udp_port(std::optional<std::uint16_t> v);
  NodeOptsBuilder& arm_messages(bool v);
  NodeOptsBuilder& max_peers(std::uint64_t v);
  NodeOptsBuilder& min_pow_difficulty(std::uint8_t v);
  NodeOptsBuilder& hello_timeout(std::uint64_t ms);
  NodeOptsBuilder& hello_max_age(std::uint64_t ms);
  NodeOptsBuilder& super_peers(std::vector<SuperPeerUrl> v);
  NodeOptsBuilder& network_id(std::int32_t v);
  NodeOptsBuilder& process_unites(bool v);
  NodeOptsBuilder& mtu(std::uint64_t v);
  NodeOptsBuilder& housekeeping_interval(std::uint64_t ms);
  NodeOptsBuilder& enforce_tcp(bool v);

  util::Expected<NodeOpts, NodeOptsBuilderError> build() const;

 private:
  std::optional<Identity> identity_;
  std::optional<std::vector<SuperPeerUrl>> super_peers_;
  std::optional<std::vector<boost::asio::ip::address>> udp_addrs_;
  std::optional<std::optional<std::uint16_t>> udp_port_;
  std::optional<bool> arm_messages_;
  std::optional<std::uint64_t> max_peers_;
  std::optional<std::uint8_t> min_pow_difficulty_;
  std::optional<std::uint64_t> hello_timeout_;
  std::optional<std::uint64_t> hello_max_age_;
  std::optional<std::int32_t> network_id_;
  std::optional<bool> process_unites_;
  std::optional<std::uint64_t> mtu_;
  std::optional<std::uint64_t> housekeeping_interval_;
  std::optional<bool> enforce_tcp_;
};

}  // namespace sarvolt::p2p
