#include "network/config/effective.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

#include "util/log.hpp"

namespace sarvolt::network {

namespace {

constexpr std::string_view kLogTarget = "sarvolt_agent::network::config";

bool shares_name(const GroupSet& a, const GroupSet& b) {
  const GroupSet& small = a.size() <= b.size() ? a : b;
  const GroupSet& large = a.size() <= b.size() ? b : a;
  for (const auto& name : small) {
    if (large.contains(name)) return true;
  }
  return false;
}

// One side of a policy against a node's groups; "ALL" matches any node.
bool policy_side_matches(const GroupSet& side, const GroupSet& groups) {
  static const std::string kAll = "ALL";
  return side.contains(kAll) || shares_name(side, groups);
}

// A route's group test against a node; "ALL" is an ordinary name here.
bool route_admits(const NetworkRoute& r, const GroupSet& groups) {
  return r.groups.empty() || shares_name(r.groups, groups);
}

Action allow_if(bool ok) { return ok ? Action::Allow : Action::Deny; }

}  // namespace

// --- texts -----------------------------------------------------------------

std::string_view to_string(Direction d) noexcept { return d == Direction::IN ? "IN" : "OUT"; }
std::string_view to_string(Action a) noexcept { return a == Action::Allow ? "ALLOW" : "DENY"; }
std::string_view debug_string(Action a) noexcept { return a == Action::Allow ? "Allow" : "Deny"; }

std::string EffectiveAccessRule::debug() const {
  return fmt::format("EffectiveAccessRule {{ direction: {}, source: {}, dest: {}, pk: {}, action: {} }}",
                     network::to_string(direction), source, dest, pk.debug(), debug_string(action));
}

std::string EffectiveAccessRule::to_string() const {
  return fmt::format("direction={} source={} dest={} pk={} action={}\n", network::to_string(direction),
                     source, dest, pk.debug(), debug_string(action));
}

std::string EffectiveRoute::debug() const {
  return fmt::format("EffectiveRoute {{ dest: {}, gw: {} }}", dest, gw);
}

// --- tables ------------------------------------------------------------------
//
// Each table hands its lines one by one to emit(std::string_view) -> bool and
// stops at the first refusal; the result tells whether every line was taken.

namespace {

template <class Emit>
bool rule_table(const EffectiveAccessRuleList& list, Emit&& emit) {
  std::string line =
      fmt::format("{:<4} {:<18} {:<18} {:<64} {:<6}\n", "Type", "Source", "Destination", "PubKey", "Action");
  if (!emit(std::string_view(line))) return false;
  // The map is ordered by (direction, source, dest) with IN first and the
  // networks in numeric order; OUT rows are shown first.
  for (const Direction d : {Direction::OUT, Direction::IN}) {
    for (const auto& [key, r] : list.rules) {
      if (key.direction != d) continue;
      line.clear();
      fmt::format_to(std::back_inserter(line), "{:<4} {:<18} {:<18} {:<64} {:<6}\n", to_string(r.direction),
                     r.source, r.dest, r.pk, to_string(r.action));
      if (!emit(std::string_view(line))) return false;
    }
  }
  return true;
}

template <class Emit>
bool route_table(const EffectiveRoutingList& list, Emit&& emit) {
  std::string line = fmt::format("{:<18} {:<15}\n", "Destination", "Gateway");
  if (!emit(std::string_view(line))) return false;
  for (const auto& [dest, route] : list.routes) {  // numeric order
    line.clear();
    fmt::format_to(std::back_inserter(line), "{:<18} {:<15}\n", dest, route.gw);
    if (!emit(std::string_view(line))) return false;
  }
  return true;
}

template <class Emit>
bool hostname_table(const HostnameList& list, Emit&& emit) {
  std::string line = fmt::format("{:<15} Hostname\n", "IP");
  if (!emit(std::string_view(line))) return false;
  for (const auto& [ip, name] : list.names) {  // numeric order
    line.clear();
    fmt::format_to(std::back_inserter(line), "{:<15} {}.{}\n", ip, name, SARVOLT_DOMAIN);
    if (!emit(std::string_view(line))) return false;
  }
  return true;
}

struct AppendTo {
  std::string& out;
  bool operator()(std::string_view line) const {
    out += line;
    return true;
  }
};

struct WriteTo {
  std::ostream& os;
  bool operator()(std::string_view line) const {
    os.write(line.data(), static_cast<std::streamsize>(line.size()));
    return static_cast<bool>(os);
  }
};

}  // namespace

std::string EffectiveAccessRuleList::to_string() const {
  std::string out;
  rule_table(*this, AppendTo{out});
  return out;
}

std::string EffectiveRoutingList::to_string() const {
  std::string out;
  route_table(*this, AppendTo{out});
  return out;
}

std::string HostnameList::to_string() const {
  std::string out;
  hostname_table(*this, AppendTo{out});
  return out;
}

std::ostream& operator<<(std::ostream& os, Direction d) { return os << to_string(d); }
std::ostream& operator<<(std::ostream& os, Action a) { return os << to_string(a); }
std::ostream& operator<<(std::ostream& os, const EffectiveAccessRule& r) { return os << r.to_string(); }

std::ostream& operator<<(std::ostream& os, const EffectiveAccessRuleList& l) {
  rule_table(l, WriteTo{os});
  return os;
}

std::ostream& operator<<(std::ostream& os, const EffectiveRoutingList& l) {
  route_table(l, WriteTo{os});
  return os;
}

std::ostream& operator<<(std::ostream& os, const HostnameList& l) {
  hostname_table(l, WriteTo{os});
  return os;
}

// --- tries -------------------------------------------------------------------

std::pair<std::vector<RuleRow>, std::vector<RuleRow>> EffectiveAccessRuleList::routing_rows() const {
  std::vector<RuleRow> rows[2];
  for (const auto& [key, r] : rules) {
    if (r.action != Action::Allow) continue;  // a denied pair is an absent one
    const bool out = r.direction == Direction::OUT;
    rows[out ? 0 : 1].push_back(out ? RuleRow{r.dest, r.source, &r.pk} : RuleRow{r.source, r.dest, &r.pk});
  }
  // Rows of one outer prefix form one inner map, which keeps the first outer
  // key; of equal inner prefixes the later row, key included, stays.
  const auto order = [](std::vector<RuleRow>& list) {
    const auto key = [](const Ipv4Net& n) { return std::pair(n.network(), n.prefix_len()); };
    const auto by_outer = [&](const RuleRow& a, const RuleRow& b) { return key(a.outer) < key(b.outer); };
    if (!std::is_sorted(list.begin(), list.end(), by_outer)) std::stable_sort(list.begin(), list.end(), by_outer);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.size();) {
      std::size_t j = i + 1;
      while (j < list.size() && key(list[j].outer) == key(list[i].outer)) ++j;
      const Ipv4Net outer = list[i].outer;
      const auto by_inner = [&](const RuleRow& a, const RuleRow& b) { return key(a.inner) < key(b.inner); };
      const auto first = list.begin() + static_cast<std::ptrdiff_t>(i);
      const auto last = list.begin() + static_cast<std::ptrdiff_t>(j);
      if (!std::is_sorted(first, last, by_inner)) std::stable_sort(first, last, by_inner);
      for (std::size_t k = i; k < j; ++k) {
        if (kept > 0 && key(list[kept - 1].outer) == key(outer) && key(list[kept - 1].inner) == key(list[k].inner)) {
          list[kept - 1] = list[k];
        } else {
          list[kept++] = list[k];
        }
        list[kept - 1].outer = outer;
      }
      i = j;
    }
    list.resize(kept);
  };
  order(rows[0]);
  order(rows[1]);
  return {std::move(rows[0]), std::move(rows[1])};
}

