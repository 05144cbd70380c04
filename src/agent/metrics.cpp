#include "agent/metrics.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <mutex>
#include <utility>

#include "controller/client.hpp"
#include "platform/p2p/super_peer.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "version_info.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::housekeeping")

namespace asio = boost::asio;
using core::Error;
using network::NetworkHealth;

namespace {

constexpr std::string_view kOsNames[] = {
    "macOS",  "Windows", "tvOS",      "iOS",        "iPadOS",        "Android", "Linux",
    "Ubuntu", "Debian",  "Fedora",    "CentOS",     "RHEL",          "Arch",    "openSUSE",
    "SLES",   "Gentoo",  "Slackware", "Linux Mint", "elementary OS", "Manjaro", "Raspbian",
};

std::string_view trim(std::string_view s) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const auto b = s.find_first_not_of(kSpace);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(kSpace) - b + 1);
}

// The trimmed output of a command that ran and printed UTF-8 text.
std::optional<std::string> output_of(const os::CommandRunner& run, const std::string& program,
                                     const std::vector<std::string>& args) {
  auto out = run(program, args);
  if (!out || !util::is_valid_utf8(*out)) return std::nullopt;
  return std::string(trim(*out));
}

// A signed 32-bit decimal: one optional '+' or '-', then digits only.
std::optional<std::int32_t> parse_i32(std::string_view s) {
  std::string_view digits = s;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  if (s.front() == '+') s = digits;  // from_chars takes no '+'
  std::int32_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

Os detect_os(const os::CommandRunner& run) {
  if (const auto machine = output_of(run, "uname", {"-m"});
      machine && util::to_lower_unicode(*machine).starts_with("ipad"))
    return Os::IPadOs;
  if (const auto model = output_of(run, "sysctl", {"-n", "hw.model"});
      model && util::to_lower_unicode(*model).find("ipad") != std::string::npos)
    return Os::IPadOs;
  return Os::IOs;
}

std::optional<std::string> detect_os_version(const os::CommandRunner& run) {
  if (auto v = output_of(run, "sw_vers", {"-productVersion"}); v && !v->empty()) return v;
  const auto release = output_of(run, "uname", {"-r"});
  if (!release || release->empty()) return std::nullopt;
  return os_version_from_release(*release);
}

std::string shown(const util::Url& url) { return util::mask_userinfo(url.as_str()); }

void network_lines(const network::NetworkMap& networks, std::vector<std::string>& lines) {
  using K = NetworkHealth::Kind;
  for (const auto& [url, net] : networks) {
    if (url.scheme() != "controller") continue;
    const auto& h = net.health;
    switch (h.kind()) {
      case K::RetrieveConfigError:
        lines.push_back(fmt::format("Network {}: RetrieveConfigError - {}", shown(url), h.text()));
        break;
      case K::InvalidConfigError:
        lines.push_back(fmt::format("Network {}: InvalidConfigError - {}", shown(url), h.text()));
        break;
      case K::Pending:
        lines.push_back(fmt::format("Network {}: Cannot apply desired configuration", shown(url)));
        break;
      case K::NotAMemberError:
        lines.push_back(fmt::format("Network {}: Cannot join network - not a member", shown(url)));
        break;
      case K::Initializing:
      case K::Disabled:
      case K::Ok:
        break;
    }
  }
}

void super_peer_lines(const p2p::Node& node, const std::vector<p2p::SuperPeerUrl>& configured,
                      std::vector<std::string>& lines) {
  std::vector<std::pair<p2p::PubKey, p2p::SuperPeerRef>> table;
  {
    auto& t = node.super_peer_table();
    std::lock_guard lock(t.mutex);
    table = t.entries;
  }
  const auto now = p2p::Clock::now();
  for (const auto& [pk, sp] : table) {
    std::lock_guard lock(sp->state_mutex());
    if (sp->stats(sp->state(), now).reachable) continue;
    for (const auto& url : configured) {
      if (url.public_key() != pk) continue;
      lines.push_back(fmt::format("Super Peer {}: Not reachable", url.to_string()));
      break;
    }
  }
}

}  // namespace

