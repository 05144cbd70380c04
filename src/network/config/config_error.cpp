#include "network/config/config_error.hpp"

namespace sarvolt::network {

ConfigError ConfigError::not_in_network(util::Ipv4Addr ip, util::Ipv4Net network) {
  return {Kind::NotInNetwork, fmt::format("IP address {} is not in network {}", ip, network)};
}

ConfigError ConfigError::gateway_not_found(const p2p::PubKey& gw) {
  return {Kind::GatewayNotFound, fmt::format("gateway {} not found in nodes", gw)};
}

ConfigError ConfigError::toml(std::string error_text) {
  return {Kind::Toml, "TOML deserialization error: " + error_text};
}

ConfigError ConfigError::duplicate_route() { return {Kind::DuplicateRoute, "duplicate route"}; }

ConfigError ConfigError::reserved(util::Ipv4Addr ip) {
  return {Kind::Reserved, fmt::format("IP address {} is reserved", ip)};
}

ConfigError ConfigError::invalid_hostname(std::string hostname) {
  return {Kind::InvalidHostname, "invalid hostname: " + hostname};
}

ConfigError ConfigError::host_address(util::Ipv4Net dest) {
  return {Kind::HostAddress, fmt::format("invalid network address: {} is a host address", dest)};
}

}  // namespace sarvolt::network
