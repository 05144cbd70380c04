// AgentConfig: the agent's persistent settings and node identity, and the
// agent configuration file (TOML) that holds them.
//   read_agent_config / write_agent_config   text <-> value, exact key order
//   AgentConfig::load / load_or_generate / save   the file (atomic writes)
// Accessors resolve unset settings to built-in defaults, which are never
// written to the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "network/network.hpp"
#include "platform/p2p/identity.hpp"
#include "util/cancellation_token.hpp"
#include "util/expected.hpp"
#include "util/toml_reader.hpp"
#include "util/toml_writer.hpp"
#include "util/url.hpp"

namespace sarvolt::agent {

inline constexpr const char* kDefaultControllerUrl = "https://api.sarvolt.dev/api";
inline constexpr const char* kDefaultAuthUrl = "https://auth.sarvolt.dev/application/o/sarvolt-agent/";
inline constexpr const char* kDefaultAuthClientId = "Qx7TmR2vLp9KdW4nZs8YbH3cFj6GtV1oNa5EuXkP";

// Runtime-only state of the controller connection; never written.
class ControllerConnectionStatus {
 public:
  enum class Kind { Initializing, LoggedOut, Ok, Err };
  ControllerConnectionStatus() = default;
  static ControllerConnectionStatus logged_out() { return ControllerConnectionStatus(Kind::LoggedOut, {}); }
  static ControllerConnectionStatus ok() { return ControllerConnectionStatus(Kind::Ok, {}); }
  static ControllerConnectionStatus err(std::string text) { return ControllerConnectionStatus(Kind::Err, std::move(text)); }

  Kind kind() const noexcept { return kind_; }
  const std::string& text() const noexcept { return text_; }
  // "Initializing", "LoggedOut", "Ok" or "Err: <text>".
  std::string to_string() const;
  friend bool operator==(const ControllerConnectionStatus&, const ControllerConnectionStatus&) = default;

 private:
  ControllerConnectionStatus(Kind k, std::string t) : kind_(k), text_(std::move(t)) {}
  Kind kind_ = Kind::Initializing;
  std::string text_;
};

struct DnsConfig {
  std::optional<bool> disabled;
  friend bool operator==(const DnsConfig&, const DnsConfig&) = default;
};

struct ControllerConfig {
  std::optional<std::string> url;
  std::optional<std::string> auth_url;
  std::optional<std::string> auth_client_id;
  std::optional<std::string> display_login_email;
  std::optional<std::string> shared_secret;
  ControllerConnectionStatus status;  // runtime only

  // The setting, else its built-in default.
  std::string url_or_default() const { return url.value_or(kDefaultControllerUrl); }
  std::string auth_url_or_default() const { return auth_url.value_or(kDefaultAuthUrl); }
  std::string auth_client_id_or_default() const { return auth_client_id.value_or(kDefaultAuthClientId); }

  friend bool operator==(const ControllerConfig&, const ControllerConfig&) = default;
};

using network::NetworkMap;

// The configuration file's size limit, for reading and writing. Its text is
// small (about 100 bytes per network), so this leaves room for tens of
// thousands of networks while a device, or a file that grows without end,
// is refused before it can exhaust memory.
inline constexpr std::size_t kMaxConfigFileSize = std::size_t{8} * 1024 * 1024;

struct AgentConfig {
  p2p::Identity identity;
  NetworkMap network;
  std::optional<std::uint16_t> mtu;
  std::optional<std::vector<p2p::SuperPeerUrl>> super_peers;
  std::optional<bool> update_check;
  std::optional<bool> auto_connect;
  std::optional<DnsConfig> dns;
  std::optional<ControllerConfig> controller;

  // A configuration around `identity` with everything else unset.
  explicit AgentConfig(p2p::Identity id) : identity(std::move(id)) {}

  static util::Expected<AgentConfig, core::Error> load(const std::filesystem::path& path);
  static util::Expected<AgentConfig, core::Error> load_or_generate(const std::filesystem::path& path,
                                                             const util::CancellationToken* token = nullptr);
  util::Expected<void, core::Error> save(const std::filesystem::path& path) const;

  // 1280 when SARVOLT_ARM_MESSAGES is true (default), else 1328.
  static std::uint16_t default_mtu();

  std::string controller_url() const;
  std::optional<std::string> shared_secret() const;
  // The configured list (even when empty), else the library's default list.
  std::vector<p2p::SuperPeerUrl> super_peers_or_default() const;
  void set_controller_status(ControllerConnectionStatus status);

  // Equal settings (runtime-only state of networks is not compared).
  bool same_settings(const AgentConfig& o) const;
};

// The configuration document's text form, keys in their fixed order.
std::string write_agent_config(const AgentConfig& config);
// Reads a configuration document.
util::Expected<AgentConfig, util::toml_read::Error> read_agent_config(std::string_view text);

// Reader and writer of the `network` key.
util::Expected<NetworkMap, util::toml_read::Error> deserialize_networks(const toml::node& value);
void serialize_networks(const NetworkMap& networks, util::TomlWriter& out);

}  // namespace sarvolt::agent
