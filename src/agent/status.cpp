#include "agent/status.hpp"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/p2p/super_peer.hpp"
#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::status")

namespace asio = boost::asio;

namespace {

constexpr std::string_view kNotUp = "Information only available when agent is UP";
constexpr std::string_view kMasked = "****";
constexpr std::uint64_t kReachableWindowMs = 30000;
// A deviation longer than this may cost the overlay its connectivity.
constexpr std::uint64_t kDeviationThresholdSecs = 45;

// Appends every line of `block` as indent + line + "\n": a carriage return
// before a line break is dropped, and a final line break makes no empty line.
void append_indented(std::string& out, std::string_view block, std::string_view indent) {
  while (!block.empty()) {
    const auto nl = block.find('\n');
    std::string_view text = block.substr(0, nl);
    block = nl == std::string_view::npos ? std::string_view{} : block.substr(nl + 1);
    if (nl != std::string_view::npos && !text.empty() && text.back() == '\r') text.remove_suffix(1);
    out += indent;
    out += text;
    out += '\n';
  }
}

template <class... Args>
void line(std::string& out, fmt::format_string<Args...> f, Args&&... args) {
  fmt::format_to(std::back_inserter(out), f, std::forward<Args>(args)...);
  out += '\n';
}

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

// |d| in nanoseconds, also for the most negative count.
std::uint64_t magnitude_ns(std::chrono::nanoseconds d) {
  const auto count = d.count();
  return count < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
}

std::string_view yes_no(bool b) { return b ? "true" : "false"; }

// Microseconds as milliseconds with three decimals, exact for every value.
std::string millis_text(std::uint64_t us) { return fmt::format("{}.{:03}", us / 1000, us % 1000); }

template <class Map>
std::vector<const typename Map::value_type*> sorted_by_key(const Map& map) {
  std::vector<const typename Map::value_type*> out;
  out.reserve(map.size());
  for (const auto& entry : map) out.push_back(&entry);
  std::sort(out.begin(), out.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
  return out;
}

// --- list blocks of the network block -------------------------------------------

std::string list_text(const network::EffectiveAccessRuleList& l) { return l.to_string(); }
std::string list_text(const network::EffectiveRoutingList& l) { return l.to_string(); }
std::string list_text(const network::HostnameList& l) { return l.to_string(); }
std::string list_text(const network::EffectiveForwardingList& l) {
  std::string out;
  for (const auto& net : l.destinations) line(out, "{}", net);  // (address, prefix length) order
  return out;
}

bool list_empty(const network::EffectiveAccessRuleList& l) { return l.rules.empty(); }
bool list_empty(const network::EffectiveRoutingList& l) { return l.routes.empty(); }
bool list_empty(const network::HostnameList& l) { return l.names.empty(); }
bool list_empty(const network::EffectiveForwardingList& l) { return l.destinations.empty(); }

template <class L>
void list_block(std::string& out, const network::AppliedStatus<L>& status, std::string_view indent) {
  const auto& e = status.error;
  if (!status.applied || list_empty(*status.applied)) {
    const std::string_view what = status.applied ? "Empty" : "None";
    if (e)
      line(out, "{}{} (Error: {})", indent, what, *e);
    else
      line(out, "{}{}", indent, what);
    return;
  }
  append_indented(out, list_text(*status.applied), indent);
  if (e) line(out, "{}Error: {}", indent, *e);
}

template <class L>
void list_section(std::string& out, std::string_view label, const network::AppliedStatus<L>& current,
                  const network::AppliedStatus<L>& desired) {
  line(out, "{}:", label);
  if (current == desired) {
    list_block(out, current, "  ");
    return;
  }
  out += "  Current:\n";
  list_block(out, current, "    ");
  out += "  Desired:\n";
  list_block(out, desired, "    ");
}

}  // namespace

// --- small texts -------------------------------------------------------------------

std::string_view to_string(AgentStatus status) noexcept {
  return status == AgentStatus::CONNECTED ? "CONNECTED" : "DISCONNECTED";
}

std::string_view to_string(UpdateStatus status) noexcept {
  return status == UpdateStatus::Downloading ? "Downloading" : "Installing";
}

std::string format_duration(std::uint64_t secs, std::uint32_t nanos) {
  secs += nanos / kNanosPerSecond;  // whole seconds in `nanos` carry over
  nanos %= kNanosPerSecond;
  if (secs == 0 && nanos == 0) return "0s";
  constexpr std::uint64_t kYear = 31'557'600;  // 365.25 days
  constexpr std::uint64_t kMonth = 2'630'016;  // 30.44 days
  const std::uint64_t years = secs / kYear;
  const std::uint64_t in_year = secs % kYear;
  const std::uint64_t months = in_year / kMonth;
  const std::uint64_t in_month = in_year % kMonth;
  const std::uint64_t days = in_month / 86400;
  const std::uint64_t in_day = in_month % 86400;
  std::string out;
  auto item = [&](std::uint64_t value, std::string_view unit, bool plural) {
    if (value == 0) return;
    if (!out.empty()) out += ' ';
    fmt::format_to(std::back_inserter(out), "{}{}", value, unit);
    if (plural && value > 1) out += 's';
  };
  item(years, "year", true);
  item(months, "month", true);
  item(days, "day", true);
  item(in_day / 3600, "h", false);
  item(in_day % 3600 / 60, "m", false);
  item(in_day % 60, "s", false);
  item(nanos / 1'000'000, "ms", false);
  item(nanos / 1000 % 1000, "us", false);
  item(nanos % 1000, "ns", false);
  return out;
}

std::string format_duration(std::chrono::nanoseconds d) {
  const std::uint64_t ns = magnitude_ns(d);
  return format_duration(ns / kNanosPerSecond, static_cast<std::uint32_t>(ns % kNanosPerSecond));
}

std::string format_millis(std::uint64_t ms) {
  return format_duration(ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000));
}

