// Shared pieces of the end-to-end tests: the process moves into a network
// namespace of its own (main() does it before any thread starts), finds the
// tools it drives, runs bounded commands and opens TUN devices there.
#pragma once

#include <string>
#include <vector>

#include "../support.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::test {

// Why the e2e tests cannot run here (not root, no /dev/net/tun, no private
// namespace, a missing program), or empty when they can.
std::string e2e_skip_reason(const std::vector<std::string>& programs);

// Absolute path of an executable, from PATH and then the usual sbin/bin dirs.
std::string find_program(const std::string& name);

struct CommandResult {
  int exit_code = -1;
  std::string output;
};
// Runs a bounded command through the shell, stderr folded into stdout.
CommandResult run(const std::string& cmd);

// Brings up lo in the private namespace and opens the non-persistent TUN
// device `name` (no packet info) there; -1 and `err` set on failure. Refuses
// outside the private namespace.
int open_tun_in_private_netns(const char* name, std::string& err);

// The ICMP echo reply to an echo request for `to`; false (and `p` unchanged)
// for anything else.
bool echo_reply(Bytes& p, util::Ipv4Addr to);

}  // namespace sarvolt::test
