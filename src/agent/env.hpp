// get_env: typed reads of the SARVOLT_* environment variables, anew at every
// call. An unset, empty, non-UTF-8 or unparsable value gives the default;
// nothing is logged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sarvolt::agent {

// The raw value of "SARVOLT_" + name, when set and valid UTF-8.
std::optional<std::string> get_env_raw(std::string_view name);

// Exactly "true" or "false"; anything else gives `def`.
bool get_env(std::string_view name, bool def);
// Decimal digits with an optional single leading '+', within the type's range.
std::uint8_t get_env(std::string_view name, std::uint8_t def);

// SARVOLT_MIN_POW_DIFFICULTY, default 24.
std::uint8_t get_env_min_pow_difficulty();

}  // namespace sarvolt::agent
