#include "platform/p2p/node_opts.hpp"

#include <fmt/format.h>

namespace sarvolt::p2p {

NodeOptsBuilder& NodeOptsBuilder::identity(Identity v) { identity_ = std::move(v); return *this; }
NodeOptsBuilder& NodeOptsBuilder::udp_addrs(std::vector<boost::asio::ip::address> v) { udp_addrs_ = std::move(v); return *this; }
NodeOptsBuilder& NodeOptsBuilder::udp_port(std::optional<std::uint16_t> v) { udp_port_ = v; return *this; }
NodeOptsBuilder& NodeOptsBuilder::arm_messages(bool v) { arm_messages_ = v; return *this; }
NodeOptsBuilder& NodeOptsBuilder::max_peers(std::uint64_t v) { max_peers_ = v; return *this; }
NodeOptsBuilder& NodeOptsBuilder::min_pow_difficulty(std::uint8_t v) { min_pow_difficulty_ = v; return *this; }
NodeOptsBuilder& NodeOptsBuilder::hello_timeout(std::uint64_t ms) { hello_timeout_ = ms; return *this; }
NodeOptsBuilder& NodeOptsBuilder::hello_max_age(std::uint64_t ms) { hello_max_age_ = ms; return *this; }
NodeOptsBuilder& NodeOptsBuilder::super_peers(std::vector<SuperPeerUrl> v) { super_peers_ = std::move(v); return *this; }
NodeOptsBuilder& NodeOptsBuilder::network_id(std::int32_t v) { network_id_ = v; return *this; }
NodeOptsBuilder& NodeOptsBuilder::process_unites(bool v) { process_unites_ = v; return *this; }
NodeOptsBuilder& NodeOptsBuilder::mtu(std::uint64_t v) { mtu_ = v; return *this; }
NodeOptsBuilder& NodeOptsBuilder::housekeeping_interval(std::uint64_t ms) { housekeeping_interval_ = ms; return *this; }
NodeOptsBuilder& NodeOptsBuilder::enforce_tcp(bool v) { enforce_tcp_ = v; return *this; }

util::Expected<NodeOpts, NodeOptsBuilderError> NodeOptsBuilder::build() const {
  using Kind = NodeOptsBuilderError::Kind;
  if (!identity_) return util::Unexpected(NodeOptsBuilderError(Kind::UninitializedField, "`identity` must be initialized"));
  if (!super_peers_)
    return util::Unexpected(NodeOptsBuilderError(Kind::UninitializedField, "`super_peers` must be initialized"));
  NodeOpts o(*identity_);
  o.super_peers_ = *super_peers_;
  if (udp_addrs_) o.udp_addrs_ = *udp_addrs_;
  if (udp_port_) o.udp_port_ = *udp_port_;
  if (arm_messages_) o.arm_messages_ = *arm_messages_;
  if (max_peers_) o.max_peers_ = *max_peers_;
  if (min_pow_difficulty_) o.min_pow_difficulty_ = *min_pow_difficulty_;
  if (hello_timeout_) o.hello_timeout_ = *hello_timeout_;
  if (hello_max_age_) o.hello_max_age_ = *hello_max_age_;
  if (network_id_) o.network_id_ = *network_id_;
  if (process_unites_) o.process_unites_ = *process_unites_;
  if (mtu_) o.mtu_ = *mtu_;
  if (housekeeping_interval_) o.housekeeping_interval_ = *housekeeping_interval_;
  if (enforce_tcp_) o.enforce_tcp_ = *enforce_tcp_;
  if (o.mtu_ < 576 || o.mtu_ > 65535)
    return util::Unexpected(NodeOptsBuilderError(Kind::ValidationError,
                                                 fmt::format("mtu must be between 576 and 65535, got {}", o.mtu_)));
  if (o.housekeeping_interval_ == 0)
    return util::Unexpected(NodeOptsBuilderError(Kind::ValidationError, "housekeeping_interval must be at least 1 ms"));
  return o;
}

}  // namespace sarvolt::p2p
