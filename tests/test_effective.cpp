#include <gtest/gtest.h>

#include <sstream>

#include "network/config/effective.hpp"
#include "support.hpp"

namespace sarvolt::network {
namespace {

PubKey key(std::uint8_t b) { std::array<std::uint8_t, 32> a; a.fill(b); return PubKey(a); }
Ipv4Addr ip(const char* s) { return *Ipv4Addr::parse(s); }
Ipv4Net net(const char* s) { return *Ipv4Net::parse(s); }

const PubKey M = key(0x01), B = key(0x02), C = key(0x03), D = key(0x04), X = key(0x77);
constexpr auto OUT = Direction::OUT, IN = Direction::IN;
constexpr auto Allow = Action::Allow, Deny = Action::Deny;

struct Doc {
  NetworkConfig cfg;
  Doc& node(const PubKey& pk, const char* addr, std::string host, GroupSet groups = {}) {
    cfg.node.insert_or_assign(pk, NetworkNode{pk, ip(addr), std::move(host), std::move(groups)});
    return *this;
  }
  Doc& route(const char* dest, const PubKey& gw, GroupSet groups = {}) {
    cfg.route.insert_or_assign(net(dest), NetworkRoute{net(dest), gw, std::move(groups)});
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

Action action_of(const EffectiveAccessRuleList& l, Direction d, const char* src, const char* dst) {
  return l.rules.at({d, net(src), net(dst)}).action;
}

// The key a trie gives for the (outer, inner) addresses; X for none.
PubKey peer(const RuleTrie& t, const char* outer, const char* inner) {
  const auto* o = t.longest_match(ip(outer));
  const auto* i = o ? o->second.longest_match(ip(inner)) : nullptr;
  return i ? i->second : X;
}

std::map<Ipv4Net, EffectiveRoute> routes_via(const char* dest, const char* gw) {
  return {{net(dest), {net(dest), ip(gw)}}};
}

// M 10.0.0.1 {a}, B 10.0.0.2 {b}, C 10.0.0.3 {}; policy {a} -> {b};
// 192.168.1.0/24 through B for group a.
NetworkConfig worked() {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"a"}).node(B, "10.0.0.2", "b", {"b"}).node(C, "10.0.0.3", "c");
  d.cfg.policy = {NetworkPolicy{{"a"}, {"b"}}};
  return d.route("192.168.1.0/24", B, {"a"}).cfg;
}

TEST(WorkedExample, OnM) {
  const auto cfg = worked();
  EXPECT_EQ(rules_of(cfg, M), list_of({
      rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow), rule(IN, "10.0.0.2/32", "10.0.0.1/32", B, Allow),
      rule(OUT, "10.0.0.1/32", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "10.0.0.1/32", C, Deny),
      rule(OUT, "10.0.0.1/32", "192.168.1.0/24", B, Allow),
      rule(IN, "192.168.1.0/24", "10.0.0.1/32", B, Allow),
  }));
  EXPECT_EQ(cfg.effective_routing_list(M)->routes, routes_via("192.168.1.0/24", "10.0.0.2"));
  EXPECT_TRUE(cfg.effective_forwarding_list(M).destinations.empty());
  EXPECT_EQ(cfg.hostnames(M).names,
            (std::map<Ipv4Addr, std::string>{{ip("10.0.0.1"), "m"}, {ip("10.0.0.2"), "b"}}));
}

TEST(WorkedExample, OnGatewayB) {
  const auto cfg = worked();
  EXPECT_EQ(rules_of(cfg, B), list_of({
      rule(OUT, "10.0.0.2/32", "10.0.0.1/32", M, Allow), rule(IN, "10.0.0.1/32", "10.0.0.2/32", M, Allow),
      rule(OUT, "10.0.0.2/32", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "10.0.0.2/32", C, Deny),
      rule(OUT, "192.168.1.0/24", "10.0.0.1/32", M, Allow),
      rule(IN, "10.0.0.1/32", "192.168.1.0/24", M, Allow),
      rule(OUT, "192.168.1.0/24", "10.0.0.3/32", C, Deny),
      rule(IN, "10.0.0.3/32", "192.168.1.0/24", C, Deny),
  }));
  EXPECT_TRUE(cfg.effective_routing_list(B)->routes.empty());
  EXPECT_EQ(cfg.effective_forwarding_list(B).destinations, std::set<Ipv4Net>{net("192.168.1.0/24")});
  EXPECT_EQ(cfg.hostnames(B).names.size(), 2u);
}

// Transmit: destination -> source -> key; receive: source -> destination -> key.
// Denied pairs are absent.
TEST(WorkedExample, Tries) {
  const auto [m_tx, m_rx] = rules_of(worked(), M).routing_tries();
  const auto [b_tx, b_rx] = rules_of(worked(), B).routing_tries();
  for (const RuleTrie* t : {&m_tx, &m_rx}) {
    EXPECT_EQ(t->size(), 2u);
    EXPECT_EQ(peer(*t, "10.0.0.2", "10.0.0.1"), B);
    EXPECT_EQ(peer(*t, "192.168.1.77", "10.0.0.1"), B);
    EXPECT_EQ(peer(*t, "10.0.0.2", "10.0.0.3"), X);
    EXPECT_EQ(peer(*t, "192.168.2.1", "10.0.0.1"), X);
  }
  for (const RuleTrie* t : {&b_tx, &b_rx}) {
    EXPECT_EQ(t->size(), 1u);
    EXPECT_EQ(peer(*t, "10.0.0.1", "10.0.0.2"), M);
    EXPECT_EQ(peer(*t, "10.0.0.1", "192.168.1.9"), M);
    EXPECT_EQ(peer(*t, "10.0.0.1", "10.0.0.3"), X);
  }
}

TEST(WorkedExample, TraceLinePerRule) {
  test::LogCapture cap;
  (void)rules_of(worked(), M);
  (void)rules_of(worked(), B);
  for (const std::string& line : {
           "Adding OUT rule for node: EffectiveAccessRule { direction: OUT, source: 10.0.0.1/32, "
           "dest: 10.0.0.3/32, pk: PubKey(" + C.to_string() + "), action: Deny }",
           "Adding IN rule for route (gateway): EffectiveAccessRule { direction: IN, "
           "source: 10.0.0.1/32, dest: 192.168.1.0/24, pk: PubKey(" + M.to_string() + "), action: Allow }"}) {
    EXPECT_TRUE(cap.contains("trace", line)) << line;
  }
  const std::pair<const char*, std::size_t> counts[] = {
      {"node: ", 4}, {"route (non-gateway): ", 1}, {"route (gateway): ", 2}};
  for (const auto& [what, n] : counts) {
    for (const char* dir : {"OUT", "IN"}) {
      EXPECT_EQ(cap.count(std::string("Adding ") + dir + " rule for " + what), n) << dir << ' ' << what;
    }
  }
  for (const auto& l : cap.lines()) EXPECT_EQ(l.target, "sarvolt_agent::network::config");
}

TEST(MatchingPolicy, TruthTable) {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"x"}).node(B, "10.0.0.2", "b", {"y"}).node(C, "10.0.0.3", "c", {"ALL"});
  d.node(D, "10.0.0.4", "d");
  using P = std::set<NetworkPolicy>;
  const P none, x_y{{{"x"}, {"y"}}}, all{{{"ALL"}, {"ALL"}}}, lower{{{"all"}, {"all"}}},
      empty_sides{{{}, {"ALL"}}, {{"ALL"}, {}}}, x_any{{{"x"}, {"ALL"}}};
  const struct { const P& policy; PubKey a, b; bool match; } cases[] = {
      {none, X, X, true},  // a key matches itself, node or not
      {none, M, B, false}, {none, M, X, false},
      {x_y, M, B, true},   {x_y, B, M, true},  // both directions
      {x_y, M, C, false},  // a node's own "ALL" is just a name
      {x_y, X, B, false},
      {all, M, D, true},   {all, B, C, true},  {lower, M, D, false},
      {empty_sides, M, B, false},  // an empty side matches nothing
      {x_any, D, M, true}, {x_any, D, B, false},
  };
  for (const auto& c : cases) {
    d.cfg.policy = c.policy;
    EXPECT_EQ(d.cfg.matching_policy(c.a, c.b), c.match) << &c - cases;
  }
}

