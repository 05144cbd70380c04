// AgentNetif: the platform's network interface as the agent drives it.
// MobileAgentNetIf configures nothing in the OS (the host app owns the
// interface): it starts the TUN driver over the host's device at the first
// apply (filling the context's TUN slot) and records every network's desired
// TUN address as applied.
#pragma once

#include <memory>

#include "agent/netif/context.hpp"
#include "agent/netif/tun_device.hpp"
#include "network/network.hpp"

namespace sarvolt::agent {

class AgentNetif {
 public:
  virtual ~AgentNetif() = default;
  virtual void apply_desired_state(network::NetworkMap& networks) = 0;
  // The TUN device slot: the running TunDevice, or none.
  virtual std::shared_ptr<TunDevice> tun_device() const = 0;
};

class MobileAgentNetIf final : public AgentNetif {
 public:
  explicit MobileAgentNetIf(std::shared_ptr<DataPlaneContext> ctx) : ctx_(std::move(ctx)) {}
  void apply_desired_state(network::NetworkMap& networks) override;
  std::shared_ptr<TunDevice> tun_device() const override {
    return ctx_->tun_slot.load(std::memory_order_acquire);
  }

 private:
  std::shared_ptr<DataPlaneContext> ctx_;
};

}  // namespace sarvolt::agent
