#include "agent/inner.hpp"

#include "agent/config.hpp"
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

namespace {

std::shared_ptr<DataPlaneContext> make_context(const AgentInner::Parts& p,
                                               const std::shared_ptr<AgentFirewall>& firewall,
                                               const std::shared_ptr<dns::AgentDns>& dns) {
  auto ctx = std::make_shared<DataPlaneContext>();
  ctx->executor = p.executor;
  ctx->node = p.node;
  ctx->tun = p.platform->tun_device;
  ctx->firewall = firewall;
  ctx->dns = dns;
  ctx->tun_mtu = tun_mtu_from(p.tun_mtu);
  return ctx;
}

AgentConfig config_of(AgentInner::Parts& p) {
  if (p.config) return std::move(*p.config);
  return AgentConfig(p.node->identity());
}

}  // namespace

AgentInner::AgentInner(Parts p)
    : executor(p.executor),
      node(p.node),
      firewall(std::make_shared<AgentFirewall>()),
      dns(p.dns),
      platform(p.platform),
      data_plane(make_context(p, firewall, dns)),
      netif(std::make_shared<MobileAgentNetIf>(data_plane)),
      router(std::make_unique<MobileAgentRouter>()),
      config_path(std::move(p.config_path)),
      http_client(std::move(p.http_client)),
      identity(p.config ? p.config->identity : p.node->identity()),
      state(config_of(p)) {}

AgentInner::~AgentInner() {
  tasks.stop();
  data_plane->tasks.stop();
}

boost::asio::awaitable<void> AgentInner::apply_desired_state(network::NetworkMap& networks) {
  netif->apply_desired_state(networks);
  router->apply_desired_state(networks);
  firewall->apply_desired_state(*data_plane, networks);
  if (dns) co_await dns->apply_desired_state(networks);
  for (auto& [url, net] : networks) {
    using K = network::NetworkHealth::Kind;
    const auto kind = net.health.kind();
    if (kind == K::Initializing || kind == K::Ok || kind == K::Pending)
      net.health = net.current == net.desired ? network::NetworkHealth::ok() : network::NetworkHealth::pending();
  }
}

boost::asio::awaitable<void> AgentInner::shutdown() {
  SV_TRACE(lg(), "Cancel agent token");
  token.cancel();
  auto st = co_await state.write();
  auto& networks = st->config.network;
  std::vector<util::Url> urls;
  for (const auto& [url, net] : networks) urls.push_back(url);
  for (const auto& url : urls)
    if (auto it = networks.find(url); it != networks.end()) it->second.desired = network::AgentState{};
  co_await apply_desired_state(networks);
  if (dns) dns->shutdown();
}

}  // namespace sarvolt::agent
