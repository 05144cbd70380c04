#include "agent/network_listener.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "agent/inner.hpp"
#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::network_listener")

namespace {

std::string debug_list(const std::vector<util::Ipv4Net>& list) { return fmt::format("[{}]", fmt::join(list, ", ")); }

template <class T, class F>
std::string debug_optional(const std::optional<T>& v, F&& show) {
  return v ? "Some(" + show(*v) + ")" : "None";
}

std::string debug_routes(const std::optional<network::EffectiveRoutingList>& routes) {
  return debug_optional(routes, [](const network::EffectiveRoutingList& list) {
    std::vector<std::string> entries;
    for (const auto& [dest, route] : list) entries.push_back(fmt::format("{}: {}", dest, route.debug()));
    return fmt::format("EffectiveRoutingList {{ routes: {{{}}} }}", fmt::join(entries, ", "));
  });
}

std::string debug_net(const std::optional<util::Ipv4Net>& ip) {
  return debug_optional(ip, [](const util::Ipv4Net& n) { return n.to_string(); });
}

}  // namespace

std::string NetworkChange::debug() const {
  return fmt::format("NetworkChange {{ ips: {}, routes: {}, dns_server: {} }}", debug_optional(ips, debug_list),
                     debug_optional(routes, debug_list),
                     debug_optional(dns_server, [](util::Ipv4Addr a) { return fmt::format("{}", a); }));
}

void notify_on_network_change(const AgentInner& inner, State& state) {
  const auto& networks = state.config.network;
  SV_TRACE(lg(), "Networks change listener set, check if we have a change");
  SV_TRACE(lg(), "Collecting routes from {} networks", networks.size());
  std::vector<util::Ipv4Net> routes;
  for (const auto& [url, net] : networks) {
    const auto& applied = net.current.routes.applied;
    SV_TRACE(lg(), "Processing network {}: routes={}", url, debug_routes(applied));
    if (applied)
      for (const auto& [dest, route] : *applied) routes.push_back(route.dest);
  }
  std::stable_sort(routes.begin(), routes.end());
  SV_TRACE(lg(), "Collected {} routes: {}", routes.size(), debug_list(routes));

  std::vector<util::Ipv4Net> ips;
  for (const auto& [url, net] : networks) {
    const auto& applied = net.current.ip.applied;
    SV_TRACE(lg(), "Processing network {}: ip={}", url, debug_net(applied));
    if (applied) ips.push_back(*applied);
  }
  std::stable_sort(ips.begin(), ips.end());
  SV_TRACE(lg(), "Collected {} IPs: {}", ips.size(), debug_list(ips));

  NetworkChange change{std::move(ips), std::move(routes), inner.dns ? inner.dns->server_ip() : std::nullopt};
  if (state.last_network_change == change) {
    SV_TRACE(lg(), "Network change is identical to last one, skipping notification");
    return;
  }
  SV_TRACE(lg(), "Network change detected, notifying listener: old={} new={}",
           debug_optional(state.last_network_change, [](const NetworkChange& c) { return c.debug(); }), change.debug());
  state.last_network_change = change;
  if (const auto& listener = inner.platform->listener) listener(std::move(change));
}

}  // namespace sarvolt::agent
