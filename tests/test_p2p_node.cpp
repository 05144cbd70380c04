// The UDP node on 127.0.0.1 with real sockets and an in-process super peer:
// binding, HELLO/ACK, relay, UNITE and direct paths, sealing, proof of work,
// statistics, the UDP socket table and shutdown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_future.hpp>
#include <fmt/format.h>

#include "p2p_net.hpp"
#include "platform/p2p/super_peer.hpp"
#include "platform/p2p/udp_node_core.hpp"
#include "platform/p2p/wire.hpp"
#include "support.hpp"

namespace sarvolt::test {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace p2p;
using udp = asio::ip::udp;
using NodeP = std::shared_ptr<UdpNode>;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A plain UDP socket on 127.0.0.1.
udp::socket raw_socket(asio::io_context& io) {
  return udp::socket(io, udp::endpoint(asio::ip::address_v4::loopback(), 0));
}

class P2pNode : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& n : nodes) rt.run(n->shutdown());
  }

  NodeP bind(const NodeOptsBuilder& b) {
    auto r = rt.run(UdpNode::bind(b.build().value()));
    if (!r) throw std::runtime_error("bind failed: " + r.error().message());
    nodes.push_back(*r);
    return *r;
  }
  NodeP node(const std::function<void(NodeOptsBuilder&)>& tweak = {}) {
    auto b = test_opts(identity(), {sp.url()});
    if (tweak) tweak(b);
    return bind(b);
  }
  // Nodes a and b, each with a link to the other and a reader on it.
  void two_nodes(const std::function<void(NodeOptsBuilder&)>& tweak = {}) {
    a = node(tweak);
    b = node(tweak);
    ab = a->initiate(b->identity().pk()).value();
    ba = b->initiate(a->identity().pk()).value();
    at_a = std::make_unique<Reader>(rt.io, ab);
    at_b = std::make_unique<Reader>(rt.io, ba);
  }
  static SuperPeerStats sp_stats(const NodeP& n) {
    std::lock_guard lock(n->super_peer_table().mutex);
    return n->super_peer_table().entries.front().second->stats(Clock::now());
  }
  // Sends `payload` on `link` until `reader` has got it.
  static bool send_until_received(const NodePeerRef& link, const Reader& reader, const Bytes& payload) {
    return eventually([&] {
      (void)link->send_datagram(payload);
      const auto got = reader.got();
      return std::find(got.begin(), got.end(), payload) != got.end();
    });
  }

  Runtime rt;
  TestSuperPeer sp;
  std::vector<NodeP> nodes;
  NodeP a, b;
  NodePeerRef ab, ba;
  std::unique_ptr<Reader> at_a, at_b;
};

const auto no_unites = [](NodeOptsBuilder& b) { b.process_unites(false); };

TEST_F(P2pNode, BindRefusesWhatCannotBind) {
  const auto taken = raw_socket(rt.io);
  const auto zero_key_url =
      SuperPeerUrl::parse(fmt::format("udp://127.0.0.1:1?publicKey={}&networkId=1", std::string(64, '0'))).value();

  struct Case {
    const char* name;
    std::function<void(NodeOptsBuilder&)> tweak;
    NodeError::Kind kind;
  };
  const std::vector<Case> cases = {
      {"no super peers", [](auto& b) { b.super_peers({}); }, NodeError::Kind::NoSuperPeers},
      {"network id", [](auto& b) { b.network_id(2); }, NodeError::Kind::SuperPeerNetworkIdMismatch},
      {"max_peers 1000", [](auto& b) { b.max_peers(1000); }, NodeError::Kind::InvalidMaxPeers},
      {"super peer key off the curve", [&](auto& b) { b.super_peers({zero_key_url}); }, NodeError::Kind::CryptoError},
      {"port in use", [&](auto& b) { b.udp_port(taken.local_endpoint().port()); }, NodeError::Kind::Io},
  };
  for (const auto& c : cases) {
    auto b = test_opts(identity(), {sp.url()});
    c.tweak(b);
    auto r = rt.run(Node::bind(b.build().value()));
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), c.kind) << c.name << ": " << r.error().message();
  }

  LogCapture logs;
  node([](NodeOptsBuilder& o) { o.max_peers(0); });  // binds
  EXPECT_TRUE(logs.contains("trace", "UDP port: 0"));
  EXPECT_TRUE(logs.contains("trace", "Resolve hostname 127.0.0.1"));
  EXPECT_TRUE(logs.contains("trace", fmt::format("Resolved hostname 127.0.0.1 to {{127.0.0.1:{}}}", sp.port())));
}

