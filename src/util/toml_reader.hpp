// Reading TOML documents into typed values with exact, stable error texts:
//   "missing field `x`", "invalid type: string \"a\", expected i32",
//   "invalid value: integer `70000`, expected u16", and custom messages,
// followed by " for key `a.b`" and " at line L column C" where known.
// Syntax errors carry the parser's description and position, never the
// source line. Table entries are visited in document order.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

#include "util/expected.hpp"
#include "util/toml_error.hpp"

namespace sarvolt::util::toml_read {

Result<toml::table> parse_document(std::string_view text);

// The table's entries in the order they appear in the document.
std::vector<std::pair<std::string_view, const toml::node*>> entries_in_order(const toml::table& t);

// How a value is described in type errors: `string "x"`, "integer `5`", "sequence", "map", ...
std::string describe(const toml::node& n);

Error located(std::string message, const toml::node* at);
// With `secret`, the value itself is left out of the message ("string").
Error invalid_type(const toml::node& n, std::string_view expected, bool secret = false);
Error missing_field(std::string_view name, const toml::node* at);
// "invalid length {len}, expected {expected}"
Error invalid_length(std::size_t len, std::string_view expected, const toml::node* at);
// Adds `key` in front of the error's key path.
Error within(Error e, std::string_view key);

Result<std::string> read_string(const toml::node& n);  // expected "a string"
// As read_string, but a value of the wrong type is not echoed.
Result<std::string> read_secret_string(const toml::node& n);
Result<bool> read_bool(const toml::node& n);           // expected "a boolean"
Result<const toml::table*> read_table(const toml::node& n, std::string_view expected, bool secret = false);
Result<const toml::array*> read_array(const toml::node& n);  // expected "a sequence"
Result<std::int64_t> read_integer(const toml::node& n, std::int64_t min, std::int64_t max,
                                  std::string_view type_name);

template <class Int>
Result<Int> read_int(const toml::node& n, std::string_view type_name) {
  auto v = read_integer(n, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(), type_name);
  if (!v) return Unexpected(std::move(v).error());
  return static_cast<Int>(*v);
}

}  // namespace sarvolt::util::toml_read
