#include "agent/env.hpp"

#include <cstdlib>
#include <limits>

#include "util/text.hpp"

namespace sarvolt::agent {

std::optional<std::string> get_env_raw(std::string_view name) {
  std::string full = "SARVOLT_";
  full += name;
  const char* v = std::getenv(full.c_str());
  if (!v) return std::nullopt;
  std::string value(v);
  if (!util::is_valid_utf8(value)) return std::nullopt;
  return value;
}

bool get_env(std::string_view name, bool def) {
  auto v = get_env_raw(name);
  if (!v) return def;
  if (*v == "true") return true;
  if (*v == "false") return false;
  return def;
}

std::uint8_t get_env(std::string_view name, std::uint8_t def) {
  auto v = get_env_raw(name);
  if (!v) return def;
  auto n = util::parse_unsigned(*v, std::numeric_limits<std::uint8_t>::max());
  return n ? static_cast<std::uint8_t>(*n) : def;
}

std::uint8_t get_env_min_pow_difficulty() {
  return get_env("MIN_POW_DIFFICULTY", static_cast<std::uint8_t>(24));
}

}  // namespace sarvolt::agent
