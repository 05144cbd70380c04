// What this node enforces and publishes in one network, derived from its
// configuration document: access rules, routes through other nodes,
// destinations it forwards for, host names; the two rule tries the firewall
// stands on; and their status tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "network/config/network_config.hpp"
#include "util/mapped_memory.hpp"
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

class AccessRuleMap;

// One entry of a rule trie: outer prefix, inner prefix, peer key.
struct RuleRow {
  Ipv4Net outer;
  Ipv4Net inner;
  const PubKey* pk;
};

// Rules by key, held once each: the key is the rule's own (direction,
// source, dest), kept in a vector sorted by it (a large one in a mapping of
// its own). Iteration yields (key, rule) pairs in key order. Copies share
// one vector until one of them is changed (the applied list and the desired
// one are mostly the same).
class AccessRuleMap {
 public:
  using key_type = EffectiveAccessRuleListEntryKey;
  using mapped_type = EffectiveAccessRule;
  using value_type = std::pair<key_type, const mapped_type&>;
  using Rules = std::vector<mapped_type, util::MappedAllocator<mapped_type>>;

  static key_type key_of(const mapped_type& r) noexcept { return {r.direction, r.source, r.dest}; }

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = AccessRuleMap::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    struct pointer {
      value_type v;
      const value_type* operator->() const noexcept { return &v; }
    };
    const_iterator() = default;
    explicit const_iterator(Rules::const_iterator it) : it_(it) {}
    value_type operator*() const { return {key_of(*it_), *it_}; }
    pointer operator->() const { return {**this}; }
    value_type operator[](difference_type n) const { return *(*this + n); }
    const_iterator& operator++() { ++it_; return *this; }
    const_iterator operator++(int) { auto t = *this; ++it_; return t; }
    const_iterator& operator--() { --it_; return *this; }
    const_iterator operator--(int) { auto t = *this; --it_; return t; }
    const_iterator& operator+=(difference_type n) { it_ += n; return *this; }
    const_iterator& operator-=(difference_type n) { it_ -= n; return *this; }
    friend const_iterator operator+(const_iterator a, difference_type n) { return a += n; }
    friend const_iterator operator+(difference_type n, const_iterator a) { return a += n; }
    friend const_iterator operator-(const_iterator a, difference_type n) { return a -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) { return a.it_ - b.it_; }
    friend bool operator==(const const_iterator&, const const_iterator&) = default;
    friend auto operator<=>(const const_iterator&, const const_iterator&) = default;
    const mapped_type& rule() const noexcept { return *it_; }

   private:
    Rules::const_iterator it_{};
  };
  using iterator = const_iterator;

  const_iterator begin() const noexcept { return const_iterator(rules().begin()); }
  const_iterator end() const noexcept { return const_iterator(rules().end()); }
  std::size_t size() const noexcept { return rules().size(); }
  bool empty() const noexcept { return rules().empty(); }
  const_iterator find(const key_type& k) const {
    const auto it = lower(rules(), k);
    return const_iterator(it != rules().end() && key_of(*it) == k ? it : rules().end());
  }
  bool contains(const key_type& k) const { return find(k) != end(); }
  // The rule at position i of the key order.
  const mapped_type& rule_at(std::size_t i) const noexcept { return rules()[i]; }
  const mapped_type& at(const key_type& k) const {
    const auto it = find(k);
    if (it == end()) throw std::out_of_range("AccessRuleMap::at");
    return it.rule();
  }

  // The rule under `k`; a new one (Allow, zero key) takes k's fields.
  mapped_type& operator[](const key_type& k) {
    return *slot(k, [&] { return mapped_type{k.direction, k.source, k.dest, PubKey{}, Action::Allow}; }).first;
  }
  // Enters `m` under `k` unless taken; `m` gets k's fields.
  std::pair<const_iterator, bool> try_emplace(const key_type& k, mapped_type m) {
    const auto [it, fresh] = slot(k, [&] { return with_key(k, std::move(m)); });
    return {const_iterator(it), fresh};
  }
  std::pair<const_iterator, bool> emplace(const key_type& k, mapped_type m) { return try_emplace(k, std::move(m)); }
  std::pair<const_iterator, bool> insert_or_assign(const key_type& k, mapped_type m) {
    m = with_key(k, std::move(m));
    auto [it, fresh] = slot(k, [&] { return m; });
    if (!fresh) *it = std::move(m);
    return {const_iterator(it), fresh};
  }
  // Replaces the whole content; false (content unchanged) when two rules
  // share a key.
  bool assign(Rules rules) {
    const auto by_key = [](const mapped_type& a, const mapped_type& b) { return key_of(a) < key_of(b); };
    std::sort(rules.begin(), rules.end(), by_key);
    const auto same = [](const mapped_type& a, const mapped_type& b) { return key_of(a) == key_of(b); };
    if (std::adjacent_find(rules.begin(), rules.end(), same) != rules.end()) return false;
    rules.shrink_to_fit();
    rules_ = std::make_shared<Rules>(std::move(rules));
    return true;
  }
  template <class Pred>
  friend std::size_t erase_if(AccessRuleMap& m, Pred pred) {
    return std::erase_if(m.own(), [&](const mapped_type& r) { return pred(value_type{key_of(r), r}); });
  }

  friend bool operator==(const AccessRuleMap& a, const AccessRuleMap& b) {
    return a.rules_ == b.rules_ || a.rules() == b.rules();
  }

 private:
  static Rules::const_iterator lower(const Rules& v, const key_type& k) {
    return std::lower_bound(v.begin(), v.end(), k,
                            [](const mapped_type& r, const key_type& x) { return key_of(r) < x; });
  }
  static mapped_type with_key(const key_type& k, mapped_type m) {
    m.direction = k.direction;
    m.source = k.source;
    m.dest = k.dest;
    return m;
  }
  // The rule under `k`, entered from make() when absent; true when entered.
  template <class Make>
  std::pair<Rules::iterator, bool> slot(const key_type& k, Make&& make) {
    Rules& v = own();
    const auto pos = v.begin() + (lower(v, k) - v.cbegin());
    if (pos != v.end() && key_of(*pos) == k) return {pos, false};
    return {v.insert(pos, make()), true};
  }
  const Rules& rules() const noexcept {
    static const Rules kEmpty;
    return rules_ ? *rules_ : kEmpty;
  }
  // The rules for a change: a copy first when another list shares them.
  Rules& own() {
    if (!rules_) {
      rules_ = std::make_shared<Rules>();
    } else if (rules_.use_count() > 1) {
      rules_ = std::make_shared<Rules>(*rules_);
    }
    return *rules_;
  }
  std::shared_ptr<Rules> rules_;
};

