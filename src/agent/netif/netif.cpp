#include "agent/netif/netif.hpp"

#include "agent/inner.hpp"
#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::netif::mobile")

void MobileAgentNetIf::apply_desired_state(const std::shared_ptr<AgentInner>& agent, NetworkMap& networks) {
  if (!slot_.load(std::memory_order_acquire) && agent->tun) {
    SV_TRACE(lg(), "Start TUN device runner (initialization)");
    slot_.store(TunDevice::create(agent->executor, agent->tun, agent->tun_mtu, agent->firewall, agent->dns),
                std::memory_order_release);
  }
  if (!slot_.load(std::memory_order_acquire) && agent->tun) {
    for (auto& [url, net] : networks) net.current.ip = {std::nullopt, "Failed to create TUN device tasks"};
    return;
  }
  SV_TRACE(lg(),
           "We're running on a mobile platform where the network listener handles TUN address updates. Therefore, we "
           "just assume everything is fine and hope for the best! 🤞");
  for (auto& [url, net] : networks) net.current.ip = net.desired.ip;
}

}  // namespace sarvolt::agent
