#include <gtest/gtest.h>

#include <sodium.h>
#include <sys/stat.h>

#include <filesystem>

#include "agent/config.hpp"
#include "support.hpp"

namespace sarvolt::agent {
namespace {

namespace fs = std::filesystem;

p2p::Identity identity_from_seed(std::uint8_t seed_byte, std::int32_t pow) {
  if (sodium_init() < 0) std::abort();
  std::array<unsigned char, 32> seed;
  seed.fill(seed_byte);
  std::array<unsigned char, 32> pk;
  std::array<std::uint8_t, 64> sk;
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  return p2p::Identity(p2p::SecKey(sk), p2p::Pow(pow));
}

std::string identity_toml(const p2p::Identity& id) {
  return "[identity]\nsk = \"" + id.sk().to_string() + "\"\npow = " + std::to_string(id.pow().value()) + "\n";
}

std::string read_error(const std::string& text) {
  auto r = read_agent_config(text);
  if (r) return "<no error>";
  return r.error().to_string();
}

util::Url url(const char* s) { return *util::Url::parse(s); }

class AgentConfigText : public ::testing::Test {
 protected:
  p2p::Identity id = identity_from_seed(7, 1234);
};

TEST_F(AgentConfigText, WritesKeysInTheirFixedOrder) {
  AgentConfig c(identity_from_seed(7, -5));
  c.mtu = 1400;
  c.super_peers = std::vector{p2p::SUPER_PEERS_DEFAULT().front()};
  c.update_check = false;
  c.auto_connect = true;
  c.network.emplace(url("file:///etc/n.toml"),
                    network::Network(url("file:///etc/n.toml"), true, "Lab \"west\"\n\\"));
  c.network.emplace(url("https://h/b.toml"), network::Network(url("https://h/b.toml")));
  c.network.emplace(url("controller://net-1"), network::Network(url("controller://net-1")));
  c.dns = DnsConfig{true};
  c.controller = ControllerConfig{};
  c.controller->url = "https://c.example/api";
  c.controller->shared_secret = "s3cr\x01t";
  c.set_controller_status(ControllerConnectionStatus::err("never written"));

  const std::string expected =
      "mtu = 1400\n"
      "super_peers = [\n"
      "    \"" + p2p::SUPER_PEERS_DEFAULT().front().to_string() + "\",\n"
      "]\n"
      "update_check = false\n"
      "auto_connect = true\n"
      "\n"
      "[identity]\n"
      "sk = \"" + c.identity.sk().to_string() + "\"\n"
      "pow = -5\n"
      "\n"
      "[[network]]\n"
      "config_url = \"controller://net-1\"\n"
      "disabled = false\n"
      "\n"
      "[[network]]\n"
      "config_url = \"file:///etc/n.toml\"\n"
      "disabled = true\n"
      "name = \"Lab \\\"west\\\"\\n\\\\\"\n"
      "\n"
      "[[network]]\n"
      "config_url = \"https://h/b.toml\"\n"
      "disabled = false\n"
      "\n"
      "[dns]\n"
      "disabled = true\n"
      "\n"
      "[controller]\n"
      "url = \"https://c.example/api\"\n"
      "shared_secret = \"s3cr\\u0001t\"\n";
  EXPECT_EQ(write_agent_config(c), expected);

  auto back = read_agent_config(expected);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_TRUE(back->same_settings(c));
  EXPECT_EQ(back->controller->status.to_string(), "Initializing");
  EXPECT_EQ(write_agent_config(*back), expected);
}

TEST_F(AgentConfigText, MinimalDocumentAndBareSections) {
  auto c = read_agent_config(identity_toml(id) + "[dns]\n[controller]\nstatus = \"Ok\"\n");
  ASSERT_TRUE(c) << c.error().to_string();
  EXPECT_TRUE(c->network.empty());
  EXPECT_FALSE(c->mtu || c->super_peers || c->update_check || c->auto_connect);
  ASSERT_TRUE(c->dns);
  EXPECT_FALSE(c->dns->disabled);
  EXPECT_EQ(write_agent_config(*c), identity_toml(id) + "\n[dns]\n\n[controller]\n");

  auto only = read_agent_config("network = []\nsuper_peers = []\n" + identity_toml(id));
  ASSERT_TRUE(only);
  EXPECT_TRUE(only->network.empty());
  ASSERT_TRUE(only->super_peers);
  EXPECT_TRUE(only->super_peers_or_default().empty());
  EXPECT_EQ(write_agent_config(*only), "super_peers = []\n\n" + identity_toml(id));
}

TEST_F(AgentConfigText, ReaderErrors) {
  const std::string ident = identity_toml(id);
  EXPECT_EQ(read_error(""), "missing field `identity`");
  EXPECT_EQ(read_error("Identity = 1\n"), "missing field `identity`");
  // Errors of present keys come before the missing identity.
  EXPECT_EQ(read_error("mtu = \"big\"\n"),
            "invalid type: string \"big\", expected u16 for key `mtu` at line 1 column 7");
  EXPECT_EQ(read_error("mtu = 65536\n" + ident),
            "invalid value: integer `65536`, expected u16 for key `mtu` at line 1 column 7");
  EXPECT_EQ(read_error("mtu = -1\n" + ident),
            "invalid value: integer `-1`, expected u16 for key `mtu` at line 1 column 7");
  EXPECT_EQ(read_error("[identity]\npow = 1\n"), "missing field `sk` for key `identity` at line 1 column 1");
  EXPECT_EQ(read_error("[identity]\n"), "missing field `sk` for key `identity` at line 1 column 1");
  EXPECT_EQ(read_error("[identity]\nsk = \"" + id.sk().to_string() + "\"\n"),
            "missing field `pow` for key `identity` at line 1 column 1");
  EXPECT_EQ(read_error("[identity]\nsk = \"" + id.sk().to_string() + "\"\npow = 2147483648\n"),
            "invalid value: integer `2147483648`, expected i32 for key `identity.pow` at line 3 column 7");
  EXPECT_EQ(read_error("identity = 5\n"),
            "invalid type: integer, expected struct IdentityHelper for key `identity` at line 1 column 12");
  EXPECT_EQ(read_error("network = { config_url = \"file:///x\" }\n" + ident),
            "invalid type: map, expected a sequence for key `network` at line 1 column 11");
  EXPECT_EQ(read_error(ident + "[[network]]\ndisabled = true\n"),
            "missing field `config_url` for key `network` at line 4 column 1");
  EXPECT_EQ(read_error(ident + "[[network]]\nconfig_url = \"n.toml\"\n"),
            "relative URL without a base: \"n.toml\" for key `network.config_url` at line 5 column 14");
  EXPECT_EQ(read_error("update_check = 1.0\n" + ident),
            "invalid type: floating point `1.0`, expected a boolean for key `update_check` at line 1 column 16");
  EXPECT_EQ(read_error("super_peers = [\"tcp://x\"]\n" + ident).substr(0, 25), "invalid super peer URL: s");
  EXPECT_EQ(read_error(ident + "[dns]\ndisabled = \"no\"\n"),
            "invalid type: string \"no\", expected a boolean for key `dns.disabled` at line 5 column 12");
}

TEST_F(AgentConfigText, PowRangeAndMtuRange) {
  for (const char* pow : {"2147483647", "-1", "-2147483648"}) {
    auto c = read_agent_config("[identity]\nsk = \"" + id.sk().to_string() + "\"\npow = " + pow + "\n");
    ASSERT_TRUE(c) << pow;
    EXPECT_EQ(std::to_string(c->identity.pow().value()), pow);
  }
  for (const char* mtu : {"0", "65535"}) {
    auto c = read_agent_config(std::string("mtu = ") + mtu + "\n" + identity_toml(id));
    ASSERT_TRUE(c) << mtu;
    EXPECT_EQ(std::to_string(*c->mtu), mtu);
  }
}

TEST_F(AgentConfigText, DuplicateNetworksByNormalisedUrl) {
  const std::string doc = identity_toml(id) +
                          "[[network]]\nconfig_url = \"HTTPS://Example.COM\"\n"
                          "[[network]]\nconfig_url = \"https://example.com:443/\"\n";
  EXPECT_EQ(read_error(doc), "duplicate network URL: https://example.com/ for key `network` at line 4 column 1");
  auto inline_form = read_agent_config(
      "network = [{ config_url = \"file:///b\" }, { config_url = \"file:///a\", name = \"A\" }]\n" +
      identity_toml(id));
  ASSERT_TRUE(inline_form) << inline_form.error().to_string();
  ASSERT_EQ(inline_form->network.size(), 2u);
  EXPECT_EQ(inline_form->network.begin()->second.name, "A");
  EXPECT_FALSE(inline_form->network.begin()->second.disabled);
}

TEST_F(AgentConfigText, ErrorsNeverEchoSecretsOrSourceLines) {
  const std::string bad_sk(128, 'a');  // hex, but not a key pair
  auto e = read_error("[identity]\nsk = \"" + bad_sk + "\"\npow = 1\n");
  EXPECT_EQ(e.find("aaaa"), std::string::npos) << e;
  EXPECT_NE(e.find("for key `identity.sk` at line 2"), std::string::npos) << e;

  auto syntax = read_error("[identity]\nsk = \"topsecretvalue\npow = 1\n");
  EXPECT_EQ(syntax.find("topsecret"), std::string::npos) << syntax;
  EXPECT_NE(syntax.find("at line 2"), std::string::npos) << syntax;
}

TEST(AgentConfigAccessors, DefaultsAndStatus) {
  AgentConfig c(identity_from_seed(1, 0));
  EXPECT_EQ(c.controller_url(), "https://api.sarvolt.dev/api");
  EXPECT_EQ(std::string(kDefaultAuthUrl).size(), 53u);
  EXPECT_FALSE(c.shared_secret());
  EXPECT_EQ(c.super_peers_or_default(), p2p::SUPER_PEERS_DEFAULT());
  ControllerConfig ctl;
  EXPECT_EQ(ctl.auth_url_or_default(), kDefaultAuthUrl);
  EXPECT_EQ(ctl.auth_client_id_or_default(), "Qx7TmR2vLp9KdW4nZs8YbH3cFj6GtV1oNa5EuXkP");
  ctl.url = "";
  c.controller = ctl;
  EXPECT_EQ(c.controller_url(), "");

  AgentConfig fresh(identity_from_seed(1, 0));
  fresh.set_controller_status(ControllerConnectionStatus::logged_out());
  ASSERT_TRUE(fresh.controller);
  EXPECT_EQ(fresh.controller->status.to_string(), "LoggedOut");
  EXPECT_FALSE(fresh.controller->url);
  EXPECT_EQ(ControllerConnectionStatus::err("boom").to_string(), "Err: boom");

  for (auto [value, mtu] : {std::pair<const char*, int>{"false", 1328}, {"true", 1280}, {"FALSE", 1280}, {"0", 1280}}) {
    test::ScopedEnv env("SARVOLT_ARM_MESSAGES", value);
    EXPECT_EQ(AgentConfig::default_mtu(), mtu) << value;
  }
  test::ScopedEnv env("SARVOLT_ARM_MESSAGES", std::nullopt);
  EXPECT_EQ(AgentConfig::default_mtu(), 1280);
}

class AgentConfigFile : public ::testing::Test {
 protected:
  test::TempDir dir;
  test::ScopedEnv difficulty{"SARVOLT_MIN_POW_DIFFICULTY", "4"};
  fs::path path = dir / "agent.toml";

