// The overlay DNS object: the DNS server addresses the interception answers
// for (broadcast - 1 of every active network), the address reported to the
// host, the apply step that keeps them and the server's catalog in step with
// the networks, and MobileAgentDns, which owns the server state and the
// request queue whose driver answers the intercepted queries.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agent/config.hpp"
#include "agent/dns/agent_dns.hpp"
#include "agent/dns/driver.hpp"
#include "util/expected.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::agent::dns {

// The system side of the apply step: the resolver's DNS server address and
// its caches. Every operation fails with a text.
class PlatformDnsOps {
 public:
  virtual ~PlatformDnsOps() = default;
  virtual boost::asio::awaitable<util::Expected<std::optional<util::Ipv4Addr>, std::string>> get_current_dns_ip() = 0;
  virtual boost::asio::awaitable<util::Expected<void, std::string>> set_dns_ip(util::Ipv4Addr ip) = 0;
  virtual boost::asio::awaitable<util::Expected<void, std::string>> remove_dns_ip() = 0;
  virtual boost::asio::awaitable<util::Expected<void, std::string>> flush_caches() = 0;
};

// The DNS server address set and the reported address. The set is an
// immutable sorted snapshot replaced whole by publish(); contains() reads it
// through a per-thread copy that is refreshed only when a newer snapshot was
// published, so the steady state takes no lock and allocates nothing.
class DnsServerAddresses {
 public:
  DnsServerAddresses();
  DnsServerAddresses(const DnsServerAddresses&) = delete;
  DnsServerAddresses& operator=(const DnsServerAddresses&) = delete;

  bool contains(util::Ipv4Addr ip) const noexcept;
  // The current set, sorted, each address once.
  std::vector<util::Ipv4Addr> list() const;
  void publish(std::span<const util::Ipv4Addr> ips);

  // The reported address (0 in the word means none).
  std::optional<util::Ipv4Addr> reported() const noexcept;
  void set_reported(std::optional<util::Ipv4Addr> ip) noexcept;

 private:
  struct Snapshot {
    std::vector<util::Ipv4Addr> ips;  // sorted, unique
    std::uint64_t generation;         // unique across all instances
  };
  const Snapshot& cached() const noexcept;

  std::atomic<std::shared_ptr<const Snapshot>> snapshot_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::uint32_t> reported_{0};
};

// Broadcast - 1 (saturating at 0) of the applied TUN network of every
// network that is enabled and has one, in map order, duplicates kept.
std::vector<util::Ipv4Addr> calculate_dns_server_ips(const NetworkMap& networks);

// Every network whose current host-name status holds a list gets no list
// and `error` instead; the others keep theirs.
void set_network_hostname_errors(NetworkMap& networks, const std::string& error);

// When some network's current host-name status differs from its desired
// one: rebuilds the catalog once, then copies desired to current everywhere.
void update_hostname_mappings(const DnsServerRef& server, NetworkMap& networks);

// One apply: current address, desired address, publish the set, remove or
// set the platform's address, host names, flush. Platform failures are
// logged, marked on the host-name statuses and end the step.
boost::asio::awaitable<void> apply_desired_state_common(PlatformDnsOps& platform, const DnsServerRef& server,
                                                        DnsServerAddresses& addresses, NetworkMap& networks);

// The DNS object on this platform. The host app configures the system
// resolver from the network-change callback, so the platform operations
// only report the address the apply step stored.
class MobileAgentDns final : public AgentDns, public PlatformDnsOps {
 public:
  // Creates the server state and the request queue and starts the driver
  // on `ex`.
  static std::shared_ptr<MobileAgentDns> create(boost::asio::any_io_executor ex);

  MobileAgentDns(DnsServerRef server, RequestSender request_tx,
                 std::shared_ptr<const std::atomic<bool>> driver_running);

  boost::asio::awaitable<void> apply_desired_state(NetworkMap& networks) override;
  bool is_server_ip(util::Ipv4Addr ip) const override;
  std::optional<util::Ipv4Addr> server_ip() const override;
  const RequestSender& send_channel() const override { return request_tx_; }
  void shutdown() override;

  boost::asio::awaitable<util::Expected<std::optional<util::Ipv4Addr>, std::string>> get_current_dns_ip() override;
  boost::asio::awaitable<util::Expected<void, std::string>> set_dns_ip(util::Ipv4Addr ip) override;
  boost::asio::awaitable<util::Expected<void, std::string>> remove_dns_ip() override;
  boost::asio::awaitable<util::Expected<void, std::string>> flush_caches() override;

  const DnsServerRef& server() const noexcept { return server_; }
  // True until the driver task has ended; the flag outlives this object.
  std::shared_ptr<const std::atomic<bool>> driver_running() const noexcept { return driver_running_; }

 private:
  // Released in reverse: the address set, the server handle (which stops
  // the driver), then the request sender.
  RequestSender request_tx_;
  DnsServerRef server_;
  DnsServerAddresses addresses_;
  std::shared_ptr<const std::atomic<bool>> driver_running_;
};

// The DNS object for this platform, its driver running on `ex`.
std::shared_ptr<AgentDns> native(boost::asio::any_io_executor ex);

}  // namespace sarvolt::agent::dns
