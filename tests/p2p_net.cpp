#include "p2p_net.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <fmt/format.h>

#include "platform/p2p/crypto.hpp"

namespace sarvolt::test {

namespace asio = boost::asio;
using namespace std::chrono_literals;




TestSuperPeer::TestSuperPeer(std::uint8_t min_pow_difficulty)
    : server_(rt_.io.get_executor(), identity_, {.min_pow_difficulty = min_pow_difficulty, .unite_interval = 200ms},
              asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0)),
      port_(server_.local_endpoint().port()) {
  asio::co_spawn(rt_.io, server_.run(), asio::detached);
}

void TestSuperPeer::stop() {
  server_.stop();
  rt_.stop(5s);
}

p2p::SuperPeerUrl TestSuperPeer::url() const {
  return p2p::SuperPeerUrl::parse(fmt::format("udp://127.0.0.1:{}?publicKey={}&networkId=1", port_, identity_.pk()))
      .value();
}

p2p::RelayCounters TestSuperPeer::counters() {
  auto f = asio::post(rt_.io, asio::use_future([this] { return server_.core().counters(); }));
  if (f.wait_for(5s) != std::future_status::ready) throw std::runtime_error("super peer does not answer");
  return f.get();
}

p2p::Identity identity(std::uint8_t difficulty) { return p2p::Identity::generate(difficulty).value(); }

p2p::Identity weak_identity() {
  for (int i = 0; i < 100000; ++i)
    if (auto id = p2p::Identity::generate(0).value(); id.difficulty() < 8) return id;
  throw std::runtime_error("no weak identity");
}

Bytes datagram(p2p::wire::Type type, const p2p::Identity& from, const p2p::PubKey& to,
               std::span<const std::uint8_t> body, std::optional<std::uint64_t> counter) {
  Bytes d(p2p::wire::kMaxDatagramSize);
  if (!counter) {
    d.resize(p2p::wire::encode(d, type, to, {from.pk()}, body, nullptr));
    return d;
  }
  namespace crypto = p2p::crypto;
  const auto keys =
      crypto::compute_kx_session_keys(from.pk(), crypto::AgreementKeys::from_identity(from).value(), to).value();
  const p2p::wire::Seal seal{&keys, 1, *counter, 0};
  d.resize(p2p::wire::encode(d, type, to, {from.pk()}, body, &seal));
  return d;
}

std::array<std::uint8_t, p2p::wire::kHelloBodySize> hello_body(const p2p::Identity& id, std::int32_t network) {
  std::array<std::uint8_t, p2p::wire::kHelloBodySize> body{};
  p2p::wire::encode_hello(body, {p2p::wire::kProtocolVersion, id.pow(), network, 0, 4242});
  return body;
}

p2p::NodeOptsBuilder test_opts(const p2p::Identity& id, const std::vector<p2p::SuperPeerUrl>& super_peers) {
  p2p::NodeOptsBuilder b;
  b.identity(id)
      .super_peers(super_peers)
      .udp_addrs({asio::ip::make_address("127.0.0.1")})
      .udp_port(0)
      .min_pow_difficulty(8)
      .housekeeping_interval(50)
      .hello_timeout(400)
      .hello_max_age(1500);
  return b;
}

Reader::Reader(asio::io_context& io, p2p::NodePeerRef link) : strand_(asio::make_strand(io)) {
  asio::co_spawn(strand_, loop(state_, std::move(link)),
                 asio::bind_cancellation_slot(state_->stop.slot(), [st = state_](std::exception_ptr) {
                   std::lock_guard lock(st->mutex);
                   st->done = true;
                   st->cv.notify_all();
                 }));
}

Reader::~Reader() {
  asio::post(strand_, [st = state_] { st->stop.emit(asio::cancellation_type::terminal); });
  std::unique_lock lock(state_->mutex);
  state_->cv.wait_for(lock, 5s, [this] { return state_->done; });
}

asio::awaitable<void> Reader::loop(std::shared_ptr<State> st, p2p::NodePeerRef link) {
  std::vector<p2p::Datagram> slots(32);
  try {
    for (;;) {
      const std::size_t n = co_await link->read_datagrams(slots);
      std::lock_guard lock(st->mutex);
      for (std::size_t i = 0; i < n; ++i) st->got.emplace_back(slots[i].begin(), slots[i].end());
    }
  } catch (const boost::system::system_error& e) {
    std::lock_guard lock(st->mutex);
    st->aborted = e.code() == asio::error::operation_aborted;
  }
}

std::vector<Bytes> Reader::got() const {
  std::lock_guard lock(state_->mutex);
  return state_->got;
}

bool Reader::aborted() const {
  std::lock_guard lock(state_->mutex);
  return state_->done && state_->aborted;
}

}  // namespace sarvolt::test
