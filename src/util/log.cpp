#include "util/log.hpp"

#include <map>
#include <mutex>
#include <string>

namespace sarvolt::log {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
  std::shared_ptr<spdlog::sinks::dist_sink_mt> sink = std::make_shared<spdlog::sinks::dist_sink_mt>();
  spdlog::level::level_enum level = spdlog::level::off;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: loggers outlive statics
  return *r;
}

}  // namespace

spdlog::logger& target(std::string_view name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.loggers.find(name);
  if (it == r.loggers.end()) {
    auto logger = std::make_shared<spdlog::logger>(std::string(name), r.sink);
    logger->set_level(r.level);
    it = r.loggers.emplace(std::string(name), std::move(logger)).first;
  }
  return *it->second;
}

std::shared_ptr<spdlog::sinks::dist_sink_mt> shared_sink() { return registry().sink; }

void set_level(spdlog::level::level_enum level) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.level = level;
  for (auto& [_, logger] : r.loggers) logger->set_level(level);
}

}  // namespace sarvolt::log
