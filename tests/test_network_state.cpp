#include <gtest/gtest.h>

#include <memory>

#include "network/network.hpp"

namespace sarvolt::network {
namespace {

PubKey key(std::uint8_t b) {
  std::array<std::uint8_t, 32> a;
  a.fill(b);
  return PubKey(a);
}
Ipv4Addr ip(const char* s) { return *Ipv4Addr::parse(s); }
Ipv4Net net(const char* s) { return *Ipv4Net::parse(s); }
util::Url url(const char* s) { return *util::Url::parse(s); }

const std::string kRuleHeader =
    "Type Source             Destination        PubKey" + std::string(58, ' ') + " Action\n";

EffectiveAccessRuleList one_rule(Action a) {
  EffectiveAccessRuleList l;
  const EffectiveAccessRule r{Direction::OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), key(2), a};
  l.rules.emplace(EffectiveAccessRuleListEntryKey{r.direction, r.source, r.dest}, r);
  return l;
}

TEST(AppliedStatusText, AllFourCombinations) {
  using S = AppliedStatus<Ipv4Net>;
  EXPECT_EQ(S{}.to_string(), "None");
  EXPECT_EQ(S::failed("Failed to create TUN device tasks").to_string(),
            "None (Error: Failed to create TUN device tasks)");
  EXPECT_EQ(S::value(net("10.0.0.7/24")).to_string(), "10.0.0.7/24");
  EXPECT_EQ((S{net("10.0.0.7/24"), "busy"}).to_string(), "10.0.0.7/24 (Error: busy)");
}

TEST(AppliedStatusText, AccessRulesShowTheirTable) {
  using S = AppliedStatus<EffectiveAccessRuleList>;
  EXPECT_EQ(S::value({}).to_string(), kRuleHeader);
  EXPECT_EQ((S{EffectiveAccessRuleList{}, "no tun"}).to_string(), kRuleHeader + " (Error: no tun)");
  const std::string text = S::value(one_rule(Action::Deny)).to_string();
  EXPECT_EQ(text.substr(0, kRuleHeader.size()), kRuleHeader);
  EXPECT_EQ(text.substr(kRuleHeader.size()).rfind("OUT  10.0.0.1/32", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 8), " DENY  \n");
}

TEST(AppliedStatusEquality, ValuesAndErrors) {
  using S = AppliedStatus<EffectiveAccessRuleList>;
  EXPECT_EQ(S{}, S{});
  EXPECT_NE(S{}, S::value({}));
  EXPECT_NE(S::failed("a"), S::failed("b"));
  EXPECT_NE(S::failed("a"), (S{EffectiveAccessRuleList{}, "a"}));
  EXPECT_EQ(S::value(one_rule(Action::Allow)), S::value(one_rule(Action::Allow)));
  EXPECT_NE(S::value(one_rule(Action::Allow)), S::value(one_rule(Action::Deny)));  // every field counts
}

TEST(AgentStateModel, EmptyEqualityAndDeepCopy) {
  EXPECT_TRUE(AgentState::empty().is_empty());
  EXPECT_EQ(AgentState{}, AgentState::empty());

  AgentState a;
  a.ip = AppliedStatus<Ipv4Net>::value(net("10.0.0.1/24"));
  a.access_rules = AppliedStatus<EffectiveAccessRuleList>::value(one_rule(Action::Allow));
  a.hostnames.applied.emplace().names = {{ip("10.0.0.1"), "Web"}};
  a.forwardings.applied.emplace().destinations = {net("192.168.0.0/16")};
  a.routes.error = "route table busy";
  EXPECT_FALSE(a.is_empty());

  AgentState b = a;
  EXPECT_EQ(a, b);
  b.routes.error = "route table busy.";  // error text alone differs
  EXPECT_NE(a, b);

  AgentState c = a;
  c.hostnames.applied->names.at(ip("10.0.0.1")) = "web";  // case alone differs
  EXPECT_NE(a, c);
  EXPECT_EQ(a.hostnames.applied->names.at(ip("10.0.0.1")), "Web");  // the copy owns its list

  AgentState d = a;
  d.forwardings.applied->destinations.insert(net("192.169.0.0/16"));
  EXPECT_NE(a, d);
}

TEST(NetworkHealthText, DebugForms) {
  EXPECT_EQ(NetworkHealth{}.kind(), NetworkHealth::Kind::Initializing);
  EXPECT_EQ(NetworkHealth::initializing().debug(), "Initializing");
  EXPECT_EQ(NetworkHealth::disabled().debug(), "Disabled");
  EXPECT_EQ(NetworkHealth::ok().debug(), "Ok");
  EXPECT_EQ(NetworkHealth::pending().debug(), "Pending");
  EXPECT_EQ(NetworkHealth::not_a_member_error().debug(), "NotAMemberError");
  EXPECT_EQ(NetworkHealth::retrieve_config_error("HTTP \"404\" at a\\b").debug(),
            R"(RetrieveConfigError("HTTP \"404\" at a\\b"))");
  EXPECT_EQ(NetworkHealth::invalid_config_error("line 1\n\tbad").debug(),
            R"(InvalidConfigError("line 1\n\tbad"))");
  EXPECT_EQ(static_cast<int>(NetworkHealth::invalid_config_error("x").kind()), 6);
  EXPECT_EQ(static_cast<int>(NetworkHealth::retrieve_config_error("x").kind()), 4);
  EXPECT_NE(NetworkHealth::invalid_config_error("x"), NetworkHealth::invalid_config_error("y"));
  EXPECT_NE(NetworkHealth::invalid_config_error("x"), NetworkHealth::retrieve_config_error("x"));
}

TEST(NetworkRecord, StartsEmptyAndKeepsItsSlot) {
  Network n(url("https://example.com/net.toml"), false, "lab");
  EXPECT_EQ(n.health, NetworkHealth::initializing());
  EXPECT_TRUE(n.desired.is_empty());
  EXPECT_TRUE(n.current.is_empty());
  EXPECT_TRUE(std::holds_alternative<std::monostate>(n.config));
  EXPECT_EQ(n.network_config(), nullptr);
  EXPECT_EQ(n.config_error(), nullptr);

  NetworkConfig cfg;
  cfg.network = net("10.0.0.0/24");
  n.config = cfg;
  ASSERT_NE(n.network_config(), nullptr);
  EXPECT_EQ(n.network_config()->network, net("10.0.0.0/24"));

  n.config = std::make_shared<const agent::Error>(agent::Error::make(agent::Error::Kind::NetworkError, "x"));
  ASSERT_NE(n.config_error(), nullptr);
  EXPECT_EQ(n.config_error()->kind(), agent::Error::Kind::NetworkError);

  // Run-time fields play no part in the persisted settings.
  Network copy = n;
  copy.health = NetworkHealth::pending();
  copy.desired.ip = AppliedStatus<Ipv4Net>::value(net("10.0.0.1/24"));
  EXPECT_TRUE(copy.same_settings(n));
  copy.disabled = true;
  EXPECT_FALSE(copy.same_settings(n));
}

TEST(NetworkRecord, ControllerManagedBySchemeOnly) {
  EXPECT_TRUE(Network(url("controller://0b6f2c2e-7d0a-4c55-9d3e-2b1f1f1f1f1f")).is_controller_managed());
  EXPECT_FALSE(Network(url("https://controller/net.toml")).is_controller_managed());
  EXPECT_FALSE(Network(url("http://example.com/controller")).is_controller_managed());
  EXPECT_FALSE(Network(url("file:///controller")).is_controller_managed());
}

}  // namespace
}  // namespace sarvolt::network
