#include "agent/controller_sync.hpp"

#include <vector>

#include <boost/uuid/uuid_io.hpp>

#include "controller/client.hpp"
#include "util/cancellable.hpp"
#include "util/log.hpp"
#include "util/text.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::housekeeping")

namespace asio = boost::asio;
using core::Error;
using util::Unexpected;
using Outcome = ControllerFetchOutcome;

namespace {

std::string shown(const util::Url& url) { return util::mask_userinfo(url.as_str()); }

// Removes the controller networks that `listed` lacks; one that is applied
// is first brought to the default state, and kept while it is not there.
asio::awaitable<bool> remove_unlisted(AgentInner& inner, network::NetworkMap& networks,
                                      const ControllerNetworks& listed) {
  std::vector<util::Url> managed;
  for (const auto& [url, net] : networks)
    if (net.is_controller_managed() && !listed.contains(url)) managed.push_back(url);
  bool changed = false;
  const auto at_default = [&](const util::Url& url) {
    const auto it = networks.find(url);
    return it == networks.end() || it->second.current.is_empty();
  };
  for (const auto& url : managed) {
    if (!at_default(url)) {
      SV_TRACE(lg(), "Resetting controller network to default state before removal: {}", shown(url));
      networks.find(url)->second.desired = network::AgentState{};
      co_await inner.apply_desired_state(networks);
      if (!at_default(url)) {
        SV_WARN(lg(), "Controller network {} not yet in default state, keeping it", shown(url));
        continue;
      }
    }
    SV_TRACE(lg(), "Removing controller network that no longer exists: {}", shown(url));
    networks.erase(url);
    changed = true;
  }
  co_return changed;
}

// Moves the listed documents into the networks' slots.
bool merge_listed(network::NetworkMap& networks, ControllerNetworks& listed) {
  bool changed = false;
  for (auto& [url, config] : listed) {
    auto it = networks.find(url);
    if (it != networks.end()) {
      SV_TRACE(lg(), "Updating existing controller network: {}", shown(url));
      auto& net = it->second;
      if (net.name != config.name) {
        SV_TRACE(lg(), "Network name changed from '{}' to '{}'", util::optional_debug(net.name),
                 util::optional_debug(config.name));
        net.name = config.name;
        changed = true;
      }
      net.config = std::move(config);
    } else {
      SV_TRACE(lg(), "Adding new controller network: {}", shown(url));
      network::Network net(url, false, config.name);
      net.config = std::move(config);
      networks.emplace(url, std::move(net));
      changed = true;
    }
  }
  return changed;
}

}  // namespace

asio::awaitable<util::Expected<Outcome, Error>> fetch_controller_networks(const AgentInner& inner,
                                                                          const std::string& controller_url,
                                                                          const std::string& shared_secret) {
  const auto url_shown = util::mask_userinfo(controller_url);
  SV_TRACE(lg(), "Starting to fetch controller networks");
  SV_TRACE(lg(), "Found shared_secret, controller URL: {}", url_shown);
  SV_TRACE(lg(), "Creating controller client with HMAC authentication");
  auto client = controller::ControllerClient::create(inner.executor, controller_url,
                                                     controller::HmacSecret{shared_secret}, inner.identity.pk());
  if (!client) {
    SV_TRACE(lg(), "Failed to create controller client for URL: {}", url_shown);
    co_return Outcome{Outcome::Unreachable{}};
  }
  SV_TRACE(lg(), "Controller client created, requesting networks config");
  auto list = co_await client->get_networks_config_toml();
  if (!list) co_return handle_controller_error(std::move(list).error());
  SV_TRACE(lg(), "get_networks_config_toml response: {} networks", list->network.size());

  auto networks = key_controller_networks(std::move(*list));
  if (!networks) co_return Unexpected(std::move(networks).error());
  SV_TRACE(lg(), "Successfully processed {} controller networks", networks->size());
  SV_TRACE(lg(), "Finished fetching controller networks: {} networks found", networks->size());
  co_return Outcome{Outcome::Networks{std::move(*networks)}};
}

