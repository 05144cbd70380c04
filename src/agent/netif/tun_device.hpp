// TunDevice: the agent's object for its TUN device and the driver task that
// moves packets from the device to the overlay: it reads packets, drops what
// must not be tunnelled, writes loopback packets straight back, routes the
// rest through the firewall's transmit trie in per-peer batches, offers
// unroutable packets to the DNS service and answers the others with ICMP
// host unreachable. While a hand-over or write waits, nothing is read.
// The driver ends when the last TunDevice handle goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <system_error>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agent/netif/async_tun.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent {

class AgentFirewall;
namespace dns {
class AgentDns;
}

// Packets read from the TUN device per pass, at most.
inline constexpr std::size_t kTunReadBatch = 64;

class TunDevice {
 public:
  // Starts the driver over `device` on `ex`. Packets longer than `mtu` are
  // dropped. The driver holds the firewall and DNS service weakly.
  static std::shared_ptr<TunDevice> create(boost::asio::any_io_executor ex, std::shared_ptr<AsyncTun> device,
                                           std::uint16_t mtu, std::weak_ptr<AgentFirewall> firewall,
                                           std::weak_ptr<dns::AgentDns> dns);
  ~TunDevice();
  TunDevice(const TunDevice&) = delete;
  TunDevice& operator=(const TunDevice&) = delete;

  const std::shared_ptr<AsyncTun>& device() const noexcept { return device_; }
  bool driver_running() const noexcept;

  // Writes every packet (waiting for room); the count written, or the first
  // write error after trying all of them.
  static boost::asio::awaitable<util::Expected<std::size_t, std::error_code>> send(
      AsyncTun& device, std::span<const std::span<const std::uint8_t>> packets);
  boost::asio::awaitable<util::Expected<std::size_t, std::error_code>> send(
      std::span<const std::span<const std::uint8_t>> packets) {
    return send(*device_, packets);
  }

 private:
  struct Driver;
  TunDevice(std::shared_ptr<AsyncTun> device, std::shared_ptr<Driver> driver);
  std::shared_ptr<AsyncTun> device_;
  std::shared_ptr<Driver> driver_;
};

using TunDeviceRef = std::shared_ptr<TunDevice>;

}  // namespace sarvolt::agent
