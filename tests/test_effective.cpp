#include <gtest/gtest.h>

#include <sstream>

#include "network/config/effective.hpp"
#include "support.hpp"

namespace sarvolt::network {
namespace {

PubKey key(std::uint8_t b) {
  std::array<std::uint8_t, 32> a;
  a.fill(b);
  return PubKey(a);
}
Ipv4Addr ip(const char* s) { return *Ipv4Addr::parse(s); }
Ipv4Net net(const char* s) { return *Ipv4Net::parse(s); }

const PubKey M = key(0x01), B = key(0x02), C = key(0x03), D = key(0x04), X = key(0x77);

struct Doc {
  NetworkConfig cfg = [] {
    NetworkConfig c;
    c.network = net("10.0.0.0/24");
    return c;
  }();
  Doc& node(const PubKey& pk, const char* addr, std::string host, GroupSet groups = {}) {
    cfg.node.insert_or_assign(pk, NetworkNode{pk, ip(addr), std::move(host), std::move(groups)});
    return *this;
  }
  Doc& route(const char* dest, const PubKey& gw, GroupSet groups = {}) {
    cfg.route.insert_or_assign(net(dest), NetworkRoute{net(dest), gw, std::move(groups)});
    return *this;
  }
  Doc& policy(GroupSet src, GroupSet dst) {
    cfg.policy.insert(NetworkPolicy{std::move(src), std::move(dst)});
    return *this;
  }
};

EffectiveAccessRule rule(Direction d, const char* src, const char* dst, const PubKey& pk, Action a) {
  return {d, net(src), net(dst), pk, a};
}

EffectiveAccessRuleList list_of(std::initializer_list<EffectiveAccessRule> rs) {
  EffectiveAccessRuleList l;
  for (const auto& r : rs) l.rules.emplace(EffectiveAccessRuleListEntryKey{r.direction, r.source, r.dest}, r);
  return l;
}

EffectiveAccessRuleList rules_of(const NetworkConfig& cfg, const PubKey& me) {
  auto r = cfg.effective_access_rule_list(me);
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r ? *r : EffectiveAccessRuleList{};
}

std::size_t count_action(const EffectiveAccessRuleList& l, Action a) {
  std::size_t n = 0;
  for (const auto& [k, r] : l.rules) n += r.action == a;
  return n;
}

// The inner map that a trie gives for addr, or nullptr.
const util::PrefixMap<PubKey>* outer(const RuleTrie& t, const char* addr) {
  const auto* e = t.longest_match(ip(addr));
  return e ? &e->second : nullptr;
}

constexpr auto OUT = Direction::OUT;
constexpr auto IN = Direction::IN;
constexpr auto Allow = Action::Allow;
constexpr auto Deny = Action::Deny;

// M 10.0.0.1 {a}, B 10.0.0.2 {b}, C 10.0.0.3 {}; policy {a} -> {b};
// 192.168.1.0/24 through B for group a.
Doc worked() {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"a"}).node(B, "10.0.0.2", "b", {"b"}).node(C, "10.0.0.3", "c");
  d.policy({"a"}, {"b"}).route("192.168.1.0/24", B, {"a"});
  return d;
}

TEST(WorkedExample, RulesOnM) {
  EXPECT_EQ(rules_of(worked().cfg, M), list_of({
      rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow),
      rule(OUT, "10.0.0.1/32", "10.0.0.3/32", C, Deny),
      rule(OUT, "10.0.0.1/32", "192.168.1.0/24", B, Allow),
      rule(IN, "10.0.0.2/32", "10.0.0.1/32", B, Allow),
      rule(IN, "10.0.0.3/32", "10.0.0.1/32", C, Deny),
      rule(IN, "192.168.1.0/24", "10.0.0.1/32", B, Allow),
  }));
}