TEST(P2pBind, NeedsARunningRuntime) {
  asio::io_context io;
  std::optional<NodeError::Kind> kind;
  auto opts = test_opts(identity(), SUPER_PEERS_DEFAULT()).build().value();
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        io.stop();
        auto r = co_await Node::bind(opts);
        if (!r) kind = r.error().kind();
      },
      asio::detached);
  io.run();
  EXPECT_EQ(kind, NodeError::Kind::NoAsyncRuntimeFound);
}

TEST_F(P2pNode, ResolvesAllAtOnceEachWithItsLimitInListOrder) {
  std::promise<void> release;
  const auto gate = release.get_future().share();
  const Resolver fake = [gate](const HostPort& h) {
    ResolveOutcome o;
    if (h.host == "slow.test") gate.wait();
    if (h.host == "bad.test") {
      o.error = "no such host";
      return o;
    }
    o.kind = ResolveOutcome::Kind::Resolved;
    o.endpoints = {udp::endpoint(asio::ip::make_address("127.0.0.1"), h.port)};
    return o;
  };
  const auto out =
      rt.run(resolve_all({{"slow.test", 1}, {"fast.test", 2}, {"bad.test", 3}, {"127.0.0.1", 4}}, 300ms, fake));
  release.set_value();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].kind, ResolveOutcome::Kind::Timeout);
  ASSERT_EQ(out[1].kind, ResolveOutcome::Kind::Resolved) << "a slow host before it must not hold it up";
  EXPECT_EQ(out[1].endpoints.front().port(), 2);
  EXPECT_EQ(out[2].kind, ResolveOutcome::Kind::Failed);
  EXPECT_EQ(out[2].error, "no such host");
  EXPECT_EQ(out[3].endpoints.front().port(), 4);

  const auto local = resolve_host({"localhost", 9});
  ASSERT_EQ(local.kind, ResolveOutcome::Kind::Resolved) << local.error;
  for (std::size_t i = 0; i < local.endpoints.size(); ++i)
    for (std::size_t j = i + 1; j < local.endpoints.size(); ++j) EXPECT_NE(local.endpoints[i], local.endpoints[j]);
}

TEST_F(P2pNode, HelloAckThenUnreachableAfterTimeout) {
  a = node();
  ASSERT_TRUE(eventually([&] { return sp_stats(a).reachable; }));
  const auto s = sp_stats(a);
  const udp::endpoint sp_ep(asio::ip::make_address("127.0.0.1"), sp.port());
  EXPECT_EQ(s.resolved_addresses, std::vector<udp::endpoint>{sp_ep});
  EXPECT_EQ(s.tcp_port, sp.port());
  ASSERT_EQ(s.udp_path_order, std::vector<PeerPathKey>{PeerPathKey::udp(sp_ep)});
  const PeerPath& path = s.udp_paths.at(s.udp_path_order.front());
  ASSERT_TRUE(path.last_ack && !path.latencies_us.empty());
  for (auto l : path.latencies_us) EXPECT_GT(l, 0u);

  sp.stop();
  ASSERT_TRUE(eventually([&] { return !sp_stats(a).reachable; }));
  const auto after = sp_stats(a);
  const PeerPath& dead = after.udp_paths.at(after.udp_path_order.front());
  EXPECT_TRUE(dead.unanswered_hello_since);
  EXPECT_FALSE(PeerPath::is_reachable(dead, Clock::now(), 400));
  EXPECT_TRUE(PeerPath::is_reachable(dead, Clock::now(), 60000)) << "the last ACK is recent";
}

TEST_F(P2pNode, RelaysBetweenTwoNodesMeasuresAndReopensClosedSockets) {
  two_nodes(no_unites);
  EXPECT_EQ(a->initiate(b->identity().pk()).value(), ab) << "one link per key while it lives";
  EXPECT_FALSE(a->initiate(a->identity().pk()));
  ASSERT_TRUE(send_until_received(ab, *at_b, bytes("a->b")));
  ASSERT_TRUE(send_until_received(ba, *at_a, bytes("b->a")));
  for (const auto& d : at_b->got()) EXPECT_EQ(d, bytes("a->b"));
  for (const auto& d : at_a->got()) EXPECT_EQ(d, bytes("b->a"));

  ASSERT_TRUE(eventually([&] {
    const auto s = ab->stats();
    return s.reachable && !s.relay_path_order.empty() && !s.relay_paths.at(s.relay_path_order[0]).latencies_us.empty();
  }));
  const auto s = ab->stats();
  EXPECT_EQ(s.pow_status, PowStatus::Ok);
  EXPECT_TRUE(s.protocol_version_2);
  ASSERT_TRUE(s.app_tx && s.app_rx);
  EXPECT_LE(s.created_at, *s.app_tx);
  EXPECT_EQ(s.relay_path_order.front(), sp.url().public_key());
  EXPECT_TRUE(s.direct_paths.empty()) << "UNITEs are not processed";
  ASSERT_TRUE(s.tx_short_id);
  EXPECT_EQ(*s.tx_short_id, ba->stats().rx_short_id) << "A names itself to B with the id B gave it";
  EXPECT_EQ(ba->stats().tx_short_id, s.rx_short_id);

  {
    std::lock_guard lock(a->udp_socket_table().mutex);
    ASSERT_EQ(a->udp_socket_table().sockets.size(), 1u);
    a->udp_socket_table().sockets.clear();
  }
  EXPECT_TRUE(a->local_endpoints().empty()) << "releasing the handle closes the socket";
  ASSERT_TRUE(send_until_received(ab, *at_b, bytes("after")));
  std::lock_guard lock(a->udp_socket_table().mutex);
  EXPECT_EQ(a->udp_socket_table().sockets.size(), 1u);
}

