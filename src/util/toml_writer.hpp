// Writing TOML text by hand, so that key order is ours: key/value lines,
// [table] and [[array]] headers separated by an empty line, pretty arrays
// (one element per line), basic strings with correct escaping.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sarvolt::util {

class TomlWriter {
 public:
  // A basic string: '"' and '\' escaped, control characters as \b \t \n \f \r or \uXXXX.
  static std::string quote(std::string_view s);

  void key_value(std::string_view key, std::string_view formatted_value);
  void string(std::string_view key, std::string_view value) { key_value(key, quote(value)); }
  void boolean(std::string_view key, bool value) { key_value(key, value ? "true" : "false"); }
  void integer(std::string_view key, long long value);
  // Array of strings, one element per line; empty gives "[]".
  void string_array(std::string_view key, const std::vector<std::string>& values);
  void table(std::string_view name);        // [name]
  void array_table(std::string_view name);  // [[name]]

  const std::string& str() const noexcept { return out_; }

 private:
  void header(std::string_view text);
  std::string out_;
};

}  // namespace sarvolt::util
