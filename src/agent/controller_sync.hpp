// The controller step of the housekeeping pass:
//   fetch_controller_networks  this node's network list from the controller
//                              (HMAC-authenticated), keyed "controller://<id>"
//                              by key_controller_networks
//   handle_controller_error    sorts a controller error into an outcome:
//                              authentication failure, not found, unreachable
//   merge_controller_networks  records the outcome as the controller status,
//                              adds and updates the listed networks, and
//                              resets, then removes, controller networks the
//                              list no longer holds
//   sync_controller_networks   the whole step (LoggedOut without a secret),
//                              given the list fetched before the state was
//                              locked (it fetches itself when that list was
//                              asked with other settings)
#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "agent/inner.hpp"
#include "controller/error.hpp"
#include "core/error.hpp"
#include "network/config/network_config.hpp"
#include "util/expected.hpp"
#include "util/url.hpp"

namespace sarvolt::agent {

// Controller networks by configuration URL ("controller://<id>").
using ControllerNetworks = std::map<util::Url, network::NetworkConfig>;

// The result of a retrieval that reached a decision.
struct ControllerFetchOutcome {
  struct Networks {
    ControllerNetworks networks;
  };
  struct AuthFailed {
    std::string text;
  };
  struct NotFound {
    std::string text;
  };
  struct Unreachable {};
  std::variant<Networks, AuthFailed, NotFound, Unreachable> value;
};

boost::asio::awaitable<util::Expected<ControllerFetchOutcome, core::Error>> fetch_controller_networks(
    const AgentInner& inner, const std::string& controller_url, const std::string& shared_secret);

// The list's entries by their key (a later duplicate id wins);
// ConfigParseError "Network config missing id" for an entry without id.
util::Expected<ControllerNetworks, core::Error> key_controller_networks(network::MultiNetworkConfig list);

ControllerFetchOutcome handle_controller_error(controller::Error error);

// True when a network was added or removed, or a name changed.
boost::asio::awaitable<bool> merge_controller_networks(AgentInner& inner, State& state,
                                                       util::Expected<ControllerFetchOutcome, core::Error> fetched);

// Where and how to ask the controller; none without a shared secret.
struct ControllerRequest {
  std::string url;
  std::string secret;
  friend bool operator==(const ControllerRequest&, const ControllerRequest&) = default;
};
std::optional<ControllerRequest> controller_request(const AgentConfig& config);

struct ControllerPrefetch {
  ControllerRequest asked;
  util::Expected<ControllerFetchOutcome, core::Error> fetched;
};

boost::asio::awaitable<bool> sync_controller_networks(AgentInner& inner, State& state,
                                                      std::optional<ControllerPrefetch> prefetched);

}  // namespace sarvolt::agent
