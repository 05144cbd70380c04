// AgentInner: the one shared object behind a running agent. It owns the
// agent's cancellation token, the p2p node, the network interface, router,
// firewall and optional DNS objects with the data-plane context they share,
// the HTTP client, the host's platform record and the agent State behind its
// read-write lock; and the apply step that brings every network's current
// state towards its desired one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agent/dns/agent_dns.hpp"
#include "agent/firewall/firewall.hpp"
#include "agent/netif/context.hpp"
#include "agent/netif/netif.hpp"
#include "agent/network_listener.hpp"
#include "agent/router/router.hpp"
#include "agent/state.hpp"
#include "network/network.hpp"
#include "platform/p2p/node.hpp"
#include "util/cancellation_token.hpp"
#include "util/rwlock.hpp"
#include "util/task_group.hpp"

namespace sarvolt::util {
class HttpClient;
}

namespace sarvolt::agent {

// Smallest MTU an IPv4 link may have.
inline constexpr std::uint16_t kMinTunMtu = 68;

// The configured MTU, or the default one when unset or below 68 (WARN).
std::uint16_t tun_mtu_from(std::optional<std::uint16_t> configured);

// What the host hands to the agent at start.
struct PlatformDependent {
  std::shared_ptr<util::AsyncTun> tun_device;  // none when the host gave none
  NetworkListener listener;                    // empty: nobody listens
};

class AgentInner {
 public:
  struct Parts {
    boost::asio::any_io_executor executor;
    std::shared_ptr<p2p::Node> node;
    std::shared_ptr<dns::AgentDns> dns;  // none when DNS is disabled
    std::shared_ptr<PlatformDependent> platform = std::make_shared<PlatformDependent>();
    std::optional<std::uint16_t> tun_mtu;
    std::shared_ptr<util::HttpClient> http_client;
    // The running configuration (a copy); by default one around the node's identity.
    std::optional<AgentConfig> config;
    std::string config_path;
  };
  explicit AgentInner(Parts parts);
  ~AgentInner();
  AgentInner(const AgentInner&) = delete;
  AgentInner& operator=(const AgentInner&) = delete;

  const boost::asio::any_io_executor executor;
  const util::CancellationToken token;
  const std::shared_ptr<p2p::Node> node;
  const std::shared_ptr<AgentFirewall> firewall;
  const std::shared_ptr<dns::AgentDns> dns;
  const std::shared_ptr<PlatformDependent> platform;
  const std::shared_ptr<DataPlaneContext> data_plane;
  const std::shared_ptr<AgentNetif> netif;
  const std::unique_ptr<AgentRouter> router;
  const std::string config_path;
  const std::shared_ptr<util::HttpClient> http_client;
  const p2p::Identity identity;
  util::AsyncRwLock<State> state;
  // The housekeeping runner and the monitoring task.
  util::TaskGroup tasks;

  std::uint16_t tun_mtu() const noexcept { return data_plane->tun_mtu; }

  // Network interface, router, firewall, DNS, in this order; then every
  // network that is Initializing, Ok or Pending becomes Ok when its current
  // state equals its desired one, else Pending. The caller holds the state's
  // write lock.
  boost::asio::awaitable<void> apply_desired_state(network::NetworkMap& networks);

  // Under the write lock: every desired state emptied and applied, then the
  // DNS server shut down.
  boost::asio::awaitable<void> shutdown();
};

}  // namespace sarvolt::agent
