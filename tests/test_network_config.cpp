#include <gtest/gtest.h>

#include <boost/uuid/uuid_io.hpp>

#include "network/config/network_config.hpp"

namespace sarvolt::network {
namespace {

namespace tr = util::toml_read;

// A 64-digit key text made of one repeated hex digit.
std::string key(char digit) { return std::string(64, digit); }
PubKey pk(char digit) { return *PubKey::from_str(key(digit)); }
Ipv4Addr ip(const char* s) { return *Ipv4Addr::parse(s); }
Ipv4Net net(const char* s) { return *Ipv4Net::parse(s); }

std::string node(char digit, const std::string& addr, const std::string& hostname, const std::string& extra = "") {
  return "[[node]]\npk = \"" + key(digit) + "\"\nip = \"" + addr + "\"\nhostname = \"" + hostname + "\"\n" + extra;
}
std::string route(const std::string& dest, char gw) {
  return "[[route]]\ndest = \"" + dest + "\"\ngw = \"" + key(gw) + "\"\n";
}
const std::string kNet = "network = \"10.0.0.0/24\"\n";
const std::string kUuid = "67e55044-10b1-426f-9247-bb680e5fe0c8";

// Reads without validation.
tr::Result<NetworkConfig> read(const std::string& text) {
  auto doc = tr::parse_document(text);
  if (!doc) return util::Unexpected(std::move(doc).error());
  return read_network_config(*doc);
}
std::string read_message(const std::string& text) {
  auto r = read(text);
  return r ? "<ok>" : r.error().message;
}
std::string validate_message(const std::string& text) {
  auto r = NetworkConfig::try_from(text);
  return r ? "<ok>" : r.error().message();
}

TEST(NetworkConfigRead, FullDocumentIgnoresUnknownKeys) {
  auto full = read("id = \"" + kUuid + "\"\nname = \"Lab\"\nextra = 1\n" + kNet +
                   node('a', "10.0.0.1", "Web-01", "groups = [\"x\", \"x\", \"y\"]\ncolour = \"red\"\n") +
                   node('b', "10.0.0.2", "db") + route("10.1.0.0/16", 'a') + "note = []\n" +
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
  EXPECT_EQ(full->policy, (std::set<NetworkPolicy>{{{"a", "b"}, {}}, {{"a", "b"}, {"D"}}}));

  auto minimal = read(kNet);
  ASSERT_TRUE(minimal);
  EXPECT_FALSE(minimal->id || minimal->name);
  EXPECT_TRUE(minimal->node.empty() && minimal->route.empty() && minimal->policy.empty());
}

TEST(NetworkConfigRead, BadValueComesBeforeMissingKeyAndKeysGoInByteOrder) {
  auto r = read(kNet + "[[node]]\nip = 5\n");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "invalid type: integer `5`, expected IPv4 address");
  EXPECT_EQ(r.error().key_path, (std::vector<std::string>{"node", "ip"}));
  // At the top level the missing `network` waits for the bad `node`.
  EXPECT_EQ(read_message("node = 1\n"), "invalid type: integer `1`, expected a sequence");
  // `route` is written first but `node` sorts first.
  r = read(kNet + "route = 7\nnode = \"x\"\n");
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
      {"", "missing field `network`"},
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
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(read_message(text.empty() ? text : kNet + text), message) << text;
  }
  EXPECT_EQ(read_message("network = \"10.0.0.0\"\n"), "invalid IPv4 network syntax");
  EXPECT_EQ(read_message("network = \"10.0.0.0/33\"\n"), "invalid prefix length");

