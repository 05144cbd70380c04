// NetworkConfig: one overlay network's configuration document, read from
// TOML (with the duplicate checks that are part of reading) and validated;
// MultiNetworkConfig: the controller's list of such documents.
//   NetworkConfig::try_from(text)   parse + read + validate, or ConfigError
//   read_network_config(text)      read only (duplicate checks, no validation)
//   read_multi_network_config(text) the controller's list
// Containers are ordered so that results (and which fault is reported first)
// never depend on hashing.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/uuid/uuid.hpp>

#include "network/config/config_error.hpp"
#include "platform/p2p/identity.hpp"
#include "util/expected.hpp"
#include "util/ipv4.hpp"
#include "util/toml_error.hpp"

namespace sarvolt::network {

using util::Ipv4Addr;
using util::Ipv4Net;
using p2p::PubKey;

using GroupSet = std::set<std::string>;

struct NetworkNode {
  PubKey pk;
  Ipv4Addr ip;
  std::string hostname;  // as written, case kept
  GroupSet groups;
  friend bool operator==(const NetworkNode&, const NetworkNode&) = default;
};

struct NetworkRoute {
  Ipv4Net dest;
  PubKey gw;
  GroupSet groups;
  friend bool operator==(const NetworkRoute&, const NetworkRoute&) = default;
};

struct NetworkPolicy {
  GroupSet source_groups;
  GroupSet destination_groups;
  friend bool operator==(const NetworkPolicy&, const NetworkPolicy&) = default;
  friend auto operator<=>(const NetworkPolicy&, const NetworkPolicy&) = default;
};

// Forward declarations of the derived lists (effective.hpp).
class EffectiveAccessRuleList;
class EffectiveRoutingList;
class EffectiveForwardingList;
class HostnameList;

struct NetworkConfig {
  std::optional<boost::uuids::uuid> id;
  Ipv4Net network;
  std::optional<std::string> name;
  std::map<PubKey, NetworkNode> node;
  std::map<Ipv4Net, NetworkRoute> route;
  std::set<NetworkPolicy> policy;

  friend bool operator==(const NetworkConfig&, const NetworkConfig&) = default;

  // Parses, reads and validates a document.
  static util::Expected<NetworkConfig, ConfigError> try_from(std::string_view text);

  // The address of the node with key `pk`.
  std::optional<Ipv4Addr> ip(const PubKey& pk) const;
  // Group name -> keys of the nodes that list it.
  std::map<std::string, std::set<PubKey>> groups() const;

  // --- derivations for this node (effective.cpp) ---
  bool matching_policy(const PubKey& a, const PubKey& b) const;
  util::Expected<EffectiveAccessRuleList, ConfigError> effective_access_rule_list(const PubKey& me) const;
  util::Expected<EffectiveRoutingList, ConfigError> effective_routing_list(const PubKey& me) const;
  EffectiveForwardingList effective_forwarding_list(const PubKey& me) const;
  HostnameList hostnames(const PubKey& me) const;
};

struct MultiNetworkConfig {
  std::vector<NetworkConfig> network;
};

// Reads one document without validating it (beyond the duplicate checks).
util::Expected<NetworkConfig, util::toml_read::Error> read_network_config(std::string_view text);
// Reads the controller's network list (entries are not validated).
util::Expected<MultiNetworkConfig, util::toml_read::Error> read_multi_network_config(std::string_view text);

}  // namespace sarvolt::network