std::pair<RuleTrie, RuleTrie> EffectiveAccessRuleList::routing_tries() const {
  auto [tx_rows, rx_rows] = routing_rows();
  const auto build = [](const std::vector<RuleRow>& rows) {
    RuleTrie::Entries outer;
    for (std::size_t i = 0; i < rows.size();) {
      util::PrefixMap<PubKey> m;  // rows in key order: each insert appends
      std::size_t j = i;
      for (; j < rows.size() && rows[j].outer == rows[i].outer; ++j) m.insert(rows[j].inner, *rows[j].pk);
      outer.emplace_back(rows[i].outer, std::move(m));
      i = j;
    }
    RuleTrie trie;
    trie.assign(std::move(outer));
    return trie;
  };
  return {build(tx_rows), build(rx_rows)};
}

// --- derivations -------------------------------------------------------------

bool NetworkConfig::matching_policy(const PubKey& a, const PubKey& b) const {
  if (a == b) return true;
  const auto ia = node.find(a);
  const auto ib = node.find(b);
  if (ia == node.end() || ib == node.end()) return false;
  const GroupSet& ga = ia->second.groups;
  const GroupSet& gb = ib->second.groups;
  for (const auto& p : policy) {
    const bool forward =
        policy_side_matches(p.source_groups, ga) && policy_side_matches(p.destination_groups, gb);
    const bool reverse =
        policy_side_matches(p.source_groups, gb) && policy_side_matches(p.destination_groups, ga);
    if (forward || reverse) return true;
  }
  return false;
}

