// Stand-in for the operating-system facts: a command runner for the tools
// that report them (uname, sysctl, sw_vers). Commands run without a shell
// (argv, looked up on PATH), with stdin and stderr on /dev/null, a time
// limit and an output cap; a command that cannot start, runs too long or
// prints too much gives nothing. The runner in use is process-wide and can
// be replaced (tests inject canned answers).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sarvolt::os {

struct CommandLimits {
  std::chrono::milliseconds timeout{2000};
  std::size_t max_output = 64 * 1024;
};

// The command's standard output (raw bytes), whatever its exit status; absent
// when it could not be started, did not end within the time limit (it is
// killed, with its process group) or printed more than the cap.
std::optional<std::string> run_command(const std::string& program, const std::vector<std::string>& args,
                                       const CommandLimits& limits = {});

using CommandRunner =
    std::function<std::optional<std::string>(const std::string& program, const std::vector<std::string>& args)>;

// The runner in use (run_command with the default limits unless replaced).
CommandRunner command_runner();
// Replaces the runner (an empty one restores the default); returns the old one.
CommandRunner set_command_runner(CommandRunner runner);

}  // namespace sarvolt::os
