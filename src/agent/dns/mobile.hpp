// MobileAgentDns: the DNS object on this platform, which holds the server
// whose driver answers the intercepted queries.
#pragma once

#include <memory>
#include <optional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "agent/dns/agent_dns.hpp"
#include "agent/dns/common.hpp"
#include "agent/dns/driver.hpp"

namespace sarvolt::agent::dns {

// The DNS object on this platform. The host app configures the system
// resolver from the network-change callback, so the platform operations
// only report the address the apply step stored. Destroying it shuts the
// server down.
class MobileAgentDns final : public AgentDns, public PlatformDnsOps {
 public:
  // Creates the server and starts its driver on `ex`.
  static std::shared_ptr<MobileAgentDns> create(boost::asio::any_io_executor ex);

  explicit MobileAgentDns(DnsServerRef server) : server_(std::move(server)) {}
  ~MobileAgentDns() override;

  boost::asio::awaitable<void> apply_desired_state(network::NetworkMap& networks) override;
  bool is_server_ip(util::Ipv4Addr ip) const override;
  std::optional<util::Ipv4Addr> server_ip() const override;
  DnsServer* send_channel() const override { return server_.get(); }
  void shutdown() override;
  util::TaskGroup* tasks() override { return &server_->tasks; }

  Result<std::optional<util::Ipv4Addr>> get_current_dns_ip() override;
  Result<void> set_dns_ip(util::Ipv4Addr ip) override;
  Result<void> remove_dns_ip() override;
  Result<void> flush_caches() override;

  const DnsServerRef& server() const noexcept { return server_; }

 private:
  DnsServerRef server_;
  DnsServerAddresses addresses_;
};

}  // namespace sarvolt::agent::dns
