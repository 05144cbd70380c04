// The super peer's rules, on RelayCore without sockets: registration,
// refusal without an answer, relaying between registered nodes only, UNITEs,
// replacement and expiry. A node relaying to itself: in fuzz_p2p_wire's corpus.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include "platform/p2p/crypto.hpp"
#include "platform/p2p/relay_server.hpp"
#include "platform/p2p/wire.hpp"
#include "p2p_net.hpp"

namespace sarvolt::p2p {
namespace {

using Bytes = std::vector<std::uint8_t>;
using udp = boost::asio::ip::udp;
using namespace std::chrono_literals;

struct Capture : RelaySink {
  void send(const udp::endpoint& to, std::span<const std::uint8_t> d) override { sent.push_back({to, {d.begin(), d.end()}}); }
  void send_from(const udp::endpoint& to, const boost::asio::ip::address& from,
                 std::span<const std::uint8_t> d) override {
    send(to, d);
    sent_from.push_back(from);
  }
  std::vector<std::pair<udp::endpoint, Bytes>> sent;
  std::vector<boost::asio::ip::address> sent_from;
};

udp::endpoint ep(std::uint16_t port) { return {boost::asio::ip::make_address("127.0.0.1"), port}; }

Identity strong() { return Identity::generate(8).value(); }

class P2pRelay : public ::testing::Test {
 protected:
  P2pRelay()
      : sp_id(Identity::generate(0).value()),
        core(sp_id, {.min_pow_difficulty = 8, .node_expiry = 10s, .unite_interval = 1s}) {}

  Bytes hello(const Identity& id, bool sealed, std::int32_t network = 1, std::uint64_t counter = 0) {
    return test::datagram(wire::Type::Hello, id, sp_id.pk(), test::hello_body(id, network),
                          sealed ? std::optional(counter) : std::nullopt);
  }
  static Bytes app(const PubKey& from, const PubKey& to, std::size_t payload) {
    Bytes d(wire::kMaxDatagramSize);
    d.resize(wire::encode(d, wire::Type::App, to, {from}, Bytes(payload, 1), nullptr));
    return d;
  }
  std::vector<std::pair<udp::endpoint, Bytes>> feed(const Bytes& d, const udp::endpoint& from, Instant at = Clock::now()) {
    Capture c;
    core.handle(d, from, at, c);
    return c.sent;
  }

