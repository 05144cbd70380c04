// The controller's network list reader. The list reads exactly when the
// document parses, has a `network` array and every entry reads on its own;
// each entry that is a table reads, written out as a document by itself,
// to the same record; entries keep the duplicate checks.
#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

#include "fuzz_support.hpp"
#include "network/config/network_config.hpp"
#include "util/text.hpp"

using namespace sarvolt;

SARVOLT_FUZZ_TARGET {
  const std::string_view text = in.text();
  const auto list = network::read_multi_network_config(text);

  toml::table doc;
  try {
    doc = toml::parse(text, std::string_view{});
  } catch (const toml::parse_error&) {
  }
  const toml::array* entries = doc["network"].as_array();
  FUZZ_CHECK(entries || !list, "a list that does not parse or has no network array reads");
  if (!entries) return;
  // Entries that are tables, read one by one as documents of their own.
  bool every_entry_reads = true;
  std::vector<std::optional<network::NetworkConfig>> alone;
  for (const auto& el : *entries) {
    alone.emplace_back();
    toml::table copy = el.is_table() ? *el.as_table() : toml::table{};
    copy.is_inline(false);  // a document, not an inline table value
    std::ostringstream out;
    out << toml::toml_formatter(copy);
    if (auto one = network::read_network_config(out.str()); one && el.is_table()) alone.back() = std::move(*one);
    every_entry_reads = every_entry_reads && alone.back();
  }
  FUZZ_CHECK(list || !every_entry_reads, "every entry reads alone but the list does not");
  if (!list) return;
  FUZZ_CHECK(list->network.size() == entries->size());
  for (std::size_t i = 0; i < alone.size(); ++i) {
    const auto& entry = list->network[i];
    if (entries->get(i)->is_table())
      FUZZ_CHECK(alone[i] && *alone[i] == entry, "entry " + std::to_string(i) + " reads differently alone");
    std::set<util::Ipv4Addr> ips;
    std::set<std::string> names;
    for (const auto& [pk, n] : entry.node)
      FUZZ_CHECK(pk == n.pk && ips.insert(n.ip).second && names.insert(util::to_lower_unicode(n.hostname)).second,
                 "duplicate address or host name kept");
    for (const auto& [dest, r] : entry.route) FUZZ_CHECK(dest == r.dest);
  }
}