TEST(WorkedExample, ListsOnM) {
  const auto cfg = worked().cfg;
  auto routes = cfg.effective_routing_list(M);
  ASSERT_TRUE(routes.has_value());
  EXPECT_EQ(routes->routes, (std::map<Ipv4Net, EffectiveRoute>{
                                {net("192.168.1.0/24"), {net("192.168.1.0/24"), ip("10.0.0.2")}}}));
  EXPECT_TRUE(cfg.effective_forwarding_list(M).destinations.empty());
  EXPECT_EQ(cfg.hostnames(M).names,
            (std::map<Ipv4Addr, std::string>{{ip("10.0.0.1"), "m"}, {ip("10.0.0.2"), "b"}}));
}

TEST(WorkedExample, TriesOnM) {
  const auto [tx, rx] = rules_of(worked().cfg, M).routing_tries();
  EXPECT_EQ(tx.size(), 2u);
  EXPECT_EQ(rx.size(), 2u);
  for (const RuleTrie* t : {&tx, &rx}) {
    for (const char* peer_side : {"10.0.0.2", "192.168.1.77"}) {
      const auto* inner = outer(*t, peer_side);
      ASSERT_NE(inner, nullptr) << peer_side;
      ASSERT_EQ(inner->size(), 1u);
      EXPECT_EQ(inner->begin()->first, net("10.0.0.1/32"));
      EXPECT_EQ(inner->begin()->second, B);
      EXPECT_EQ(inner->longest_match(ip("10.0.0.3")), nullptr);
    }
    EXPECT_EQ(outer(*t, "10.0.0.3"), nullptr);  // C is denied: absent
    EXPECT_EQ(outer(*t, "192.168.2.1"), nullptr);
  }
  EXPECT_NE(tx.get(net("192.168.1.0/24")), nullptr);
}

TEST(WorkedExample, OnGatewayB) {
  const auto cfg = worked().cfg;
  EXPECT_EQ(rules_of(cfg, B), list_of({
      rule(OUT, "10.0.0.2/32", "10.0.0.1/32", M, Allow),
      rule(OUT, "10.0.0.2/32", "10.0.0.3/32", C, Deny),
      rule(OUT, "192.168.1.0/24", "10.0.0.1/32", M, Allow),
      rule(OUT, "192.168.1.0/24", "10.0.0.3/32", C, Deny),
      rule(IN, "10.0.0.1/32", "10.0.0.2/32", M, Allow),
      rule(IN, "10.0.0.3/32", "10.0.0.2/32", C, Deny),
      rule(IN, "10.0.0.1/32", "192.168.1.0/24", M, Allow),
      rule(IN, "10.0.0.3/32", "192.168.1.0/24", C, Deny),
  }));
  EXPECT_TRUE(cfg.effective_routing_list(B)->routes.empty());
  EXPECT_EQ(cfg.effective_forwarding_list(B).destinations, std::set<Ipv4Net>{net("192.168.1.0/24")});
  EXPECT_EQ(cfg.hostnames(B).names.size(), 2u);

  // Transmit: dest M -> {B's address, routed network} -> M; receive mirrors it.
  const auto [tx, rx] = rules_of(cfg, B).routing_tries();
  for (const RuleTrie* t : {&tx, &rx}) {
    ASSERT_EQ(t->size(), 1u);
    const auto* inner = outer(*t, "10.0.0.1");
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(inner->size(), 2u);
    EXPECT_EQ(inner->longest_match(ip("10.0.0.2"))->second, M);
    EXPECT_EQ(inner->longest_match(ip("192.168.1.9"))->first, net("192.168.1.0/24"));
    EXPECT_EQ(inner->longest_match(ip("10.0.0.3")), nullptr);
  }
}