TEST_F(P2pNode, UniteThenDirectPathIsPreferred) {
  two_nodes();
  const Bytes big(300, 0x5a);  // at least a UNITE's size: the super peer unites
  ASSERT_TRUE(eventually([&] {
    (void)ab->send_datagram(big);
    const auto s = ab->stats();
    return !s.direct_path_order.empty() && PeerPath::is_reachable(s.direct_paths.at(s.direct_path_order[0]),
                                                                  Clock::now(), 400);
  }));
  EXPECT_EQ(ab->stats().direct_path_order.front().endpoint(), b->local_endpoints().front());

  const auto relayed = sp.counters().relayed;
  const std::size_t have = at_b->got().size();
  for (std::size_t round = 1; round <= 10; ++round) {  // bursts the socket buffers hold
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(ab->send_datagram(big));
    ASSERT_TRUE(eventually([&] { return at_b->got().size() >= have + 20 * round; }));
  }
  EXPECT_LT(sp.counters().relayed - relayed, 50u) << "the datagrams took the direct path";
}

TEST_F(P2pNode, BatchedSendsArriveWholeAndInOrderOnTheDirectPath) {
  two_nodes();
  const Bytes big(300, 0x5a);
  ASSERT_TRUE(eventually([&] {
    (void)ab->send_datagram(big);
    const auto s = ab->stats();
    return !s.direct_path_order.empty() && PeerPath::is_reachable(s.direct_paths.at(s.direct_path_order[0]),
                                                                  Clock::now(), 400);
  }));
  // Runs of equal sizes (offloaded as one send each where the socket takes
  // it), a shorter one closing a run, mixed sizes, and more than one call's
  // worth: each arrives once, whole, in order.
  std::vector<Bytes> sent;
  for (std::size_t i = 0; i < 150; ++i) {
    const std::size_t size = i < 70 ? 1000 : i == 70 ? 400 : i < 100 ? 200 + 7 * i : 900;
    Bytes d(size);
    for (std::size_t k = 0; k < size; ++k) d[k] = static_cast<std::uint8_t>(i + k);
    sent.push_back(std::move(d));
  }
  std::vector<std::span<const std::uint8_t>> spans(sent.begin(), sent.end());
  const auto r = rt.run(ab->send_datagrams_wait(spans));
  ASSERT_TRUE(r) << r.error().message();
  // Probes still on their way (relayed ones late) are left out.
  const auto batch = [&] {
    std::vector<Bytes> out;
    for (auto& d : at_b->got())
      if (d != big) out.push_back(std::move(d));
    return out;
  };
  ASSERT_TRUE(eventually([&] { return batch().size() >= sent.size(); }));
  EXPECT_EQ(batch(), sent);
}

TEST_F(P2pNode, TamperedAndReplayedSealedDatagramsAreDropped) {
  b = node(no_unites);
  // X is a node this test plays by hand from a plain socket.
  const auto x = identity();
  const auto bk = b->identity().pk();
  const Bytes app = datagram(wire::Type::App, x, bk, bytes("sealed"), 1);
  Bytes tampered = app;
  tampered.back() ^= 1;
  const auto to = b->local_endpoints().front();
  auto raw = raw_socket(rt.io);

  auto bx = b->initiate(x.pk()).value();
  Reader at_bx(rt.io, bx);
  raw.send_to(asio::buffer(datagram(wire::Type::Hello, x, bk, hello_body(x), 0)), to);
  ASSERT_TRUE(eventually([&] { return bx->stats().pow_status == PowStatus::Ok; }));
  raw.send_to(asio::buffer(app), to);
  ASSERT_TRUE(eventually([&] { return at_bx.got().size() == 1; }));
  EXPECT_EQ(at_bx.got().front(), bytes("sealed"));
  raw.send_to(asio::buffer(app), to);
  ASSERT_TRUE(eventually([&] { return b->counters().dropped_replayed == 1; }));
  raw.send_to(asio::buffer(tampered), to);
  ASSERT_TRUE(eventually([&] { return b->counters().dropped_unauthentic == 1; }));
  EXPECT_EQ(at_bx.got().size(), 1u) << "delivered once";
}