util::Expected<EffectiveAccessRuleList, ConfigError> NetworkConfig::effective_access_rule_list(
    const PubKey& me) const {
  EffectiveAccessRuleList list;
  const auto self = node.find(me);
  // Not a member: no rule to derive. An empty list allows nothing, so a
  // caller that skipped the membership test fails closed.
  if (self == node.end()) return list;
  const Ipv4Net own = Ipv4Net::host(self->second.ip);
  const GroupSet& own_groups = self->second.groups;

  // Node-to-node action, the same in both directions.
  std::vector<Action> peer_action;
  peer_action.reserve(node.size());
  for (const auto& [pk, n] : node) peer_action.push_back(allow_if(matching_policy(me, pk)));

  spdlog::logger& logger = log::target(kLogTarget);
  // Rules are gathered, then sorted once; a taken key is found there. When
  // tracing, keys are checked as they come so the log stops at the first
  // taken one.
  const bool tracing = logger.should_log(spdlog::level::trace);
  std::set<EffectiveAccessRuleListEntryKey> seen;
  AccessRuleMap::Rules rules;
  // Logs the rule, then enters it; false when its key is taken already.
  const auto add = [&](std::string_view pass, EffectiveAccessRule rule) {
    if (tracing) {
      SV_TRACE(logger, "{}{}", pass, rule.debug());
      if (!seen.insert(AccessRuleMap::key_of(rule)).second) return false;
    }
    rules.push_back(std::move(rule));
    return true;
  };

  std::size_t i = 0;
  for (const auto& [pk, n] : node) {
    const Action action = peer_action[i++];
    if (pk == me) continue;
    if (!add("Adding OUT rule for node: ",
             {Direction::OUT, own, Ipv4Net::host(n.ip), pk, action}))
      return util::Unexpected(ConfigError::duplicate_route());
  }
  for (const auto& [dest, r] : route) {
    if (r.gw == me) {
      for (const auto& [pk, n] : node) {
        if (pk == me) continue;
        if (!add("Adding OUT rule for route (gateway): ",
                 {Direction::OUT, dest, Ipv4Net::host(n.ip), pk, allow_if(route_admits(r, n.groups))}))
          return util::Unexpected(ConfigError::duplicate_route());
      }
    } else if (!add("Adding OUT rule for route (non-gateway): ",
                    {Direction::OUT, own, dest, r.gw, allow_if(route_admits(r, own_groups))})) {
      return util::Unexpected(ConfigError::duplicate_route());
    }
  }
  i = 0;
  for (const auto& [pk, n] : node) {
    const Action action = peer_action[i++];
    if (pk == me) continue;
    if (!add("Adding IN rule for node: ", {Direction::IN, Ipv4Net::host(n.ip), own, pk, action}))
      return util::Unexpected(ConfigError::duplicate_route());
  }
  for (const auto& [dest, r] : route) {
    if (r.gw == me) {
      for (const auto& [pk, n] : node) {
        if (pk == me) continue;
        if (!add("Adding IN rule for route (gateway): ",
                 {Direction::IN, Ipv4Net::host(n.ip), dest, pk, allow_if(route_admits(r, n.groups))}))
          return util::Unexpected(ConfigError::duplicate_route());
      }
    } else if (!add("Adding IN rule for route (non-gateway): ",
                    {Direction::IN, dest, own, r.gw, allow_if(route_admits(r, own_groups))})) {
      return util::Unexpected(ConfigError::duplicate_route());
    }
  }
  if (!list.rules.assign(std::move(rules))) return util::Unexpected(ConfigError::duplicate_route());
  return list;
}

util::Expected<EffectiveRoutingList, ConfigError> NetworkConfig::effective_routing_list(
    const PubKey& me) const {
  // Not a member: no own groups, so routes restricted to groups never apply.
  static const GroupSet kNoGroups;
  const auto self = node.find(me);
  const GroupSet& own_groups = self == node.end() ? kNoGroups : self->second.groups;

  EffectiveRoutingList list;
  for (const auto& [dest, r] : route) {
    if (r.gw == me) continue;  // we are its gateway
    if (!r.groups.empty() && !shares_name(r.groups, own_groups)) continue;
    const auto gw = node.find(r.gw);
    if (gw == node.end()) return util::Unexpected(ConfigError::gateway_not_found(r.gw));
    list.routes.insert_or_assign(dest, EffectiveRoute{dest, gw->second.ip});
  }
  return list;
}

EffectiveForwardingList NetworkConfig::effective_forwarding_list(const PubKey& me) const {
  EffectiveForwardingList list;
  for (const auto& [dest, r] : route) {
    if (r.gw == me) list.destinations.insert(dest);
  }
  return list;
}

HostnameList NetworkConfig::hostnames(const PubKey& me) const {
  HostnameList list;
  for (const auto& [pk, n] : node) {
    if (matching_policy(me, pk)) list.names.insert_or_assign(n.ip, n.hostname);
  }
  return list;
}

}  // namespace sarvolt::network
