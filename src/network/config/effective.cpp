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

RuleTrieRows::RuleTrieRows(const AccessRuleMap& rules, Direction d) : out_(d == Direction::OUT) {
  if (rules.empty()) return;
  rules_ = &rules.rule_at(0);
  // The rules of one direction are consecutive in key order.
  const auto first = std::partition_point(rules.begin(), rules.end(),
                                          [d](const auto& kv) { return kv.first.direction < d; });
  const auto last = std::partition_point(first, rules.end(),
                                         [d](const auto& kv) { return kv.first.direction <= d; });
  const auto from = static_cast<std::uint32_t>(first - rules.begin());
  const auto to = static_cast<std::uint32_t>(last - rules.begin());
  std::size_t allowed = 0;
  for (std::uint32_t i = from; i < to; ++i) allowed += rules_[i].action == Action::Allow;
  ids_.reserve(allowed);
  // By outer prefix, then inner; rows of equal keys keep their list order.
  std::uint64_t last_outer = 0, last_inner = 0;
  for (std::uint32_t i = from; i < to; ++i) {
    const EffectiveAccessRule& r = rules_[i];
    if (r.action != Action::Allow) continue;  // a denied pair is an absent one
    const std::uint64_t ko = key(outer_of(r)), ki = key(inner_of(r));
    if (!ids_.empty() && (ko < last_outer || (ko == last_outer && ki < last_inner))) in_list_order_ = false;
    outer_count_ += ids_.empty() || ko != last_outer;
    ids_.push_back(i);
    last_outer = ko;
    last_inner = ki;
  }
  if (in_list_order_) return;
  const auto by_key = [this](std::uint32_t a, std::uint32_t b) {
    const EffectiveAccessRule& x = rules_[a];
    const EffectiveAccessRule& y = rules_[b];
    const std::uint64_t xo = key(outer_of(x)), yo = key(outer_of(y));
    return xo < yo || (xo == yo && key(inner_of(x)) < key(inner_of(y)));
  };
  std::stable_sort(ids_.begin(), ids_.end(), by_key);
  outer_count_ = 0;
  for (std::size_t k = 0; k < ids_.size(); ++k)
    outer_count_ += k == 0 || key(outer_of(rules_[ids_[k]])) != key(outer_of(rules_[ids_[k - 1]]));
}

const Ipv4Net& RuleTrieRows::group_outer(std::size_t i) const noexcept {
  if (in_list_order_) return outer_of(rules_[ids_[i]]);
  const std::uint64_t k = key(outer_of(rules_[ids_[i]]));
  std::uint32_t first = ids_[i];
  for (std::size_t j = i + 1; j < ids_.size() && key(outer_of(rules_[ids_[j]])) == k; ++j)
    first = std::min(first, ids_[j]);
  return outer_of(rules_[first]);
}

std::pair<std::vector<RuleRow>, std::vector<RuleRow>> EffectiveAccessRuleList::routing_rows() const {
  std::vector<RuleRow> rows[2];
  for (const Direction d : {Direction::OUT, Direction::IN}) {
    auto& list = rows[d == Direction::OUT ? 0 : 1];
    trie_rows(d).for_each(
        [&](const Ipv4Net& outer, const Ipv4Net& inner, const PubKey& pk) { list.push_back({outer, inner, &pk}); });
  }
  return {std::move(rows[0]), std::move(rows[1])};
}

std::pair<RuleTrie, RuleTrie> EffectiveAccessRuleList::routing_tries() const {
  const auto build = [this](Direction d) {
    const RuleTrieRows rows = trie_rows(d);
    RuleTrie::Entries outer;
    outer.reserve(rows.outer_count());
    rows.for_each([&](const Ipv4Net& o, const Ipv4Net& inner, const PubKey& pk) {
      if (outer.empty() || !(outer.back().first == o)) outer.emplace_back(o, util::PrefixMap<PubKey>());
      outer.back().second.insert(inner, pk);  // rows in key order: each insert appends
    });
    RuleTrie trie;
    trie.assign(std::move(outer));
    return trie;
  };
  return {build(Direction::OUT), build(Direction::IN)};
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
  // Held at its final size from the start: no spare room, no copy.
  std::size_t per_direction = node.size() - 1;
  for (const auto& [dest, r] : route) per_direction += r.gw == me ? node.size() - 1 : 1;
  rules.reserve(2 * per_direction);
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