TEST(WorkedExample, TraceLinePerRule) {
  test::LogCapture cap;
  (void)rules_of(worked().cfg, M);
  (void)rules_of(worked().cfg, B);
  const std::string hb = B.to_string(), hm = M.to_string();
  EXPECT_TRUE(cap.contains("trace",
                           "Adding OUT rule for node: EffectiveAccessRule { direction: OUT, source: 10.0.0.1/32, "
                           "dest: 10.0.0.2/32, pk: PubKey(" + hb + "), action: Allow }"));
  EXPECT_TRUE(cap.contains("trace",
                           "Adding IN rule for route (non-gateway): EffectiveAccessRule { direction: IN, "
                           "source: 192.168.1.0/24, dest: 10.0.0.1/32, pk: PubKey(" + hb + "), action: Allow }"));
  EXPECT_TRUE(cap.contains("trace",
                           "Adding OUT rule for route (gateway): EffectiveAccessRule { direction: OUT, "
                           "source: 192.168.1.0/24, dest: 10.0.0.1/32, pk: PubKey(" + hm + "), action: Allow }"));
  EXPECT_EQ(cap.count("Adding OUT rule for node: "), 4u);
  EXPECT_EQ(cap.count("Adding OUT rule for route (non-gateway): "), 1u);
  EXPECT_EQ(cap.count("Adding OUT rule for route (gateway): "), 2u);
  EXPECT_EQ(cap.count("Adding IN rule for node: "), 4u);
  EXPECT_EQ(cap.count("Adding IN rule for route (non-gateway): "), 1u);
  EXPECT_EQ(cap.count("Adding IN rule for route (gateway): "), 2u);
  for (const auto& l : cap.lines()) EXPECT_EQ(l.target, "sarvolt_agent::network::config");
}

TEST(MatchingPolicy, TruthTable) {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"x"}).node(B, "10.0.0.2", "b", {"y"}).node(C, "10.0.0.3", "c", {"ALL"});
  EXPECT_TRUE(d.cfg.matching_policy(X, X));  // a key matches itself, node or not
  EXPECT_FALSE(d.cfg.matching_policy(M, B));  // no policy
  EXPECT_FALSE(d.cfg.matching_policy(M, X));
  EXPECT_FALSE(NetworkConfig{}.matching_policy(M, B));
  d.policy({"x"}, {"y"});
  EXPECT_TRUE(d.cfg.matching_policy(M, B));
  EXPECT_TRUE(d.cfg.matching_policy(B, M));   // both directions
  EXPECT_FALSE(d.cfg.matching_policy(M, C));  // a node's own "ALL" is just a name
  EXPECT_FALSE(d.cfg.matching_policy(X, B));

  Doc all = d;
  all.cfg.policy = {NetworkPolicy{{"ALL"}, {"ALL"}}};
  all.node(D, "10.0.0.4", "d");
  EXPECT_TRUE(all.cfg.matching_policy(M, D));  // also a node without groups
  EXPECT_TRUE(all.cfg.matching_policy(B, C));
  all.cfg.policy = {NetworkPolicy{{"all"}, {"all"}}};
  EXPECT_FALSE(all.cfg.matching_policy(M, D));
  all.cfg.policy = {NetworkPolicy{{}, {"ALL"}}, NetworkPolicy{{"ALL"}, {}}};
  EXPECT_FALSE(all.cfg.matching_policy(M, B));  // an empty side matches nothing
  all.cfg.policy = {NetworkPolicy{{"x"}, {"ALL"}}};
  EXPECT_TRUE(all.cfg.matching_policy(D, M));
  EXPECT_FALSE(all.cfg.matching_policy(D, B));
}

TEST(EffectiveEdges, OnlyNode) {
  Doc d;
  d.node(M, "10.0.0.1", "m");
  EXPECT_TRUE(rules_of(d.cfg, M).rules.empty());
  EXPECT_TRUE(d.cfg.effective_routing_list(M)->routes.empty());
  EXPECT_TRUE(d.cfg.effective_forwarding_list(M).destinations.empty());
  EXPECT_EQ(d.cfg.hostnames(M).names, (std::map<Ipv4Addr, std::string>{{ip("10.0.0.1"), "m"}}));
}

TEST(EffectiveEdges, TwoNodesWithoutPolicy) {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"a"}).node(B, "10.0.0.2", "b", {"a"});
  const auto l = rules_of(d.cfg, M);
  EXPECT_EQ(l, list_of({rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Deny),
                        rule(IN, "10.0.0.2/32", "10.0.0.1/32", B, Deny)}));
  EXPECT_EQ(d.cfg.hostnames(M).names.size(), 1u);
  const auto [tx, rx] = l.routing_tries();
  EXPECT_TRUE(tx.empty());
  EXPECT_TRUE(rx.empty());
}