// Waits for one datagram on `sock` (bounded); empty when none came.
Bytes receive_one(udp::socket& sock) {
  sock.non_blocking(true);
  Bytes buf(wire::kMaxDatagramSize);
  Bytes got;
  eventually([&] {
    boost::system::error_code ec;
    udp::endpoint from;
    const std::size_t n = sock.receive_from(asio::buffer(buf), from, 0, ec);
    if (ec) return false;
    got.assign(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
  });
  return got;
}

TEST_F(P2pNode, AnswersAStrangerNoLargerThanItsHello) {
  b = node();
  const auto bk = b->identity().pk();
  const auto to = b->local_endpoints().front();
  auto raw = raw_socket(rt.io);

  // A stranger's bare sealed HELLO: the ACK is no larger.
  const auto x = identity();
  const Bytes hello = datagram(wire::Type::Hello, x, bk, hello_body(x), 0);
  raw.send_to(asio::buffer(hello), to);
  const Bytes ack = receive_one(raw);
  ASSERT_FALSE(ack.empty()) << "the HELLO is answered";
  EXPECT_EQ(ack[4], static_cast<std::uint8_t>(wire::Type::Ack));
  EXPECT_LE(ack.size(), hello.size());

  // A probe that wants a larger answer pads its own request.
  const auto y = identity();
  Bytes body(400, 0);
  const auto bare = hello_body(y);
  std::copy(bare.begin(), bare.end(), body.begin());
  const Bytes padded = datagram(wire::Type::Hello, y, bk, body, 0);
  raw.send_to(asio::buffer(padded), to);
  const Bytes padded_ack = receive_one(raw);
  ASSERT_FALSE(padded_ack.empty());
  EXPECT_EQ(padded_ack.size(), padded.size());
}

TEST_F(P2pNode, StrangersAreCheckedCheaplyAndTheirKeyAgreementsBudgeted) {
  b = node();
  const auto bk = b->identity().pk();
  const auto to = b->local_endpoints().front();
  auto raw = raw_socket(rt.io);

  // An ACK from a key the node does not know answers nothing of ours.
  const auto x = identity();
  raw.send_to(asio::buffer(datagram(wire::Type::Ack, x, bk, hello_body(x), 0)), to);
  ASSERT_TRUE(eventually([&] { return b->counters().dropped_unknown == 1; }));

  // A flood of HELLOs from fresh keys without proof of work: only a bounded
  // number reach the key agreement (and are refused after it).
  const auto known = identity();
  auto bx = b->initiate(known.pk()).value();
  constexpr std::uint64_t kFlood = 200;
  const auto handled = [&] {
    const auto c = b->counters();
    return c.dropped_refused + c.dropped_busy;
  };
  // Made before the clock starts: on a slow machine their making alone could
  // outlast the budget's window.
  std::vector<Bytes> hellos;
  for (std::uint64_t i = 1; i <= kFlood; ++i) {
    auto stranger = Identity::generate(0).value();
    for (int t = 0; t < 64 && pow_difficulty(stranger.pk(), stranger.pow()) >= 8; ++t)  // below the minimum
      stranger = Identity::generate(0).value();
    hellos.push_back(datagram(wire::Type::Hello, stranger, bk, hello_body(stranger), 0));
  }
  const auto start = Clock::now();
  for (std::uint64_t i = 1; i <= kFlood; ++i) {
    raw.send_to(asio::buffer(hellos[i - 1]), to);
    if (i % 20 == 0) {  // none lost to a full receive buffer
      ASSERT_TRUE(eventually([&] { return handled() >= i; }));
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const auto agreed = b->counters().dropped_refused;
  const double allowed = kStrangerAgreementsBurst + kStrangerAgreementsPerSecond * seconds + 1;
  EXPECT_LE(agreed, allowed) << "of " << kFlood << " in " << seconds << " s";
  // Unless the machine was too slow to send faster than the budget refills.
  if (allowed < kFlood) {
    EXPECT_GT(b->counters().dropped_busy, 0u) << "in " << seconds << " s";
  }

  // A peer the node knows is not held up by the budget.
  auto own = raw_socket(rt.io);
  own.send_to(asio::buffer(datagram(wire::Type::Hello, known, bk, hello_body(known), 0)), to);
  const Bytes ack = receive_one(own);
  ASSERT_FALSE(ack.empty());
  EXPECT_EQ(ack[4], static_cast<std::uint8_t>(wire::Type::Ack));
  EXPECT_EQ(bx->stats().pow_status, PowStatus::Ok);
}

// A HELLO or ACK body from `id` with this timestamp.
std::array<std::uint8_t, wire::kHelloBodySize> hello_body_at(const Identity& id, Instant at) {
  std::array<std::uint8_t, wire::kHelloBodySize> body{};
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
  wire::encode_hello(body, {wire::kProtocolVersion, id.pow(), 1, 0, static_cast<std::uint64_t>(us)});
  return body;
}

bool has_direct_path(const NodePeerRef& link, const udp::endpoint& ep) {
  const auto s = link->stats();
  return s.direct_paths.contains(PeerPathKey::udp(ep));
}

TEST_F(P2pNode, OnlyASealedDatagramMovesAPeerToAnotherAddress) {
  // Sealed: an unsealed HELLO in a peer's name is not understood.
  {
    auto c = node();
    const auto x = identity();
    auto cx = c->initiate(x.pk()).value();
    auto raw = raw_socket(rt.io);
    const auto malformed = c->counters().dropped_malformed;
    raw.send_to(asio::buffer(datagram(wire::Type::Hello, x, c->identity().pk(), hello_body(x))),
                c->local_endpoints().front());
    ASSERT_TRUE(eventually([&] { return c->counters().dropped_malformed > malformed; }));
    EXPECT_FALSE(has_direct_path(cx, raw.local_endpoint()));
    EXPECT_EQ(cx->stats().pow_status, PowStatus::Unknown);
  }

  // Unsealed: nothing proves a key, so a forger's HELLO and ACK in A's name
  // from its own address give B no direct path there; A and B keep relaying.
  two_nodes([](NodeOptsBuilder& o) { o.arm_messages(false); });
  ASSERT_TRUE(send_until_received(ab, *at_b, bytes("relayed")));
  auto forger = raw_socket(rt.io);
  const auto to = b->local_endpoints().front();
  const auto& ai = a->identity();
  const auto bk = b->identity().pk();
  const auto hello_then_ack = [&] {
    forger.send_to(asio::buffer(datagram(wire::Type::Hello, ai, bk, hello_body(ai))), to);
    ASSERT_FALSE(receive_one(forger).empty()) << "B answers the HELLO";
    forger.send_to(asio::buffer(datagram(wire::Type::Ack, ai, bk, hello_body_at(ai, Clock::now()))), to);
  };
  hello_then_ack();
  hello_then_ack();  // the second HELLO's answer orders it after the first ACK
  EXPECT_FALSE(has_direct_path(ba, forger.local_endpoint()));
  ASSERT_TRUE(send_until_received(ba, *at_a, bytes("still to A")));
}

TEST_F(P2pNode, LowProofOfWorkIsRefused) {
  TestSuperPeer lax(0);
  const auto weak = weak_identity();
  b = bind(test_opts(identity(), {lax.url()}));
  auto c = bind(test_opts(weak, {lax.url()}).min_pow_difficulty(0));
  auto cb = c->initiate(b->identity().pk()).value();
  ASSERT_TRUE(eventually([&] {
    (void)cb->send_datagram(bytes("let me in"));
    return b->counters().dropped_refused > 0;
  }));
  // B learns C's proof of work from C's answer to its own HELLO, or from one
  // of C's retried HELLOs once B knows C: then the link is refused at once.
  auto first = b->initiate(weak.pk());
  if (first) {
    auto bc = std::move(*first);
    ASSERT_TRUE(eventually([&] { return bc->stats().pow_status == PowStatus::Nok; }));
    const auto sent = bc->send_datagram(bytes("hi"));
    ASSERT_FALSE(sent);
    EXPECT_THAT(sent.error().message(), testing::HasSubstr("refused"));
  } else {
    EXPECT_THAT(first.error().message(), testing::HasSubstr("refused"));
  }
  EXPECT_FALSE(b->initiate(weak.pk())) << "a refused peer cannot be initiated";
  EXPECT_EQ(b->counters().delivered, 0u);
}

TEST_F(P2pNode, UnsealedWhenNotArmed) {
  two_nodes([](NodeOptsBuilder& o) { o.arm_messages(false).process_unites(false); });
  ASSERT_TRUE(send_until_received(ab, *at_b, bytes("plain a->b")));
  ASSERT_TRUE(send_until_received(ba, *at_a, bytes("plain b->a")));
  EXPECT_TRUE(sp_stats(a).reachable);

  // A sealed datagram is not understood by it.
  const auto malformed = b->counters().dropped_malformed;
  const auto sealed = datagram(wire::Type::App, a->identity(), b->identity().pk(), bytes("x"), 1);
  raw_socket(rt.io).send_to(asio::buffer(sealed), b->local_endpoints().front());
  EXPECT_TRUE(eventually([&] { return b->counters().dropped_malformed > malformed; }));
}

TEST_F(P2pNode, ShutdownEndsLinksAndReleaseClosesSockets) {
  a = node();
  b = node();
  ab = a->initiate(b->identity().pk()).value();
  Reader pending(rt.io, ab);
  rt.run(a->shutdown());
  EXPECT_TRUE(eventually([&] { return pending.aborted(); }));
  const auto sent = ab->send_datagram(bytes("late"));
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().kind(), SendDatagramError::Kind::Closed);
  EXPECT_FALSE(a->initiate(b->identity().pk()));

  // Releasing the last handle stops the node: its port becomes free.
  const udp::endpoint at = b->local_endpoints().front();
  nodes.pop_back();
  b.reset();
  EXPECT_TRUE(eventually([&] {
    udp::socket s(rt.io, udp::v4());
    boost::system::error_code ec;
    s.bind(at, ec);
    return !ec;
  }));
}

// SO_RCVBUF of this process's UDP socket bound to `at`; -1 when none is.
int receive_buffer_of(const udp::endpoint& at) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (const dirent* e = ::readdir(dir)) {
    const int fd = std::atoi(e->d_name);
    if (fd <= 2 || fd == ::dirfd(dir)) continue;
    udp::endpoint local;
    socklen_t len = static_cast<socklen_t>(local.capacity());
    int type = 0;
    socklen_t tlen = sizeof type;
    if (::getsockname(fd, local.data(), &len) != 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0 ||
        type != SOCK_DGRAM)
      continue;
    local.resize(len);
    if (local != at) continue;
    socklen_t vlen = sizeof found;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &found, &vlen) != 0) found = -1;
    break;
  }
  ::closedir(dir);
  return found;
}

