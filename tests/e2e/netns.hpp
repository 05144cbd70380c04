// Shared pieces of the end-to-end tests: the process moves into a network
// namespace of its own (main() does it before any thread starts), finds the
// tools it drives, runs bounded commands and opens TUN devices there.
#pragma once

#include <string>
#include <vector>

namespace sarvolt::test {

// Why the e2e tests cannot run here (not root, no /dev/net/tun, no private
// namespace, a missing program), or empty when they can.
std::string e2e_skip_reason(const std::vector<std::string>& programs);

// True while this thread is in the namespace main() created.
bool in_private_netns();

// Absolute path of an executable, from PATH and then the usual sbin/bin dirs.
std::string find_program(const std::string& name);

struct CommandResult {
  int exit_code = -1;
  std::string output;
};
// Runs a bounded command through the shell, stderr folded into stdout.
CommandResult run(const std::string& cmd);

// Opens a non-persistent TUN device without packet info; -1 and `err` set on
// failure.
int open_tun(const char* name, std::string& err);

// Brings up lo in the private namespace and opens TUN device `name` there;
// -1 and `err` set on failure. Refuses outside the private namespace.
int open_tun_in_private_netns(const char* name, std::string& err);

}  // namespace sarvolt::test
