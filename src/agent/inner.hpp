// AgentInner: the agent's shared core as the data plane sees it: the runtime,
// the p2p node, the network interface, router, firewall and optional DNS
// objects, the host's TUN device and the TUN MTU; and the apply step that
// brings the platform parts in line with every network's desired state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agent/config.hpp"
#include "agent/dns/agent_dns.hpp"
#include "agent/firewall/firewall.hpp"
#include "agent/netif/async_tun.hpp"
#include "agent/netif/netif.hpp"
#include "agent/router/router.hpp"
#include "platform/p2p/node.hpp"

namespace sarvolt::agent {

// Smallest MTU an IPv4 link may have.
inline constexpr std::uint16_t kMinTunMtu = 68;

// The configured MTU, or the default one when unset or below 68 (WARN).
std::uint16_t tun_mtu_from(std::optional<std::uint16_t> configured);

class AgentInner : public std::enable_shared_from_this<AgentInner> {
 public:
  struct Parts {
    boost::asio::any_io_executor executor;
    std::shared_ptr<p2p::Node> node;
    std::shared_ptr<AgentNetif> netif;
    std::unique_ptr<AgentRouter> router;
    std::shared_ptr<AgentFirewall> firewall;
    std::shared_ptr<dns::AgentDns> dns;  // none when DNS is disabled
    std::shared_ptr<AsyncTun> tun;       // none when the host gave no TUN device
    std::uint16_t tun_mtu = 1280;
  };
  explicit AgentInner(Parts parts);

  const boost::asio::any_io_executor executor;
  const std::shared_ptr<p2p::Node> node;
  const std::shared_ptr<AgentNetif> netif;
  const std::unique_ptr<AgentRouter> router;
  const std::shared_ptr<AgentFirewall> firewall;
  const std::shared_ptr<dns::AgentDns> dns;
  const std::shared_ptr<AsyncTun> tun;
  const std::uint16_t tun_mtu;

  // Network interface, router, firewall, DNS, in this order; then every
  // network that is Initializing, Ok or Pending becomes Ok when its current
  // state equals its desired one, else Pending.
  boost::asio::awaitable<void> apply_desired_state(NetworkMap& networks);
};

}  // namespace sarvolt::agent
