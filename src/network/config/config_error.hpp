// ConfigError: why a network configuration document (or a derivation from
// it) was refused; seven kinds, each with a fixed message.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "platform/p2p/identity.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::network {

class ConfigError {
 public:
  enum class Kind : std::uint8_t {
    NotInNetwork = 0,
    GatewayNotFound = 1,
    Toml = 2,
    DuplicateRoute = 3,
    Reserved = 4,
    InvalidHostname = 5,
    HostAddress = 6,
  };

  static ConfigError not_in_network(util::Ipv4Addr ip, util::Ipv4Net network);
  static ConfigError gateway_not_found(const p2p::PubKey& gw);
  static ConfigError toml(std::string error_text);
  static ConfigError duplicate_route();
  static ConfigError reserved(util::Ipv4Addr ip);
  static ConfigError invalid_hostname(std::string hostname);
  static ConfigError host_address(util::Ipv4Net dest);

  Kind kind() const noexcept { return kind_; }
  // "IP address {} is not in network {}", "gateway {} not found in nodes", ...
  const std::string& message() const noexcept { return message_; }
  std::string to_string() const { return message_; }

  friend bool operator==(const ConfigError&, const ConfigError&) = default;

 private:
  ConfigError(Kind k, std::string m) : kind_(k), message_(std::move(m)) {}
  Kind kind_;
  std::string message_;
};

inline std::ostream& operator<<(std::ostream& os, const ConfigError& e) { return os << e.message(); }

}  // namespace sarvolt::network
