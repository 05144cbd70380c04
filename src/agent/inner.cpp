#include "agent/inner.hpp"

#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::inner")

std::uint16_t tun_mtu_from(std::optional<std::uint16_t> configured) {
  if (!configured) return AgentConfig::default_mtu();
  if (*configured < kMinTunMtu) {
    const std::uint16_t fallback = AgentConfig::default_mtu();
    SV_WARN(lg(), "Configured MTU {} is below the IPv4 minimum of {}; using {}", *configured, kMinTunMtu, fallback);
    return fallback;
  }
  return *configured;
}

AgentInner::AgentInner(Parts p)
    : executor(std::move(p.executor)),
      node(std::move(p.node)),
      netif(std::move(p.netif)),
      router(std::move(p.router)),
      firewall(std::move(p.firewall)),
      dns(std::move(p.dns)),
      tun(std::move(p.tun)),
      tun_mtu(tun_mtu_from(p.tun_mtu)) {}

boost::asio::awaitable<void> AgentInner::apply_desired_state(NetworkMap& networks) {
  auto self = shared_from_this();
  netif->apply_desired_state(self, networks);
  router->apply_desired_state(networks);
  firewall->apply_desired_state(self, networks);
  if (dns) co_await dns->apply_desired_state(networks);
  for (auto& [url, net] : networks) {
    using K = network::NetworkHealth::Kind;
    const auto kind = net.health.kind();
    if (kind == K::Initializing || kind == K::Ok || kind == K::Pending)
      net.health = net.current == net.desired ? network::NetworkHealth::ok() : network::NetworkHealth::pending();
  }
}

}  // namespace sarvolt::agent
