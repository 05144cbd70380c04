#include "platform/log/unified_log.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>

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

bool install() {
  if (g_installed.exchange(true)) return false;
  log::shared_sink()->add_sink(std::make_shared<Sink>());
  log::set_level(spdlog::level::trace);
  return true;
}

}  // namespace sarvolt::unified_log
