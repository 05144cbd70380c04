// AgentNetif: the platform's network interface as the agent drives it.
// MobileAgentNetIf configures nothing in the OS (the host app owns the
// interface): it starts the TUN driver over the host's device at the first
// apply and records every network's desired TUN address as applied.
#pragma once

#include <atomic>
#include <memory>

#include "agent/config.hpp"
#include "agent/netif/tun_device.hpp"

namespace sarvolt::agent {

class AgentInner;

class AgentNetif {
 public:
  virtual ~AgentNetif() = default;
  virtual void apply_desired_state(const std::shared_ptr<AgentInner>& agent, NetworkMap& networks) = 0;
  // The TUN device slot: the current TunDevice, or none.
  virtual std::shared_ptr<TunDevice> tun_device() const = 0;
};

class MobileAgentNetIf final : public AgentNetif {
 public:
  MobileAgentNetIf() = default;
  void apply_desired_state(const std::shared_ptr<AgentInner>& agent, NetworkMap& networks) override;
  std::shared_ptr<TunDevice> tun_device() const override { return slot_.load(std::memory_order_acquire); }

 private:
  std::atomic<std::shared_ptr<TunDevice>> slot_;  // filled once, never cleared
};

}  // namespace sarvolt::agent
