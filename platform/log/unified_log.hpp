// Stand-in for the system's unified log: a sink that writes the agent's log
// lines to stderr as entries of subsystem "sarvolt-agent", category
// "default". Levels map onto the log's entry types:
//   TRACE -> debug, DEBUG -> info, INFO -> default, WARN -> error, ERROR -> fault
// Like a system log, stderr shows INFO and above unless SARVOLT_LOG names
// another level (trace, debug, info, warn, error); the loggers are set to
// the same level, so lines below it cost one compare.
#pragma once

#include <optional>
#include <string_view>

#include <spdlog/common.h>

namespace sarvolt::unified_log {

// The entry type a level is written as.
std::string_view entry_type(spdlog::level::level_enum level) noexcept;

// The level a SARVOLT_LOG value names (case does not matter); nullopt for
// anything else.
std::optional<spdlog::level::level_enum> level_named(std::string_view name) noexcept;

// Installs the sink, once per process; false when a sink was
// installed already (nothing changes then). The sink shows what SARVOLT_LOG
// asks for, INFO and above by default.
bool install();

}  // namespace sarvolt::unified_log
