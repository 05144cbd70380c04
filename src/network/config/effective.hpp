// What this node enforces and publishes in one network, derived from its
// configuration document: access rules, routes through other nodes,
// destinations it forwards for, host names; the two rule tries the firewall
// stands on; and their status tables.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "network/config/network_config.hpp"
#include "util/prefix_map.hpp"

namespace sarvolt::network {

// The overlay DNS domain: host names are answered as "<host>.sarvolt.zz".
inline constexpr std::string_view SARVOLT_DOMAIN = "sarvolt.zz";

enum class Direction : std::uint8_t { IN = 0, OUT = 1 };
enum class Action : std::uint8_t { Allow = 0, Deny = 1 };

// Display texts: "IN"/"OUT", "ALLOW"/"DENY"; debug: "IN"/"OUT", "Allow"/"Deny".
std::string_view to_string(Direction d) noexcept;
std::string_view to_string(Action a) noexcept;
std::string_view debug_string(Action a) noexcept;

struct EffectiveAccessRule {
  Direction direction;
  Ipv4Net source;
  Ipv4Net dest;
  PubKey pk;
  Action action;
  friend bool operator==(const EffectiveAccessRule&, const EffectiveAccessRule&) = default;
  // "EffectiveAccessRule { direction: OUT, source: ..., dest: ..., pk: PubKey(..), action: Allow }"
  std::string debug() const;
  // "direction=OUT source=... dest=... pk=PubKey(..) action=Allow\n"
  std::string to_string() const;
};

struct EffectiveAccessRuleListEntryKey {
  Direction direction;
  Ipv4Net source;
  Ipv4Net dest;
  friend auto operator<=>(const EffectiveAccessRuleListEntryKey&, const EffectiveAccessRuleListEntryKey&) = default;
  friend bool operator==(const EffectiveAccessRuleListEntryKey&, const EffectiveAccessRuleListEntryKey&) = default;
};

// Outer key then inner key, giving a peer key: transmit is destination ->
// source -> key, receive is source -> destination -> key.
using RuleTrie = util::PrefixMap<util::PrefixMap<PubKey>>;

// One entry of a rule trie: outer prefix, inner prefix, peer key.
struct RuleRow {
  Ipv4Net outer;
  Ipv4Net inner;
  const PubKey* pk;
};

// Rules by key. Copies share one map until one of them is changed (the
// applied list and the desired one are mostly the same).
class AccessRuleMap {
 public:
  using Map = std::map<EffectiveAccessRuleListEntryKey, EffectiveAccessRule>;
  using key_type = Map::key_type;
  using mapped_type = Map::mapped_type;
  using value_type = Map::value_type;
  using const_iterator = Map::const_iterator;
  using iterator = const_iterator;

  const_iterator begin() const noexcept { return map().begin(); }
  const_iterator end() const noexcept { return map().end(); }
  std::size_t size() const noexcept { return map().size(); }
  bool empty() const noexcept { return map().empty(); }
  const_iterator find(const key_type& k) const { return map().find(k); }
  bool contains(const key_type& k) const { return map().contains(k); }
  const mapped_type& at(const key_type& k) const { return map().at(k); }

  mapped_type& operator[](const key_type& k) { return own()[k]; }
  template <class... A>
  auto try_emplace(const key_type& k, A&&... a) {
    return own().try_emplace(k, std::forward<A>(a)...);
  }
  template <class... A>
  auto emplace(A&&... a) {
    return own().emplace(std::forward<A>(a)...);
  }
  template <class M>
  auto insert_or_assign(const key_type& k, M&& m) {
    return own().insert_or_assign(k, std::forward<M>(m));
  }
  template <class Pred>
  friend std::size_t erase_if(AccessRuleMap& m, Pred pred) {
    return std::erase_if(m.own(), pred);
  }

  friend bool operator==(const AccessRuleMap& a, const AccessRuleMap& b) {
    return a.map_ == b.map_ || a.map() == b.map();
  }

 private:
  const Map& map() const noexcept {
    static const Map kEmpty;
    return map_ ? *map_ : kEmpty;
  }
  // The map for a change: a copy first when another list shares it.
  Map& own() {
    if (!map_) {
      map_ = std::make_shared<Map>();
    } else if (map_.use_count() > 1) {
      map_ = std::make_shared<Map>(*map_);
    }
    return *map_;
  }
  std::shared_ptr<Map> map_;
};

class EffectiveAccessRuleList {
 public:
  using Map = AccessRuleMap::Map;
  AccessRuleMap rules;

  friend bool operator==(const EffectiveAccessRuleList&, const EffectiveAccessRuleList&) = default;
  // (transmit trie, receive trie) of the Allow rules.
  std::pair<RuleTrie, RuleTrie> routing_tries() const;
  // The entries of those tries, in their iteration order (outer prefix, then
  // inner), without building them; the keys point into this list.
  std::pair<std::vector<RuleRow>, std::vector<RuleRow>> routing_rows() const;
  // Table: "Type Source Destination PubKey Action", OUT rows first.
  std::string to_string() const;
};

struct EffectiveRoute {
  Ipv4Net dest;
  Ipv4Addr gw;
  friend bool operator==(const EffectiveRoute&, const EffectiveRoute&) = default;
  std::string debug() const;
};

class EffectiveRoutingList {
 public:
  std::map<Ipv4Net, EffectiveRoute> routes;
  friend bool operator==(const EffectiveRoutingList&, const EffectiveRoutingList&) = default;
  auto begin() const { return routes.begin(); }
  auto end() const { return routes.end(); }
  // Table: "Destination Gateway".
  std::string to_string() const;
};

class EffectiveForwardingList {
 public:
  std::set<Ipv4Net> destinations;
  friend bool operator==(const EffectiveForwardingList&, const EffectiveForwardingList&) = default;
};

class HostnameList {
 public:
  std::map<Ipv4Addr, std::string> names;
  friend bool operator==(const HostnameList&, const HostnameList&) = default;
  // Table: "IP Hostname", rows "<ip> <name>.sarvolt.zz".
  std::string to_string() const;
};

// Text forms for streams. The tables stop at the first line the stream
// refuses, leaving the stream failed.
std::ostream& operator<<(std::ostream& os, Direction d);
std::ostream& operator<<(std::ostream& os, Action a);
std::ostream& operator<<(std::ostream& os, const EffectiveAccessRule& r);  // the rule line
std::ostream& operator<<(std::ostream& os, const EffectiveAccessRuleList& l);
std::ostream& operator<<(std::ostream& os, const EffectiveRoutingList& l);
std::ostream& operator<<(std::ostream& os, const HostnameList& l);

}  // namespace sarvolt::network