std::string time_ago_in_words(p2p::Instant then, p2p::Instant now) {
  if (then >= now) return "0s";
  return format_duration(std::chrono::duration_cast<std::chrono::nanoseconds>(now - then));
}

std::string time_ago_in_words(p2p::Instant then) { return time_ago_in_words(then, p2p::Clock::now()); }

std::string mask_url(const util::Url& url) {
  if (url.username().empty() && url.password().empty()) return url.to_string();
  return util::mask_userinfo(url.as_str());
}

// --- controller and network -------------------------------------------------------

ControllerStatus ControllerStatus::from_config(const std::optional<ControllerConfig>& controller) {
  const ControllerConfig section = controller.value_or(ControllerConfig{});
  ControllerStatus s;
  s.url = section.url_or_default();
  s.auth_url = section.auth_url_or_default();
  s.display_login_email = section.display_login_email;
  s.shared_secret = section.shared_secret;
  s.connection_status = controller ? section.status : ControllerConnectionStatus::logged_out();
  return s;
}

NetworkStatus NetworkStatus::from(const network::Network& n) {
  return NetworkStatus{n.health, n.name, n.current, n.desired, n.disabled};
}

std::string NetworkStatus::to_string() const {
  std::string out;
  line(out, "Name: {}", name ? std::string_view(*name) : std::string_view("None"));
  line(out, "Disabled: {}", yes_no(disabled));
  line(out, "Status: {}", health.debug());
  if (current.ip == desired.ip) {
    line(out, "IP: {}", current.ip.to_string());
  } else {
    out += "IP:\n";
    line(out, "  Current: {}", current.ip.to_string());
    line(out, "  Desired: {}", desired.ip.to_string());
  }
  list_section(out, "Access Rules", current.access_rules, desired.access_rules);
  list_section(out, "Routes", current.routes, desired.routes);
  list_section(out, "Forwardings", current.forwardings, desired.forwardings);
  list_section(out, "Hostnames", current.hostnames, desired.hostnames);
  const auto& hosts = current.hostnames.applied;
  if (hosts && !hosts->names.empty() && current.ip.applied) {
    const std::uint32_t broadcast = current.ip.applied->broadcast().to_u32();
    const util::Ipv4Addr server(broadcast == 0 ? 0 : broadcast - 1);
    line(out, "{}DNS Server: {}", current.hostnames == desired.hostnames ? "" : "  ", server);
  }
  return out;
}

std::ostream& operator<<(std::ostream& os, const NetworkStatus& status) { return os << status.to_string(); }

// --- peers ---------------------------------------------------------------------------

