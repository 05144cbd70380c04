#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "heap_count.hpp"
#include "platform/p2p/identity.hpp"

namespace sarvolt::p2p {
namespace {

using namespace std::chrono_literals;

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

Identity fresh() { return Identity::generate(0).value(); }

TEST(KeyText, RoundTripsInLowerCaseAndAcceptsUpperCase) {
  const Identity id = fresh();
  const std::string pk = id.pk().to_string(), sk = id.sk().to_string();
  ASSERT_EQ(sk.size(), 128u);
  EXPECT_EQ((pk + sk).find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(sk.substr(64), pk);  // seed ‖ public key
  for (const auto& text : {pk, upper(pk)}) EXPECT_EQ(PubKey::from_str(text).value(), id.pk());
  for (const auto& text : {sk, upper(sk)}) EXPECT_EQ(SecKey::from_str(text).value(), id.sk());
  EXPECT_EQ(id.pk().debug(), "PubKey(" + pk + ")");
  EXPECT_EQ(fmt::format("{}", id.pk()), pk);
}

TEST(KeyText, RejectsBadKeysWithoutEchoingThem) {
  const Identity id = fresh();
  const std::string pk = id.pk().to_string(), sk = id.sk().to_string();
  auto with = [&](std::size_t at, std::string_view part) { return std::string(pk).replace(at, part.size(), part); };
  for (const std::string& bad : {std::string(), pk.substr(1), pk + "0", pk + pk, with(0, "g"), with(0, " "),
                                 with(63, "-"), with(0, "0x")}) {
    auto r = PubKey::from_str(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().kind(), IdentityError::Kind::InvalidPublicKey);
    EXPECT_TRUE(r.error().message().starts_with("invalid public key: expected 64 hexadecimal digits"))
        << r.error().message();
  }
  std::string flipped = sk;
  flipped[100] = flipped[100] == '0' ? '1' : '0';  // public half no longer matches the seed
  const std::string length = "invalid secret key: expected 128 hexadecimal digits";
  const std::string mismatch = "invalid secret key: public half does not match";
  const std::pair<std::string, std::string> cases[] = {
      {"", length}, {sk.substr(2), length}, {sk + "00", length}, {sk.substr(0, 127) + "z", length},
      {sk.substr(0, 64), length}, {flipped, mismatch}, {sk.substr(0, 64) + fresh().pk().to_string(), mismatch}};
  for (const auto& [text, message] : cases) {
    auto r = SecKey::from_str(text);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IdentityError::Kind::InvalidSecretKey);
    EXPECT_EQ(r.error().message(), message);  // fixed texts: the secret is never echoed
  }
}

const std::string kKey = "3b6a27bcceb6a42d62a3a8d02a6f0d73653215771de243a63ac048a18b59da29";

// Tables found by key through their slots keep slot_hash(key) in a slot:
// the low half of the key's hash, so a key finds the slot made for it.
TEST(KeyText, SlotHashIsTheLowHalfOfTheKeyHash) {
  for (int i = 0; i < 8; ++i) {
    const PubKey pk = Identity::generate(0)->pk();
    EXPECT_EQ(slot_hash(pk), static_cast<std::uint32_t>(hash_value(pk)));
  }
}

TEST(ProofOfWork, DifficultyMatchesAnIndependentHash) {
  // Leading zero bits of SHA-256(kKey ‖ big-endian nonce), computed with another SHA-256.
  const std::pair<std::int32_t, std::uint32_t> table[] = {
      {0, 1}, {1, 1}, {-1, 2}, {255, 0}, {65536, 2}, {-0x7fffffff - 1, 2}, {-299073, 12}, {-40336, 21}};
  const PubKey pk = PubKey::from_str(kKey).value();
  for (const auto& [nonce, bits] : table) EXPECT_EQ(pow_difficulty(pk, Pow(nonce)), bits) << nonce;
  for (std::uint8_t difficulty : {0, 8, 12}) {
    auto id = Identity::generate(difficulty);
    ASSERT_TRUE(id) << id.error().message();
    EXPECT_GE(pow_difficulty(id->pk(), id->pow()), difficulty);
  }
  EXPECT_NE(fresh().pk(), fresh().pk());
}

// The search step agrees with the independent hash on every nonce shape,
// allocates nothing, and what generate() returns verifies.
TEST(ProofOfWork, SearchStepMatchesTheCheckAndAllocatesNothing) {
  const PubKey pk = PubKey::from_str(kKey).value();
  PowHasher hasher(pk);
  EXPECT_EQ(hasher.difficulty(static_cast<std::uint32_t>(-40336)), 21u);
  EXPECT_EQ(hasher.difficulty(static_cast<std::uint32_t>(-299073)), 12u);
  for (std::uint32_t n = 0; n < 4096; ++n) {
    const std::uint32_t nonce = n * 0x9e3779b9u;  // spread over the whole space
    ASSERT_EQ(hasher.difficulty(nonce), pow_difficulty(pk, Pow(static_cast<std::int32_t>(nonce)))) << nonce;
  }
  const std::size_t before = test::thread_heap_allocations();
  std::uint32_t best = 0;
  for (std::uint32_t nonce = 0; nonce < 100000; ++nonce) best = std::max(best, hasher.difficulty(nonce));
  EXPECT_EQ(test::thread_heap_allocations() - before, 0u);
  EXPECT_GE(best, 10u);
  for (std::uint8_t difficulty : {1, 16}) {
    auto id = Identity::generate(difficulty);
    ASSERT_TRUE(id) << id.error().message();
    EXPECT_GE(pow_difficulty(id->pk(), id->pow()), difficulty);
    EXPECT_EQ(PowHasher(id->pk()).difficulty(static_cast<std::uint32_t>(id->pow().value())), id->difficulty());
  }
}

TEST(ProofOfWork, CancellationStopsAHopelessSearch) {
  util::CancellationToken token;
  auto search = std::async(std::launch::async, [&] { return Identity::generate(40, &token); });
  std::this_thread::sleep_for(50ms);
  token.cancel();
  ASSERT_EQ(search.wait_for(5s), std::future_status::ready);
  for (auto r : {search.get(), Identity::generate(8, &token)}) {  // the second starts cancelled
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IdentityError::Kind::Cancelled);
    EXPECT_EQ(r.error().message(), "proof of work generation cancelled");
  }
}

TEST(SuperPeerUrlText, ParsesAndPrintsCanonically) {
  auto url = SuperPeerUrl::parse("udp://relay.example.org:4000?networkId=-7&publicKey=" + upper(kKey));
  ASSERT_TRUE(url) << url.error().message();
  EXPECT_EQ(url->host(), "relay.example.org");
  EXPECT_EQ(url->port(), 4000);
  EXPECT_EQ(url->public_key().to_string(), kKey);
  EXPECT_EQ(url->network_id(), -7);
  EXPECT_EQ(url->to_string(), "udp://relay.example.org:4000?publicKey=" + kKey + "&networkId=-7");

  for (const std::string host : {"10.0.0.255", "[::1]", "[2001:db8::8a2e:370:7334]", "localhost", "a-b.c9"}) {
    const std::string text = "udp://" + host + ":65535?publicKey=" + kKey + "&networkId=2147483647";
    auto parsed = SuperPeerUrl::parse(text);
    ASSERT_TRUE(parsed) << text << ": " << parsed.error().message();
    EXPECT_EQ(parsed->to_string(), text);
  }
  EXPECT_EQ(SuperPeerUrl::parse("udp://[::1]:1?publicKey=" + kKey + "&networkId=0")->host(), "::1");
}

TEST(SuperPeerUrlText, NamesWhatIsWrong) {
  const std::string q = "?publicKey=" + kKey + "&networkId=1", k = "udp://h:1?publicKey=" + kKey;
  const std::pair<std::string, std::string> cases[] = {
      {"tcp://h:1" + q, "scheme must be udp"},          {"UDP://h:1" + q, "scheme must be udp"},
      {"udp://h" + q, "missing port"},                  {"udp://h:" + q, "missing port"},
      {"udp://[::1]" + q, "missing port"},              {"udp://h:0" + q, "invalid port"},
      {"udp://h:65536" + q, "invalid port"},            {"udp://h:8x" + q, "invalid port"},
      {"udp://:1" + q, "missing host"},                 {"udp://h_1:1" + q, "invalid host"},
      {"udp://1.2.3:1" + q, "invalid host"},            {"udp://256.1.1.1:1" + q, "invalid host"},
      {"udp://[::g]:1" + q, "invalid host"},            {"udp://u@h:1" + q, "invalid host"},
      {"udp://h:1/x" + q, "unexpected path"},           {"udp://h:1?networkId=1", "missing publicKey"},
      {"udp://h:1", "missing publicKey"},               {k, "missing networkId"},
      {"udp://h:1?publicKey=abc&networkId=1", "invalid publicKey"},
      {"udp://h:1?publicKey&networkId=1", "invalid publicKey"},
      {k + "&networkId=one", "invalid networkId"},      {k + "&networkId=2147483648", "invalid networkId"},
      {k + "&networkId=", "invalid networkId"},
      {"udp://h:1" + q + "&networkId=1", "duplicate parameter 'networkId'"},
      {"udp://h:1" + q + "&networkid=1", "unexpected parameter 'networkid'"},
      {"udp://h:1" + q + "&", "empty parameter"},       {"udp://h:1" + q + "#top", "unexpected fragment"},
  };
  for (const auto& [text, reason] : cases) {
    auto r = SuperPeerUrl::parse(text);
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error().message(), "invalid super peer URL: " + reason) << text;
  }
}

TEST(SuperPeerUrlText, DefaultListIsOneFixedLocalSuperPeer) {
  const auto& list = SUPER_PEERS_DEFAULT();
  ASSERT_EQ(list.size(), 1u);
  const Identity& id = default_super_peer_identity();
  EXPECT_EQ(list[0].to_string(), "udp://127.0.0.1:22527?publicKey=" + id.pk().to_string() + "&networkId=1");
  EXPECT_EQ(id.pow(), Pow(0));
  // The seed: SHA-256 of "sarvolt default super peer".
  EXPECT_EQ(id.sk().to_string().substr(0, 64), "f0b4fa364642f6ad2bc2cebdcd383f5f8cf342be6cd747f389f2ec5829afec6c");
  EXPECT_EQ(SecKey::from_str(id.sk().to_string()).value(), id.sk());  // halves agree
}

}  // namespace
}  // namespace sarvolt::p2p
