// The agent's status report: a snapshot of a running agent as plain values,
// and its text.
//   Status::from_agent               collects the node's options, super peers
//                                    and their statistics, the node peers of
//                                    the transmit trie, the networks, the
//                                    controller section and the clock
//                                    deviation (changes nothing)
//   Status::to_string_with_secrets   the report; without secrets the secret
//                                    key and shared secret read "****" and
//                                    network URLs are masked
//   NetworkStatus / SuperPeerStatus / NodePeerStatus   one block each
//   format_path, time_ago_in_words, format_duration, mask_url
//   status_report                    collect, then render without secrets
// Renderers that show elapsed times or reachability take the current instant
// as an argument; the overloads without it use the clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>

#include <boost/asio/awaitable.hpp>

#include "agent/agent.hpp"
#include "agent/config.hpp"
#include "agent/inner.hpp"
#include "agent/state.hpp"
#include "network/network.hpp"
#include "platform/p2p/node_opts.hpp"
#include "platform/p2p/peer_path.hpp"
#include "platform/p2p/stats.hpp"
#include "util/url.hpp"
#include "version_info.hpp"

namespace sarvolt::agent {

enum class AgentStatus { CONNECTED, DISCONNECTED };

// "CONNECTED" / "DISCONNECTED".
std::string_view to_string(AgentStatus status) noexcept;
// "Downloading" / "Installing".
std::string_view to_string(UpdateStatus status) noexcept;

struct ControllerStatus {
  std::string url;
  std::string auth_url;
  std::optional<std::string> display_login_email;
  std::optional<std::string> shared_secret;
  ControllerConnectionStatus connection_status = ControllerConnectionStatus::logged_out();

  // The section's values with the built-in URLs where unset; without a
  // section: both default URLs, nothing else, LoggedOut.
  static ControllerStatus from_config(const std::optional<ControllerConfig>& controller);
};

struct NetworkStatus {
  network::NetworkHealth health;
  std::optional<std::string> name;
  network::AgentState current;
  network::AgentState desired;
  bool disabled = false;

  static NetworkStatus from(const network::Network& network);
  // The network's block: name, disabled, health, TUN address, the four
  // lists and the DNS server line; every line ends with "\n".
  std::string to_string() const;
};

std::ostream& operator<<(std::ostream& os, const NetworkStatus& status);

struct SuperPeerStatus {
  p2p::SuperPeerStats stats;

  // The peer's block (it holds no secret: the flag changes nothing).
  std::string to_string_with_secrets(bool with_secrets) const;
  std::string to_string_with_secrets(bool with_secrets, p2p::Instant now) const;
};

struct NodePeerStatus {
  p2p::NodePeerStats stats;

  std::string to_string_with_secrets(bool with_secrets) const;
  std::string to_string_with_secrets(bool with_secrets, p2p::Instant now) const;
};

struct Status {
  explicit Status(p2p::NodeOpts opts_) : opts(std::move(opts_)) {}

  VersionInfo version_info;
  std::optional<std::string> update_available;
  std::optional<UpdateStatus> update_status;
  AgentStatus agent_status = AgentStatus::CONNECTED;
  std::string config_path;
  p2p::NodeOpts opts;
  bool dns_disabled = false;
  std::uint16_t tun_mtu = 0;
  std::optional<std::chrono::nanoseconds> time_deviation;
  ControllerStatus controller = ControllerStatus::from_config(std::nullopt);
  p2p::PubKey default_route;
  std::unordered_map<p2p::PubKey, SuperPeerStatus> super_peers;
  std::unordered_map<p2p::PubKey, NodePeerStatus> node_peers;
  std::unordered_map<util::Url, NetworkStatus> networks;

  // Waits only for the State read lock (taken twice, released in between);
  // blocking locks are held one at a time and never across a wait.
  static boost::asio::awaitable<Status> from_agent(const Agent& agent);
  static boost::asio::awaitable<Status> from_agent(AgentInner& inner);

  std::string to_string_with_secrets(bool with_secrets) const;
  std::string to_string_with_secrets(bool with_secrets, p2p::Instant now) const;
};

// Five lines, the last without "\n": unanswered HELLO, last ACK, latency
// samples (ms, three decimals), their median (PeerPath::median_latency_us),
// reachability within 30 s. Super-peer and node-peer paths are one type.
std::string format_path(const p2p::PeerPath& path, p2p::Instant now);

// Time from `then` to `now` in the duration format below ("0s" when `then`
// is not before `now`).
std::string time_ago_in_words(p2p::Instant then, p2p::Instant now);
std::string time_ago_in_words(p2p::Instant then);

// Every non-zero unit, largest first, separated by spaces: years (365.25
// days) "1year"/"2years", months (30.44 days) "month(s)", days "day(s)",
// then "h", "m", "s", "ms", "us", "ns"; "0s" for zero. Nanoseconds of a
// second or more carry over into the seconds.
std::string format_duration(std::uint64_t seconds, std::uint32_t nanos);
// Negative durations are shown by their magnitude.
std::string format_duration(std::chrono::nanoseconds d);
std::string format_millis(std::uint64_t ms);

// The URL's text; with a user name or a password, both replaced by "****".
std::string mask_url(const util::Url& url);

// The body of the host's status request: from_agent, then the report
// without secrets.
boost::asio::awaitable<std::string> status_report(const Agent& agent);
boost::asio::awaitable<std::string> status_report(AgentInner& inner);

}  // namespace sarvolt::agent