std::string format_path(const p2p::PeerPath& path, p2p::Instant now) {
  std::string out;
  line(out, "Unanswered HELLO Since: {}",
       path.unanswered_hello_since ? time_ago_in_words(*path.unanswered_hello_since, now) : "No unanswered HELLO");
  if (path.last_ack)
    line(out, "Last ACK Time: {} ago", time_ago_in_words(*path.last_ack, now));
  else
    out += "Last ACK Time: Never\n";
  out += "Latencies:";
  for (std::size_t i = 0; i < path.latencies_us.size(); ++i) {
    out += i == 0 ? " " : " ms, ";
    out += millis_text(path.latencies_us[i]);
  }
  if (!path.latencies_us.empty()) out += " ms";
  out += '\n';
  if (const auto median = path.median_latency_us())
    line(out, "  Median Latency: {} ms", millis_text(*median));
  else
    out += "  Median Latency: None\n";
  fmt::format_to(std::back_inserter(out), "[Reachable: {}]",
                 yes_no(p2p::PeerPath::is_reachable(path, now, kReachableWindowMs)));
  return out;
}

std::string SuperPeerStatus::to_string_with_secrets(bool with_secrets) const {
  return to_string_with_secrets(with_secrets, p2p::Clock::now());
}

std::string SuperPeerStatus::to_string_with_secrets(bool, p2p::Instant now) const {
  const auto& s = stats;
  std::string out;
  line(out, "Address: {}", s.address);
  if (s.resolved_addresses) {
    out += "Resolved Addresses:\n";
    for (const auto& ep : *s.resolved_addresses) line(out, "  {}", p2p::to_string(ep));
  } else {
    out += "Resolved Addresses: None\n";
  }
  out += "TCP:\n";
  line(out, "  Port: {}", s.tcp_port);
  if (!s.tcp_path) {
    out += "  Connection: Not present\n";
  } else {
    const auto& tcp = *s.tcp_path;
    if (!tcp.path.unanswered_hello_since && !tcp.path.last_ack)
      out += "  Connection: Establishing\n";
    else
      line(out, "  Connection: Established ({})", tcp.key ? tcp.key->to_string() : std::string("None"));
    append_indented(out, format_path(tcp.path, now), "  ");
  }
  out += "UDP:\n";
  line(out, "  Best Path: {}", s.udp_path_order.empty() ? std::string("None") : s.udp_path_order.front().to_string());
  out += "  Paths:\n";
  for (const auto& key : s.udp_path_order) {
    const auto it = s.udp_paths.find(key);
    if (it == s.udp_paths.end()) continue;
    line(out, "    {}:", key);
    append_indented(out, format_path(it->second, now), "      ");
  }
  line(out, "[Reachable: {}]", yes_no(s.reachable));
  return out;
}

std::string NodePeerStatus::to_string_with_secrets(bool with_secrets) const {
  return to_string_with_secrets(with_secrets, p2p::Clock::now());
}

std::string NodePeerStatus::to_string_with_secrets(bool, p2p::Instant now) const {
  const auto& s = stats;
  std::string out;
  line(out, "PoW State: {}", s.pow_status);
  line(out, "Protocol Version 2 Supported: {}", yes_no(s.protocol_version_2));
  line(out, "Created At: {} ago", time_ago_in_words(s.created_at, now));
  for (const auto& [label, when] : {std::pair{"APP TX", &s.app_tx}, std::pair{"APP RX", &s.app_rx}}) {
    if (*when)
      line(out, "{}: {} ago", label, time_ago_in_words(**when, now));
    else
      line(out, "{}: Never", label);
  }
  line(out, "Best Direct Path: {}",
       s.direct_path_order.empty() ? std::string("None") : s.direct_path_order.front().to_string());
  if (s.direct_paths.empty()) {
    out += "Direct Paths: None\n";
  } else {
    out += "Direct Paths:\n";
    auto path_lines = [&](const std::string& key, const p2p::PeerPath& path) {
      line(out, "  {}:", key);
      append_indented(out, format_path(path, now), "    ");
    };
    for (const auto& key : s.direct_path_order)
      if (const auto it = s.direct_paths.find(key); it != s.direct_paths.end()) path_lines(key.to_string(), it->second);
    // Paths the ordered list does not name, by key text.
    std::vector<std::pair<std::string, const p2p::PeerPath*>> rest;
    for (const auto& [key, path] : s.direct_paths)
      if (std::find(s.direct_path_order.begin(), s.direct_path_order.end(), key) == s.direct_path_order.end())
        rest.emplace_back(key.to_string(), &path);
    std::sort(rest.begin(), rest.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [key, path] : rest) path_lines(key, *path);
  }
  line(out, "Best Relay Path: {}",
       s.relay_path_order.empty() ? std::string("None") : s.relay_path_order.front().to_string());
  if (s.relay_paths.empty()) {
    out += "Relay Paths: None\n";
  } else {
    out += "Relay Paths:\n";
    // Key order is the order of the keys' hex texts.
    for (const auto& [pk, path] : s.relay_paths) {
      line(out, "  Super Peer {}:", pk);
      append_indented(out, format_path(path, now), "    ");
    }
  }
  line(out, "TX Short ID: {}", s.tx_short_id ? s.tx_short_id->to_string() : std::string("None"));
  line(out, "RX Short ID: {}", s.rx_short_id);
  line(out, "[Reachable: {}]", yes_no(s.reachable));
  return out;
}