  static mode_t mode_of(const fs::path& p) {
    struct stat st{};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
  }
};

TEST_F(AgentConfigFile, GeneratesOnceThenLoadsTheSameIdentity) {
  test::LogCapture logs;
  auto first = AgentConfig::load_or_generate(path);
  ASSERT_TRUE(first) << first.error().to_string();
  EXPECT_GE(first->identity.difficulty(), 4u);
  EXPECT_TRUE(logs.contains("trace", "Using min PoW difficulty: 4"));
  const std::string announce = "Config file '" + path.string() +
                               "' does not exist, generating new one (this might take some time due to the PoW)";
  EXPECT_TRUE(logs.contains("info", announce));

  auto second = AgentConfig::load_or_generate(path);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->identity, first->identity);
  EXPECT_EQ(logs.count("does not exist"), 1u);
  EXPECT_EQ(entries(), 1u) << "no temporary files are left behind";
}

TEST_F(AgentConfigFile, RoundTripThroughARealFile) {
  AgentConfig c(identity_from_seed(3, 99));
  c.mtu = 1300;
  c.network.emplace(url("file:///n.toml"), network::Network(url("file:///n.toml"), false, "n"));
  ASSERT_TRUE(c.save(path));
  auto back = AgentConfig::load(path);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_TRUE(back->same_settings(c));
}

TEST_F(AgentConfigFile, NewFileIsOwnerOnlyWhateverTheUmask) {
  mode_t old = ::umask(0);
  auto saved = AgentConfig(identity_from_seed(3, 0)).save(path);
  ::umask(old);
  ASSERT_TRUE(saved);
  EXPECT_EQ(mode_of(path), 0600u);
}

TEST_F(AgentConfigFile, ExistingModeIsKeptAndSymlinkFollowed) {
  test::write_file(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  fs::create_symlink(path, dir / "link.toml");
  ASSERT_TRUE(AgentConfig(identity_from_seed(3, 0)).save(dir / "link.toml"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.toml"));
  EXPECT_EQ(mode_of(path), 0644u);
  EXPECT_NE(test::read_file(path), "old");
  EXPECT_EQ(entries(), 2u);
}

TEST_F(AgentConfigFile, BrokenFileIsReportedAndLeftByteIdentical) {
  const std::string broken = "[identity]\nsk = 1\n\x01garbage";
  test::write_file(path, broken);
  auto r = AgentConfig::load_or_generate(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::TomlError);
  EXPECT_EQ(test::read_file(path), broken);

  test::write_file(path, "");
  auto empty = AgentConfig::load(path);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().to_string(), "TOML error: missing field `identity`");

  test::write_file(path, "mtu = \"\xff\"\n");
  auto bytes = AgentConfig::load(path);
  ASSERT_FALSE(bytes);
  EXPECT_EQ(bytes.error().kind(), Error::Kind::IoError);
}

TEST_F(AgentConfigFile, MissingDirectoryFailsWithoutWriting) {
  auto r = AgentConfig::load_or_generate(dir / "missing" / "agent.toml");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::IoError);
  EXPECT_EQ(r.error().io_code(), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(AgentConfigFile, MetadataFailureIsNotAbsence) {
  test::write_file(dir / "plain", "x");
  test::LogCapture logs;
  auto r = AgentConfig::load_or_generate(dir / "plain" / "agent.toml");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::IoError);
  EXPECT_EQ(r.error().io_code(), std::errc::not_a_directory);
  EXPECT_EQ(logs.count("generating new one"), 0u);
  EXPECT_EQ(test::read_file(dir / "plain"), "x");
}

TEST_F(AgentConfigFile, SetControllerStatusCreatesAnEmptySectionThatPersists) {
  AgentConfig c(identity_from_seed(5, 0));
  c.set_controller_status(ControllerConnectionStatus::ok());
  ASSERT_TRUE(c.save(path));
  auto back = AgentConfig::load(path);
  ASSERT_TRUE(back);
  ASSERT_TRUE(back->controller);
  EXPECT_FALSE(back->controller->url || back->controller->shared_secret);
  EXPECT_EQ(back->controller->status.to_string(), "Initializing");
}

}  // namespace
}  // namespace sarvolt::agent

namespace sarvolt::agent {
namespace {

TEST(AgentConfigSecrets, WrongTypesAndBadUrlsDoNotEchoSecrets) {
  const std::string sk(128, 'b');
  const std::string docs[] = {"identity = \"" + sk + "\"\n", "[identity]\nsk = 12345678987654321\npow = 1\n",
                              "[controller]\nshared_secret = 12345678987654321\n"};
  for (const auto& doc : docs) {
    const auto e = read_error(doc);
    EXPECT_EQ(e.find("bbbb"), std::string::npos) << e;
    EXPECT_EQ(e.find("12345678987654321"), std::string::npos) << e;
    EXPECT_NE(e.find("invalid type: "), std::string::npos) << e;
  }
  EXPECT_EQ(read_error(identity_toml(identity_from_seed(7, 1)) +
                       "[[network]]\nconfig_url = \"https://user:hunter2@/n\"\n")
                .find("hunter2"),
            std::string::npos);
  EXPECT_EQ(util::mask_userinfo("https://user:pw@h/x"), "https://****:****@h/x");
  EXPECT_EQ(util::mask_userinfo("https://user@h/x"), "https://****@h/x");
  EXPECT_EQ(util::mask_userinfo("https://h/x?a=b@c"), "https://h/x?a=b@c");
}

}  // namespace
}  // namespace sarvolt::agent