// The entries of one rule trie (the Allow rules of one direction), in the
// trie's iteration order, as positions in the list they were taken from:
// walking them builds a trie without copying the rules. Valid while that
// list is unchanged.
class RuleTrieRows {
 public:
  RuleTrieRows(const AccessRuleMap& rules, Direction d);
  // Distinct outer prefixes: the outer map's entries.
  std::size_t outer_count() const noexcept { return outer_count_; }
  // Rows, before equal inner prefixes are merged.
  std::size_t size() const noexcept { return ids_.size(); }
  // Calls f(outer, inner, pk) for each entry. Rows of one outer prefix
  // follow each other and share the first one's outer key; of equal inner
  // prefixes only the last row (key included) is given.
  template <class F>
  void for_each(F&& f) const;

 private:
  const Ipv4Net& outer_of(const EffectiveAccessRule& r) const noexcept { return out_ ? r.dest : r.source; }
  const Ipv4Net& inner_of(const EffectiveAccessRule& r) const noexcept { return out_ ? r.source : r.dest; }
  // (network, length) as one number in the same order.
  static std::uint64_t key(const Ipv4Net& n) noexcept {
    return std::uint64_t{n.network().to_u32()} << 6 | n.prefix_len();
  }
  // The outer key of the group that starts at row i: its first rule's in
  // list order.
  const Ipv4Net& group_outer(std::size_t i) const noexcept;

  const EffectiveAccessRule* rules_ = nullptr;
  bool out_;
  bool in_list_order_ = true;  // rows not sorted: ascending positions
  std::vector<std::uint32_t, util::MappedAllocator<std::uint32_t>> ids_;
  std::size_t outer_count_ = 0;
};

class EffectiveAccessRuleList {
 public:
  AccessRuleMap rules;

  friend bool operator==(const EffectiveAccessRuleList&, const EffectiveAccessRuleList&) = default;
  // (transmit trie, receive trie) of the Allow rules.
  std::pair<RuleTrie, RuleTrie> routing_tries() const;
  // The entries of those tries, in their iteration order (outer prefix, then
  // inner), without building them; the keys point into this list.
  std::pair<std::vector<RuleRow>, std::vector<RuleRow>> routing_rows() const;
  // One trie's entries as positions in this list: transmit for OUT,
  // receive for IN.
  RuleTrieRows trie_rows(Direction d) const { return RuleTrieRows(rules, d); }
  // Table: "Type Source Destination PubKey Action", OUT rows first.
  std::string to_string() const;
};

template <class F>
void RuleTrieRows::for_each(F&& f) const {
  const std::size_t n = ids_.size();
  if (n == 0) return;
  const EffectiveAccessRule* r = &rules_[ids_[0]];
  std::uint64_t ko = key(outer_of(*r)), ki = key(inner_of(*r));
  const Ipv4Net* outer = nullptr;
  bool group_starts = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (group_starts) outer = &group_outer(i);
    const EffectiveAccessRule* next = nullptr;
    std::uint64_t next_ko = 0, next_ki = 0;
    if (i + 1 < n) {
      next = &rules_[ids_[i + 1]];
      next_ko = key(outer_of(*next));
      next_ki = key(inner_of(*next));
    }
    group_starts = !next || next_ko != ko;
    if (group_starts || next_ki != ki) f(*outer, inner_of(*r), r->pk);
    r = next;
    ko = next_ko;
    ki = next_ki;
  }
}

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
