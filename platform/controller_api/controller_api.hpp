// Stand-in for the controller API library:
//   node_hmac_message_bytes(timestamp, body)  the bytes a request MAC covers:
//                                             decimal Unix time, ':', body
//   UpdateNodeMetricsRequest (+ SuperPeerMetrics, NetworkTrafficMetrics)
//                                             the metrics record, its JSON
//                                             value (keys in field order,
//                                             absent values as null) and a
//                                             debug rendering
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sarvolt::controller_api {

// The message a request MAC covers. Absent when no message can be formed
// (the controller client then sends nothing).
std::optional<std::vector<std::uint8_t>> node_hmac_message_bytes(std::int64_t timestamp,
                                                                 std::span<const std::uint8_t> body);

struct SuperPeerMetrics {
  bool connected = false;
  std::uint32_t ping = 0;
  bool ipv4 = false;
  bool ipv6 = false;
};

struct NetworkTrafficMetrics {
  std::uint64_t rx = 0;
  std::uint64_t tx = 0;
  bool enabled = false;
};

struct UpdateNodeMetricsRequest {
  std::optional<std::string> os;
  std::optional<std::string> os_version;
  std::optional<std::string> os_arch;
  std::optional<std::string> rust_version;
  std::optional<std::vector<std::string>> ips;
  std::optional<std::string> sarvolt_agent_version;
  std::optional<std::string> sarvolt_ui_version;
  std::optional<std::map<std::string, SuperPeerMetrics>> super_peers;
  std::optional<std::map<std::string, NetworkTrafficMetrics>> networks;
  std::optional<std::string> error_logs;
};

// The JSON object, keys in field order; maps in key order.
nlohmann::ordered_json to_json(const UpdateNodeMetricsRequest& request);

// `UpdateNodeMetricsRequest { os: Some("iOS"), os_version: None, ... }`.
std::string debug_string(const UpdateNodeMetricsRequest& request);

}  // namespace sarvolt::controller_api
