// The error of reading a TOML document into typed values: a message, the key
// path it concerns and, where known, the line and column. Kept apart from the
// reader so that users of the error need not include the TOML library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/expected.hpp"

namespace sarvolt::util::toml_read {

struct Error {
  std::string message;
  std::vector<std::string> key_path;  // outermost first
  std::optional<std::pair<std::uint32_t, std::uint32_t>> at;  // line, column (1-based)

  std::string to_string() const;
};

template <class T>
using Result = Expected<T, Error>;

}  // namespace sarvolt::util::toml_read