  auto r = read(kNet + "node = [" + row + ", \"a\", [\"g\"]]]\nroute = [[\"10.1.0.0/16\", \"" + key('a') +
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
    auto r = read("id = \"" + f + "\"\n" + kNet);
    ASSERT_TRUE(r) << f << ": " << r.error().to_string();
    EXPECT_EQ(boost::uuids::to_string(*r->id), kUuid);
  }
  for (const char* f : {"", "not-a-uuid", "67e5504410b1426f9247bb680e5fe0c", "67e55044-10b1-426f9247-bb680e5fe0c8a",
                        "67e55044-10b1-426f-9247-bb680e5fe0cg", "{67e5504410b1426f9247bb680e5fe0c8}",
                        "67e55044-10b1-426f-9247-bb680e5fe0c8 "}) {
    EXPECT_TRUE(read_message("id = \"" + std::string(f) + "\"\n" + kNet).starts_with("UUID parsing failed: ")) << f;
  }
  EXPECT_EQ(read_message("id = 1\n" + kNet), "invalid type: integer `1`, expected a UUID string");
}

TEST(NetworkConfigDuplicates, MessagesOrderAndPosition) {
  const std::pair<std::string, std::string> cases[] = {
      // Same key and same address: the key is reported.
      {node('a', "10.0.0.1", "x") + node('a', "10.0.0.1", "y"), "duplicate public key: " + key('a')},
      {node('a', "10.0.0.1", "x") + node('b', "10.0.0.1", "x"), "duplicate IP address: 10.0.0.1"},
      {node('a', "10.0.0.1", "Web") + node('b', "10.0.0.2", "web"), "duplicate hostname: web"},
      {node('a', "10.0.0.1", "web") + node('b', "10.0.0.2", "Web"), "duplicate hostname: Web"},
      {route("10.1.0.0/16", 'a') + route("10.1.0.0/16", 'b'), "duplicate route destination: 10.1.0.0/16"},
      {route("10.1.0.0/16", 'a') + route("10.1.0.0/24", 'a') + route("10.1.0.1/16", 'a'), "<ok>"},
      // Names that differ outside ASCII are different names.
      {node('a', "10.0.0.1", "kelvin") + node('b', "10.0.0.2", "\xE2\x84\xAA" "elvin"), "<ok>"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(read_message(kNet + text), message) << text;

  // Located at the whole array.
  auto r = read(kNet + "node = [\n" + "  { pk = \"" + key('a') + "\", ip = \"10.0.0.1\", hostname = \"a\" },\n" +
                "  { pk = \"" + key('b') + "\", ip = \"10.0.0.1\", hostname = \"b\" },\n]\n");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().key_path, std::vector<std::string>{"node"});
  EXPECT_EQ(r.error().at, std::make_optional(std::make_pair(2u, 8u)));
}

TEST(NetworkConfigValidate, AddressesRoutesAndOrder) {
  const std::string a = node('a', "10.0.0.1", "a");
  const std::pair<std::string, std::string> cases[] = {
      {kNet + node('a', "10.0.0.254", "a"), "IP address 10.0.0.254 is reserved"},
      {kNet + node('a', "10.0.0.0", "a") + node('b', "10.0.0.255", "b"), "<ok>"},
      {kNet + node('a', "10.0.1.1", "a"), "IP address 10.0.1.1 is not in network 10.0.0.0/24"},
      // Host bits in the network are kept in the message and ignored otherwise.
      {"network = \"10.0.0.7/24\"\n" + node('a', "10.0.1.1", "a"), "IP address 10.0.1.1 is not in network 10.0.0.7/24"},
      {"network = \"10.0.0.7/24\"\n" + node('a', "10.0.0.254", "a"), "IP address 10.0.0.254 is reserved"},
      {"network = \"10.0.0.7/24\"\n" + node('a', "10.0.0.0", "a"), "<ok>"},
      // /31: the reserved address is the network address.
      {"network = \"10.0.0.0/31\"\n" + node('a', "10.0.0.0", "a"), "IP address 10.0.0.0 is reserved"},
      {"network = \"10.0.0.0/31\"\n" + node('a', "10.0.0.1", "a"), "<ok>"},
      // /32: the reserved address lies outside; at 0.0.0.0 it wraps.
      {"network = \"10.0.0.5/32\"\n" + node('a', "10.0.0.5", "a"), "<ok>"},
      {"network = \"10.0.0.5/32\"\n" + node('a', "10.0.0.4", "a"), "IP address 10.0.0.4 is not in network 10.0.0.5/32"},
      {"network = \"0.0.0.0/32\"\n" + node('a', "0.0.0.0", "a"), "<ok>"},
      {"network = \"0.0.0.0/0\"\n" + node('a', "255.255.255.254", "a"), "IP address 255.255.255.254 is reserved"},
      {kNet + a + route("10.1.0.1/16", 'a'), "invalid network address: 10.1.0.1/16 is a host address"},
      {kNet + a + route("0.0.0.0/0", 'a') + route("10.1.0.1/32", 'a'), "<ok>"},
      {kNet + a + route("10.1.0.0/16", 'c'), "gateway " + key('c') + " not found in nodes"},
      // Node tests come before route tests.
      {kNet + node('a', "10.0.0.1", "a_b") + route("10.1.0.1/16", 'c'), "invalid hostname: a_b"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(validate_message(text), message) << text;
  EXPECT_EQ(NetworkConfig::try_from(kNet + node('a', "10.0.0.254", "a")).error().kind(), ConfigError::Kind::Reserved);
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
  const std::map<std::string, std::set<PubKey>> expected{{"ALL", {pk('a')}}, {"web", {pk('a'), pk('b')}}};
  EXPECT_EQ(c->groups(), expected);
}

TEST(MultiNetworkConfigRead, ListOfDocuments) {
  // Entries are not validated: an address outside the network is kept.
  auto list = read_multi_network_config("other = 1\n[[network]]\nid = \"" + kUuid + "\"\n" + kNet +
                                        "node = [{ pk = \"" + key('a') +
                                        "\", ip = \"192.168.1.1\", hostname = \"a_b\" }]\n" +
                                        "[[network]]\nnetwork = \"10.9.0.0/16\"\n");
  ASSERT_TRUE(list) << list.error().to_string();
  ASSERT_EQ(list->network.size(), 2u);
  EXPECT_TRUE(list->network[0].id);
  EXPECT_EQ(list->network[0].node.at(pk('a')).ip, ip("192.168.1.1"));
  EXPECT_FALSE(list->network[1].id);
  EXPECT_EQ(list->network[1].network, net("10.9.0.0/16"));

  const std::string entry = "{ pk = \"" + key('a') + "\", ip = \"10.0.0.";
  auto dup = read_multi_network_config("[[network]]\n" + kNet + "[[network]]\n" + kNet + "node = [" + entry +
                                       "1\", hostname = \"a\" }, " + entry + "2\", hostname = \"b\" }]\n");
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().message, "duplicate public key: " + key('a'));
  EXPECT_EQ(dup.error().key_path, (std::vector<std::string>{"network", "node"}));

  const std::string zero = "\"00000000-0000-0000-0000-000000000000\", \"10.0.0.0/24\"";
  const std::pair<std::string, std::string> cases[] = {
      {"", "missing field `network`"},
      {kNet, "invalid type: string \"10.0.0.0/24\", expected a sequence"},
      {"network = [1]\n", "invalid type: integer `1`, expected struct NetworkConfig"},
      {"network = [1979-05-27]\n", "missing field `network`"},
      {"network = [[\"" + std::string(36, '0') + "\", \"10.0.0.0/24\"]]\n",
       "UUID parsing failed: invalid UUID text, expected 32 hexadecimal digits, plain or hyphenated as 8-4-4-4-12"},
      {"network = [[" + zero + "]]\n", "invalid length 2, expected struct NetworkConfig with 6 elements"},
      {"network = [[" + zero + ", \"n\", [], [], []]]\n", "<ok>"},
      {"network = []\n", "<ok>"},
  };
  for (const auto& [text, message] : cases) {
    auto r = read_multi_network_config(text);
    EXPECT_EQ(r ? "<ok>" : r.error().message, message) << text;
  }
}

}  // namespace
}  // namespace sarvolt::network
