#include "agent/router/router.hpp"

#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::router::mobile")

void MobileAgentRouter::apply_desired_state(network::NetworkMap& networks) {
  SV_TRACE(lg(),
           "We're running on a mobile platform where the network listener handles route updates. Therefore, we just "
           "assume everything is fine and hope for the best! 🤞");
  for (auto& [url, net] : networks) net.current.routes = net.desired.routes;
  for (auto& [url, net] : networks) {
    const auto& wanted = net.desired.forwardings;
    if (wanted.applied && !wanted.applied->destinations.empty()) {
      SV_WARN(lg(), "{}", kForwardingUnsupported);
      net.current.forwardings = {std::nullopt, kForwardingUnsupported};
    } else {
      net.current.forwardings = wanted;
    }
  }
}

}  // namespace sarvolt::agent
