// Network documents: reading, validation, the lists derived from a document
// for one member and their tables, and the network record's own texts.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <tuple>

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "network/network.hpp"
#include "support.hpp"

namespace sarvolt::network {
namespace {

using test::ip;
using test::net;

std::string key(char digit) { return std::string(64, digit); }  // a key text of one repeated digit
PubKey pk(char digit) { return *PubKey::from_str(key(digit)); }

std::string node(char digit, const std::string& addr, const std::string& hostname, const std::string& extra = "") {
  return "[[node]]\npk = \"" + key(digit) + "\"\nip = \"" + addr + "\"\nhostname = \"" + hostname + "\"\n" + extra;
}
std::string route(const std::string& dest, char gw) {
  return "[[route]]\ndest = \"" + dest + "\"\ngw = \"" + key(gw) + "\"\n";
}
const std::string kNet = "network = \"10.0.0.0/24\"\n";
const std::string kUuid = "67e55044-10b1-426f-9247-bb680e5fe0c8";

// A document built in code.
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

std::string read_message(const std::string& text) {  // reads without validation
  auto r = read_network_config(text);
  return r ? "<ok>" : r.error().message;
}
std::string validate_message(const std::string& text) {
  auto r = NetworkConfig::try_from(text);
  return r ? "<ok>" : r.error().message();
}

TEST(NetworkConfigRead, FullDocumentIgnoresUnknownKeysAndRecordsAsArrays) {
  auto full = read_network_config(
      "id = \"" + kUuid + "\"\nname = \"Lab\"\nextra = 1\n" + kNet +
      node('a', "10.0.0.1", "Web-01", "groups = [\"x\", \"x\", \"y\"]\ncolour = \"red\"\n") + node('b', "10.0.0.2", "db") +
      route("10.1.0.0/16", 'a') + "note = []\n" +
      "[[policy]]\nsource_groups = [\"a\", \"b\"]\ndestination_groups = []\nweight = 3\n"
      "[[policy]]\nsource_groups = [\"b\", \"a\", \"a\"]\ndestination_groups = []\n");
  ASSERT_TRUE(full) << full.error().to_string();
  Doc want{{boost::uuids::string_generator()(kUuid), net("10.0.0.0/24"), "Lab", {}, {}, {{{"a", "b"}, {}}}}};
  want.node(pk('a'), "10.0.0.1", "Web-01", {"x", "y"}).node(pk('b'), "10.0.0.2", "db").route("10.1.0.0/16", pk('a'));
  EXPECT_EQ(*full, want.cfg);

  auto arrays = read_network_config(kNet + "node = [[\"" + key('a') + "\", \"10.0.0.1\", \"a\", [\"g\"]]]\n" +
                                    "route = [[\"10.1.0.0/16\", \"" +
                                    key('a') + "\", []]]\npolicy = [[[\"g\"], [\"g\", \"h\"]]]\n");
  ASSERT_TRUE(arrays) << arrays.error().to_string();
  Doc arrayed{{std::nullopt, net("10.0.0.0/24"), std::nullopt, {}, {}, {{{"g"}, {"g", "h"}}}}};
  EXPECT_EQ(*arrays, arrayed.node(pk('a'), "10.0.0.1", "a", {"g"}).route("10.1.0.0/16", pk('a')).cfg);
}

TEST(NetworkConfigRead, ErrorMessagesAndWhichComesFirst) {
  const std::string row = "[\"" + key('a') + "\", \"10.0.0.1\"";
  const std::pair<std::string, std::string> cases[] = {
      {"", "missing field `network`"},  // missing keys in declaration order
      {kNet + "[[node]]\nhostname = \"h\"\nip = \"10.0.0.1\"\n", "missing field `pk`"},
      {kNet + "[[node]]\nhostname = \"h\"\npk = \"" + key('a') + "\"\n", "missing field `ip`"},
      {kNet + "[[node]]\nip = \"10.0.0.1\"\npk = \"" + key('a') + "\"\n", "missing field `hostname`"},
      {kNet + "[[route]]\ngroups = []\n", "missing field `dest`"},
      {kNet + "[[route]]\ndest = \"10.1.0.0/16\"\n", "missing field `gw`"},
      {kNet + "[[policy]]\n", "missing field `source_groups`"},
      {kNet + "[[policy]]\nsource_groups = []\n", "missing field `destination_groups`"},
      {kNet + "node = [1979-05-27T07:32:00Z]\n", "missing field `pk`"},  // a date-time reads as a record
      {"node = 1\n", "invalid type: integer `1`, expected a sequence"},  // a bad value before a missing key
      {kNet + "[[node]]\npk = \"zz\"\nip = \"1.2\"\nhostname = \"h\"\n", "invalid IPv4 address syntax"},  // `ip` < `pk`
      {kNet + "[node]\npk = 1\n", "invalid type: map, expected a sequence"},
      {kNet + "node = [5]\n", "invalid type: integer `5`, expected struct NetworkNode"},
      {kNet + "policy = [\"p\"]\n", "invalid type: string \"p\", expected struct NetworkPolicy"},
      {kNet + node('a', "10.0.0.1", "h", "groups = \"g\"\n"), "invalid type: string \"g\", expected a sequence"},
      {kNet + node('a', "10.0.0.1", "h", "groups = [1]\n"), "invalid type: integer `1`, expected a string"},
      {kNet + node('a', "10.0.0.256", "h"), "invalid IPv4 address syntax"},
      {kNet + "[[node]]\npk = \"abc\"\nip = \"10.0.0.1\"\nhostname = \"h\"\n", PubKey::from_str("abc").error().message()},
      {"network = \"10.0.0.0\"\n", "invalid IPv4 network syntax"},
      {"network = \"10.0.0.0/33\"\n", "invalid prefix length"},
      {kNet + "node = [" + row + "]]\n", "invalid length 2, expected struct NetworkNode with 4 elements"},
      {kNet + "node = [" + row + ", \"a\", [], 5]]\n", "invalid length 5, expected struct NetworkNode with 4 elements"},
      {kNet + "route = [[\"10.1.0.0/16\"]]\n", "invalid length 1, expected struct NetworkRoute with 3 elements"},
      {kNet + "node = [[\"" + key('a') + "\", 7]]\n", "invalid type: integer `7`, expected IPv4 address"},
      {"id = \"{" + kUuid + "}\"\n" + kNet, "<ok>"},
      {"id = \"urn:uuid:67E55044-10B1-426F-9247-BB680E5FE0C8\"\n" + kNet, "<ok>"},
      {"id = \"67e5504410b1426f9247bb680e5fe0c8\"\n" + kNet, "<ok>"},
      {"id = 1\n" + kNet, "invalid type: integer `1`, expected a UUID string"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(read_message(text), message) << text;
  for (const char* f : {"", "not-a-uuid", "67e5504410b1426f9247bb680e5fe0c", "67e55044-10b1-426f9247-bb680e5fe0c8a",
                        "67e55044-10b1-426f-9247-bb680e5fe0cg", "{67e5504410b1426f9247bb680e5fe0c8}",
                        "67e55044-10b1-426f-9247-bb680e5fe0c8 "})
    EXPECT_TRUE(read_message("id = \"" + std::string(f) + "\"\n" + kNet).starts_with("UUID parsing failed: ")) << f;
  const auto r = read_network_config(kNet + "route = 7\nnode = \"x\"\n");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().key_path, std::vector<std::string>{"node"}) << "`route` is written first, `node` sorts first";
}

TEST(NetworkConfigDuplicates, MessagesOrderAndPosition) {
  const std::pair<std::string, std::string> cases[] = {
      {node('a', "10.0.0.1", "x") + node('a', "10.0.0.1", "y"), "duplicate public key: " + key('a')},  // key first
      {node('a', "10.0.0.1", "x") + node('b', "10.0.0.1", "x"), "duplicate IP address: 10.0.0.1"},
      {node('a', "10.0.0.1", "Web") + node('b', "10.0.0.2", "web"), "duplicate hostname: web"},
      {node('a', "10.0.0.1", "web") + node('b', "10.0.0.2", "Web"), "duplicate hostname: Web"},
      {route("10.1.0.0/16", 'a') + route("10.1.0.0/16", 'b'), "duplicate route destination: 10.1.0.0/16"},
      {route("10.1.0.0/16", 'a') + route("10.1.0.0/24", 'a') + route("10.1.0.1/16", 'a'), "<ok>"},
      // Full Unicode lower-casing: \u00C4rger is \u00E4rger, the Kelvin sign is 'k'.
      {node('a', "10.0.0.1", "\xC3\xA4rger") + node('b', "10.0.0.2", "\xC3\x84rger"), "duplicate hostname: \xC3\x84rger"},
      {node('a', "10.0.0.1", "kelvin") + node('b', "10.0.0.2", "\xE2\x84\xAA" "elvin"),
       "duplicate hostname: \xE2\x84\xAA" "elvin"},
      {node('a', "10.0.0.1", "\xC3\xA4rger") + node('b', "10.0.0.2", "arger"), "<ok>"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(read_message(kNet + text), message) << text;
  auto r = read_network_config(kNet + "node = [\n" + "  { pk = \"" + key('a') +
                               "\", ip = \"10.0.0.1\", hostname = \"a\" },\n" + "  { pk = \"" + key('b') +
                               "\", ip = \"10.0.0.1\", hostname = \"b\" },\n]\n");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().key_path, std::vector<std::string>{"node"});
  EXPECT_EQ(r.error().at, std::make_optional(std::make_pair(2u, 8u))) << "located at the whole array";
}

TEST(NetworkConfigValidate, AddressesRoutesHostNamesAndOrder) {
  const std::string a = node('a', "10.0.0.1", "a");
  const auto in = [](const char* network, const char* addr) {
    return "network = \"" + std::string(network) + "\"\n" + node('a', addr, "a");
  };
  const auto named = [](const std::string& name) { return kNet + node('a', "10.0.0.1", name); };
  const std::string b64(64, 'b'), kelvin = "\xE2\x84\xAA" "elvin";  // K (U+212A) is not 'k'
  const std::pair<std::string, std::string> cases[] = {
      {in("10.0.0.0/24", "10.0.0.254"), "IP address 10.0.0.254 is reserved"},
      {kNet + node('a', "10.0.0.0", "a") + node('b', "10.0.0.255", "Web-01"), "<ok>"},
      {in("10.0.0.0/24", "10.0.1.1"), "IP address 10.0.1.1 is not in network 10.0.0.0/24"},
      {in("10.0.0.7/24", "10.0.1.1"), "IP address 10.0.1.1 is not in network 10.0.0.7/24"},
      {in("10.0.0.7/24", "10.0.0.254"), "IP address 10.0.0.254 is reserved"},
      {in("10.0.0.0/31", "10.0.0.0"), "IP address 10.0.0.0 is reserved"},  // /31: the network address
      {in("10.0.0.0/31", "10.0.0.1"), "<ok>"},
      {in("10.0.0.5/32", "10.0.0.5"), "<ok>"},
      {in("10.0.0.5/32", "10.0.0.4"), "IP address 10.0.0.4 is not in network 10.0.0.5/32"},
      {in("0.0.0.0/32", "0.0.0.0"), "<ok>"},
      {in("0.0.0.0/0", "255.255.255.254"), "IP address 255.255.255.254 is reserved"},
      {kNet + a + route("10.1.0.1/16", 'a'), "invalid network address: 10.1.0.1/16 is a host address"},
      {kNet + a + route("0.0.0.0/0", 'a') + route("10.1.0.1/32", 'a'), "<ok>"},
      {kNet + a + route("10.1.0.0/16", 'c'), "gateway " + key('c') + " not found in nodes"},
      {named("a_b") + route("10.1.0.1/16", 'c'), "invalid hostname: a_b"},
      {named(std::string(63, 'b')), "<ok>"},
      {named(b64), "invalid hostname: " + b64},
      {named(""), "invalid hostname: "},
      {named("-web"), "invalid hostname: -web"},
      {named("web-"), "invalid hostname: web-"},
      {named("web.example"), "invalid hostname: web.example"},
      {named(kelvin), "invalid hostname: " + kelvin},
      // Reading errors give the position, never the document's text.
      {kNet + "\n[[node]]\npk = \"" + key('a') + "\"\nip = \"10.0.0.300\"\nhostname = \"a\"\n",
       "TOML deserialization error: invalid IPv4 address syntax for key `node.ip` at line 5 column 6"},
      {kNet + "this is not toml\n",
       "TOML deserialization error: Error while parsing key-value pair: expected '=', saw 'i' at line 2 column 6"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(validate_message(text), message) << text;
  for (const auto& [text, kind] : {std::pair{in("10.0.0.0/24", "10.0.0.254"), ConfigError::Kind::Reserved},
                                   {named("-web"), ConfigError::Kind::InvalidHostname},
                                   {kNet + "this is not toml\n", ConfigError::Kind::Toml}})
    EXPECT_EQ(NetworkConfig::try_from(text).error().kind(), kind) << text;
}

TEST(NetworkConfigRead, FullDocumentIgnoresUnknownKeys) {
  auto full = read_network_config(
      "id = \"" + kUuid + "\"\nname = \"Lab\"\nextra = 1\n" + kNet +
      node('a', "10.0.0.1", "Web-01", "groups = [\"x\", \"x\", \"y\"]\ncolour = \"red\"\n") + node('b', "10.0.0.2", "db") +
      route("10.1.0.0/16", 'a') + "note = []\n" +
      "[[policy]]\nsource_groups = [\"a\", \"b\"]\ndestination_groups = []\nweight = 3\n"
      "[[policy]]\nsource_groups = [\"b\", \"a\", \"a\"]\ndestination_groups = []\n"
      "[[policy]]\nsource_groups = [\"b\", \"a\"]\ndestination_groups = [\"D\"]\n");
  ASSERT_TRUE(full) << full.error().to_string();
  EXPECT_EQ(boost::uuids::to_string(*full->id), kUuid);
  EXPECT_EQ(full->network, net("10.0.0.0/24"));
  EXPECT_EQ(full->name, "Lab");
  ASSERT_EQ(full->node.size(), 2u);
  EXPECT_EQ(full->node.at(pk('a')), (NetworkNode{pk('a'), ip("10.0.0.1"), "Web-01", {"x", "y"}}));
  EXPECT_TRUE(full->node.at(pk('b')).groups.empty());
  ASSERT_EQ(full->route.size(), 1u);
  EXPECT_EQ(full->route.at(net("10.1.0.0/16")).gw, pk('a'));
  EXPECT_EQ(full->policy, (std::set<NetworkPolicy>{{{"a", "b"}, {}}, {{"a", "b"}, {"D"}}}));  // sets, so one repeat

  auto minimal = read_network_config(kNet);
  ASSERT_TRUE(minimal) << minimal.error().to_string();
  EXPECT_FALSE(minimal->id || minimal->name);
  EXPECT_TRUE(minimal->node.empty() && minimal->route.empty() && minimal->policy.empty());
}

TEST(NetworkConfigRead, BadValueComesBeforeMissingKeyAndKeysGoInByteOrder) {
  auto r = read_network_config(kNet + "[[node]]\nip = 5\n");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "invalid type: integer `5`, expected IPv4 address");
  EXPECT_EQ(r.error().key_path, (std::vector<std::string>{"node", "ip"}));
  // At the top level the missing `network` waits for the bad `node`.
  EXPECT_EQ(read_message("node = 1\n"), "invalid type: integer `1`, expected a sequence");
  // `route` is written first but `node` sorts first.
  r = read_network_config(kNet + "route = 7\nnode = \"x\"\n");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().key_path, std::vector<std::string>{"node"});
  // Inside a record too: `ip` sorts before `pk`.
  EXPECT_EQ(read_message(kNet + "[[node]]\npk = \"zz\"\nip = \"1.2\"\nhostname = \"h\"\n"),
            "invalid IPv4 address syntax");
}

TEST(NetworkConfigRead, ErrorMessages) {
  const std::string a = "pk = \"" + key('a') + "\"\n", row = "[\"" + key('a') + "\", \"10.0.0.1\"";
  const std::pair<std::string, std::string> cases[] = {
      // Missing keys, in declaration order; a date-time reads as a record without keys.
      {"[[node]]\nhostname = \"h\"\nip = \"10.0.0.1\"\n", "missing field `pk`"},
      {"[[node]]\nhostname = \"h\"\n" + a, "missing field `ip`"},
      {"[[node]]\nip = \"10.0.0.1\"\n" + a, "missing field `hostname`"},
      {"[[route]]\ngroups = []\n", "missing field `dest`"},
      {"[[route]]\ndest = \"10.1.0.0/16\"\n", "missing field `gw`"},
      {"[[policy]]\n", "missing field `source_groups`"},
      {"[[policy]]\nsource_groups = []\n", "missing field `destination_groups`"},
      {"node = [1979-05-27T07:32:00Z]\n", "missing field `pk`"},
      {"policy = [07:32:00]\n", "missing field `source_groups`"},
      // Types and conversions.
      {"[node]\npk = 1\n", "invalid type: map, expected a sequence"},
      {"node = [5]\n", "invalid type: integer `5`, expected struct NetworkNode"},
      {"policy = [\"p\"]\n", "invalid type: string \"p\", expected struct NetworkPolicy"},
      {node('a', "10.0.0.1", "h", "groups = \"g\"\n"), "invalid type: string \"g\", expected a sequence"},
      {node('a', "10.0.0.1", "h", "groups = [1]\n"), "invalid type: integer `1`, expected a string"},
      {node('a', "10.0.0.256", "h"), "invalid IPv4 address syntax"},
      {"[[node]]\npk = \"abc\"\nip = \"10.0.0.1\"\nhostname = \"h\"\n", PubKey::from_str("abc").error().message()},
      {"[[route]]\ndest = \"10.1.0.0/16\"\ngw = 3\n", "invalid type: integer `3`, expected a string"},
      // Records as arrays of values: any other length fails, a bad element first.
      {"node = [" + row + "]]\n", "invalid length 2, expected struct NetworkNode with 4 elements"},
      {"node = [" + row + ", \"a\", [], 5]]\n", "invalid length 5, expected struct NetworkNode with 4 elements"},
      {"route = [[\"10.1.0.0/16\"]]\n", "invalid length 1, expected struct NetworkRoute with 3 elements"},
      {"policy = [[[]]]\n", "invalid length 1, expected struct NetworkPolicy with 2 elements"},
      {"node = [[\"" + key('a') + "\", 7]]\n", "invalid type: integer `7`, expected IPv4 address"},
  };
  EXPECT_EQ(read_message(""), "missing field `network`");
  for (const auto& [text, message] : cases) EXPECT_EQ(read_message(kNet + text), message) << text;
  EXPECT_EQ(read_message("network = \"10.0.0.0\"\n"), "invalid IPv4 network syntax");
  EXPECT_EQ(read_message("network = \"10.0.0.0/33\"\n"), "invalid prefix length");

  auto r = read_network_config(kNet + "node = [" + row + ", \"a\", [\"g\"]]]\nroute = [[\"10.1.0.0/16\", \"" + key('a') +
                               "\", []]]\npolicy = [[[\"g\"], [\"g\", \"h\"]]]\n");
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(r->node.at(pk('a')), (NetworkNode{pk('a'), ip("10.0.0.1"), "a", {"g"}}));
  EXPECT_EQ(r->route.at(net("10.1.0.0/16")).gw, pk('a'));
  EXPECT_EQ(r->policy, (std::set<NetworkPolicy>{{{"g"}, {"g", "h"}}}));
}

TEST(NetworkConfigRead, Uuids) {
  for (const std::string& f : {kUuid, std::string("67e5504410b1426f9247bb680e5fe0c8"),
                               std::string("67E55044-10B1-426F-9247-BB680E5FE0C8"), "{" + kUuid + "}",
                               "urn:uuid:" + kUuid}) {
    auto r = read_network_config("id = \"" + f + "\"\n" + kNet);
    ASSERT_TRUE(r) << f << ": " << r.error().to_string();
    EXPECT_EQ(boost::uuids::to_string(*r->id), kUuid);
  }
  for (const char* f : {"", "not-a-uuid", "67e5504410b1426f9247bb680e5fe0c", "67e55044-10b1-426f9247-bb680e5fe0c8a",
                        "67e55044-10b1-426f-9247-bb680e5fe0cg", "{67e5504410b1426f9247bb680e5fe0c8}",
                        "67e55044-10b1-426f-9247-bb680e5fe0c8 "})
    EXPECT_TRUE(read_message("id = \"" + std::string(f) + "\"\n" + kNet).starts_with("UUID parsing failed: ")) << f;
  EXPECT_EQ(read_message("id = 1\n" + kNet), "invalid type: integer `1`, expected a UUID string");
}

TEST(NetworkConfigValidate, AddressesRoutesAndOrder) {
  const std::string a = node('a', "10.0.0.1", "a");
  const auto in = [](const char* network, const char* addr) {
    return "network = \"" + std::string(network) + "\"\n" + node('a', addr, "a");
  };
  const std::pair<std::string, std::string> cases[] = {
      {in("10.0.0.0/24", "10.0.0.254"), "IP address 10.0.0.254 is reserved"},
      {kNet + node('a', "10.0.0.0", "a") + node('b', "10.0.0.255", "b"), "<ok>"},
      {in("10.0.0.0/24", "10.0.1.1"), "IP address 10.0.1.1 is not in network 10.0.0.0/24"},
      // Host bits in the network are kept in the message and ignored otherwise.
      {in("10.0.0.7/24", "10.0.1.1"), "IP address 10.0.1.1 is not in network 10.0.0.7/24"},
      {in("10.0.0.7/24", "10.0.0.254"), "IP address 10.0.0.254 is reserved"},
      {in("10.0.0.7/24", "10.0.0.0"), "<ok>"},
      // /31: the reserved address is the network address.
      {in("10.0.0.0/31", "10.0.0.0"), "IP address 10.0.0.0 is reserved"},
      {in("10.0.0.0/31", "10.0.0.1"), "<ok>"},
      // /32: the reserved address lies outside; at 0.0.0.0 it wraps.
      {in("10.0.0.5/32", "10.0.0.5"), "<ok>"},
      {in("10.0.0.5/32", "10.0.0.4"), "IP address 10.0.0.4 is not in network 10.0.0.5/32"},
      {in("0.0.0.0/32", "0.0.0.0"), "<ok>"},
      {in("0.0.0.0/0", "255.255.255.254"), "IP address 255.255.255.254 is reserved"},
      {kNet + a + route("10.1.0.1/16", 'a'), "invalid network address: 10.1.0.1/16 is a host address"},
      {kNet + a + route("0.0.0.0/0", 'a') + route("10.1.0.1/32", 'a'), "<ok>"},
      {kNet + a + route("10.1.0.0/16", 'c'), "gateway " + key('c') + " not found in nodes"},
      // Node tests come before route tests.
      {kNet + node('a', "10.0.0.1", "a_b") + route("10.1.0.1/16", 'c'), "invalid hostname: a_b"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(validate_message(text), message) << text;
  EXPECT_EQ(NetworkConfig::try_from(in("10.0.0.0/24", "10.0.0.254")).error().kind(), ConfigError::Kind::Reserved);
}

TEST(NetworkConfigValidate, HostNames) {
  EXPECT_EQ(validate_message(kNet + node('a', "10.0.0.1", "Web-01") + node('b', "10.0.0.2", std::string(63, 'b'))),
            "<ok>");
  // Non-ASCII is refused as written: lower-casing K (U+212A) would give an ASCII 'k'.
  for (const std::string& name : {std::string(64, 'b'), std::string(), std::string("-web"), std::string("web-"),
                                  std::string("web_1"), std::string("web.example"), std::string("\xC3\xA9"),
                                  std::string("\xE2\x84\xAA" "elvin"), std::string("caf\xC3\xA9")}) {
    auto r = NetworkConfig::try_from(kNet + node('a', "10.0.0.1", name));
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(r.error().kind(), ConfigError::Kind::InvalidHostname);
    EXPECT_EQ(r.error().message(), "invalid hostname: " + name);
  }
}

// Error texts give the position, never the document's text.
TEST(NetworkConfigValidate, TomlErrorsCarryPositionNotSource) {
  auto syntax = NetworkConfig::try_from(kNet + "this is not toml\n");
  ASSERT_FALSE(syntax);
  EXPECT_EQ(syntax.error().kind(), ConfigError::Kind::Toml);
  EXPECT_TRUE(syntax.error().message().starts_with("TOML deserialization error: ")) << syntax.error();
  EXPECT_NE(syntax.error().message().find("line 2 column"), std::string::npos) << syntax.error();
  EXPECT_EQ(syntax.error().message().find("this is not"), std::string::npos) << syntax.error();
  EXPECT_EQ(validate_message(kNet + "\n[[node]]\npk = \"" + key('a') + "\"\nip = \"10.0.0.300\"\nhostname = \"a\"\n"),
            "TOML deserialization error: invalid IPv4 address syntax for key `node.ip` at line 5 column 6");
}

TEST(NetworkConfigQueries, IpAndGroups) {
  auto c = NetworkConfig::try_from(kNet + node('a', "10.0.0.1", "a", "groups = [\"ALL\", \"web\"]\n") +
                                   node('b', "10.0.0.2", "b", "groups = [\"web\"]\n") + node('c', "10.0.0.3", "c") +
                                   route("10.1.0.0/16", 'c') + "groups = [\"rt\"]\n");
  ASSERT_TRUE(c) << c.error();
  EXPECT_EQ(c->ip(pk('b')), ip("10.0.0.2"));
  EXPECT_EQ(c->ip(pk('d')), std::nullopt);
  // Route groups are not node groups; a node's own "ALL" is just a name.
  const std::map<std::string, std::set<PubKey>> expected{{"ALL", {pk('a')}}, {"web", {pk('a'), pk('b')}}};
  EXPECT_EQ(c->groups(), expected);
}

TEST(MultiNetworkConfigRead, ListOfDocuments) {
  auto list = read_multi_network_config("other = 1\n[[network]]\nid = \"" + kUuid + "\"\n" + kNet + "node = [{ pk = \"" +
                                        key('a') + "\", ip = \"192.168.1.1\", hostname = \"a_b\" }]\n" +
                                        "[[network]]\nnetwork = \"10.9.0.0/16\"\n");
  ASSERT_TRUE(list) << list.error().to_string();
  Doc first{{boost::uuids::string_generator()(kUuid), net("10.0.0.0/24"), std::nullopt, {}, {}, {}}};
  const Doc second{{std::nullopt, net("10.9.0.0/16"), std::nullopt, {}, {}, {}}};
  first.node(pk('a'), "192.168.1.1", "a_b");  // entries are not validated
  EXPECT_EQ(list->network, (std::vector{first.cfg, second.cfg}));

  // Entries are read without validation but keep the duplicate checks, also
  // the case-insensitive one for host names outside ASCII.
  const std::string entry = "{ pk = \"" + key('a') + "\", ip = \"10.0.0.",
                    zero = "\"00000000-0000-0000-0000-000000000000\", \"10.0.0.0/24\"";
  const std::string dup = "[[network]]\n" + kNet + "[[network]]\n" + kNet + "node = [" + entry +
                          "1\", hostname = \"a\" }, " + entry + "2\", hostname = \"b\" }]\n";
  const std::pair<std::string, std::string> cases[] = {
      {dup, "duplicate public key: " + key('a')},
      {"[[network]]\n" + kNet + "node = [" + entry + "1\", hostname = \"\xC3\x84rger\" }, { pk = \"" + key('b') +
           "\", ip = \"10.0.0.2\", hostname = \"\xC3\xA4rger\" }]\n",
       "duplicate hostname: \xC3\xA4rger"},
      {"", "missing field `network`"},
      {kNet, "invalid type: string \"10.0.0.0/24\", expected a sequence"},
      {"network = [[" + zero + "]]\n", "invalid length 2, expected struct NetworkConfig with 6 elements"},
      {"network = [[" + zero + ", \"n\", [], [], []]]\n", "<ok>"},
  };
  for (const auto& [text, message] : cases) {
    auto r = read_multi_network_config(text);
    EXPECT_EQ(r ? "<ok>" : r.error().message, message) << text;
  }
  EXPECT_EQ(read_multi_network_config(dup).error().key_path, (std::vector<std::string>{"network", "node"}));
}

// --- the lists derived for one member ---------------------------------------

const PubKey M = pk('1'), B = pk('2'), C = pk('3'), D = pk('4'), X = pk('7');
constexpr auto OUT = Direction::OUT, IN = Direction::IN;
constexpr auto Allow = Action::Allow, Deny = Action::Deny;

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

std::map<Ipv4Net, EffectiveRoute> routes_via(const char* dest, const char* gw) {
  return {{net(dest), {net(dest), ip(gw)}}};
}

NetworkConfig worked() {  // M {a} -> B {b}, C {}; 192.168.1.0/24 through B for {a}
  Doc d;
  d.node(M, "10.0.0.1", "m", {"a"}).node(B, "10.0.0.2", "Gw-B", {"b"}).node(C, "10.0.0.3", "c");
  d.cfg.policy = {NetworkPolicy{{"a"}, {"b"}}};
  return d.route("192.168.1.0/24", B, {"a"}).cfg;
}

TEST(WorkedExample, OnAMemberAndOnItsGateway) {
  test::LogCapture logs;
  const auto cfg = worked();
  EXPECT_EQ(rules_of(cfg, M), list_of({
      rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow), rule(IN, "10.0.0.2/32", "10.0.0.1/32", B, Allow),
      rule(OUT, "10.0.0.1/32", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "10.0.0.1/32", C, Deny),
      rule(OUT, "10.0.0.1/32", "192.168.1.0/24", B, Allow), rule(IN, "192.168.1.0/24", "10.0.0.1/32", B, Allow),
  }));
  EXPECT_EQ(cfg.effective_routing_list(M)->routes, routes_via("192.168.1.0/24", "10.0.0.2"));
  EXPECT_TRUE(cfg.effective_forwarding_list(M).destinations.empty());
  EXPECT_EQ(cfg.hostnames(M).names, (std::map<Ipv4Addr, std::string>{{ip("10.0.0.1"), "m"}, {ip("10.0.0.2"), "Gw-B"}}));

  EXPECT_EQ(rules_of(cfg, B), list_of({
      rule(OUT, "10.0.0.2/32", "10.0.0.1/32", M, Allow), rule(IN, "10.0.0.1/32", "10.0.0.2/32", M, Allow),
      rule(OUT, "10.0.0.2/32", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "10.0.0.2/32", C, Deny),
      rule(OUT, "192.168.1.0/24", "10.0.0.1/32", M, Allow), rule(IN, "10.0.0.1/32", "192.168.1.0/24", M, Allow),
      rule(OUT, "192.168.1.0/24", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "192.168.1.0/24", C, Deny),
  }));
  EXPECT_TRUE(cfg.effective_routing_list(B)->routes.empty());
  EXPECT_EQ(cfg.effective_forwarding_list(B).destinations, std::set<Ipv4Net>{net("192.168.1.0/24")});

  for (const std::string& line : {
           "Adding OUT rule for node: EffectiveAccessRule { direction: OUT, source: 10.0.0.1/32, "
           "dest: 10.0.0.3/32, pk: PubKey(" + C.to_string() + "), action: Deny }",
           "Adding IN rule for route (gateway): EffectiveAccessRule { direction: IN, "
           "source: 10.0.0.1/32, dest: 192.168.1.0/24, pk: PubKey(" + M.to_string() + "), action: Allow }",
           "Adding OUT rule for route (non-gateway): EffectiveAccessRule { direction: OUT, source: 10.0.0.1/32, "
           "dest: 192.168.1.0/24, pk: PubKey(" + B.to_string() + "), action: Allow }"})
    EXPECT_TRUE(logs.contains("trace", line)) << line;
  EXPECT_EQ(logs.count("Adding "), 14u) << "one line per rule";
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

// Route groups are tested against the node using the route; "ALL" is a name here.
TEST(EffectiveEdges, RouteGroupsThroughAnotherNode) {
  Doc d;
  d.node(M, "10.0.0.1", "m", {"a"}).node(B, "10.0.0.2", "b", {"z", "ALL"});
  d.route("172.16.0.0/16", B, {"z"}).route("172.17.0.0/16", B).route("172.18.0.0/16", B, {"ALL"});
  const auto l = rules_of(d.cfg, M);
  for (const auto& [dest, a] : {std::pair{"172.16.0.0/16", Deny}, {"172.17.0.0/16", Allow}, {"172.18.0.0/16", Deny}}) {
    EXPECT_EQ(l.rules.at({OUT, net("10.0.0.1/32"), net(dest)}).action, a) << dest;
    EXPECT_EQ(l.rules.at({IN, net(dest), net("10.0.0.1/32")}).action, a) << dest;
  }
  EXPECT_EQ(d.cfg.effective_routing_list(M)->routes, routes_via("172.17.0.0/16", "10.0.0.2"));
  d.node(M, "10.0.0.1", "m", {"ALL"});
  EXPECT_EQ(d.cfg.effective_routing_list(M)->routes.size(), 2u);
}

TEST(EffectiveEdges, DuplicateRouteAndUnknownGateway) {
  for (const char* dest : {"10.0.0.3/32", "10.0.0.2/32"}) {  // another node; the gateway itself
    Doc d;
    d.node(M, "10.0.0.1", "m").node(B, "10.0.0.2", "b").node(C, "10.0.0.3", "c").route(dest, B);
    const auto r = d.cfg.effective_access_rule_list(M);
    ASSERT_FALSE(r.has_value()) << dest;
    EXPECT_EQ(r.error().kind(), ConfigError::Kind::DuplicateRoute);
  }
  Doc own;
  own.node(M, "10.0.0.1", "m").node(B, "10.0.0.2", "b").route("10.0.0.1/32", M);
  EXPECT_FALSE(own.cfg.effective_access_rule_list(M).has_value());
  own.cfg.node.erase(B);  // alone, a route through itself to itself repeats nothing
  EXPECT_TRUE(own.cfg.effective_access_rule_list(M).has_value());

  const auto r = own.route("172.16.0.0/16", X).cfg.effective_routing_list(M);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ConfigError::Kind::GatewayNotFound);
}

// The own key is not a node: nothing may be allowed, nothing read past the map.
TEST(EffectiveEdges, MissingOwnKeyFailsClosed) {
  Doc d{worked()};
  d.cfg.policy.insert(NetworkPolicy{{"ALL"}, {"ALL"}});
  d.route("172.16.0.0/16", B).route("172.17.0.0/16", X);
  const auto rules = d.cfg.effective_access_rule_list(X);
  ASSERT_TRUE(rules.has_value());
  EXPECT_TRUE(rules->rules.empty());
  EXPECT_EQ(d.cfg.effective_routing_list(X)->routes, routes_via("172.16.0.0/16", "10.0.0.2"));
  EXPECT_TRUE(d.cfg.hostnames(X).names.empty());
  EXPECT_EQ(d.cfg.effective_forwarding_list(X).destinations, std::set<Ipv4Net>{net("172.17.0.0/16")});
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

TEST(WorkedExample, OnM) {
  const auto cfg = worked();
  EXPECT_EQ(rules_of(cfg, M), list_of({
      rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow), rule(IN, "10.0.0.2/32", "10.0.0.1/32", B, Allow),
      rule(OUT, "10.0.0.1/32", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "10.0.0.1/32", C, Deny),
      rule(OUT, "10.0.0.1/32", "192.168.1.0/24", B, Allow), rule(IN, "192.168.1.0/24", "10.0.0.1/32", B, Allow),
  }));
  EXPECT_EQ(cfg.effective_routing_list(M)->routes, routes_via("192.168.1.0/24", "10.0.0.2"));
  EXPECT_TRUE(cfg.effective_forwarding_list(M).destinations.empty());
  EXPECT_EQ(cfg.hostnames(M).names, (std::map<Ipv4Addr, std::string>{{ip("10.0.0.1"), "m"}, {ip("10.0.0.2"), "Gw-B"}}));
}

TEST(WorkedExample, OnGatewayB) {
  const auto cfg = worked();
  EXPECT_EQ(rules_of(cfg, B), list_of({
      rule(OUT, "10.0.0.2/32", "10.0.0.1/32", M, Allow), rule(IN, "10.0.0.1/32", "10.0.0.2/32", M, Allow),
      rule(OUT, "10.0.0.2/32", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "10.0.0.2/32", C, Deny),
      rule(OUT, "192.168.1.0/24", "10.0.0.1/32", M, Allow), rule(IN, "10.0.0.1/32", "192.168.1.0/24", M, Allow),
      rule(OUT, "192.168.1.0/24", "10.0.0.3/32", C, Deny), rule(IN, "10.0.0.3/32", "192.168.1.0/24", C, Deny),
  }));
  EXPECT_TRUE(cfg.effective_routing_list(B)->routes.empty());
  EXPECT_EQ(cfg.effective_forwarding_list(B).destinations, std::set<Ipv4Net>{net("192.168.1.0/24")});
  EXPECT_EQ(cfg.hostnames(B).names, (std::map<Ipv4Addr, std::string>{{ip("10.0.0.1"), "m"}, {ip("10.0.0.2"), "Gw-B"}}));
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

// Random rules, some naming one network with other host bits: the tries
// hold what inserting rule by rule gives (an outer prefix keeps its first
// key, an inner one its last), in the same order.
TEST(RuleTries, SameAsInsertingRuleByRule) {
  std::mt19937 rng(31);
  const PubKey keys[] = {M, B, C, D};
  for (int round = 0; round < 20; ++round) {
    EffectiveAccessRuleList list;
    const auto prefix = [&] {
      const unsigned len = rng() % 4 == 0 ? 32 : 20 + rng() % 13;
      return *Ipv4Net::create(Ipv4Addr(0x0a00'0000U | (rng() & 0xfffU) << (rng() % 2 ? 8 : 0)), len);
    };
    for (int i = 0, n = 1 + static_cast<int>(rng() % 600); i < n; ++i) {
      const EffectiveAccessRule r{rng() % 2 ? OUT : IN, prefix(), prefix(), keys[rng() % 4], rng() % 5 ? Allow : Deny};
      list.rules.try_emplace({r.direction, r.source, r.dest}, r);
    }
    RuleTrie want[2];
    for (const auto& [key, r] : list.rules) {
      if (r.action != Allow) continue;
      const bool out = r.direction == OUT;
      RuleTrie& t = want[out ? 0 : 1];
      const Ipv4Net& outer = out ? r.dest : r.source;
      if (!t.get(outer)) t.insert(outer, {});
      t.get_mut(outer)->insert(out ? r.source : r.dest, r.pk);
    }
    const auto [tx, rx] = list.routing_tries();
    const auto [tx_rows, rx_rows] = list.routing_rows();
    const RuleTrie* got[] = {&tx, &rx};
    const std::vector<RuleRow>* rows[] = {&tx_rows, &rx_rows};
    for (int t = 0; t < 2; ++t) {
      std::vector<std::tuple<Ipv4Net, Ipv4Net, PubKey>> a, b, c;
      want[t].for_each([&](const Ipv4Net& o, const util::PrefixMap<PubKey>& m) {
        m.for_each([&](const Ipv4Net& i, const PubKey& k) { a.emplace_back(o, i, k); });
      });
      for (const auto& [o, m] : *got[t])
        for (const auto& [i, k] : m) b.emplace_back(o, i, k);
      for (const RuleRow& r : *rows[t]) c.emplace_back(r.outer, r.inner, *r.pk);
      EXPECT_EQ(got[t]->size(), want[t].size());
      EXPECT_EQ(b, a) << "round " << round << " trie " << t;
      EXPECT_EQ(c, a) << "round " << round << " trie " << t;
    }
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
           "source: 10.0.0.1/32, dest: 192.168.1.0/24, pk: PubKey(" + M.to_string() + "), action: Allow }"})
    EXPECT_TRUE(cap.contains("trace", line)) << line;
  const std::pair<const char*, std::size_t> counts[] = {
      {"node: ", 4}, {"route (non-gateway): ", 1}, {"route (gateway): ", 2}};
  for (const auto& [what, n] : counts)
    for (const char* dir : {"OUT", "IN"})
      EXPECT_EQ(cap.count(std::string("Adding ") + dir + " rule for " + what), n) << dir << ' ' << what;
  for (const auto& l : cap.lines())
    if (l.text.starts_with("Adding ")) {
      EXPECT_EQ(l.target, "sarvolt_agent::network::config") << l.text;
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

std::string pad(std::string s, std::size_t w) {
  s.resize(std::max(s.size(), w), ' ');
  return s;
}

// Copies share their rules; a change to one leaves the other as it was.
TEST(EffectiveEdges, CopiedRuleListsChangeApart) {
  const EffectiveAccessRuleList a = list_of({rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow)});
  EffectiveAccessRuleList b = a;
  b.rules[{OUT, net("10.0.0.1/32"), net("10.0.0.2/32")}].action = Deny;
  erase_if(b.rules, [](const auto&) { return false; });
  EXPECT_EQ(a.rules.at({OUT, net("10.0.0.1/32"), net("10.0.0.2/32")}).action, Allow);
  EXPECT_NE(a, b);
  b.rules[{OUT, net("10.0.0.1/32"), net("10.0.0.2/32")}].action = Allow;
  EXPECT_EQ(a, b);
}

// The rule map against a plain ordered map under random changes: same
// pairs in the same order, same answers to look-ups.
TEST(AccessRuleMapDiff, SameAsOrderedMap) {
  std::mt19937 rng(7);
  const auto rnd_net = [&] {
    return Ipv4Net::create(Ipv4Addr(0x0a000000u | (rng() % 8) << 8), 24 + rng() % 3)->trunc();
  };
  const auto rnd_rule = [&] {
    return EffectiveAccessRule{rng() % 2 ? OUT : IN, rnd_net(), rnd_net(), pk(static_cast<char>('1' + rng() % 5)),
                               rng() % 2 ? Allow : Deny};
  };
  AccessRuleMap m;
  std::map<EffectiveAccessRuleListEntryKey, EffectiveAccessRule> ref;
  for (int step = 0; step < 3000; ++step) {
    const EffectiveAccessRule r = rnd_rule();
    const EffectiveAccessRuleListEntryKey k = AccessRuleMap::key_of(r);
    switch (rng() % 5) {
      case 0: EXPECT_EQ(m.try_emplace(k, r).second, ref.try_emplace(k, r).second); break;
      case 1: EXPECT_EQ(m.insert_or_assign(k, r).second, ref.insert_or_assign(k, r).second); break;
      case 2:
        if (ref.contains(k)) m[k].action = ref[k].action = r.action;
        break;
      case 3:
        EXPECT_EQ(erase_if(m, [&](const auto& kv) { return kv.second.pk == r.pk && kv.first.source == r.source; }),
                  std::erase_if(ref, [&](const auto& kv) { return kv.second.pk == r.pk && kv.first.source == r.source; }));
        break;
      default: {
        const auto it = m.find(k);
        ASSERT_EQ(it != m.end(), ref.contains(k));
        if (it != m.end()) {
          EXPECT_EQ(it->second, ref.at(k));
        }
        EXPECT_EQ(m.contains(k), ref.contains(k));
      }
    }
    ASSERT_EQ(m.size(), ref.size());
  }
  auto it = ref.begin();
  for (const auto& [key, rule] : m) {
    ASSERT_NE(it, ref.end());
    EXPECT_EQ(key, it->first);
    EXPECT_EQ(rule, it->second);
    ++it;
  }
  EXPECT_EQ(it, ref.end());

  // A whole list at once: sorted by key; a repeated key refused, content kept.
  AccessRuleMap::Rules all;
  for (const auto& [k, r] : ref) all.push_back(r);
  std::shuffle(all.begin(), all.end(), rng);
  AccessRuleMap bulk;
  ASSERT_TRUE(bulk.assign(all));
  EXPECT_EQ(bulk, m);
  all.push_back(all.front());
  EXPECT_FALSE(bulk.assign(all));
  EXPECT_EQ(bulk, m);
}

TEST(Tables, RulesRoutesAndHostNames) {
  EXPECT_EQ(rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, Allow).to_string(),
            "direction=OUT source=10.0.0.1/32 dest=10.0.0.2/32 pk=PubKey(" + B.to_string() + ") action=Allow\n");
  const auto row = [](const char* d, const char* s, const char* t, const PubKey& k, const char* a) {
    return pad(d, 4) + " " + pad(s, 18) + " " + pad(t, 18) + " " + k.to_string() + " " + pad(a, 6) + "\n";
  };
  const std::string header = "Type Source             Destination        " + pad("PubKey", 64) + " Action\n";
  EXPECT_EQ(EffectiveAccessRuleList{}.to_string(), header);
  const auto l = list_of({rule(IN, "10.0.0.2/32", "10.0.0.1/32", B, Deny),
                          rule(OUT, "10.0.0.0/8", "10.0.0.1/32", C, Deny),
                          rule(OUT, "9.255.255.255/32", "10.0.0.2/32", B, Allow)});
  // OUT first, then by source before destination, in numeric order.
  const std::string expected = header + row("OUT", "9.255.255.255/32", "10.0.0.2/32", B, "ALLOW") +
                               row("OUT", "10.0.0.0/8", "10.0.0.1/32", C, "DENY") +
                               row("IN", "10.0.0.2/32", "10.0.0.1/32", B, "DENY");
  EXPECT_EQ(l.to_string(), expected);
  std::ostringstream os;
  os << l;
  EXPECT_EQ(os.str(), expected);

  EXPECT_EQ((EffectiveRoute{net("10.9.0.0/16"), ip("10.0.0.2")}).debug(),
            "EffectiveRoute { dest: 10.9.0.0/16, gw: 10.0.0.2 }");
  EffectiveRoutingList routes;
  for (const char* d : {"10.0.0.0/24", "9.255.255.255/32", "10.0.0.0/8"})
    routes.routes.emplace(net(d), EffectiveRoute{net(d), ip("10.0.0.10")});
  EXPECT_EQ(routes.to_string(),
            "Destination        Gateway        \n9.255.255.255/32   10.0.0.10      \n"
            "10.0.0.0/8         10.0.0.10      \n10.0.0.0/24        10.0.0.10      \n");
}

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
            "Destination        Gateway        \n9.255.255.255/32   10.0.0.10      \n"
            "10.0.0.0/8         10.0.0.10      \n10.0.0.0/24        10.0.0.10      \n");

  HostnameList hosts;
  hosts.names = {{ip("10.0.0.10"), "Db"}, {ip("10.0.0.9"), "web"}};
  const std::string table = "IP              Hostname\n10.0.0.9        web.sarvolt.zz\n10.0.0.10       Db.sarvolt.zz\n";
  EXPECT_EQ(hosts.to_string(), table);
  std::ostringstream os;
  os << hosts;
  EXPECT_EQ(os.str(), table);
}

// The other three combinations show in the status report's IP lines.
TEST(AppliedStatus, ErrorWithoutAValue) {
  EXPECT_EQ(AppliedStatus<Ipv4Net>::failed("no tun").to_string(), "None (Error: no tun)");
}

// The other forms show in the status report.
TEST(NetworkHealth, DebugForms) {
  const std::pair<NetworkHealth, const char*> cases[] = {
      {NetworkHealth::pending(), "Pending"}, {NetworkHealth::not_a_member_error(), "NotAMemberError"},
      {NetworkHealth::invalid_config_error("line 1\n\tbad"), R"(InvalidConfigError("line 1\n\tbad"))"}};
  for (const auto& [h, text] : cases) EXPECT_EQ(h.debug(), text);
}

// (Which networks the controller manages shows in the housekeeping and controller tests.)
TEST(NetworkRecord, PersistedSettings) {
  Network n(*util::Url::parse("https://example.com/net.toml"), false, "lab");
  Network copy = n;  // run-time fields play no part in the persisted settings
  copy.health = NetworkHealth::pending();
  copy.desired.ip = AppliedStatus<Ipv4Net>::value(net("10.0.0.1/24"));
  EXPECT_TRUE(copy.same_settings(n));
  copy.name = "Lab";
  EXPECT_FALSE(copy.same_settings(n));
}

EffectiveAccessRuleList one_rule(Action a) { return list_of({rule(OUT, "10.0.0.1/32", "10.0.0.2/32", B, a)}); }

TEST(AppliedStatus, TextOfAllFourCombinations) {
  using S = AppliedStatus<Ipv4Net>;
  EXPECT_EQ(S{}.to_string(), "None");
  EXPECT_EQ(S::failed("Failed to create TUN device tasks").to_string(),
            "None (Error: Failed to create TUN device tasks)");
  EXPECT_EQ(S::value(net("10.0.0.7/24")).to_string(), "10.0.0.7/24");
  EXPECT_EQ((S{net("10.0.0.7/24"), "busy"}).to_string(), "10.0.0.7/24 (Error: busy)");
  // Lists show their table, newline included, before the error.
  using R = AppliedStatus<EffectiveAccessRuleList>;
  EXPECT_EQ((R{one_rule(Deny), "no tun"}).to_string(), one_rule(Deny).to_string() + " (Error: no tun)");
}

// Every field counts: an error text, a letter's case, an empty list vs none.
TEST(AgentState, EqualityAndDeepCopy) {
  AgentState a;
  EXPECT_TRUE(a.is_empty());
  a.access_rules = AppliedStatus<EffectiveAccessRuleList>::value(one_rule(Allow));
  a.hostnames.applied.emplace().names = {{ip("10.0.0.1"), "Web"}};
  a.routes.error = "route table busy";
  EXPECT_FALSE(a.is_empty());
  AgentState b = a;
  EXPECT_EQ(a, b);
  b.routes.error = "route table busy.";
  EXPECT_NE(a, b);
  b = a;
  b.access_rules.applied = one_rule(Deny);
  EXPECT_NE(a, b);
  b = a;
  b.access_rules.applied->rules[{OUT, net("10.0.0.1/32"), net("10.0.0.2/32")}].action = Deny;
  EXPECT_NE(a, b);
  EXPECT_EQ(a.access_rules.applied, one_rule(Allow)) << "the copy owns its rules";
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
  EXPECT_EQ(NetworkHealth{}, NetworkHealth::initializing());
  EXPECT_NE(NetworkHealth::invalid_config_error("x"), NetworkHealth::invalid_config_error("y"));
  EXPECT_NE(NetworkHealth::invalid_config_error("x"), NetworkHealth::retrieve_config_error("x"));
}

TEST(NetworkRecord, StartsEmptyAndKeepsItsSlot) {
  Network n(*util::Url::parse("https://example.com/net.toml"), false, "lab");
  EXPECT_EQ(n.health, NetworkHealth::initializing());
  EXPECT_TRUE(n.desired.is_empty() && n.current.is_empty());
  EXPECT_EQ(n.network_config(), nullptr);
  EXPECT_EQ(n.config_error(), nullptr);

  n.config.emplace<NetworkConfig>().network = net("10.0.0.0/24");
  ASSERT_NE(n.network_config(), nullptr);
  EXPECT_EQ(n.network_config()->network, net("10.0.0.0/24"));
  EXPECT_EQ(n.config_error(), nullptr);
  n.config = std::make_shared<const core::Error>(core::Error::make(core::Error::Kind::NetworkError, "x"));
  ASSERT_NE(n.config_error(), nullptr);
  EXPECT_EQ(n.config_error()->to_string(), "Network error: x");
  EXPECT_EQ(n.network_config(), nullptr);

  // Run-time fields are not persisted settings.
  Network copy = n;
  copy.health = NetworkHealth::pending();
  copy.desired.ip = AppliedStatus<Ipv4Net>::value(net("10.0.0.1/24"));
  EXPECT_TRUE(copy.same_settings(n));
  copy.disabled = true;
  EXPECT_FALSE(copy.same_settings(n));
}

TEST(NetworkRecord, ControllerManagedBySchemeOnly) {
  EXPECT_TRUE(Network(*util::Url::parse("controller://0b6f2c2e-7d0a-4c55-9d3e-2b1f1f1f1f1f")).is_controller_managed());
  for (const char* u : {"https://controller/net.toml", "http://example.com/controller", "file:///controller"})
    EXPECT_FALSE(Network(*util::Url::parse(u)).is_controller_managed()) << u;
}

}  // namespace
}  // namespace sarvolt::network
