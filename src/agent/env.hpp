// get_env: typed reads of the SARVOLT_* environment variables, anew at every
// call. An unset, non-UTF-8 or unparsable value gives the default; nothing is
// logged.
//   text      the value unchanged (no trimming)
//   unsigned  decimal digits with an optional leading '+', within the type
//   boolean   exactly "true" or "false"
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sarvolt::agent {

// The raw value of "SARVOLT_" + name, when set and valid UTF-8.
std::optional<std::string> get_env_raw(std::string_view name);

template <class T>
T get_env(std::string_view name, T def);
template <>
bool get_env(std::string_view name, bool def);
template <>
std::string get_env(std::string_view name, std::string def);
template <>
std::uint8_t get_env(std::string_view name, std::uint8_t def);
template <>
std::uint16_t get_env(std::string_view name, std::uint16_t def);
template <>
std::uint64_t get_env(std::string_view name, std::uint64_t def);

// SARVOLT_MIN_POW_DIFFICULTY, default 24.
std::uint8_t get_env_min_pow_difficulty();

}  // namespace sarvolt::agent
