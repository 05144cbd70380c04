// Logging facade: one spdlog logger per event target (the emitting module's
// path, e.g. "sarvolt_agent::agent::config"). All loggers write to one shared
// distribution sink, which starts empty, so nothing is printed before a sink
// is installed. Use the SV_* macros so that off levels cost one compare.
#pragma once

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string_view>

namespace sarvolt::log {

// The logger for a target; created on first use, lives for the process.
spdlog::logger& target(std::string_view name);

// The sink every logger writes to; platform code adds real sinks here.
std::shared_ptr<spdlog::sinks::dist_sink_mt> shared_sink();

// Level applied to every target, present and future (starts at off).
void set_level(spdlog::level::level_enum level);

}  // namespace sarvolt::log

// Defines fn(), the logger of target `name` for the file that uses it.
#define SV_NAMED_LOGGER(fn, name)                                         \
  namespace {                                                             \
  [[maybe_unused]] spdlog::logger& fn() {                                 \
    static spdlog::logger& logger_ = ::sarvolt::log::target(name);        \
    return logger_;                                                       \
  }                                                                       \
  }
#define SV_LOGGER(name) SV_NAMED_LOGGER(lg, name)

#define SV_LOG_AT(logger, lvl, ...)                               \
  do {                                                            \
    auto& sv_logger_ = (logger);                                  \
    if (sv_logger_.should_log(lvl)) sv_logger_.log(lvl, __VA_ARGS__); \
  } while (0)
#define SV_TRACE(logger, ...) SV_LOG_AT(logger, spdlog::level::trace, __VA_ARGS__)
#define SV_DEBUG(logger, ...) SV_LOG_AT(logger, spdlog::level::debug, __VA_ARGS__)
#define SV_INFO(logger, ...) SV_LOG_AT(logger, spdlog::level::info, __VA_ARGS__)
#define SV_WARN(logger, ...) SV_LOG_AT(logger, spdlog::level::warn, __VA_ARGS__)
#define SV_ERROR(logger, ...) SV_LOG_AT(logger, spdlog::level::err, __VA_ARGS__)
