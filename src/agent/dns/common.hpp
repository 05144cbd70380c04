// The DNS object's apply step, written once for every platform against the
// platform's resolver operations: the DNS server addresses the interception
// answers for (broadcast - 1 of every active network), the address reported
// to the host, and the catalog kept in step with the networks' host names.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "util/published.hpp"
#include "agent/dns/driver.hpp"
#include "core/error.hpp"
#include "network/network.hpp"
#include "util/expected.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::agent::dns {

// The system side of the apply step: the resolver's DNS server address and
// its caches. A failure's text goes into the WARN line and the networks'
// host-name errors.
class PlatformDnsOps {
 public:
  template <class T>
  using Result = boost::asio::awaitable<util::Expected<T, core::Error>>;
  virtual ~PlatformDnsOps() = default;
  virtual Result<std::optional<util::Ipv4Addr>> get_current_dns_ip() = 0;
  virtual Result<void> set_dns_ip(util::Ipv4Addr ip) = 0;
  virtual Result<void> remove_dns_ip() = 0;
  virtual Result<void> flush_caches() = 0;
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

  util::Published<const Snapshot> snapshot_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::uint32_t> reported_{0};
};

// Broadcast - 1 (saturating at 0) of the applied TUN network of every
// network that is enabled and has one, in map order, duplicates kept.
std::vector<util::Ipv4Addr> calculate_dns_server_ips(const network::NetworkMap& networks);

// Every network whose current host-name status holds a list gets no list
// and `error` instead; the others keep theirs.
void set_network_hostname_errors(network::NetworkMap& networks, const std::string& error);

// When some network's current host-name status differs from its desired
// one: rebuilds the catalog once, then copies desired to current everywhere.
void update_hostname_mappings(DnsServer& server, network::NetworkMap& networks);

// One apply: current address, desired address, publish the set, remove or
// set the platform's address, host names, flush. Platform failures are
// logged, marked on the host-name statuses and end the step.
boost::asio::awaitable<void> apply_desired_state_common(PlatformDnsOps& platform, DnsServer& server,
                                                        DnsServerAddresses& addresses, network::NetworkMap& networks);

}  // namespace sarvolt::agent::dns
