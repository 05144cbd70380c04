#include "util/toml_reader.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "util/text.hpp"

namespace sarvolt::util::toml_read {
namespace {

std::optional<std::pair<std::uint32_t, std::uint32_t>> position(const toml::node* n) {
  if (!n) return std::nullopt;
  const auto& src = n->source();
  if (src.begin.line == 0) return std::nullopt;
  return std::make_pair(src.begin.line, src.begin.column);
}

std::string float_text(double d) {
  std::string s = fmt::format("{}", d);
  if (s.find_first_of(".eEna") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

std::string Error::to_string() const {
  std::string out = message;
  if (!key_path.empty()) out += fmt::format(" for key `{}`", fmt::join(key_path, "."));
  if (at) out += fmt::format(" at line {} column {}", at->first, at->second);
  return out;
}

Result<toml::table> parse_document(std::string_view text) {
  try {
    return toml::parse(text, std::string_view{});
  } catch (const toml::parse_error& e) {
    Error err{std::string(e.description()), {}, std::nullopt};
    if (e.source().begin.line != 0) err.at = std::make_pair(e.source().begin.line, e.source().begin.column);
    return Unexpected(std::move(err));
  }
}

std::vector<std::pair<std::string_view, const toml::node*>> entries_in_order(const toml::table& t) {
  std::vector<std::pair<std::string_view, const toml::node*>> out;
  out.reserve(t.size());
  for (const auto& [k, v] : t) out.emplace_back(k.str(), &v);
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    const auto& pa = a.second->source().begin;
    const auto& pb = b.second->source().begin;
    return std::tie(pa.line, pa.column) < std::tie(pb.line, pb.column);
  });
  return out;
}

namespace {

// The value's kind without the value, for values that may be secret.
std::string kind_of(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::string: return "string";
    case toml::node_type::integer: return "integer";
    case toml::node_type::floating_point: return "floating point";
    case toml::node_type::boolean: return "boolean";
    case toml::node_type::array: return "sequence";
    case toml::node_type::table: return "map";
    default: return "datetime";
  }
}

}  // namespace

std::string describe(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::string: return "string " + quoted_debug(*n.value<std::string_view>());
    case toml::node_type::integer: return fmt::format("integer `{}`", *n.value<std::int64_t>());
    case toml::node_type::floating_point: return fmt::format("floating point `{}`", float_text(*n.value<double>()));
    case toml::node_type::boolean: return fmt::format("boolean `{}`", *n.value<bool>());
    case toml::node_type::array: return "sequence";
    case toml::node_type::table: return "map";
    default: return "datetime";
  }
}

Error located(std::string message, const toml::node* at) { return Error{std::move(message), {}, position(at)}; }

Error invalid_type(const toml::node& n, std::string_view expected, bool secret) {
  const std::string what = secret ? kind_of(n) : describe(n);
  return located(fmt::format("invalid type: {}, expected {}", what, expected), &n);
}

Error missing_field(std::string_view name, const toml::node* at) {
  return located(fmt::format("missing field `{}`", name), at);
}

Error invalid_length(std::size_t len, std::string_view expected, const toml::node* at) {
  return located(fmt::format("invalid length {}, expected {}", len, expected), at);
}

Error within(Error e, std::string_view key) {
  e.key_path.insert(e.key_path.begin(), std::string(key));
  return e;
}

Result<std::string> read_string(const toml::node& n) {
  if (auto v = n.value_exact<std::string>()) return std::move(*v);
  return Unexpected(invalid_type(n, "a string"));
}

Result<std::string> read_secret_string(const toml::node& n) {
  if (auto v = n.value_exact<std::string>()) return std::move(*v);
  return Unexpected(invalid_type(n, "a string", /*secret=*/true));
}

Result<bool> read_bool(const toml::node& n) {
  if (auto v = n.value_exact<bool>()) return *v;
  return Unexpected(invalid_type(n, "a boolean"));
}

Result<const toml::table*> read_table(const toml::node& n, std::string_view expected, bool secret) {
  if (const auto* t = n.as_table()) return t;
  return Unexpected(invalid_type(n, expected, secret));
}

Result<const toml::array*> read_array(const toml::node& n) {
  if (const auto* a = n.as_array()) return a;
  return Unexpected(invalid_type(n, "a sequence"));
}

Result<std::int64_t> read_integer(const toml::node& n, std::int64_t min, std::int64_t max,
                                  std::string_view type_name) {
  auto v = n.value_exact<std::int64_t>();
  if (!v) return Unexpected(invalid_type(n, type_name));
  if (*v < min || *v > max)
    return Unexpected(located(fmt::format("invalid value: integer `{}`, expected {}", *v, type_name), &n));
  return *v;
}

}  // namespace sarvolt::util::toml_read
