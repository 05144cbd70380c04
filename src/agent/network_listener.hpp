// NetworkChange: the addressing the host must give the tunnel interface (the
// applied TUN addresses, the routes through other nodes, the DNS server
// address), and the step that hands it to the host's listener after an apply
// when it differs from the one the listener last got.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/ipv4.hpp"

namespace sarvolt::agent {

struct NetworkChange {
  std::optional<std::vector<util::Ipv4Net>> ips;     // sorted
  std::optional<std::vector<util::Ipv4Net>> routes;  // sorted, duplicates kept
  std::optional<util::Ipv4Addr> dns_server;

  friend bool operator==(const NetworkChange&, const NetworkChange&) = default;
  // "NetworkChange { ips: Some([10.0.0.1/24]), routes: Some([]), dns_server: None }"
  std::string debug() const;
};

// Receives every change; runs on a runtime thread inside the housekeeping
// pass, with the agent's state locked.
using NetworkListener = std::function<void(NetworkChange)>;

class AgentInner;
struct State;

// Computes the change from the current states and, when it differs from the
// last one, stores it and calls the listener.
void notify_on_network_change(const AgentInner& inner, State& state);

}  // namespace sarvolt::agent