// The default receive buffer holds about one coalesced run of a bulk stream:
// the node's sockets get more, past net.core.rmem_max with the privilege.
TEST_F(P2pNode, SocketsHaveRoomForBurstsOfABulkStream) {
  a = node();
  const auto at = a->local_endpoints().front();
  const int got = receive_buffer_of(at);
  ASSERT_GT(got, 0) << "no socket bound to " << at;
  udp::socket plain = raw_socket(rt.io);
  int plain_size = 0;
  socklen_t len = sizeof plain_size;
  ASSERT_EQ(::getsockopt(plain.native_handle(), SOL_SOCKET, SO_RCVBUF, &plain_size, &len), 0);
  EXPECT_GT(got, plain_size);
  // Where this process may go past rmem_max, the node did too.
  const int forced = 1024 * 1024;
  if (::setsockopt(plain.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &forced, sizeof forced) == 0) {
    EXPECT_GE(got, 2 * forced);
  }
}

TEST_F(P2pNode, MaxPeersBoundsThePeerTable) {
  a = node([](NodeOptsBuilder& o) { o.max_peers(1); });
  ASSERT_TRUE(a->initiate(identity(0).pk()));
  EXPECT_THAT(a->initiate(identity(0).pk()).error().message(), testing::HasSubstr("peer table full"));
}