TEST(EffectiveEdges, PolicyGroupsAndAll) {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"Y"}).node(B, "10.0.0.2", "b", {"X"}).node(C, "10.0.0.3", "c");
  d.policy({"X"}, {"Y"});
  auto l = rules_of(d.cfg, M);
  EXPECT_EQ(l.rules.at({OUT, net("10.0.0.1/32"), net("10.0.0.2/32")}).action, Allow);
  EXPECT_EQ(l.rules.at({IN, net("10.0.0.2/32"), net("10.0.0.1/32")}).action, Allow);
  EXPECT_EQ(count_action(l, Deny), 2u);  // C both ways

  d.cfg.policy = {NetworkPolicy{{"ALL"}, {"ALL"}}};
  l = rules_of(d.cfg, M);
  EXPECT_EQ(count_action(l, Allow), 4u);
  EXPECT_EQ(d.cfg.hostnames(M).names.size(), 3u);
  d.cfg.policy = {NetworkPolicy{{"all"}, {"all"}}};
  EXPECT_EQ(count_action(rules_of(d.cfg, M), Allow), 0u);
  d.cfg.policy = {NetworkPolicy{{}, {"X", "Y"}}};
  EXPECT_EQ(count_action(rules_of(d.cfg, M), Allow), 0u);
}

TEST(EffectiveEdges, RouteGroupsThroughAnotherNode) {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"a"}).node(B, "10.0.0.2", "b", {"z", "ALL"});
  d.route("172.16.0.0/16", B, {"z"}).route("172.17.0.0/16", B).route("172.18.0.0/16", B, {"ALL"});
  const auto l = rules_of(d.cfg, M);
  EXPECT_EQ(l.rules.at({OUT, net("10.0.0.1/32"), net("172.16.0.0/16")}).action, Deny);
  EXPECT_EQ(l.rules.at({IN, net("172.16.0.0/16"), net("10.0.0.1/32")}).action, Deny);
  EXPECT_EQ(l.rules.at({OUT, net("10.0.0.1/32"), net("172.17.0.0/16")}), rule(OUT, "10.0.0.1/32", "172.17.0.0/16", B, Allow));
  EXPECT_EQ(l.rules.at({IN, net("172.17.0.0/16"), net("10.0.0.1/32")}).action, Allow);
  EXPECT_EQ(l.rules.at({OUT, net("10.0.0.1/32"), net("172.18.0.0/16")}).action, Deny);  // "ALL" is a name here
  const auto routes = d.cfg.effective_routing_list(M);
  ASSERT_TRUE(routes.has_value());
  EXPECT_EQ(routes->routes, (std::map<Ipv4Net, EffectiveRoute>{
                                {net("172.17.0.0/16"), {net("172.17.0.0/16"), ip("10.0.0.2")}}}));

  d.node(M, "10.0.0.1", "m", {"ALL"});
  EXPECT_EQ(d.cfg.effective_routing_list(M)->routes.size(), 2u);
}

TEST(EffectiveEdges, GatewayRouteGivesRulesPerOtherNode) {
  Doc d;
  d.node(M, "10.0.0.1", "m").node(B, "10.0.0.2", "b", {"g"}).node(C, "10.0.0.3", "c").node(D, "10.0.0.4", "d", {"g"});
  d.route("192.168.7.0/24", M, {"g"});
  const auto l = rules_of(d.cfg, M);
  EXPECT_EQ(l.rules.size(), 2u * (3u + 3u));
  EXPECT_EQ(l.rules.at({OUT, net("192.168.7.0/24"), net("10.0.0.2/32")}), rule(OUT, "192.168.7.0/24", "10.0.0.2/32", B, Allow));
  EXPECT_EQ(l.rules.at({IN, net("10.0.0.3/32"), net("192.168.7.0/24")}), rule(IN, "10.0.0.3/32", "192.168.7.0/24", C, Deny));
  EXPECT_EQ(l.rules.at({IN, net("10.0.0.4/32"), net("192.168.7.0/24")}).action, Allow);
  EXPECT_EQ(count_action(l, Allow), 4u);
  EXPECT_TRUE(d.cfg.effective_routing_list(M)->routes.empty());
  EXPECT_EQ(d.cfg.effective_forwarding_list(M).destinations, std::set<Ipv4Net>{net("192.168.7.0/24")});
}

