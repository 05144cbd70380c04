#include "util/toml_writer.hpp"

#include <fmt/format.h>

namespace sarvolt::util {

std::string TomlWriter::quote(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F)
          out += fmt::format("\\u{:04X}", c);
        else
          out += ch;
    }
  }
  out += '"';
  return out;
}

void TomlWriter::key_value(std::string_view key, std::string_view formatted_value) {
  out_ += key;
  out_ += " = ";
  out_ += formatted_value;
  out_ += '\n';
}

void TomlWriter::integer(std::string_view key, long long value) { key_value(key, fmt::format("{}", value)); }

void TomlWriter::string_array(std::string_view key, const std::vector<std::string>& values) {
  if (values.empty()) {
    key_value(key, "[]");
    return;
  }
  std::string v = "[\n";
  for (const auto& s : values) v += "    " + quote(s) + ",\n";
  v += "]";
  key_value(key, v);
}

void TomlWriter::header(std::string_view text) {
  if (!out_.empty()) out_ += '\n';
  out_ += text;
  out_ += '\n';
}

void TomlWriter::table(std::string_view name) { header(fmt::format("[{}]", name)); }
void TomlWriter::array_table(std::string_view name) { header(fmt::format("[[{}]]", name)); }

}  // namespace sarvolt::util