// A full table still opens links to the keys it holds, the live one again
// and a new one for a key whose link ended; keys in a row get a peer each.
TEST_F(P2pNode, FullPeerTableStillOpensKeysItHolds) {
  a = node([](NodeOptsBuilder& o) { o.max_peers(32); });
  std::vector<PubKey> keys;
  for (int i = 0; i < 32; ++i) keys.push_back(identity(0).pk());
  auto first = a->initiate(keys[0]).value();
  for (std::size_t i = 1; i < keys.size(); ++i) ASSERT_TRUE(a->initiate(keys[i])) << i;  // links end at once
  EXPECT_EQ(a->initiate(keys[0]).value(), first);
  auto again = a->initiate(keys.back());
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)->pk(), keys.back());
  EXPECT_EQ(a->initiate(identity(0).pk()).error().message(), "peer table full (32 peers)");
}

// Keys derived and rings allocated by all peers of this process since `at`.
struct PeerCosts {
  std::uint64_t keys = Peer::keys_derived.load(), rings = Peer::rings_allocated.load();
  std::uint64_t keys_since() const { return Peer::keys_derived.load() - keys; }
  std::uint64_t rings_since() const { return Peer::rings_allocated.load() - rings; }
};

// Keys are derived by a peer's first sealed HELLO (on the node's strand, not
// by initiate), rings by its first datagram.
TEST_F(P2pNode, IdlePeersCostNoRingsAndKeysOnlyOnceUntilTheirFirstDatagram) {
  a = node();
  const PeerCosts at;
  std::vector<NodePeerRef> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(a->initiate(identity(0).pk()).value());
  const auto x = identity();
  auto ax = a->initiate(x.pk()).value();
  Reader at_ax(rt.io, ax);
  ASSERT_TRUE(eventually([&] { return at.keys_since() >= 201; }));
  std::this_thread::sleep_for(200ms);  // more HELLO rounds
  EXPECT_EQ(at.keys_since(), 201u);
  EXPECT_EQ(at.rings_since(), 0u);

  // X, from a plain socket: its HELLO is opened and ACKed sealed, its
  // datagram delivered.
  const auto ak = a->identity().pk();
  const auto to = a->local_endpoints().front();
  auto raw = raw_socket(rt.io);
  raw.send_to(asio::buffer(datagram(wire::Type::Hello, x, ak, hello_body(x), 0)), to);
  const Bytes ack = receive_one(raw);
  const auto h = wire::decode_header(ack);
  ASSERT_TRUE(h && h->type == wire::Type::Ack && h->sealed);
  const auto keys = crypto::compute_kx_session_keys(x.pk(), crypto::AgreementKeys::from_identity(x).value(), ak);
  Bytes opened(h->body.size() - crypto::SessionKeys::kTagSize);
  EXPECT_TRUE(wire::open(*h, keys.value(), opened)) << "sealed under the lazily derived keys";
  raw.send_to(asio::buffer(datagram(wire::Type::App, x, ak, bytes("x->a"), 1)), to);
  ASSERT_TRUE(eventually([&] { return at_ax.got().size() == 1; }));
  EXPECT_EQ(at_ax.got().front(), bytes("x->a"));
  EXPECT_EQ(at.keys_since(), 201u) << "none again";
  EXPECT_EQ(at.rings_since(), 1u) << "only X's";
}

