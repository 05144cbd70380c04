// TunDevice: the agent's object for its TUN device and the driver task that
// moves packets from the device to the overlay: it reads packets, drops what
// must not be tunnelled, writes loopback packets straight back, routes the
// rest through the firewall's transmit trie in per-peer batches, offers
// unroutable packets to the DNS hook and answers the others with ICMP host
// unreachable. While a hand-over waits, nothing is read. Destroying the
// object stops the driver.
#pragma once

#include <cstdint>
#include <memory>

#include "agent/netif/context.hpp"

namespace sarvolt::agent {

// Packets read from the TUN device per pass, at most.
inline constexpr std::size_t kTunReadBatch = 64;

class TunDevice {
 public:
  // Starts the driver over the context's TUN device in its task group.
  // Packets longer than the TUN MTU are dropped.
  static std::shared_ptr<TunDevice> create(DataPlaneContext& ctx);
  ~TunDevice();
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;

  const std::shared_ptr<util::AsyncTun>& device() const noexcept { return device_; }
  bool driver_running() const noexcept { return !task_.done(); }

 private:
  TunDevice(std::shared_ptr<util::AsyncTun> device, util::TaskGroup::Task task)
      : device_(std::move(device)), task_(std::move(task)) {}
  std::shared_ptr<util::AsyncTun> device_;
  util::TaskGroup::Task task_;
};

}  // namespace sarvolt::agent
