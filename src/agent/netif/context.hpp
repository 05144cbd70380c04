// DataPlaneContext: what the packet drivers need of the agent and nothing
// more: the runtime, the overlay node, the host's TUN device, the TUN slot
// (the device whose driver runs), the firewall (weakly: drivers never keep it
// alive), the TUN MTU, the hook that takes unroutable packets (the overlay
// DNS), and the task group every data-plane driver runs in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "util/published.hpp"
#include "platform/p2p/node.hpp"
#include "util/async_tun.hpp"
#include "util/packet.hpp"
#include "util/task_group.hpp"

namespace sarvolt::agent {

class AgentFirewall;
class TunDevice;

// Drivers yield to the runtime after handling more than this many items in a row.
inline constexpr std::size_t kYieldAfter = 23;

// Where the TUN driver offers packets that have no route.
class OutboundPacketHook {
 public:
  virtual ~OutboundPacketHook() = default;
  // True when the packet was taken; its answer is written into `tun` later.
  virtual bool handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                                      const std::shared_ptr<util::AsyncTun>& tun) = 0;
};

// A published list of TUN networks.
using TunNetworks = util::Published<const std::vector<util::Ipv4Net>>;

struct DataPlaneContext {
  boost::asio::any_io_executor executor;
  std::shared_ptr<p2p::Node> node;
  std::shared_ptr<util::AsyncTun> tun;  // the host's device; none when it gave none
  std::weak_ptr<AgentFirewall> firewall;
  std::weak_ptr<OutboundPacketHook> dns;  // none when DNS is disabled
  std::uint16_t tun_mtu = 1280;
  // The running TUN device, filled once by the network interface.
  util::Published<TunDevice> tun_slot;
  // The applied TUN networks, published by every apply: their directed
  // broadcasts never get an ICMP error.
  std::shared_ptr<TunNetworks> tun_networks =
      std::make_shared<TunNetworks>(std::make_shared<const std::vector<util::Ipv4Net>>());
  util::TaskGroup tasks;
};

}  // namespace sarvolt::agent
