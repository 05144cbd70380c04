// AgentRouter: the platform's routing as the agent drives it.
// MobileAgentRouter changes nothing in the OS (the host app owns the routes):
// it records the desired routes as applied and refuses gateway forwarding.
#pragma once

#include "network/network.hpp"

namespace sarvolt::agent {

class AgentRouter {
 public:
  virtual ~AgentRouter() = default;
  virtual void apply_desired_state(network::NetworkMap& networks) = 0;
};

inline constexpr const char* kForwardingUnsupported =
    "We're configured as a gateway. Forwarding is not supported on this platform.";

class MobileAgentRouter final : public AgentRouter {
 public:
  void apply_desired_state(network::NetworkMap& networks) override;
};

}  // namespace sarvolt::agent