  Identity sp_id;
  RelayCore core;
};

TEST_F(P2pRelay, AnswersOnlyValidHellosAndNeverTheUnregistered) {
  const auto a = strong(), b = strong();
  struct Case {
    const char* name;
    Bytes d;
    std::uint64_t RelayCounters::*counter;
  };
  const std::vector<Case> silent = {
      {"not the protocol", Bytes(100, 0x42), &RelayCounters::dropped_unregistered},
      {"APP from an unregistered address", app(a.pk(), b.pk(), 500), &RelayCounters::dropped_unregistered},
      {"HELLO for another network", hello(a, true, 2), &RelayCounters::dropped_refused},
      {"HELLO with too little proof of work", hello(test::weak_identity(), true), &RelayCounters::dropped_refused},
  };
  for (const auto& c : silent) {
    const auto before = core.counters().*c.counter;
    EXPECT_TRUE(feed(c.d, ep(1000)).empty()) << c.name;
    EXPECT_EQ(core.counters().*c.counter, before + 1) << c.name;
  }
  EXPECT_EQ(core.node_count(), 0u);

  // Where an ACK goes and what it holds: in fuzz_p2p_wire's oracle.
  EXPECT_EQ(feed(hello(a, true), ep(1001)).size(), 1u);
  EXPECT_EQ(core.node_count(), 1u);
  EXPECT_TRUE(feed(hello(a, true), ep(1001)).empty()) << "a replayed HELLO is not answered";
}

TEST_F(P2pRelay, RelaysBetweenRegisteredNodesAndUnitesThem) {
  const auto a = strong(), b = strong();
  test::LogCapture logs;
  ASSERT_EQ(feed(hello(a, false), ep(2001)).size(), 1u);
  ASSERT_EQ(feed(hello(b, false), ep(2002)).size(), 1u);
  EXPECT_TRUE(logs.contains("info", fmt::format("Node {} joined from 127.0.0.1:2001", a.pk())));

  const auto t0 = Clock::now();
  const Bytes big = app(a.pk(), b.pk(), 300);
  auto out = feed(big, ep(2001), t0);
  ASSERT_EQ(out.size(), 3u) << "forward + a UNITE to each";
  for (const auto& [to, d] : {out[1], out[2]}) {
    const auto h = wire::decode_header(d).value();
    ASSERT_EQ(h.type, wire::Type::Unite);
    const auto u = wire::decode_unite(h.body).value();
    EXPECT_EQ(u.endpoint, to == ep(2001) ? ep(2002) : ep(2001));
  }
  EXPECT_EQ(feed(big, ep(2001), t0 + 500ms).size(), 1u) << "no second UNITE within the interval";
  EXPECT_EQ(feed(app(a.pk(), b.pk(), 10), ep(2001), t0 + 2s).size(), 1u) << "small datagrams cause no UNITE";
  EXPECT_EQ(feed(big, ep(2001), t0 + 2s).size(), 3u);

  // Forwarding unchanged, to the recipient's address, from the registered sender key only: in
  // fuzz_p2p_wire's oracle.
  const auto c = strong();
  EXPECT_TRUE(feed(app(a.pk(), c.pk(), 300), ep(2001)).empty()) << "unregistered recipient";
  EXPECT_TRUE(feed(app(a.pk(), b.pk(), 3000), ep(2001)).empty()) << "above the size limit";

  EXPECT_TRUE(feed(hello(c, false), ep(2001)).empty()) << "the address belongs to A while it lives";
  ASSERT_EQ(feed(hello(b, false), ep(2002), t0 + 8s).size(), 1u);
  core.expire(t0 + 11s);
  EXPECT_TRUE(logs.contains("info", fmt::format("Node {} left (timed out)", a.pk())));
  ASSERT_EQ(feed(hello(c, false), ep(2001), t0 + 11s).size(), 1u);
  EXPECT_EQ(core.node_count(), 2u);
  EXPECT_EQ(feed(app(c.pk(), b.pk(), 300), ep(2001), t0 + 11s).size(), 3u) << "C and B are united afresh";
  core.expire(t0 + 22s);
  EXPECT_EQ(core.node_count(), 0u);
  EXPECT_TRUE(logs.contains("info", fmt::format("Node {} left (timed out)", b.pk())));
  EXPECT_TRUE(feed(app(b.pk(), c.pk(), 300), ep(2002)).empty()) << "expired nodes are unregistered";
}

TEST_F(P2pRelay, OnlyASealedHelloMovesARegistration) {
  const auto a = strong(), b = strong(), c = strong(), d = strong(), e = strong();
  const auto t0 = Clock::now();
  ASSERT_EQ(feed(hello(a, true, 1, 1), ep(3001), t0).size(), 1u);
  ASSERT_EQ(feed(hello(b, true, 1, 1), ep(3002), t0).size(), 1u);
  ASSERT_EQ(feed(hello(c, false), ep(3003), t0).size(), 1u);
  const auto relayed_to = [&](const PubKey& to) -> std::optional<udp::endpoint> {
    const auto out = feed(app(b.pk(), to, 10), ep(3002), t0);
    return out.size() == 1 ? std::optional(out[0].first) : std::nullopt;
  };

  // Anyone can copy an unsealed HELLO: it neither moves nor downgrades a
  // registration, and no address changes hands while its node lives.
  const auto refused = core.counters().dropped_refused;
  EXPECT_TRUE(feed(hello(a, false), ep(3666), t0).empty()) << "forged, elsewhere";
  EXPECT_TRUE(feed(hello(a, false), ep(3001), t0).empty()) << "forged, unsealed at its address";
  EXPECT_TRUE(feed(hello(c, false), ep(3666), t0).empty()) << "forged, of an unsealed node";
  EXPECT_TRUE(feed(hello(d, false), ep(3001), t0).empty()) << "another key at a taken address";
  EXPECT_TRUE(feed(hello(d, true, 1, 1), ep(3003), t0).empty()) << "the same, sealed";
  EXPECT_EQ(core.counters().dropped_refused, refused + 5);
  EXPECT_EQ(relayed_to(a.pk()), ep(3001));
  EXPECT_EQ(relayed_to(c.pk()), ep(3003));
  const auto ack = feed(hello(a, true, 1, 2), ep(3001), t0);
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_TRUE(wire::decode_header(ack[0].second)->sealed) << "still sealed";

  // A sealed HELLO proves the key: the node moves, or starts sealing.
  EXPECT_TRUE(feed(hello(a, true, 1, 2), ep(3004), t0).empty()) << "replayed";
  ASSERT_EQ(feed(hello(a, true, 1, 3), ep(3004), t0).size(), 1u);
  EXPECT_EQ(relayed_to(a.pk()), ep(3004));
  ASSERT_EQ(feed(hello(c, true, 1, 1), ep(3003), t0).size(), 1u);
  EXPECT_TRUE(feed(hello(c, false), ep(3003), t0).empty()) << "sealed now";

  // What arrived on a local address is answered, and relayed to, from it;
  // an unsealed HELLO does not change that address either.
  Capture on;
  core.handle(hello(e, false), ep(3005), boost::asio::ip::make_address("10.9.0.1"), t0, on);
  core.handle(hello(e, false), ep(3005), boost::asio::ip::make_address("10.9.0.2"), t0, on);
  core.handle(app(b.pk(), e.pk(), 10), ep(3002), t0, on);
  ASSERT_EQ(on.sent_from.size(), 2u) << "one ACK, one relayed datagram";
  EXPECT_EQ(on.sent_from[0].to_string(), "10.9.0.1");
  EXPECT_EQ(on.sent_from[1].to_string(), "10.9.0.1");

  // An unsealed node behind a NAT that rebound registers again once its old
  // registration expired.
  EXPECT_TRUE(feed(hello(e, false), ep(3006), t0 + 5s).empty());
  ASSERT_EQ(feed(hello(b, true, 1, 2), ep(3002), t0 + 9s).size(), 1u);
  core.expire(t0 + 11s);
  ASSERT_EQ(feed(hello(e, false), ep(3006), t0 + 11s).size(), 1u);
  EXPECT_EQ(relayed_to(e.pk()), ep(3006));
}

TEST_F(P2pRelay, KeyAgreementsForStrangersAreBounded) {
  RelayCore small(sp_id, {.min_pow_difficulty = 8,
                          .stranger_kx_per_second = 6,
                          .stranger_kx_burst = 6,
                          .stranger_kx_per_source = 4});
  std::vector<Identity> ids;
  for (int i = 0; i < 12; ++i) ids.push_back(strong());
  const auto t0 = Clock::now();
  const auto acks = [&](std::size_t first, std::size_t count, const char* addr, Instant at) {
    std::size_t n = 0;
    for (std::size_t i = first; i < first + count; ++i) {
      Capture c;
      small.handle(hello(ids[i], true), {boost::asio::ip::make_address(addr), static_cast<std::uint16_t>(4000 + i)},
                   at, c);
      n += c.sent.size();
    }
    return n;
  };
  EXPECT_EQ(acks(0, 5, "10.9.1.1", t0), 4u) << "per source";
  EXPECT_EQ(acks(5, 3, "10.9.1.2", t0), 2u) << "overall";
  EXPECT_EQ(small.node_count(), 6u);

  // Registered nodes keep their keys: answered and relayed whatever the budget.
  Capture c;
  small.handle(hello(ids[0], true, 1, 1), {boost::asio::ip::make_address("10.9.1.1"), 4000}, t0, c);
  small.handle(app(ids[0].pk(), ids[1].pk(), 10), {boost::asio::ip::make_address("10.9.1.1"), 4000}, t0, c);
  EXPECT_EQ(c.sent.size(), 2u);

  EXPECT_EQ(acks(8, 4, "10.9.1.1", t0 + 1s), 4u) << "a new second";
}

}  // namespace
}  // namespace sarvolt::p2p