TEST(EffectiveEdges, RouteOntoANodeAddressIsADuplicate) {
  for (const char* dest : {"10.0.0.3/32", "10.0.0.2/32"}) {  // another node; the gateway itself
    Doc d;
    d.node(M, "10.0.0.1", "m").node(B, "10.0.0.2", "b").node(C, "10.0.0.3", "c").route(dest, B);
    const auto r = d.cfg.effective_access_rule_list(M);
    ASSERT_FALSE(r.has_value()) << dest;
    EXPECT_EQ(r.error().kind(), ConfigError::Kind::DuplicateRoute);
    EXPECT_EQ(r.error().message(), "duplicate route");
  }
  Doc own;
  own.node(M, "10.0.0.1", "m").node(B, "10.0.0.2", "b").route("10.0.0.1/32", M);
  EXPECT_FALSE(own.cfg.effective_access_rule_list(M).has_value());
  own.cfg.node.erase(B);  // alone, a route through itself to itself repeats nothing
  EXPECT_TRUE(own.cfg.effective_access_rule_list(M).has_value());
}

TEST(EffectiveEdges, GatewayNotANode) {
  Doc d;
  d.node(M, "10.0.0.1", "m").route("172.16.0.0/16", X);
  const auto r = d.cfg.effective_routing_list(M);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ConfigError::Kind::GatewayNotFound);
  EXPECT_EQ(r.error().message(), "gateway " + X.to_string() + " not found in nodes");
}

TEST(EffectiveEdges, HostnameCaseKept) {
  Doc d;
  d.node(M, "10.0.0.1", "Web-Front");
  EXPECT_EQ(d.cfg.hostnames(M).names.at(ip("10.0.0.1")), "Web-Front");
}

// The own key is not a node: nothing may be allowed, nothing read past the map.
TEST(EffectiveEdges, MissingOwnKeyFailsClosed) {
  Doc d = worked();
  d.policy({"ALL"}, {"ALL"}).route("172.16.0.0/16", B).route("172.17.0.0/16", X);
  const auto rules = d.cfg.effective_access_rule_list(X);
  ASSERT_TRUE(rules.has_value());
  EXPECT_TRUE(rules->rules.empty());
  const auto [tx, rx] = rules->routing_tries();
  EXPECT_TRUE(tx.empty() && rx.empty());

  const auto routes = d.cfg.effective_routing_list(X);
  ASSERT_TRUE(routes.has_value());
  // Route with groups skipped; the one through X is its own; the open one stays.
  EXPECT_EQ(routes->routes, (std::map<Ipv4Net, EffectiveRoute>{
                                {net("172.16.0.0/16"), {net("172.16.0.0/16"), ip("10.0.0.2")}}}));
  EXPECT_TRUE(d.cfg.hostnames(X).names.empty());
  EXPECT_EQ(d.cfg.effective_forwarding_list(X).destinations, std::set<Ipv4Net>{net("172.17.0.0/16")});
}

// --- texts and tables ----------------------------------------------------------

std::string pad(std::string s, std::size_t w) {
  if (s.size() < w) s.append(w - s.size(), ' ');
  return s;
}

const std::string kRuleHeader = "Type Source             Destination        " + pad("PubKey", 64) + " Action\n";

