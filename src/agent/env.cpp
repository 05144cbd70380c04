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

namespace {

template <class Int>
Int get_unsigned(std::string_view name, Int def) {
  auto v = get_env_raw(name);
  if (!v) return def;
  auto n = util::parse_unsigned(*v, std::numeric_limits<Int>::max());
  return n ? static_cast<Int>(*n) : def;
}

}  // namespace

template <>
bool get_env(std::string_view name, bool def) {
  auto v = get_env_raw(name);
  if (!v) return def;
  if (*v == "true") return true;
  if (*v == "false") return false;
  return def;
}

template <>
std::string get_env(std::string_view name, std::string def) {
  auto v = get_env_raw(name);
  return v ? std::move(*v) : std::move(def);
}

template <>
std::uint8_t get_env(std::string_view name, std::uint8_t def) {
  return get_unsigned(name, def);
}

template <>
std::uint16_t get_env(std::string_view name, std::uint16_t def) {
  return get_unsigned(name, def);
}

template <>
std::uint64_t get_env(std::string_view name, std::uint64_t def) {
  return get_unsigned(name, def);
}

std::uint8_t get_env_min_pow_difficulty() {
  return get_env("MIN_POW_DIFFICULTY", static_cast<std::uint8_t>(24));
}

}  // namespace sarvolt::agent
