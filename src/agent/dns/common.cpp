#include "agent/dns/common.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "util/log.hpp"

namespace sarvolt::agent::dns {

SV_LOGGER("sarvolt_agent::agent::dns::common")

namespace asio = boost::asio;
using util::Ipv4Addr;

namespace {

// "Some(10.0.0.254)" or "None".
std::string debug_text(std::optional<Ipv4Addr> ip) { return ip ? fmt::format("Some({})", *ip) : "None"; }

// Generations of address snapshots, unique across all DnsServerAddresses.
std::atomic<std::uint64_t> g_next_generation{1};

}  // namespace

DnsServerAddresses::DnsServerAddresses() { publish({}); }

const DnsServerAddresses::Snapshot& DnsServerAddresses::cached() const noexcept {
  struct Cache {
    std::uint64_t generation = 0;
    std::shared_ptr<const Snapshot> snapshot;
  };
  thread_local Cache cache;
  const std::uint64_t g = generation_.load(std::memory_order_acquire);
  if (cache.generation != g || !cache.snapshot) {
    cache.snapshot = snapshot_.load(std::memory_order_acquire);
    cache.generation = cache.snapshot->generation;
  }
  return *cache.snapshot;
}

bool DnsServerAddresses::contains(Ipv4Addr ip) const noexcept {
  const auto& ips = cached().ips;
  return std::binary_search(ips.begin(), ips.end(), ip);
}

std::vector<Ipv4Addr> DnsServerAddresses::list() const { return cached().ips; }

void DnsServerAddresses::publish(std::span<const Ipv4Addr> ips) {
  std::vector<Ipv4Addr> sorted(ips.begin(), ips.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  const std::uint64_t g = g_next_generation.fetch_add(1, std::memory_order_relaxed);
  snapshot_.store(std::make_shared<const Snapshot>(Snapshot{std::move(sorted), g}), std::memory_order_release);
  generation_.store(g, std::memory_order_release);
}

std::optional<Ipv4Addr> DnsServerAddresses::reported() const noexcept {
  const std::uint32_t v = reported_.load(std::memory_order_acquire);
  if (v == 0) return std::nullopt;
  return Ipv4Addr(v);
}

void DnsServerAddresses::set_reported(std::optional<Ipv4Addr> ip) noexcept {
  reported_.store(ip ? ip->to_u32() : 0, std::memory_order_release);
}

std::vector<Ipv4Addr> calculate_dns_server_ips(const network::NetworkMap& networks) {
  std::vector<Ipv4Addr> out;
  for (const auto& [url, n] : networks) {
    if (n.disabled || !n.current.ip.applied) continue;
    const std::uint32_t broadcast = n.current.ip.applied->broadcast().to_u32();
    out.push_back(Ipv4Addr(broadcast == 0 ? 0 : broadcast - 1));
  }
  return out;
}

void set_network_hostname_errors(network::NetworkMap& networks, const std::string& error) {
  for (auto& [url, n] : networks)
    if (n.current.hostnames.applied) n.current.hostnames = network::AppliedStatus<network::HostnameList>::failed(error);
}

void update_hostname_mappings(DnsServer& server, network::NetworkMap& networks) {
  const bool changed = std::any_of(networks.begin(), networks.end(), [](const auto& e) {
    return e.second.current.hostnames != e.second.desired.hostnames;
  });
  if (!changed) return;
  server.update_catalog(networks);
  for (auto& [url, n] : networks) n.current.hostnames = n.desired.hostnames;
}

asio::awaitable<void> apply_desired_state_common(PlatformDnsOps& platform, DnsServer& server,
                                                 DnsServerAddresses& addresses, network::NetworkMap& networks) {
  auto got = co_await platform.get_current_dns_ip();
  if (!got) {
    const auto e = got.error().to_string();
    SV_WARN(lg(), "Unable to determine current DNS IP: {}", e);
    set_network_hostname_errors(networks, "Unable to determine current DNS IP: " + e);
    co_return;
  }
  std::optional<Ipv4Addr> current = *got;
  SV_TRACE(lg(), "Current DNS IP: {}", debug_text(current));

  const auto ips = calculate_dns_server_ips(networks);
  const std::optional<Ipv4Addr> desired = ips.empty() ? std::nullopt : std::optional<Ipv4Addr>(ips.front());
  addresses.publish(ips);

  if (current && current != desired) {
    SV_TRACE(lg(),
             "Removing DNS server because current IP is not in desired state: current_ip={}, desired_ip={}", *current,
             debug_text(desired));
    auto removed = co_await platform.remove_dns_ip();
    if (!removed) {
      const auto e = removed.error().to_string();
      SV_WARN(lg(), "Unable to remove DNS server IP: {}.", e);
      set_network_hostname_errors(networks, "Unable to remove DNS server IP: " + e);
      co_return;
    }
    SV_TRACE(lg(), "Successfully removed DNS server.");
    current.reset();
    addresses.set_reported(std::nullopt);
  }

  if (desired && current != desired) {
    SV_TRACE(lg(), "We need to set DNS server to {}.", *desired);
    auto set = co_await platform.set_dns_ip(*desired);
    if (!set) {
      const auto e = set.error().to_string();
      SV_WARN(lg(), "Unable to set DNS server IP: {}.", e);
      set_network_hostname_errors(networks, "Unable to set DNS server IP: " + e);
      co_return;
    }
    SV_TRACE(lg(), "Successfully set DNS server to {}.", *desired);
    addresses.set_reported(desired);
  }

  update_hostname_mappings(server, networks);

  auto flushed = co_await platform.flush_caches();
  if (!flushed) SV_WARN(lg(), "Unable to flush DNS caches: {}.", flushed.error().to_string());
}

}  // namespace sarvolt::agent::dns