std::string_view to_string(Os os) noexcept { return kOsNames[static_cast<std::size_t>(os)]; }

std::vector<SubnetConflict> find_overlapping_subnets(const network::NetworkMap& networks) {
  std::vector<std::pair<const util::Url*, util::Ipv4Net>> addressed;
  for (const auto& [url, net] : networks)
    if (!net.disabled && net.desired.ip.applied) addressed.emplace_back(&url, *net.desired.ip.applied);
  std::vector<SubnetConflict> out;
  for (std::size_t i = 0; i < addressed.size(); ++i) {
    const auto& a = addressed[i].second;
    for (std::size_t j = i + 1; j < addressed.size(); ++j) {
      const auto& b = addressed[j].second;
      if (a.contains(b.network()) || a.contains(b.broadcast()) || b.contains(a.network()) || b.contains(a.broadcast()))
        out.push_back({*addressed[i].first, *addressed[j].first, a, b});
    }
  }
  return out;
}

std::string os_version_from_release(std::string_view t) {
  const auto first = t.find('.');
  const auto second = first == std::string_view::npos ? first : t.find('.', first + 1);
  if (second != std::string_view::npos) {
    const auto major = parse_i32(t.substr(0, first));
    const auto minor = parse_i32(t.substr(first + 1, second - first - 1));
    if (major && minor && *major >= 5 && *major <= 103) return fmt::format("{}.{}", *major - 4, *minor);
  }
  return std::string(t);
}

controller_api::UpdateNodeMetricsRequest build_metrics_request(const std::optional<std::string>& ui_version,
                                                               std::string error_lines, const os::CommandRunner& run) {
  const VersionInfo version;
  controller_api::UpdateNodeMetricsRequest r;
  r.os = std::string(to_string(detect_os(run)));
  r.os_version = detect_os_version(run);
  r.os_arch = "aarch64";
  r.sarvolt_agent_version = version.version + " (" + version.full_commit() + ")";
  r.sarvolt_ui_version = ui_version;
  r.error_logs = std::move(error_lines);
  return r;
}

std::string metrics_error_lines(const AgentInner& inner, const AgentConfig& config) {
  std::vector<std::string> lines;
  network_lines(config.network, lines);
  for (const auto& c : find_overlapping_subnets(config.network))
    lines.push_back(fmt::format("Subnet conflict: Network {} ({}) overlaps with Network {} ({})", shown(c.first),
                                c.first_addr.to_string(), shown(c.second), c.second_addr.to_string()));
  super_peer_lines(*inner.node, config.super_peers_or_default(), lines);
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) joined += '\n';
    joined += lines[i];
  }
  return joined;
}

asio::awaitable<util::Expected<void, Error>> send_metrics(AgentInner& inner, const std::string& secret,
                                                          const std::optional<std::string>& ui_version, State& state) {
  auto request = build_metrics_request(ui_version, metrics_error_lines(inner, state.config));
  auto client = controller::ControllerClient::create(inner.executor, state.config.controller_url(),
                                                     controller::HmacSecret{secret}, inner.identity.pk());
  if (!client)
    co_return util::Unexpected(Error::make(Error::Kind::ConfigParseError,
                                           "Failed to create controller client: " + client.error().to_string()));
  SV_TRACE(lg(), "Sending metrics to controller: {}", controller_api::debug_string(request));
  auto sent = co_await client->upload_metrics(request);
  if (sent)
    SV_TRACE(lg(), "Metrics uploaded successfully");
  else
    SV_WARN(lg(), "Metrics upload failed: {}", sent.error());
  co_return util::Expected<void, Error>{};
}

}  // namespace sarvolt::agent
