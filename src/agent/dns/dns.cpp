#include "agent/dns/dns.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "agent/netif/async_tun.hpp"
#include "util/log.hpp"

namespace sarvolt::agent::dns {

SV_NAMED_LOGGER(mod_lg, "sarvolt_agent::agent::dns")
SV_NAMED_LOGGER(common_lg, "sarvolt_agent::agent::dns::common")
SV_NAMED_LOGGER(mobile_lg, "sarvolt_agent::agent::dns::mobile")

namespace asio = boost::asio;
using util::Ipv4Addr;

namespace {

// "Some(10.0.0.254)" or "None".
std::string debug_text(std::optional<Ipv4Addr> ip) { return ip ? fmt::format("Some({})", *ip) : "None"; }

std::uint16_t be16(const std::uint8_t* p) noexcept { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

constexpr std::uint8_t kUdp = 17;
constexpr std::uint16_t kDnsPort = 53;
constexpr std::size_t kUdpHeaderLen = 8;

// Generations of address snapshots, unique across all DnsServerAddresses.
std::atomic<std::uint64_t> g_next_generation{1};

}  // namespace

// ---- interception (default bodies) -----------------------------------------

util::Expected<void, std::string> AgentDns::send(DnsServerRequest request) const {
  const auto& tx = send_channel();
  const auto src = request.src;
  const auto src_port = request.src_port;
  auto r = tx.try_send(std::move(request));
  if (r) return {};
  if (r.error() == RequestSender::SendError::Full) {
    SV_DEBUG(mod_lg(), "DNS request queue is full ({} requests), dropping request from {}:{}", tx.capacity(), src,
             src_port);
    return util::Unexpected(std::string("DNS request queue is full"));
  }
  return util::Unexpected(std::string("Failed to send DNS request"));
}

bool AgentDns::handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                                      std::shared_ptr<AsyncTun> tun) {
  if (hdr.protocol() != kUdp) return false;
  const Ipv4Addr dst = hdr.destination();
  if (!is_server_ip(dst)) return false;
  // The header must fit the packet and leave room for a whole UDP header.
  const std::size_t h = hdr.header_len();
  if (h < 20 || h > packet.size() || packet.size() - h < kUdpHeaderLen) return false;
  // A fragment carries no complete datagram: never a query we can read.
  if (hdr.is_fragment()) return false;
  const std::uint8_t* udp = packet.data() + h;
  if (be16(udp + 2) != kDnsPort) return false;

  const Ipv4Addr src = hdr.source();
  SV_TRACE(mod_lg(), "Got potential DNS request: {} -> {}", src, dst);
  DnsServerRequest request;
  request.payload.assign(packet.begin() + static_cast<std::ptrdiff_t>(h + kUdpHeaderLen), packet.end());
  request.tun_device = std::move(tun);
  request.src = src;
  request.dst = dst;
  request.src_port = be16(udp);
  request.dst_port = kDnsPort;
  (void)send(std::move(request));  // a dropped request is the client's retry
  return true;
}

// ---- address set -------------------------------------------------------------

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

// ---- apply step ------------------------------------------------------------

std::vector<Ipv4Addr> calculate_dns_server_ips(const NetworkMap& networks) {
  std::vector<Ipv4Addr> out;
  for (const auto& [url, n] : networks) {
    if (n.disabled || !n.current.ip.applied) continue;
    const std::uint32_t broadcast = n.current.ip.applied->broadcast().to_u32();
    out.push_back(Ipv4Addr(broadcast == 0 ? 0 : broadcast - 1));
  }
  return out;
}

void set_network_hostname_errors(NetworkMap& networks, const std::string& error) {
  for (auto& [url, n] : networks)
    if (n.current.hostnames.applied) n.current.hostnames = network::AppliedStatus<network::HostnameList>::failed(error);
}

void update_hostname_mappings(const DnsServerRef& server, NetworkMap& networks) {
  const bool changed = std::any_of(networks.begin(), networks.end(), [](const auto& e) {
    return e.second.current.hostnames != e.second.desired.hostnames;
  });
  if (!changed) return;
  server.update_catalog(networks);
  for (auto& [url, n] : networks) n.current.hostnames = n.desired.hostnames;
}

asio::awaitable<void> apply_desired_state_common(PlatformDnsOps& platform, const DnsServerRef& server,
                                                 DnsServerAddresses& addresses, NetworkMap& networks) {
  auto got = co_await platform.get_current_dns_ip();
  if (!got) {
    SV_WARN(common_lg(), "Unable to determine current DNS IP: {}", got.error());
    set_network_hostname_errors(networks, "Unable to determine current DNS IP: " + got.error());
    co_return;
  }
  std::optional<Ipv4Addr> current = *got;
  SV_TRACE(common_lg(), "Current DNS IP: {}", debug_text(current));

  const auto ips = calculate_dns_server_ips(networks);
  const std::optional<Ipv4Addr> desired = ips.empty() ? std::nullopt : std::optional<Ipv4Addr>(ips.front());
  addresses.publish(ips);

  if (current && current != desired) {
    SV_TRACE(common_lg(),
             "Removing DNS server because current IP is not in desired state: current_ip={}, desired_ip={}", *current,
             debug_text(desired));
    auto removed = co_await platform.remove_dns_ip();
    if (!removed) {
      SV_WARN(common_lg(), "Unable to remove DNS server IP: {}.", removed.error());
      set_network_hostname_errors(networks, "Unable to remove DNS server IP: " + removed.error());
      co_return;
    }
    SV_TRACE(common_lg(), "Successfully removed DNS server.");
    current.reset();
    addresses.set_reported(std::nullopt);
  }

  if (desired && current != desired) {
    SV_TRACE(common_lg(), "We need to set DNS server to {}.", *desired);
    auto set = co_await platform.set_dns_ip(*desired);
    if (!set) {
      SV_WARN(common_lg(), "Unable to set DNS server IP: {}.", set.error());
      set_network_hostname_errors(networks, "Unable to set DNS server IP: " + set.error());
      co_return;
    }
    SV_TRACE(common_lg(), "Successfully set DNS server to {}.", *desired);
    addresses.set_reported(desired);
  }

  update_hostname_mappings(server, networks);

  auto flushed = co_await platform.flush_caches();
  if (!flushed) SV_WARN(common_lg(), "Unable to flush DNS caches: {}.", flushed.error());
}

// ---- MobileAgentDns ----------------------------------------------------------

std::shared_ptr<MobileAgentDns> MobileAgentDns::create(asio::any_io_executor ex) {
  auto [request_tx, request_rx] = request_channel();
  auto [server, shutdown_rx] = DnsServerRef::create();
  DnsServerDriver driver(DnsServerRef(server), std::move(request_rx), std::move(shutdown_rx));
  auto running = driver.running_flag();
  DnsServerDriver::spawn(std::move(ex), std::move(driver));
  return std::make_shared<MobileAgentDns>(std::move(server), std::move(request_tx), std::move(running));
}

MobileAgentDns::MobileAgentDns(DnsServerRef server, RequestSender request_tx,
                               std::shared_ptr<const std::atomic<bool>> driver_running)
    : request_tx_(std::move(request_tx)), server_(std::move(server)), driver_running_(std::move(driver_running)) {}

asio::awaitable<void> MobileAgentDns::apply_desired_state(NetworkMap& networks) {
  co_await apply_desired_state_common(*this, server_, addresses_, networks);
}

bool MobileAgentDns::is_server_ip(Ipv4Addr ip) const {
  const bool found = addresses_.contains(ip);
  SV_TRACE(mobile_lg(), "Checking if IP {} is a DNS server IP: {} (allowed_server_ips: [{}])", ip, found,
           fmt::join(addresses_.list(), ", "));
  return found;
}

std::optional<Ipv4Addr> MobileAgentDns::server_ip() const { return addresses_.reported(); }

void MobileAgentDns::shutdown() { (void)server_.shutdown(); }

asio::awaitable<util::Expected<std::optional<Ipv4Addr>, std::string>> MobileAgentDns::get_current_dns_ip() {
  co_return addresses_.reported();
}

asio::awaitable<util::Expected<void, std::string>> MobileAgentDns::set_dns_ip(Ipv4Addr) {
  co_return util::Expected<void, std::string>{};
}

asio::awaitable<util::Expected<void, std::string>> MobileAgentDns::remove_dns_ip() {
  co_return util::Expected<void, std::string>{};
}

asio::awaitable<util::Expected<void, std::string>> MobileAgentDns::flush_caches() {
  co_return util::Expected<void, std::string>{};
}

std::shared_ptr<AgentDns> native(asio::any_io_executor ex) { return MobileAgentDns::create(std::move(ex)); }

}  // namespace sarvolt::agent::dns
