#include "agent/dns/mobile.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "util/log.hpp"

namespace sarvolt::agent::dns {

SV_LOGGER("sarvolt_agent::agent::dns::mobile")

namespace asio = boost::asio;
using core::Error;
using util::Ipv4Addr;

std::shared_ptr<MobileAgentDns> MobileAgentDns::create(asio::any_io_executor ex) {
  auto server = std::make_shared<DnsServer>(std::move(ex));
  DnsServer::spawn(server);
  return std::make_shared<MobileAgentDns>(std::move(server));
}

MobileAgentDns::~MobileAgentDns() { server_->shutdown(); }

asio::awaitable<void> MobileAgentDns::apply_desired_state(network::NetworkMap& networks) {
  co_await apply_desired_state_common(*this, *server_, addresses_, networks);
}

bool MobileAgentDns::is_server_ip(Ipv4Addr ip) const {
  const bool found = addresses_.contains(ip);
  SV_TRACE(lg(), "Checking if IP {} is a DNS server IP: {} (allowed_server_ips: [{}])", ip, found,
           fmt::join(addresses_.list(), ", "));
  return found;
}

std::optional<Ipv4Addr> MobileAgentDns::server_ip() const { return addresses_.reported(); }

void MobileAgentDns::shutdown() { (void)server_->shutdown(); }

PlatformDnsOps::Result<std::optional<Ipv4Addr>> MobileAgentDns::get_current_dns_ip() {
  co_return addresses_.reported();
}

PlatformDnsOps::Result<void> MobileAgentDns::set_dns_ip(Ipv4Addr) { co_return util::Expected<void, Error>{}; }

PlatformDnsOps::Result<void> MobileAgentDns::remove_dns_ip() { co_return util::Expected<void, Error>{}; }

PlatformDnsOps::Result<void> MobileAgentDns::flush_caches() { co_return util::Expected<void, Error>{}; }

}  // namespace sarvolt::agent::dns
