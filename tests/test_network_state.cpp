#include <gtest/gtest.h>

#include <memory>

#include "network/network.hpp"

namespace sarvolt::network {
namespace {

Ipv4Addr ip(const char* s) { return *Ipv4Addr::parse(s); }
Ipv4Net net(const char* s) { return *Ipv4Net::parse(s); }
util::Url url(const char* s) { return *util::Url::parse(s); }

EffectiveAccessRuleList one_rule(Action a) {
  const EffectiveAccessRule r{Direction::OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), PubKey(), a};
  EffectiveAccessRuleList l;
  l.rules.emplace(EffectiveAccessRuleListEntryKey{r.direction, r.source, r.dest}, r);
  return l;
}

TEST(AppliedStatus, TextOfAllFourCombinations) {
  using S = AppliedStatus<Ipv4Net>;
  EXPECT_EQ(S{}.to_string(), "None");
  EXPECT_EQ(S::failed("Failed to create TUN device tasks").to_string(),
            "None (Error: Failed to create TUN device tasks)");
  EXPECT_EQ(S::value(net("10.0.0.7/24")).to_string(), "10.0.0.7/24");
  EXPECT_EQ((S{net("10.0.0.7/24"), "busy"}).to_string(), "10.0.0.7/24 (Error: busy)");
  // Lists show their table, newline included, before the error.
  using R = AppliedStatus<EffectiveAccessRuleList>;
  EXPECT_EQ((R{one_rule(Action::Deny), "no tun"}).to_string(),
            one_rule(Action::Deny).to_string() + " (Error: no tun)");
}

// Every field counts: an error text, a letter's case, an empty list vs none.
TEST(AgentState, EqualityAndDeepCopy) {
  AgentState a;
  EXPECT_TRUE(a.is_empty());
  a.access_rules = AppliedStatus<EffectiveAccessRuleList>::value(one_rule(Action::Allow));
  a.hostnames.applied.emplace().names = {{ip("10.0.0.1"), "Web"}};
  a.routes.error = "route table busy";
  EXPECT_FALSE(a.is_empty());
  AgentState b = a;
  EXPECT_EQ(a, b);
  b.routes.error = "route table busy.";
  EXPECT_NE(a, b);
  b = a;
  b.access_rules.applied = one_rule(Action::Deny);
  EXPECT_NE(a, b);
  b = a;
  b.forwardings.applied.emplace();
  EXPECT_NE(a, b);
  b = a;
  b.hostnames.applied->names.at(ip("10.0.0.1")) = "web";
  EXPECT_NE(a, b);
  EXPECT_EQ(a.hostnames.applied->names.at(ip("10.0.0.1")), "Web");  // the copy owns its list
}

TEST(NetworkHealth, DebugFormsAndEquality) {
  const std::pair<NetworkHealth, const char*> cases[] = {
      {NetworkHealth{}, "Initializing"},
      {NetworkHealth::disabled(), "Disabled"},
      {NetworkHealth::ok(), "Ok"},
      {NetworkHealth::pending(), "Pending"},
      {NetworkHealth::not_a_member_error(), "NotAMemberError"},
      {NetworkHealth::retrieve_config_error("HTTP \"404\" at a\\b"), R"(RetrieveConfigError("HTTP \"404\" at a\\b"))"},
      {NetworkHealth::invalid_config_error("line 1\n\tbad"), R"(InvalidConfigError("line 1\n\tbad"))"},
  };
  for (const auto& [h, text] : cases) EXPECT_EQ(h.debug(), text);
  EXPECT_NE(NetworkHealth::invalid_config_error("x"), NetworkHealth::invalid_config_error("y"));
  EXPECT_NE(NetworkHealth::invalid_config_error("x"), NetworkHealth::retrieve_config_error("x"));
}

TEST(NetworkRecord, StartsEmptyAndKeepsItsSlot) {
  Network n(url("https://example.com/net.toml"), false, "lab");
  EXPECT_EQ(n.health, NetworkHealth::initializing());
  EXPECT_TRUE(n.desired.is_empty() && n.current.is_empty());
  EXPECT_EQ(n.network_config(), nullptr);
  EXPECT_EQ(n.config_error(), nullptr);

  n.config.emplace<NetworkConfig>().network = net("10.0.0.0/24");
  ASSERT_NE(n.network_config(), nullptr);
  EXPECT_EQ(n.network_config()->network, net("10.0.0.0/24"));
  n.config = std::make_shared<const agent::Error>(agent::Error::make(agent::Error::Kind::NetworkError, "x"));
  ASSERT_NE(n.config_error(), nullptr);
  EXPECT_EQ(n.network_config(), nullptr);

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
  for (const char* u : {"https://controller/net.toml", "http://example.com/controller", "file:///controller"}) {
    EXPECT_FALSE(Network(url(u)).is_controller_managed()) << u;
  }
}

}  // namespace
}  // namespace sarvolt::network
