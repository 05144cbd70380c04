// Stand-in for the system's unified log: a sink that writes the agent's log
// lines to stderr as entries of subsystem "sarvolt-agent", category
// "default". Levels map onto the log's entry types:
//   TRACE -> debug, DEBUG -> info, INFO -> default, WARN -> error, ERROR -> fault
#pragma once

#include <string_view>

#include <spdlog/common.h>

namespace sarvolt::unified_log {

// The entry type a level is written as.
std::string_view entry_type(spdlog::level::level_enum level) noexcept;

// Installs the sink for every level, once per process; false when a sink was
// installed already (nothing changes then).
bool install();

}  // namespace sarvolt::unified_log
