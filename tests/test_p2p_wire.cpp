// Datagram decoding, sealing, the replay window, HMAC-SHA256, node options
// and the text forms the status report prints (the rest is in its golden texts).
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>
#include <fmt/format.h>

#include "platform/p2p/crypto.hpp"
#include "platform/p2p/node_opts.hpp"
#include "platform/p2p/peer_path.hpp"
#include "platform/p2p/stats.hpp"
#include "platform/p2p/wire.hpp"

namespace sarvolt::p2p {
namespace {

using Bytes = std::vector<std::uint8_t>;
using udp = boost::asio::ip::udp;
using Kind = wire::WireError::Kind;
using namespace std::chrono_literals;

PubKey key(std::uint8_t fill) {
  std::array<std::uint8_t, PubKey::kSize> b{};
  b.fill(fill);
  return PubKey(b);
}

Bytes app(bool short_form, std::size_t payload) {
  Bytes d(wire::kMaxDatagramSize);
  const Bytes body(payload, 0xab);
  d.resize(wire::encode(d, wire::Type::App, key(1), {key(2), short_form, 0x01020304}, body, nullptr));
  return d;
}

TEST(P2pWire, DecodeRefusesMalformedDatagrams) {
  struct Case {
    const char* name;
    Bytes d;
    Kind kind;
  };
  auto with = [](Bytes d, std::size_t at, std::uint8_t v) {
    d[at] = v;
    return d;
  };
  Bytes cut = app(false, 0);
  cut.pop_back();
  Bytes sealed_flag_only = app(false, 10);
  sealed_flag_only[5] = 1;  // claims a seal it does not have room for
  const std::vector<Case> cases = {
      {"empty", {}, Kind::TooShort},
      {"below the short header", Bytes(41, 0), Kind::TooShort},
      {"bad magic", with(app(false, 4), 0, 0x1f), Kind::BadMagic},
      {"type 0", with(app(false, 4), 4, 0), Kind::UnknownType},
      {"type 5", with(app(false, 4), 4, 5), Kind::UnknownType},
      {"unknown flag", with(app(false, 4), 5, 4), Kind::BadFlags},
      {"short sender on a HELLO", with(app(true, 40), 4, 1), Kind::BadFlags},
      {"long header cut", cut, Kind::TooShort},
      {"sealed without room", sealed_flag_only, Kind::TooShort},
  };
  for (const auto& c : cases) {
    const auto h = wire::decode_header(c.d);
    ASSERT_FALSE(h) << c.name;
    EXPECT_EQ(h.error().kind(), c.kind) << c.name << ": " << h.error().message();
  }
}

// Headers: every node and relay test decodes them.
TEST(P2pWire, BodiesRoundTrip) {
  std::array<std::uint8_t, wire::kHelloBodySize> hb{};
  wire::encode_hello(hb, {2, Pow(-7), -3, 0xdeadbeef, 123456789012345});
  const auto hello = wire::decode_hello(hb).value();
  EXPECT_EQ(hello.pow, Pow(-7));
  EXPECT_EQ(hello.network_id, -3);
  EXPECT_EQ(hello.short_id, 0xdeadbeefu);
  EXPECT_EQ(hello.timestamp_us, 123456789012345u);
  EXPECT_FALSE(wire::decode_hello(std::span(hb).first(20)));

  for (const char* addr : {"10.1.2.3", "2001:db8::7"}) {
    std::array<std::uint8_t, wire::kUniteBodySize> ub{};
    const udp::endpoint ep(boost::asio::ip::make_address(addr), 4242);
    wire::encode_unite(ub, {key(9), ep});
    const auto u = wire::decode_unite(ub).value();
    EXPECT_EQ(u.peer, key(9));
    EXPECT_EQ(u.endpoint, ep);
    ub[32] = 5;
    EXPECT_FALSE(wire::decode_unite(ub)) << "unknown family";
  }
}

TEST(P2pWire, SealOpensOnlyUntampered) {
  const auto a = Identity::generate(0).value(), b = Identity::generate(0).value();
  const auto ka = crypto::compute_kx_session_keys(a.pk(), crypto::AgreementKeys::from_identity(a).value(), b.pk()).value();
  const auto kb = crypto::compute_kx_session_keys(b.pk(), crypto::AgreementKeys::from_identity(b).value(), a.pk()).value();
  const Bytes payload{'h', 'i', '!'};
  const wire::Seal seal{&ka, 9, 77, 5};
  Bytes d(200);
  d.resize(wire::encode(d, wire::Type::App, b.pk(), {a.pk()}, payload, &seal));
  EXPECT_EQ(d.size(), wire::encoded_size(false, true, payload.size()));

  const auto h = wire::decode_header(d).value();
  EXPECT_EQ(crypto::nonce_epoch(h.nonce), 9u);
  EXPECT_EQ(crypto::nonce_counter(h.nonce), 77u);
  Bytes out(h.body.size() - crypto::SessionKeys::kTagSize);
  ASSERT_TRUE(wire::open(h, kb, out));
  EXPECT_EQ(out, payload);
  EXPECT_FALSE(wire::open(h, ka, out)) << "the sender's own rx key does not open it";
  for (std::size_t at : {std::size_t{6}, std::size_t{40}, d.size() - 1}) {  // header, sender, tag
    Bytes t = d;
    t[at] ^= 0x80;
    const auto th = wire::decode_header(t).value();
    EXPECT_FALSE(wire::open(th, kb, out)) << "byte " << at;
  }
}

TEST(P2pCrypto, ReplayWindow) {
  crypto::ReplayWindow w;
  struct Step {
    std::uint64_t epoch, counter;
    bool accepted;
  };
  const std::vector<Step> steps = {
      {5, 0, true},    {5, 0, false},  {5, 3, true},  {5, 1, true},  {5, 1, false},
      {5, 2000, true}, {5, 900, false},  // older than the window
      {5, 1500, true}, {4, 5000, false},  // an older epoch
      {6, 0, true},    {5, 2001, false}, {6, UINT64_MAX, false},
  };
  for (const auto& s : steps) EXPECT_EQ(w.accept(s.epoch, s.counter), s.accepted) << s.epoch << "/" << s.counter;
}

// A key longer than a block (a short one: the controller's MAC tests).
TEST(P2pCrypto, HmacSha256MatchesRfc4231) {
  const std::string msg = "Test Using Larger Than Block-Size Key - Hash Key First";
  const auto mac = crypto::hmac_sha256(Bytes(131, 0xaa), {reinterpret_cast<const std::uint8_t*>(msg.data()), msg.size()});
  EXPECT_EQ(fmt::format("{:02x}", fmt::join(mac, "")),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(P2pOpts, BuildsWithDefaultsOrSaysWhy) {
  const auto id = Identity::generate(0).value();
  const auto none = NodeOptsBuilder().super_peers({}).build();
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind(), NodeOptsBuilderError::Kind::UninitializedField);
  EXPECT_EQ(none.error().message(), "`identity` must be initialized");
  EXPECT_FALSE(NodeOptsBuilder().identity(id).build()) << "super peers are required";

  const auto o = NodeOptsBuilder().identity(id).super_peers(SUPER_PEERS_DEFAULT()).build().value();
  EXPECT_EQ(o.min_pow_difficulty(), 24);
  // The addresses, HELLO timings and MTU: in the status report's tests.
  EXPECT_EQ(o.udp_port(), id.pk().udp_port()) << "derived from the own key";
  EXPECT_TRUE(o.arm_messages());
  EXPECT_EQ(o.max_peers(), 8192u);
  EXPECT_TRUE(o.process_unites());
  EXPECT_EQ(o.housekeeping_interval(), 5000u);
  EXPECT_FALSE(o.enforce_tcp());
  EXPECT_EQ(o.network_id(), 1);

  using Tweak = std::function<void(NodeOptsBuilder&)>;
  for (const Tweak& bad : std::vector<Tweak>{[](auto& b) { b.mtu(100); }, [](auto& b) { b.mtu(70000); },
                                             [](auto& b) { b.housekeeping_interval(0); }}) {
    NodeOptsBuilder b;
    b.identity(id).super_peers({});
    bad(b);
    const auto r = b.build();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), NodeOptsBuilderError::Kind::ValidationError) << r.error().message();
  }
}

// Path keys, medians and reachability: in the status report's tests.
TEST(P2pText, PowStatusAndPathSamples) {
  EXPECT_STREQ(to_string(PowStatus::Nok), "Nok");
  PeerPath p;
  const Instant t0 = Clock::now();
  p.hello_sent(t0);
  p.hello_sent(t0 + 1s);
  EXPECT_EQ(p.unanswered_hello_since, t0) << "the first unanswered HELLO counts";
  for (std::uint64_t i = 1; i <= 12; ++i) p.ack_received(t0 + 2s, std::chrono::microseconds(i * 100));
  EXPECT_FALSE(p.unanswered_hello_since);
  EXPECT_EQ(p.latencies_us.size(), PeerPath::kMaxLatencySamples);
  EXPECT_EQ(p.latencies_us.front(), 300u) << "oldest samples dropped first";
}

}  // namespace
}  // namespace sarvolt::p2p