TEST(EffectiveEdges, OnlyNodeKeepsHostnameCase) {
  Doc d;
  d.node(M, "10.0.0.1", "Web-Front");
  EXPECT_TRUE(rules_of(d.cfg, M).rules.empty());
  EXPECT_TRUE(d.cfg.effective_routing_list(M)->routes.empty());
  EXPECT_TRUE(d.cfg.effective_forwarding_list(M).destinations.empty());
  EXPECT_EQ(d.cfg.hostnames(M).names, (std::map<Ipv4Addr, std::string>{{ip("10.0.0.1"), "Web-Front"}}));
}

// Route groups are tested against the node using the route; "ALL" is a name here.
TEST(EffectiveEdges, RouteGroupsThroughAnotherNode) {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"a"}).node(B, "10.0.0.2", "b", {"z", "ALL"});
  d.route("172.16.0.0/16", B, {"z"}).route("172.17.0.0/16", B).route("172.18.0.0/16", B, {"ALL"});
  const auto l = rules_of(d.cfg, M);
  const std::pair<const char*, Action> cases[] = {
      {"172.16.0.0/16", Deny}, {"172.17.0.0/16", Allow}, {"172.18.0.0/16", Deny}};
  for (const auto& [dest, a] : cases) {
    EXPECT_EQ(action_of(l, OUT, "10.0.0.1/32", dest), a) << dest;
    EXPECT_EQ(action_of(l, IN, dest, "10.0.0.1/32"), a) << dest;
  }
  EXPECT_EQ(d.cfg.effective_routing_list(M)->routes, routes_via("172.17.0.0/16", "10.0.0.2"));
  d.node(M, "10.0.0.1", "m", {"ALL"});
  EXPECT_EQ(d.cfg.effective_routing_list(M)->routes.size(), 2u);
}