TEST(Tables, RuleLineAndTexts) {
  const auto r = rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow);
  EXPECT_EQ(r.to_string(), "direction=OUT source=10.0.0.1/32 dest=10.0.0.2/32 pk=PubKey(" + B.to_string() +
                               ") action=Allow\n");
  EXPECT_EQ(rule(IN, "10.0.0.2/32", "10.0.0.1/32", C, Deny).debug(),
            "EffectiveAccessRule { direction: IN, source: 10.0.0.2/32, dest: 10.0.0.1/32, pk: PubKey(" +
                C.to_string() + "), action: Deny }");
  EXPECT_EQ((EffectiveRoute{net("10.9.0.0/16"), ip("10.0.0.2")}).debug(),
            "EffectiveRoute { dest: 10.9.0.0/16, gw: 10.0.0.2 }");
  EXPECT_EQ(to_string(IN), "IN");
  EXPECT_EQ(to_string(OUT), "OUT");
  EXPECT_EQ(to_string(Allow), "ALLOW");
  EXPECT_EQ(to_string(Deny), "DENY");
  EXPECT_EQ(debug_string(Deny), "Deny");
}

TEST(Tables, EmptyListsAreTheHeaderAlone) {
  EXPECT_EQ(EffectiveAccessRuleList{}.to_string(), kRuleHeader);
  EXPECT_EQ(EffectiveRoutingList{}.to_string(), "Destination        Gateway        \n");
  EXPECT_EQ(HostnameList{}.to_string(), "IP              Hostname\n");
}

TEST(Tables, RuleTableRowsColumnsAndOrder) {
  const auto l = list_of({
      rule(IN, "10.0.0.2/32", "10.0.0.1/32", B, Deny),
      rule(OUT, "10.0.0.0/24", "10.0.0.2/32", B, Allow),
      rule(OUT, "10.0.0.0/8", "10.0.0.2/32", C, Deny),
      rule(OUT, "9.255.255.255/32", "10.0.0.2/32", B, Allow),
      rule(OUT, "10.0.0.2/32", "10.0.0.1/32", B, Allow),
  });
  const auto row = [](const char* d, const char* s, const char* t, const PubKey& k, const char* a) {
    return pad(d, 4) + " " + pad(s, 18) + " " + pad(t, 18) + " " + k.to_string() + " " + pad(a, 6) + "\n";
  };
  const std::string expected = kRuleHeader + row("OUT", "9.255.255.255/32", "10.0.0.2/32", B, "ALLOW") +
                               row("OUT", "10.0.0.0/8", "10.0.0.2/32", C, "DENY") +
                               row("OUT", "10.0.0.0/24", "10.0.0.2/32", B, "ALLOW") +
                               row("OUT", "10.0.0.2/32", "10.0.0.1/32", B, "ALLOW") +
                               row("IN", "10.0.0.2/32", "10.0.0.1/32", B, "DENY");
  const std::string text = l.to_string();
  EXPECT_EQ(text, expected);

  std::istringstream lines(text);
  std::string line;
  int n = 0;
  while (n < 10 && std::getline(lines, line)) {
    ++n;
    ASSERT_EQ(line.size(), 114u) << line;
    for (const std::size_t col : {5u, 24u, 43u, 108u}) {
      EXPECT_EQ(line[col - 1], ' ') << line;
      EXPECT_NE(line[col], ' ') << line;
    }
  }
  EXPECT_EQ(n, 6);
  std::ostringstream os;
  os << l;
  EXPECT_EQ(os.str(), expected);
}

TEST(Tables, RouteAndHostnameTables) {
  EffectiveRoutingList routes;
  for (const char* d : {"10.0.0.0/24", "9.255.255.255/32", "10.0.0.0/8"})
    routes.routes.emplace(net(d), EffectiveRoute{net(d), ip("10.0.0.10")});
  EXPECT_EQ(routes.to_string(),
            "Destination        Gateway        \n"
            "9.255.255.255/32   10.0.0.10      \n"
            "10.0.0.0/8         10.0.0.10      \n"
            "10.0.0.0/24        10.0.0.10      \n");

  HostnameList hosts;
  hosts.names = {{ip("10.0.0.10"), "Db"}, {ip("10.0.0.9"), "web"}};
  EXPECT_EQ(hosts.to_string(),
            "IP              Hostname\n"
            "10.0.0.9        web.sarvolt.zz\n"
            "10.0.0.10       Db.sarvolt.zz\n");
}

}  // namespace
}  // namespace sarvolt::network