TEST_F(P2pNode, TrafficBothWaysOnKeysDerivedAtFirstUse) {
  const PeerCosts at;
  two_nodes(no_unites);
  ASSERT_TRUE(send_until_received(ab, *at_b, bytes("a->b")));
  ASSERT_TRUE(send_until_received(ba, *at_a, bytes("b->a")));
  EXPECT_EQ(at.keys_since(), 2u) << "once on each side";
  EXPECT_EQ(at.rings_since(), 2u);
}

// The first send (a caller's thread), the first HELLO (the node's strand)
// and the first received datagram race to derive a peer's keys: once.
TEST_F(P2pNode, ConcurrentFirstUsesDeriveKeysOnce) {
  b = node(no_unites);
  const auto bk = b->identity().pk();
  const auto to = b->local_endpoints().front();
  auto raw = raw_socket(rt.io);
  constexpr int kPeers = 16;
  std::vector<Identity> xs;
  std::vector<Bytes> apps;
  for (int i = 0; i < kPeers; ++i) {
    xs.push_back(identity(0));
    apps.push_back(datagram(wire::Type::App, xs.back(), bk, bytes("first"), 1));
  }
  const auto refused = b->counters().dropped_refused;
  const PeerCosts at;
  std::vector<NodePeerRef> links;
  for (int i = 0; i < kPeers; ++i) {
    std::atomic<bool> go{false};
    std::thread receive([&] {
      while (!go.load()) std::this_thread::yield();
      raw.send_to(asio::buffer(apps[static_cast<std::size_t>(i)]), to);
    });
    links.push_back(b->initiate(xs[static_cast<std::size_t>(i)].pk()).value());
    go = true;
    (void)links.back()->send_datagram(bytes("first"));
    receive.join();
  }
  // Each datagram opened, then refused: no HELLO has proved its proof of work.
  ASSERT_TRUE(eventually([&] { return b->counters().dropped_refused >= refused + kPeers; }));
  EXPECT_EQ(at.keys_since(), static_cast<std::uint64_t>(kPeers));
}

TEST_F(P2pNode, AKeyThatIsNoPointFailsSendsClearlyAndIsDropped) {
  a = node();
  std::array<std::uint8_t, PubKey::kSize> small_order{};
  small_order[0] = 1;  // the neutral point: no X25519 form
  const PubKey bad(small_order);
  auto link = a->initiate(bad);
  ASSERT_TRUE(link) << link.error().message();
  for (int i = 0; i < 2; ++i) {
    const auto sent = (*link)->send_datagram(bytes("x"));
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().kind(), SendDatagramError::Kind::Failed);
    EXPECT_THAT(sent.error().message(), testing::StartsWith("cannot derive session keys: "));
  }
  const Bytes d = bytes("y");
  const std::vector<std::span<const std::uint8_t>> batch{d};
  const auto waited = rt.run((*link)->send_datagrams_wait(batch));
  ASSERT_FALSE(waited);
  EXPECT_THAT(waited.error().message(), testing::StartsWith("cannot derive session keys: "));

  // A datagram claiming that sender, sealed under any keys, is dropped.
  const auto x = identity();
  const auto ak = a->identity().pk();
  const auto keys =
      crypto::compute_kx_session_keys(x.pk(), crypto::AgreementKeys::from_identity(x).value(), ak).value();
  const wire::Seal seal{&keys, 1, 1, 0};
  Bytes forged(wire::kMaxDatagramSize);
  forged.resize(wire::encode(forged, wire::Type::App, ak, {bad}, bytes("z"), &seal));
  const auto unauthentic = a->counters().dropped_unauthentic;
  raw_socket(rt.io).send_to(asio::buffer(forged), a->local_endpoints().front());
  EXPECT_TRUE(eventually([&] { return a->counters().dropped_unauthentic > unauthentic; }));
  EXPECT_EQ(a->counters().delivered, 0u);
}

