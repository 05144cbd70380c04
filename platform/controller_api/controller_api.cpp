#include "platform/controller_api/controller_api.hpp"

#include <fmt/format.h>

#include "util/text.hpp"

namespace sarvolt::controller_api {

using nlohmann::ordered_json;

std::optional<std::vector<std::uint8_t>> node_hmac_message_bytes(std::int64_t timestamp,
                                                                 std::span<const std::uint8_t> body) {
  const std::string head = fmt::format("{}:", timestamp);
  std::vector<std::uint8_t> out;
  out.reserve(head.size() + body.size());
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

namespace {

template <class T>
ordered_json or_null(const std::optional<T>& v) {
  return v ? ordered_json(*v) : ordered_json(nullptr);
}

template <class T, class F>
ordered_json map_or_null(const std::optional<std::map<std::string, T>>& m, F&& item) {
  if (!m) return nullptr;
  ordered_json out = ordered_json::object();
  for (const auto& [name, value] : *m) out[name] = item(value);
  return out;
}

}  // namespace

ordered_json to_json(const UpdateNodeMetricsRequest& r) {
  ordered_json j = ordered_json::object();
  j["os"] = or_null(r.os);
  j["os_version"] = or_null(r.os_version);
  j["os_arch"] = or_null(r.os_arch);
  j["rust_version"] = or_null(r.rust_version);
  j["ips"] = or_null(r.ips);
  j["sarvolt_agent_version"] = or_null(r.sarvolt_agent_version);
  j["sarvolt_ui_version"] = or_null(r.sarvolt_ui_version);
  j["super_peers"] = map_or_null(r.super_peers, [](const SuperPeerMetrics& m) {
    ordered_json o = ordered_json::object();
    o["connected"] = m.connected;
    o["ping"] = m.ping;
    o["ipv4"] = m.ipv4;
    o["ipv6"] = m.ipv6;
    return o;
  });
  j["networks"] = map_or_null(r.networks, [](const NetworkTrafficMetrics& m) {
    ordered_json o = ordered_json::object();
    o["rx"] = m.rx;
    o["tx"] = m.tx;
    o["enabled"] = m.enabled;
    return o;
  });
  j["error_logs"] = or_null(r.error_logs);
  return j;
}

std::string debug_string(const UpdateNodeMetricsRequest& r) {
  std::string ips = "None";
  if (r.ips) {
    ips = "Some([";
    for (std::size_t i = 0; i < r.ips->size(); ++i) ips += (i ? ", " : "") + util::quoted_debug((*r.ips)[i]);
    ips += "])";
  }
  std::string super_peers = "None";
  if (r.super_peers) {
    super_peers = "Some({";
    bool first = true;
    for (const auto& [name, m] : *r.super_peers) {
      super_peers += fmt::format("{}{}: SuperPeerMetrics {{ connected: {}, ping: {}, ipv4: {}, ipv6: {} }}",
                                 first ? "" : ", ", util::quoted_debug(name), m.connected, m.ping, m.ipv4, m.ipv6);
      first = false;
    }
    super_peers += "})";
  }
  std::string networks = "None";
  if (r.networks) {
    networks = "Some({";
    bool first = true;
    for (const auto& [name, m] : *r.networks) {
      networks += fmt::format("{}{}: NetworkTrafficMetrics {{ rx: {}, tx: {}, enabled: {} }}", first ? "" : ", ",
                              util::quoted_debug(name), m.rx, m.tx, m.enabled);
      first = false;
    }
    networks += "})";
  }
  return fmt::format(
      "UpdateNodeMetricsRequest {{ os: {}, os_version: {}, os_arch: {}, rust_version: {}, ips: {}, "
      "sarvolt_agent_version: {}, sarvolt_ui_version: {}, super_peers: {}, networks: {}, error_logs: {} }}",
      util::optional_debug(r.os), util::optional_debug(r.os_version), util::optional_debug(r.os_arch),
      util::optional_debug(r.rust_version), ips, util::optional_debug(r.sarvolt_agent_version),
      util::optional_debug(r.sarvolt_ui_version), super_peers, networks, util::optional_debug(r.error_logs));
}

}  // namespace sarvolt::controller_api
