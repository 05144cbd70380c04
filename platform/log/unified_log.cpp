#include "platform/log/unified_log.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/sinks/base_sink.h>

#include "util/log.hpp"

namespace sarvolt::unified_log {

namespace {

class Sink final : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const auto line = fmt::format("{:%Y-%m-%d %H:%M:%S} sarvolt-agent[default] <{}> {}: {}\n", msg.time,
                                  entry_type(msg.level), std::string_view(msg.logger_name.data(), msg.logger_name.size()),
                                  std::string_view(msg.payload.data(), msg.payload.size()));
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  void flush_() override { std::fflush(stderr); }
};

std::atomic<bool> g_installed{false};

}  // namespace

std::string_view entry_type(spdlog::level::level_enum level) noexcept {
  switch (level) {
    case spdlog::level::trace: return "debug";
    case spdlog::level::debug: return "info";
    case spdlog::level::info: return "default";
    case spdlog::level::warn: return "error";
    default: return "fault";
  }
}

std::optional<spdlog::level::level_enum> level_named(std::string_view name) noexcept {
  constexpr std::pair<std::string_view, spdlog::level::level_enum> kNames[] = {
      {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug}, {"info", spdlog::level::info},
      {"warn", spdlog::level::warn},   {"error", spdlog::level::err}};
  for (const auto& [text, level] : kNames) {
    if (name.size() != text.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      const char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
      same = c == text[i];
    }
    if (same) return level;
  }
  return std::nullopt;
}

bool install() {
  if (g_installed.exchange(true)) return false;
  auto sink = std::make_shared<Sink>();
  const char* wanted = std::getenv("SARVOLT_LOG");
  const auto level = wanted && *wanted ? level_named(wanted) : std::optional(spdlog::level::info);
  sink->set_level(level.value_or(spdlog::level::info));
  log::shared_sink()->add_sink(sink);
  // Loggers sit at the level shown, so a line nobody sees is never formatted.
  log::set_level(level.value_or(spdlog::level::info));
  if (!level) {
    log::target("sarvolt_agent::log")
        .warn("SARVOLT_LOG={} is not a level (trace, debug, info, warn, error); showing info", wanted);
  }
  return true;
}

}  // namespace sarvolt::unified_log
