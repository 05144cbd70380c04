// The metrics the agent uploads to its controller on every pass with a
// shared secret:
//   send_metrics              error lines (controller networks in trouble,
//                             overlapping subnets, unreachable super peers),
//                             the record, PUT with HMAC; failures only logged
//   build_metrics_request     OS name and version (from uname / sysctl /
//                             sw_vers through the OS-facts runner), "aarch64",
//                             agent and UI versions, the error lines
//   find_overlapping_subnets  pairs of enabled networks whose desired TUN
//                             prefixes overlap
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "agent/inner.hpp"
#include "core/error.hpp"
#include "network/network.hpp"
#include "platform/controller_api/controller_api.hpp"
#include "platform/os/os_facts.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent {

enum class Os {
  MacOs,
  Windows,
  TvOs,
  IOs,
  IPadOs,
  Android,
  Linux,
  Ubuntu,
  Debian,
  Fedora,
  CentOs,
  Rhel,
  Arch,
  OpenSuse,
  Sles,
  Gentoo,
  Slackware,
  LinuxMint,
  ElementaryOs,
  Manjaro,
  Raspbian,
};

// "macOS", "iPadOS", "Linux Mint", ...
std::string_view to_string(Os os) noexcept;

struct SubnetConflict {
  util::Url first;
  util::Url second;
  util::Ipv4Net first_addr;
  util::Ipv4Net second_addr;
};

// Enabled networks with a desired TUN address, in map order; each pair once,
// the earlier network first.
std::vector<SubnetConflict> find_overlapping_subnets(const network::NetworkMap& networks);

// The version reported for `uname -r` text: "23.1.0" -> "19.1" (majors 5 to
// 103 with two dots and integer major and minor), otherwise unchanged.
std::string os_version_from_release(std::string_view release);

controller_api::UpdateNodeMetricsRequest build_metrics_request(const std::optional<std::string>& ui_version,
                                                               std::string error_lines,
                                                               const os::CommandRunner& run = os::command_runner());

// The error lines of the configuration's networks and the node's super
// peers, joined with "\n".
std::string metrics_error_lines(const AgentInner& inner, const AgentConfig& config);

// Fails only when the controller client cannot be built.
boost::asio::awaitable<util::Expected<void, core::Error>> send_metrics(AgentInner& inner, const std::string& secret,
                                                                       const std::optional<std::string>& ui_version,
                                                                       State& state);

}  // namespace sarvolt::agent
