#include "agent/netif/netif.hpp"

#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::netif::mobile")

void MobileAgentNetIf::apply_desired_state(network::NetworkMap& networks) {
  if (ctx_->tun && !ctx_->tun_slot.load(std::memory_order_acquire)) {
    SV_TRACE(lg(), "Start TUN device runner (initialization)");
    ctx_->tun_slot.store(TunDevice::create(*ctx_), std::memory_order_release);
  }
  SV_TRACE(lg(),
           "We're running on a mobile platform where the network listener handles TUN address updates. Therefore, we "
           "just assume everything is fine and hope for the best! 🤞");
  auto applied = std::make_shared<std::vector<util::Ipv4Net>>();
  for (auto& [url, net] : networks) {
    net.current.ip = net.desired.ip;
    if (net.current.ip.applied) applied->push_back(*net.current.ip.applied);
  }
  ctx_->tun_networks->store(std::move(applied), std::memory_order_release);
}

}  // namespace sarvolt::agent
