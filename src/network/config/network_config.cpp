#include "network/config/network_config.hpp"

#include <functional>
#include <span>
#include <stdexcept>
#include <utility>

#include <boost/uuid/string_generator.hpp>
#include <fmt/format.h>

#include "util/text.hpp"
#include "util/toml_reader.hpp"

namespace sarvolt::network {
namespace {

namespace tr = util::toml_read;
using util::Unexpected;
using MaybeError = std::optional<tr::Error>;

// --- single values ---------------------------------------------------------

tr::Result<PubKey> read_pubkey(const toml::node& value) {
  auto text = tr::read_string(value);
  if (!text) return Unexpected(std::move(text).error());
  auto pk = PubKey::from_str(*text);
  if (!pk) return Unexpected(tr::located(pk.error().message(), &value));
  return *pk;
}

tr::Result<Ipv4Addr> read_ipv4_addr(const toml::node& value) {
  auto text = value.value_exact<std::string>();
  if (!text) return Unexpected(tr::invalid_type(value, "IPv4 address"));
  auto ip = Ipv4Addr::parse(*text);
  if (!ip) return Unexpected(tr::located(std::move(ip).error(), &value));
  return *ip;
}

tr::Result<Ipv4Net> read_ipv4_net(const toml::node& value) {
  auto text = value.value_exact<std::string>();
  if (!text) return Unexpected(tr::invalid_type(value, "IPv4 network address"));
  auto net = Ipv4Net::parse(*text);
  if (!net) return Unexpected(tr::located(std::move(net).error(), &value));
  return *net;
}

// Accepted forms: 32 hex digits, hyphenated 8-4-4-4-12, the hyphenated form
// in braces, and "urn:uuid:" followed by the hyphenated form. Hex digits of
// either case.
std::optional<boost::uuids::uuid> parse_uuid(std::string_view text) {
  constexpr std::string_view kUrn = "urn:uuid:";
  std::string_view body = text;
  if (body.starts_with(kUrn)) {
    body.remove_prefix(kUrn.size());
    if (body.size() != 36) return std::nullopt;
  } else if (body.size() == 38) {
    if (body.front() != '{' || body.back() != '}') return std::nullopt;
    body = body.substr(1, 36);
  } else if (body.size() != 32 && body.size() != 36) {
    return std::nullopt;
  }
  // The generator takes the hyphens from the character after the first
  // eight digits and then wants them at every group boundary; it throws on
  // any other character or on text left over.
  try {
    return boost::uuids::string_generator()(body.begin(), body.end());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

tr::Result<boost::uuids::uuid> read_uuid(const toml::node& value) {
  auto text = value.value_exact<std::string>();
  if (!text) return Unexpected(tr::invalid_type(value, "a UUID string"));
  auto id = parse_uuid(*text);
  if (!id)
    return Unexpected(tr::located(
        "UUID parsing failed: invalid UUID text, expected 32 hexadecimal digits, plain or "
        "hyphenated as 8-4-4-4-12",
        &value));
  return *id;
}

// --- records ----------------------------------------------------------------

// One field of a record in declaration order: its key, whether it must be
// present, and how its value is stored into the record being built.
struct Field {
  std::string_view name;
  bool required;
  std::function<MaybeError(const toml::node&)> read;
};

template <class T, class Out>
Field field(std::string_view name, bool required, tr::Result<T> (*reader)(const toml::node&), Out& out) {
  return Field{name, required, [reader, &out](const toml::node& value) -> MaybeError {
                 auto r = reader(value);
                 if (!r) return std::move(r).error();
                 out = std::move(*r);
                 return std::nullopt;
               }};
}

bool is_datetime(const toml::node& value) {
  return value.is_date() || value.is_time() || value.is_date_time();
}

// Reads a record ("struct <name>") from a table, from an array of its values
// in declaration order, or from a date-time (a record without keys).
//
// Table: keys are visited in ascending byte order of their names; toml++
// keeps them in a std::map ordered by std::string's comparison, which
// compares bytes as unsigned char. Unknown keys are skipped. The first value
// that fails to read wins; only then is the first absent required field, in
// declaration order, reported.
//
// Array: element i is field i. Elements are read in order, so a bad element
// is reported before a wrong length; any length other than the number of
// fields (too short or too long) fails with "invalid length".
MaybeError read_record(const toml::node& value, std::string_view struct_name, std::span<const Field> fields) {
  if (const auto* table = value.as_table()) {
    std::vector<char> seen(fields.size(), 0);
    for (const auto& [key, node] : *table) {
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name != key.str()) continue;
        if (auto err = fields[i].read(node)) return tr::within(std::move(*err), key.str());
        seen[i] = 1;
      }
    }
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (fields[i].required && !seen[i]) return tr::missing_field(fields[i].name, &value);
    return std::nullopt;
  }
  if (const auto* array = value.as_array()) {
    const std::size_t given = array->size();
    for (std::size_t i = 0; i < fields.size() && i < given; ++i)
      if (auto err = fields[i].read(*array->get(i))) return err;
    if (given != fields.size())
      return tr::invalid_length(given, fmt::format("struct {} with {} elements", struct_name, fields.size()),
                                &value);
    return std::nullopt;
  }
  if (is_datetime(value)) {
    for (const auto& f : fields)
      if (f.required) return tr::missing_field(f.name, &value);
    return std::nullopt;
  }
  return tr::invalid_type(value, fmt::format("struct {}", struct_name));
}

tr::Result<GroupSet> deserialize_groups(const toml::node& value) {
  auto array = tr::read_array(value);
  if (!array) return Unexpected(std::move(array).error());
  GroupSet groups;
  for (const auto& el : **array) {
    auto name = tr::read_string(el);
    if (!name) return Unexpected(std::move(name).error());
    groups.insert(std::move(*name));
  }
  return groups;
}

tr::Result<NetworkNode> read_node(const toml::node& value) {
  NetworkNode n;
  const Field fields[] = {
      field("pk", true, read_pubkey, n.pk),
      field("ip", true, read_ipv4_addr, n.ip),
      field("hostname", true, tr::read_string, n.hostname),
      field("groups", false, deserialize_groups, n.groups),
  };
  if (auto err = read_record(value, "NetworkNode", fields)) return Unexpected(std::move(*err));
  return n;
}

tr::Result<NetworkRoute> read_route(const toml::node& value) {
  NetworkRoute r;
  const Field fields[] = {
      field("dest", true, read_ipv4_net, r.dest),
      field("gw", true, read_pubkey, r.gw),
      field("groups", false, deserialize_groups, r.groups),
  };
  if (auto err = read_record(value, "NetworkRoute", fields)) return Unexpected(std::move(*err));
  return r;
}

tr::Result<NetworkPolicy> read_policy(const toml::node& value) {
  NetworkPolicy p;
  const Field fields[] = {
      field("source_groups", true, deserialize_groups, p.source_groups),
      field("destination_groups", true, deserialize_groups, p.destination_groups),
  };
  if (auto err = read_record(value, "NetworkPolicy", fields)) return Unexpected(std::move(*err));
  return p;
}

template <class T>
tr::Result<std::vector<T>> read_list(const toml::node& value, tr::Result<T> (*reader)(const toml::node&)) {
  auto array = tr::read_array(value);
  if (!array) return Unexpected(std::move(array).error());
  std::vector<T> out;
  out.reserve((*array)->size());
  for (const auto& el : **array) {
    auto item = reader(el);
    if (!item) return Unexpected(std::move(item).error());
    out.push_back(std::move(*item));
  }
  return out;
}

// Duplicates are reported at the whole array.
tr::Result<std::map<PubKey, NetworkNode>> deserialize_nodes(const toml::node& value) {
  auto list = read_list(value, read_node);
  if (!list) return Unexpected(std::move(list).error());
  std::map<PubKey, NetworkNode> nodes;
  std::set<Ipv4Addr> ips;
  std::set<std::string> names;
  for (auto& n : *list) {
    if (nodes.contains(n.pk))
      return Unexpected(tr::located(fmt::format("duplicate public key: {}", n.pk), &value));
    if (!ips.insert(n.ip).second)
      return Unexpected(tr::located(fmt::format("duplicate IP address: {}", n.ip), &value));
    // Compared by full Unicode lower-casing, so controller entries, which
    // are not validated, cannot hold "Ärger" beside "ärger".
    if (!names.insert(util::to_lower_unicode(n.hostname)).second)
      return Unexpected(tr::located("duplicate hostname: " + n.hostname, &value));
    PubKey key = n.pk;
    nodes.emplace(key, std::move(n));
  }
  return nodes;
}

tr::Result<std::map<Ipv4Net, NetworkRoute>> deserialize_routes(const toml::node& value) {
  auto list = read_list(value, read_route);
  if (!list) return Unexpected(std::move(list).error());
  std::map<Ipv4Net, NetworkRoute> routes;
  for (auto& r : *list) {
    Ipv4Net dest = r.dest;
    if (!routes.emplace(dest, std::move(r)).second)
      return Unexpected(tr::located(fmt::format("duplicate route destination: {}", dest), &value));
  }
  return routes;
}

// Equal policies collapse silently.
tr::Result<std::set<NetworkPolicy>> deserialize_policies(const toml::node& value) {
  auto list = read_list(value, read_policy);
  if (!list) return Unexpected(std::move(list).error());
  std::set<NetworkPolicy> policies;
  for (auto& p : *list) policies.insert(std::move(p));
  return policies;
}

// --- validation -------------------------------------------------------------

bool is_ascii_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// One DNS label: 1 to 63 bytes of letters (either case), digits and hyphens,
// not starting or ending with a hyphen. Checked on the name as written: a
// non-ASCII byte is refused outright, since lower-casing can turn a
// non-ASCII letter into an ASCII one (U+212A KELVIN SIGN becomes 'k').
bool valid_hostname(std::string_view name) {
  if (name.empty() || name.size() > 63) return false;
  if (name.front() == '-' || name.back() == '-') return false;
  for (unsigned char c : name)
    if (!is_ascii_alnum(c) && c != '-') return false;
  return true;
}

std::optional<ConfigError> validate(const NetworkConfig& c) {
  const std::uint32_t first = c.network.network().to_u32();
  const std::uint32_t last = c.network.broadcast().to_u32();
  const Ipv4Addr reserved(last - 1);  // wraps below 0.0.0.0
  for (const auto& [pk, n] : c.node) {
    const std::uint32_t ip = n.ip.to_u32();
    if (ip < first || ip > last) return ConfigError::not_in_network(n.ip, c.network);
    if (n.ip == reserved) return ConfigError::reserved(reserved);
    if (!valid_hostname(n.hostname)) return ConfigError::invalid_hostname(n.hostname);
  }
  for (const auto& [dest, r] : c.route) {
    if (r.dest.addr() != r.dest.network()) return ConfigError::host_address(r.dest);
    if (!c.node.contains(r.gw)) return ConfigError::gateway_not_found(r.gw);
  }
  return std::nullopt;
}

// Reads a parsed document (no validation beyond the duplicate checks).
tr::Result<NetworkConfig> read_network_config(const toml::node& value) {
  NetworkConfig c;
  const Field fields[] = {
      field("id", false, read_uuid, c.id),
      field("network", true, read_ipv4_net, c.network),
      field("name", false, tr::read_string, c.name),
      field("node", false, deserialize_nodes, c.node),
      field("route", false, deserialize_routes, c.route),
      field("policy", false, deserialize_policies, c.policy),
  };
  if (auto err = read_record(value, "NetworkConfig", fields)) return Unexpected(std::move(*err));
  return c;
}

}  // namespace


util::Expected<NetworkConfig, tr::Error> read_network_config(std::string_view text) {
  auto doc = tr::parse_document(text);
  if (!doc) return Unexpected(std::move(doc).error());
  return read_network_config(*doc);
}

util::Expected<MultiNetworkConfig, tr::Error> read_multi_network_config(std::string_view text) {
  auto doc = tr::parse_document(text);
  if (!doc) return Unexpected(std::move(doc).error());
  const toml::node* list = doc->get("network");
  if (!list) return Unexpected(tr::missing_field("network", &*doc));
  auto configs = read_list(*list, read_network_config);
  if (!configs) return Unexpected(tr::within(std::move(configs).error(), "network"));
  return MultiNetworkConfig{std::move(*configs)};
}

util::Expected<NetworkConfig, ConfigError> NetworkConfig::try_from(std::string_view text) {
  auto doc = tr::parse_document(text);
  if (!doc) return Unexpected(ConfigError::toml(doc.error().to_string()));
  auto config = read_network_config(*doc);
  if (!config) return Unexpected(ConfigError::toml(config.error().to_string()));
  if (auto err = validate(*config)) return Unexpected(std::move(*err));
  return std::move(*config);
}

std::optional<Ipv4Addr> NetworkConfig::ip(const PubKey& pk) const {
  auto it = node.find(pk);
  if (it == node.end()) return std::nullopt;
  return it->second.ip;
}

std::map<std::string, std::set<PubKey>> NetworkConfig::groups() const {
  std::map<std::string, std::set<PubKey>> out;
  for (const auto& [pk, n] : node)
    for (const auto& g : n.groups) out[g].insert(pk);
  return out;
}

}  // namespace sarvolt::network