util::Expected<ControllerNetworks, Error> key_controller_networks(network::MultiNetworkConfig list) {
  ControllerNetworks networks;
  for (auto& entry : list.network) {
    if (!entry.id) {
      SV_TRACE(lg(), "Network config missing id");
      return Unexpected(Error::make(Error::Kind::ConfigParseError, "Network config missing id"));
    }
    auto key = util::Url::parse("controller://" + boost::uuids::to_string(*entry.id));
    if (!key) return Unexpected(Error::make(Error::Kind::UrlParseError, key.error()));
    SV_TRACE(lg(), "Network: {} (subnet: {}) -> {}", util::optional_debug(entry.name), entry.network.to_string(), *key);
    networks.insert_or_assign(std::move(*key), std::move(entry));
  }
  return networks;
}

Outcome handle_controller_error(controller::Error error) {
  using K = controller::Error::Kind;
  const bool response = error.kind() == K::ResponseError;
  if (error.kind() == K::AuthenticationFailed || (response && (error.status() == 401 || error.status() == 403))) {
    SV_TRACE(lg(), "Controller returned auth error ({}), removing controller networks", error.debug());
    return Outcome{Outcome::AuthFailed{error.to_string()}};
  }
  if (response && error.status() == 404) {
    SV_TRACE(lg(), "Controller returned Not Found (404), preserving controller networks");
    return Outcome{Outcome::NotFound{error.to_string()}};
  }
  SV_TRACE(lg(), "Controller error occurred: {}, preserving existing networks", error.to_string());
  return Outcome{Outcome::Unreachable{}};
}

asio::awaitable<bool> merge_controller_networks(AgentInner& inner, State& state,
                                                util::Expected<Outcome, Error> fetched) {
  auto& config = state.config;
  if (!fetched) {
    const auto text = fetched.error().to_string();
    SV_TRACE(lg(), "Unexpected error fetching controller networks: {}", text);
    config.set_controller_status(ControllerConnectionStatus::err(text));
    co_return false;
  }
  auto& value = fetched->value;
  if (auto* listed = std::get_if<Outcome::Networks>(&value)) {
    config.set_controller_status(ControllerConnectionStatus::ok());
    const bool added = merge_listed(config.network, listed->networks);
    const bool removed = co_await remove_unlisted(inner, config.network, listed->networks);
    co_return added || removed;
  }
  if (auto* auth = std::get_if<Outcome::AuthFailed>(&value)) {
    config.set_controller_status(ControllerConnectionStatus::err(std::move(auth->text)));
    const ControllerNetworks none;
    co_return co_await remove_unlisted(inner, config.network, none);
  }
  if (auto* missing = std::get_if<Outcome::NotFound>(&value)) {
    SV_TRACE(lg(), "Controller error occurred, preserving existing networks");
    config.set_controller_status(ControllerConnectionStatus::err(std::move(missing->text)));
    co_return false;
  }
  SV_TRACE(lg(), "Controller connection error, preserving existing networks");
  config.set_controller_status(ControllerConnectionStatus::err("Controller not reachable"));
  co_return false;
}

std::optional<ControllerRequest> controller_request(const AgentConfig& config) {
  auto secret = config.shared_secret();
  if (!secret) return std::nullopt;
  return ControllerRequest{config.controller_url(), std::move(*secret)};
}

asio::awaitable<bool> sync_controller_networks(AgentInner& inner, State& state,
                                               std::optional<ControllerPrefetch> prefetched) {
  const auto request = controller_request(state.config);
  if (!request) {
    state.config.set_controller_status(ControllerConnectionStatus::logged_out());
    co_return false;
  }
  if (!prefetched || prefetched->asked != *request) {
    auto fetched =
        co_await util::cancellable(inner.token, fetch_controller_networks(inner, request->url, request->secret));
    if (!fetched) co_return false;  // shutdown
    prefetched = ControllerPrefetch{*request, std::move(*fetched)};
  }
  co_return co_await merge_controller_networks(inner, state, std::move(prefetched->fetched));
}

}  // namespace sarvolt::agent
