// Network: one joined network, keyed by its configuration URL. The persisted
// part (config_url, disabled, name) lives in the agent configuration file; the
// rest is run-time state: health, the state to reach (desired), the state
// reached so far (current) and the last configuration document or the error
// of the last attempt to get one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <variant>

#include "core/error.hpp"
#include "network/config/effective.hpp"
#include "network/config/network_config.hpp"
#include "util/url.hpp"

namespace sarvolt::network {

class NetworkHealth {
 public:
  enum class Kind : std::uint8_t {
    Initializing = 0,
    Disabled = 1,
    Ok = 2,
    Pending = 3,
    RetrieveConfigError = 4,
    NotAMemberError = 5,
    InvalidConfigError = 6,
  };

  NetworkHealth() noexcept = default;  // Initializing

  static NetworkHealth initializing() noexcept { return NetworkHealth(Kind::Initializing); }
  static NetworkHealth disabled() noexcept { return NetworkHealth(Kind::Disabled); }
  static NetworkHealth ok() noexcept { return NetworkHealth(Kind::Ok); }
  static NetworkHealth pending() noexcept { return NetworkHealth(Kind::Pending); }
  static NetworkHealth retrieve_config_error(std::string why) {
    return NetworkHealth(Kind::RetrieveConfigError, std::move(why));
  }
  static NetworkHealth not_a_member_error() noexcept { return NetworkHealth(Kind::NotAMemberError); }
  static NetworkHealth invalid_config_error(std::string why) {
    return NetworkHealth(Kind::InvalidConfigError, std::move(why));
  }

  Kind kind() const noexcept { return kind_; }
  // The reason carried by the two error variants; empty for the others.
  const std::string& text() const noexcept { return text_; }

  // "Ok", "NotAMemberError", `RetrieveConfigError("...")`, ...
  std::string debug() const;

  friend bool operator==(const NetworkHealth&, const NetworkHealth&) = default;

 private:
  explicit NetworkHealth(Kind k, std::string text = {}) : kind_(k), text_(std::move(text)) {}
  Kind kind_ = Kind::Initializing;
  std::string text_;
};

std::ostream& operator<<(std::ostream& os, const NetworkHealth& h);

// One applied thing: the value in force and the error of the last attempt;
// any combination of the two occurs.
template <class T>
struct AppliedStatus {
  std::optional<T> applied;
  std::optional<std::string> error;

  static AppliedStatus value(T v) { return AppliedStatus{std::move(v), std::nullopt}; }
  static AppliedStatus failed(std::string why) { return AppliedStatus{std::nullopt, std::move(why)}; }

  // "None", "None (Error: e)", "<value>", "<value> (Error: e)"; the value is
  // shown by its own to_string() (the table, for the lists). No newline added.
  std::string to_string() const {
    std::string out = applied ? applied->to_string() : std::string("None");
    if (error) {
      out += " (Error: ";
      out += *error;
      out += ')';
    }
    return out;
  }

  friend bool operator==(const AppliedStatus&, const AppliedStatus&) = default;
};

// The five things applied to the platform for one network. Default
// constructed it is the empty state: no value and no error anywhere.
struct AgentState {
  AppliedStatus<Ipv4Net> ip;  // TUN address: own address with the network's prefix length
  AppliedStatus<EffectiveAccessRuleList> access_rules;
  AppliedStatus<EffectiveRoutingList> routes;
  AppliedStatus<EffectiveForwardingList> forwardings;
  AppliedStatus<HostnameList> hostnames;

  bool is_empty() const { return *this == AgentState{}; }

  friend bool operator==(const AgentState&, const AgentState&) = default;
};

// The configuration slot: nothing yet, the last document, or the error of
// the last attempt to get one.
using NetworkConfigSlot = std::variant<std::monostate, NetworkConfig, core::SharedError>;

struct Network {
  util::Url config_url;
  bool disabled = false;
  std::optional<std::string> name;
  NetworkHealth health;
  AgentState desired;
  AgentState current;
  NetworkConfigSlot config;

  // A new or just-read record: Initializing, both states empty, no config.
  explicit Network(util::Url url, bool disabled_ = false, std::optional<std::string> name_ = std::nullopt)
      : config_url(std::move(url)), disabled(disabled_), name(std::move(name_)) {}

  // Networks the controller adds and removes have the scheme "controller".
  bool is_controller_managed() const noexcept { return config_url.scheme() == "controller"; }

  // Compares the persisted part.
  bool same_settings(const Network& o) const {
    return config_url == o.config_url && disabled == o.disabled && name == o.name;
  }

  // The document in the slot, or nullptr.
  const NetworkConfig* network_config() const noexcept { return std::get_if<NetworkConfig>(&config); }
  // The error in the slot, or null.
  core::SharedError config_error() const {
    const auto* e = std::get_if<core::SharedError>(&config);
    return e ? *e : nullptr;
  }
};

// The agent's networks by configuration URL.
using NetworkMap = std::map<util::Url, Network>;

}  // namespace sarvolt::network