// A link's reader resumes on the thread whose handler woke it, once that
// handler has returned: no other thread is woken for the hand-over.
TEST(P2pWaker, ReaderResumesOnTheWakingThreadAfterItsHandler) {
  asio::io_context io;
  Waker waker(io.get_executor());
  std::atomic<bool> parked{false}, handler_done{false}, resumed_after{false};
  std::thread::id woke_on, resumed_on;
  struct Threads {  // stopped and joined also when an assertion fails
    asio::io_context& io;
    std::vector<std::thread> all;
    ~Threads() {
      io.stop();
      for (auto& t : all) t.join();
    }
  } threads{io, {}};
  auto work = asio::make_work_guard(io);
  for (int i = 0; i < 4; ++i) threads.all.emplace_back([&] { io.run(); });
  auto wait = [&]() -> asio::awaitable<boost::system::error_code> {
    parked = true;
    const auto ec = co_await waker.wait();
    resumed_on = std::this_thread::get_id();
    resumed_after = handler_done.load();
    co_return ec;
  };
  auto reader = asio::co_spawn(asio::make_strand(io), wait(), asio::use_future);
  ASSERT_TRUE(eventually([&] { return parked.load(); }));
  std::this_thread::sleep_for(100ms);  // the reader reaches its wait
  asio::post(asio::make_strand(io), [&] {
    woke_on = std::this_thread::get_id();
    waker.wake();
    std::this_thread::sleep_for(100ms);  // room for another thread to take the reader
    handler_done = true;
  });
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(reader.get());
  EXPECT_EQ(resumed_on, woke_on);
  EXPECT_TRUE(resumed_after);

  // Closing ends a pending wait with an error.
  auto closed = asio::co_spawn(io, waker.wait(), asio::use_future);
  waker.close();
  ASSERT_EQ(closed.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(closed.get());
}

// Woken with `now` (the receiver drained its socket), the reader runs inside
// wake(), on the waking thread; a wake-up with no reader waiting is kept for
// the next wait, and a cancel ends a wait with an error.
TEST(P2pWaker, WakeNowRunsTheReaderInsideTheCall) {
  asio::io_context io;
  Waker waker(io.get_executor());
  auto work = asio::make_work_guard(io);
  std::size_t resumed = 0;
  boost::system::error_code last;
  auto wait = [&]() -> asio::awaitable<void> {
    for (;;) {
      last = co_await waker.wait();
      ++resumed;
      if (last) co_return;
    }
  };
  asio::cancellation_signal cancel;
  bool ended = false;
  asio::co_spawn(asio::make_strand(io), wait(),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr) { ended = true; }));
  io.poll();
  ASSERT_EQ(resumed, 0u);
  std::size_t inside = 0;
  asio::post(asio::make_strand(io), [&] {
    waker.wake(true);
    inside = resumed;
  });
  io.run_one();
  EXPECT_EQ(inside, 1u) << "the reader ran inside wake(true)";
  EXPECT_FALSE(last);

  io.poll();
  waker.close();  // ... and every later wait
  io.poll();
  EXPECT_EQ(resumed, 2u);
  EXPECT_TRUE(last);
  EXPECT_TRUE(ended);

  Waker second(io.get_executor());
  second.wake();  // nobody waits: kept
  auto spare = asio::co_spawn(io, second.wait(), asio::use_future);
  io.poll();
  ASSERT_EQ(spare.wait_for(0s), std::future_status::ready);
  EXPECT_FALSE(spare.get());
  ended = false;
  asio::co_spawn(io, second.wait(),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, boost::system::error_code ec) {
                   ended = !e && ec == asio::error::operation_aborted;
                 }));
  io.poll();
  EXPECT_FALSE(ended);
  cancel.emit(asio::cancellation_type::terminal);
  io.poll();
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace sarvolt::test
