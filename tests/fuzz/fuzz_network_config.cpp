// The network document reader and its validation, and the lists derived
// from a document for each of its members:
//  - try_from succeeds only where reading succeeds, with the same document;
//    a reading failure is try_from's TOML error with the same text;
//  - a validated document's derivations never fail except for a duplicate
//    rule, every rule names a member other than us, the tries hold exactly
//    the allowing rules, routes go through member addresses;
//  - a document that only reads (as controller entries do) may fail its
//    derivations only with the two documented kinds.
#include <algorithm>
#include <map>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "network/config/effective.hpp"
#include "network/config/network_config.hpp"

using namespace sarvolt;
using network::Action;
using network::ConfigError;
using network::Direction;
using network::NetworkConfig;
using util::Ipv4Net;

namespace {

// The trie holds exactly the expected (outer, inner) entries.
bool same(const network::RuleTrie& trie, const std::map<std::pair<Ipv4Net, Ipv4Net>, p2p::PubKey>& want) {
  std::size_t n = 0;
  for (const auto& [outer, inner] : trie) n += inner.size();
  return n == want.size() && std::all_of(want.begin(), want.end(), [&](const auto& kv) {
           const auto* inner = trie.get(kv.first.first);
           const auto* got = inner ? inner->get(kv.first.second) : nullptr;
           return got && *got == kv.second;
         });
}

void check_derivations(const NetworkConfig& c, bool validated) {
  for (const auto& [me, self] : c.node) {
    const Ipv4Net own = Ipv4Net::host(self.ip);

    auto rules = c.effective_access_rule_list(me);
    if (!rules) {
      FUZZ_CHECK(rules.error().kind() == ConfigError::Kind::DuplicateRoute, rules.error().message());
    } else {
      std::map<std::pair<Ipv4Net, Ipv4Net>, p2p::PubKey> expected[2];  // IN, OUT
      for (const auto& [key, r] : rules->rules) {
        const bool out = r.direction == Direction::OUT;
        // One end of every rule is our own address or a route through us.
        const Ipv4Net &ours = out ? r.source : r.dest, &theirs = out ? r.dest : r.source;
        const auto route = c.route.find(ours);
        FUZZ_CHECK(key.direction == r.direction && key.source == r.source && key.dest == r.dest && r.pk != me &&
                       (c.node.contains(r.pk) || !validated) &&
                       (ours == own || (route != c.route.end() && route->second.gw == me)),
                   r.debug());
        // The tries key on the network, so host bits collapse entries.
        if (r.action == Action::Allow) expected[out][{theirs.trunc(), ours.trunc()}] = r.pk;
      }
      const auto [tx, rx] = rules->routing_tries();
      FUZZ_CHECK(same(tx, expected[1]) && same(rx, expected[0]), rules->to_string());
      (void)rules->to_string();
    }

    auto routes = c.effective_routing_list(me);
    if (!routes) {
      FUZZ_CHECK(!validated && routes.error().kind() == ConfigError::Kind::GatewayNotFound, routes.error().message());
    } else {
      for (const auto& [dest, r] : routes->routes) {
        const auto doc = c.route.find(dest);
        FUZZ_CHECK(doc != c.route.end() && doc->second.gw != me && c.ip(doc->second.gw) == r.gw, r.debug());
      }
      (void)routes->to_string();
    }

    const auto forwarding = c.effective_forwarding_list(me);
    for (const auto& [dest, r] : c.route)
      FUZZ_CHECK(forwarding.destinations.contains(dest) == (r.gw == me), dest.to_string());

    const auto names = c.hostnames(me);
    const auto mine = names.names.find(self.ip);
    FUZZ_CHECK(mine != names.names.end(), "our own name is missing");
    for (const auto& [ip, name] : names.names) {
      bool found = false;
      for (const auto& [pk, n] : c.node) found = found || (n.ip == ip && n.hostname == name && c.matching_policy(me, pk));
      FUZZ_CHECK(found, ip.to_string() + " " + name);
    }
    (void)names.to_string();
  }
  // A key that is no member gets no rule at all.
  p2p::PubKey stranger;
  if (!c.node.contains(stranger)) {
    auto rules = c.effective_access_rule_list(stranger);
    FUZZ_CHECK(rules && rules->rules.empty());
  }
}

}  // namespace

SARVOLT_FUZZ_TARGET {
  const std::string_view text = in.text();
  auto read = network::read_network_config(text);
  auto valid = NetworkConfig::try_from(text);
  if (!read) {
    FUZZ_CHECK(!valid && valid.error().kind() == ConfigError::Kind::Toml &&
                   valid.error().message() == "TOML deserialization error: " + read.error().to_string(),
               "try_from accepts what does not read, or says otherwise");
    return;
  }
  FUZZ_CHECK(valid ? *valid == *read : valid.error().kind() != ConfigError::Kind::Toml,
             "try_from and reading disagree");
  // Validated: every node in the network, routes through members.
  if (valid) {
    for (const auto& [pk, n] : valid->node) FUZZ_CHECK(valid->network.contains(n.ip), n.ip.to_string());
    for (const auto& [dest, r] : valid->route) FUZZ_CHECK(valid->node.contains(r.gw), dest.to_string());
  }
  check_derivations(*read, valid.has_value());
}
