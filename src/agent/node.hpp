// Binding the agent's p2p node: options from the configuration and the
// SARVOLT_* environment overrides, then Node::bind.
#pragma once

#include <memory>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>

#include "agent/config.hpp"
#include "core/error.hpp"
#include "platform/p2p/node.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent {

// SARVOLT_UDP_ADDRS split at whitespace, each an IPv4 or IPv6 address (no
// port); one that does not parse fails with "Invalid udp addresses".
util::Expected<std::vector<boost::asio::ip::address>, core::Error> udp_addrs_from_env();
// SARVOLT_UDP_PORT: absent when empty, blank or not a 16-bit number.
std::optional<std::uint16_t> udp_port_from_env();

// The node options of `config` and the environment; a failure is a NodeError
// ("Invalid udp addresses", "Failed to build node opts: ...").
util::Expected<p2p::NodeOpts, core::Error> node_opts(const AgentConfig& config);

// Builds the options and binds the node ("Failed to bind node: ...").
boost::asio::awaitable<util::Expected<p2p::NodeRef, core::Error>> bind_node(const AgentConfig& config);

}  // namespace sarvolt::agent
