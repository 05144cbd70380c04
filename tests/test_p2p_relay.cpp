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
  std::vector<std::pair<udp::endpoint, Bytes>> sent;
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

  ASSERT_EQ(feed(hello(c, false), ep(2001)).size(), 1u);
  EXPECT_EQ(core.node_count(), 2u);
  EXPECT_TRUE(logs.contains("info", fmt::format("Node {} left (replaced at its address)", a.pk())));
  EXPECT_EQ(feed(app(c.pk(), b.pk(), 300), ep(2001), t0 + 2s).size(), 3u) << "C and B are united afresh";
  core.expire(t0 + 11s);
  EXPECT_EQ(core.node_count(), 0u);
  EXPECT_TRUE(logs.contains("info", fmt::format("Node {} left (timed out)", b.pk())));
  EXPECT_TRUE(feed(app(b.pk(), c.pk(), 300), ep(2002)).empty()) << "expired nodes are unregistered";
}

}  // namespace
}  // namespace sarvolt::p2p