// --- the report ----------------------------------------------------------------------

std::string Status::to_string_with_secrets(bool with_secrets) const {
  return to_string_with_secrets(with_secrets, p2p::Clock::now());
}

std::string Status::to_string_with_secrets(bool with_secrets, p2p::Instant now) const {
  const bool up = agent_status == AgentStatus::CONNECTED;
  std::string out;
  out.reserve(4096 + 2048 * (super_peers.size() + node_peers.size() + networks.size()));

  out += "Info:\n";
  line(out, "  Version: {} ({})", version_info.version, version_info.full_commit());
  line(out, "  Built: {}", version_info.build_timestamp);
  line(out, "  Profile: {}", version_info.profile());
  line(out, "  Features: {}", version_info.features);
  if (update_available) line(out, "  Update Available: {}", *update_available);
  if (update_status) line(out, "  Update Status: {}", to_string(*update_status));
  line(out, "  Agent Status: {}", to_string(agent_status));
  out += '\n';

  out += "Config:\n";
  line(out, "  Config Path: {}", config_path);
  out += "  Identity:\n";
  line(out, "    Secret Key: {}", with_secrets ? opts.identity().sk().to_string() : std::string(kMasked));
  line(out, "    Public Key: {}", opts.identity().pk());
  line(out, "    PoW: {}", opts.identity().pow().value());
  out += "  UDP:\n";
  out += "    Addresses: ";
  for (std::size_t i = 0; i < opts.udp_addrs().size(); ++i) {
    if (i) out += ", ";
    out += opts.udp_addrs()[i].to_string();
  }
  out += '\n';
  if (const auto& port = opts.configured_udp_port())
    line(out, "    Port: {}", *port == 0 ? std::string("random") : std::to_string(*port));
  else
    line(out, "    Port: {} (derived from own public key)", opts.identity().pk().udp_port());
  line(out, "  Arm Messages: {}", yes_no(opts.arm_messages()));
  line(out, "  Max. Peers: {}", opts.max_peers());
  line(out, "  Min. PoW Difficulty: {}", opts.min_pow_difficulty());
  line(out, "  HELLO Timeout: {}", format_millis(opts.hello_timeout()));
  line(out, "  HELLO Max. Age: {}", format_millis(opts.hello_max_age()));
  out += "  Super Peers:\n";
  for (const auto& sp : opts.super_peers()) line(out, "    {}", sp.to_string());
  line(out, "  Network MTU: {}", opts.mtu());
  line(out, "  DNS: {}", dns_disabled ? "disabled" : "enabled");
  line(out, "  Process UNITEs: {}", yes_no(opts.process_unites()));
  line(out, "  Housekeeping Interval: {}", format_millis(opts.housekeeping_interval()));
  line(out, "  Enforce TCP: {}", yes_no(opts.enforce_tcp()));
  line(out, "  TUN MTU: {}", tun_mtu);

  out += "Time Synchronization:\n";
  if (!up) {
    line(out, "  {}", kNotUp);
  } else if (!time_deviation) {
    out += "  Deviation: Unable to determine (SNTP check failed)\n";
  } else {
    line(out, "  Deviation: {}", format_duration(*time_deviation));
    const std::uint64_t ns = magnitude_ns(*time_deviation);
    if (ns > kDeviationThresholdSecs * kNanosPerSecond)
      line(out, "  ERROR: System time deviation exceeds threshold ({}s), connectivity with P2P network may be lost!",
           ns / kNanosPerSecond);
  }
  out += '\n';

  out += "Controller:\n";
  // User info in the controller URLs is a secret like the others.
  line(out, "  URL: {}", with_secrets ? controller.url : util::mask_userinfo(controller.url));
  line(out, "  Auth URL: {}", with_secrets ? controller.auth_url : util::mask_userinfo(controller.auth_url));
  line(out, "  Logged in as: {}",
       controller.display_login_email ? std::string_view(*controller.display_login_email) : "None");
  if (!controller.shared_secret)
    out += "  HMAC Auth Shared Secret: None\n";
  else
    line(out, "  HMAC Auth Shared Secret: {}", with_secrets ? std::string_view(*controller.shared_secret) : kMasked);
  line(out, "  Connection Status: {}", up ? controller.connection_status.to_string() : std::string(kNotUp));
  out += '\n';

  line(out, "Default Route: {}", default_route);
  out += "Super Peers:\n";
  if (!up) {
    line(out, "  {}", kNotUp);
  } else {
    for (const auto* entry : sorted_by_key(super_peers)) {
      line(out, "  {}:", entry->first);
      append_indented(out, entry->second.to_string_with_secrets(with_secrets, now), "    ");
    }
  }
  out += "Node Peers:\n";
  if (!up) {
    line(out, "  {}", kNotUp);
  } else {
    for (const auto* entry : sorted_by_key(node_peers)) {
      line(out, "  {}:", entry->first);
      append_indented(out, entry->second.to_string_with_secrets(with_secrets, now), "    ");
    }
  }
  out += '\n';

  out += "Networks:\n";
  if (!up) {
    line(out, "  {}", kNotUp);
  } else {
    for (const auto* entry : sorted_by_key(networks)) {
      line(out, "  {}:", with_secrets ? entry->first.to_string() : mask_url(entry->first));
      append_indented(out, entry->second.to_string(), "    ");
    }
  }
  return out;
}

