// State: the agent's mutable state behind its read-write lock: the running
// configuration with its networks, what the status report shows beside it,
// the addressing last handed to the host, and the login state.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "agent/config.hpp"
#include "agent/network_listener.hpp"
#include "core/error.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent {

enum class LoginStatus { Pending, Expired, AccessDenied, Error, Success };
enum class UpdateStatus { Downloading, Installing };

// Nothing sets it yet; the status model carries it.
struct LoginState {
  std::optional<LoginStatus> status;
};

struct State {
  explicit State(AgentConfig c) : config(std::move(c)) {}

  AgentConfig config;
  std::optional<std::string> update_available;
  std::optional<UpdateStatus> update_status;
  std::optional<std::string> ui_version;
  std::optional<NetworkChange> last_network_change;
  LoginState login_state;
  // Deviation of the local clock; no time source here, so always absent.
  std::optional<std::chrono::nanoseconds> time_deviation;
  // A change of the file's content that no save has written yet.
  bool save_pending = false;

  util::Expected<void, core::Error> save_config(const std::filesystem::path& path) const { return config.save(path); }
};

}  // namespace sarvolt::agent