TEST(EffectiveEdges, GatewayRouteGivesRulesPerOtherNode) {
  Doc d;
  d.node(M, "10.0.0.1", "m").node(B, "10.0.0.2", "b", {"g"}).node(C, "10.0.0.3", "c");
  d.node(D, "10.0.0.4", "d", {"g"}).route("192.168.7.0/24", M, {"g"});
  const auto l = rules_of(d.cfg, M);
  EXPECT_EQ(l.rules.size(), 2u * (3u + 3u));
  EXPECT_EQ(action_of(l, OUT, "192.168.7.0/24", "10.0.0.2/32"), Allow);
  EXPECT_EQ(action_of(l, IN, "10.0.0.3/32", "192.168.7.0/24"), Deny);
  EXPECT_EQ(action_of(l, IN, "10.0.0.4/32", "192.168.7.0/24"), Allow);
  EXPECT_EQ(action_of(l, OUT, "10.0.0.1/32", "10.0.0.4/32"), Deny);  // no policy between nodes
}

TEST(EffectiveEdges, DuplicateRouteAndUnknownGateway) {
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

  const auto r = own.route("172.16.0.0/16", X).cfg.effective_routing_list(M);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ConfigError::Kind::GatewayNotFound);
  EXPECT_EQ(r.error().message(), "gateway " + X.to_string() + " not found in nodes");
}

// The own key is not a node: nothing may be allowed, nothing read past the map.
TEST(EffectiveEdges, MissingOwnKeyFailsClosed) {
  Doc d{worked()};
  d.cfg.policy.insert(NetworkPolicy{{"ALL"}, {"ALL"}});
  d.route("172.16.0.0/16", B).route("172.17.0.0/16", X);
  const auto rules = d.cfg.effective_access_rule_list(X);
  ASSERT_TRUE(rules.has_value());
  EXPECT_TRUE(rules->rules.empty());
  const auto [tx, rx] = rules->routing_tries();
  EXPECT_TRUE(tx.empty() && rx.empty());
  // Route with groups skipped; the one through X is its own; the open one stays.
  EXPECT_EQ(d.cfg.effective_routing_list(X)->routes, routes_via("172.16.0.0/16", "10.0.0.2"));
  EXPECT_TRUE(d.cfg.hostnames(X).names.empty());
  EXPECT_EQ(d.cfg.effective_forwarding_list(X).destinations, std::set<Ipv4Net>{net("172.17.0.0/16")});
}

// --- texts and tables ----------------------------------------------------------

std::string pad(std::string s, std::size_t w) { s.resize(std::max(s.size(), w), ' '); return s; }

const std::string kRuleHeader = "Type Source             Destination        " + pad("PubKey", 64) + " Action\n";

TEST(Tables, RuleLineAndTable) {
  EXPECT_EQ(rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow).to_string(),
            "direction=OUT source=10.0.0.1/32 dest=10.0.0.2/32 pk=PubKey(" + B.to_string() + ") action=Allow\n");
  EXPECT_EQ(EffectiveAccessRuleList{}.to_string(), kRuleHeader);
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
  // OUT rows first, then numeric order of source and destination.
  const std::string expected = kRuleHeader + row("OUT", "9.255.255.255/32", "10.0.0.2/32", B, "ALLOW") +
                               row("OUT", "10.0.0.0/8", "10.0.0.2/32", C, "DENY") +
                               row("OUT", "10.0.0.0/24", "10.0.0.2/32", B, "ALLOW") +
                               row("OUT", "10.0.0.2/32", "10.0.0.1/32", B, "ALLOW") +
                               row("IN", "10.0.0.2/32", "10.0.0.1/32", B, "DENY");
  EXPECT_EQ(l.to_string(), expected);
  std::ostringstream os;
  os << l;
  EXPECT_EQ(os.str(), expected);
}

TEST(Tables, RouteAndHostnameTables) {
  EXPECT_EQ((EffectiveRoute{net("10.9.0.0/16"), ip("10.0.0.2")}).debug(),
            "EffectiveRoute { dest: 10.9.0.0/16, gw: 10.0.0.2 }");
  EXPECT_EQ(EffectiveRoutingList{}.to_string(), "Destination        Gateway        \n");
  EXPECT_EQ(HostnameList{}.to_string(), "IP              Hostname\n");
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