// --- collection ----------------------------------------------------------------------

asio::awaitable<Status> Status::from_agent(const Agent& agent) { return from_agent(*agent.inner()); }

asio::awaitable<Status> Status::from_agent(AgentInner& inner) {
  Status s(inner.node->opts());
  SV_TRACE(lg(), "Getting peers");

  std::vector<std::pair<p2p::PubKey, p2p::SuperPeerRef>> super_peers;
  {
    auto& table = inner.node->super_peer_table();
    std::lock_guard lock(table.mutex);
    s.default_route = table.default_route;
    super_peers = table.entries;
  }
  const auto now = p2p::Clock::now();
  for (auto& [pk, peer] : super_peers) {
    if (!peer) continue;
    {
      std::lock_guard lock(peer->state_mutex());
      s.super_peers.insert_or_assign(pk, SuperPeerStatus{peer->stats(peer->state(), now)});
    }
    peer.reset();
  }

  // A peer under several prefixes is met several times; the last one stays.
  if (const auto tries = inner.firewall->tries()) {
    for (const auto& [dest, sources] : tries->tx)
      for (const auto& [source, peer] : sources)
        if (peer && peer->link()) s.node_peers.insert_or_assign(peer->pk(), NodePeerStatus{peer->link()->stats()});
  }

  s.tun_mtu = inner.tun_mtu();
  s.dns_disabled = !inner.dns;

  SV_TRACE(lg(), "Locking state to get status");
  {
    const auto state = co_await inner.state.read();
    for (const auto& [url, network] : state->config.network) s.networks.insert_or_assign(url, NetworkStatus::from(network));
  }
  SV_TRACE(lg(), "Networks retrieved");
  {
    const auto state = co_await inner.state.read();
    s.update_available = state->update_available;
    s.update_status = state->update_status;
    s.time_deviation = state->time_deviation;
    s.controller = ControllerStatus::from_config(state->config.controller);
  }

  s.version_info = VersionInfo();
  s.config_path = inner.config_path;
  s.agent_status = AgentStatus::CONNECTED;
  co_return s;
}

asio::awaitable<std::string> status_report(const Agent& agent) { return status_report(*agent.inner()); }

asio::awaitable<std::string> status_report(AgentInner& inner) {
  const Status status = co_await Status::from_agent(inner);
  SV_TRACE(lg(), "Status generated");
  std::string text = status.to_string_with_secrets(false);
  SV_TRACE(lg(), "Status converted to string without secrets");
  co_return text;
}

}  // namespace sarvolt::agent
