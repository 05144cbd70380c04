#include "platform/p2p/relay_server.hpp"

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "platform/p2p/crypto.hpp"
#include "platform/p2p/wire.hpp"
#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::relay_server")

namespace asio = boost::asio;
using udp = asio::ip::udp;

namespace {

struct EndpointHash {
  std::size_t operator()(const udp::endpoint& ep) const noexcept {
    std::size_t h = ep.port();
    const auto* p = reinterpret_cast<const unsigned char*>(ep.data());
    for (std::size_t i = 0; i < ep.size(); ++i) h = h * 1099511628211ull ^ p[i];
    return h;
  }
};

struct NodeRec {
  PubKey pk;
  udp::endpoint endpoint;
  Instant last_seen;
  bool sealed = false;
  std::optional<crypto::SessionKeys> keys;
  crypto::ReplayWindow replay;
  std::uint64_t tx_counter = 0;
  std::unordered_map<PubKey, Instant> united;  // partner -> last UNITE
};

}  // namespace

struct RelayCore::Impl {
  Impl(Identity id, RelayOptions o)
      : identity(std::move(id)),
        opt(o),
        agreement(crypto::AgreementKeys::from_identity(identity).value()),
        epoch(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count())),
        salt(crypto::random_u64()),
        scratch(wire::kMaxDatagramSize),
        out(wire::kMaxDatagramSize) {}

  void hello(const wire::Header& h, const udp::endpoint& from, Instant now, RelaySink& sink);
  void relay(const wire::Header& h, std::span<const std::uint8_t> d, const udp::endpoint& from, Instant now,
             RelaySink& sink);
  void send_unite(NodeRec& to, const NodeRec& about, RelaySink& sink);
  std::size_t encode_for(NodeRec& to, wire::Type type, std::span<const std::uint8_t> body);
  // Takes the key by value: callers pass keys stored in the tables it erases.
  void remove(PubKey pk, const char* why);

  Identity identity;
  RelayOptions opt;
  crypto::AgreementKeys agreement;
  const std::uint64_t epoch;
  const std::uint64_t salt;
  std::unordered_map<PubKey, NodeRec> nodes;
  std::unordered_map<udp::endpoint, PubKey, EndpointHash> by_endpoint;
  RelayCounters counters;
  std::vector<std::uint8_t> scratch;
  std::vector<std::uint8_t> out;
};

RelayCore::RelayCore(Identity identity, RelayOptions options)
    : impl_(std::make_unique<Impl>(std::move(identity), options)) {}
RelayCore::~RelayCore() = default;

const Identity& RelayCore::identity() const noexcept { return impl_->identity; }
const RelayCounters& RelayCore::counters() const noexcept { return impl_->counters; }
std::size_t RelayCore::node_count() const noexcept { return impl_->nodes.size(); }

void RelayCore::handle(std::span<const std::uint8_t> d, const udp::endpoint& raw_from, Instant now,
                       RelaySink& sink) {
  auto& im = *impl_;
  ++im.counters.received;
  const auto from = wire::normalize(raw_from);
  const bool registered = im.by_endpoint.contains(from);
  auto h = d.size() <= im.opt.max_datagram_size ? wire::decode_header(d)
                                                 : util::Expected<wire::Header, wire::WireError>(util::Unexpected(
                                                       wire::WireError(wire::WireError::Kind::TooShort, "oversized")));
  if (!h) {
    ++(registered ? im.counters.dropped_invalid : im.counters.dropped_unregistered);
    return;
  }
  if (h->recipient == im.identity.pk()) {
    if (h->type == wire::Type::Hello) return im.hello(*h, from, now, sink);
    ++(registered ? im.counters.dropped_invalid : im.counters.dropped_unregistered);
    return;
  }
  if (!registered) {
    ++im.counters.dropped_unregistered;
    return;
  }
  im.relay(*h, d, from, now, sink);
}

void RelayCore::Impl::hello(const wire::Header& h, const udp::endpoint& from, Instant now, RelaySink& sink) {
  const auto known = nodes.find(h.sender);
  std::optional<crypto::SessionKeys> keys;
  std::span<const std::uint8_t> body = h.body;
  if (h.sealed) {
    if (known != nodes.end() && known->second.keys) {
      keys = known->second.keys;
    } else {
      auto k = crypto::compute_kx_session_keys(identity.pk(), agreement, h.sender);
      if (!k) {
        ++counters.dropped_invalid;
        return;
      }
      keys = std::move(*k);
    }
    const auto opened = std::span(scratch).first(h.body.size() - crypto::SessionKeys::kTagSize);
    if (!wire::open(h, *keys, opened)) {
      ++counters.dropped_invalid;
      return;
    }
    body = opened;
  }
  const auto hello = wire::decode_hello(body);
  if (!hello) {
    ++counters.dropped_invalid;
    return;
  }
  if (hello->network_id != opt.network_id || pow_difficulty(h.sender, hello->pow) < opt.min_pow_difficulty) {
    ++counters.dropped_refused;
    SV_DEBUG(lg(), "HELLO from {} at {} refused (network id {}, proof of work {})", h.sender, p2p::to_string(from),
             hello->network_id, pow_difficulty(h.sender, hello->pow));
    return;
  }
  crypto::ReplayWindow fresh;
  crypto::ReplayWindow& window = known != nodes.end() ? known->second.replay : fresh;
  if (h.sealed && !window.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
    ++counters.dropped_invalid;
    return;
  }
  if (known == nodes.end() && nodes.size() >= opt.max_nodes) {
    ++counters.dropped_refused;
    return;
  }
  // Another node registered at this address is replaced.
  if (const auto other = by_endpoint.find(from); other != by_endpoint.end() && other->second != h.sender)
    remove(other->second, "replaced at its address");
  auto [it, added] = nodes.try_emplace(h.sender);
  NodeRec& n = it->second;
  if (added) {
    n.pk = h.sender;
    n.replay = fresh;
    SV_INFO(lg(), "Node {} joined from {}", n.pk, p2p::to_string(from));
  } else if (n.endpoint != from) {
    by_endpoint.erase(n.endpoint);
    SV_DEBUG(lg(), "Node {} moved to {}", n.pk, p2p::to_string(from));
  }
  n.endpoint = from;
  n.last_seen = now;
  n.sealed = h.sealed;
  n.keys = keys;
  by_endpoint[from] = n.pk;

  const wire::Hello ack{wire::kProtocolVersion, identity.pow(), opt.network_id, 0, hello->timestamp_us};
  std::array<std::uint8_t, wire::kHelloBodySize> ack_body{};
  wire::encode_hello(ack_body, ack);
  const std::size_t len = encode_for(n, wire::Type::Ack, ack_body);
  sink.send(from, std::span(out).first(len));
  ++counters.acked;
}

void RelayCore::Impl::relay(const wire::Header& h, std::span<const std::uint8_t> d, const udp::endpoint& from,
                            Instant now, RelaySink& sink) {
  NodeRec& a = nodes.at(by_endpoint.at(from));
  if ((!h.short_sender && h.sender != a.pk) || h.type == wire::Type::Unite) {
    ++counters.dropped_invalid;
    return;
  }
  const auto dst = nodes.find(h.recipient);
  if (dst == nodes.end()) {
    ++counters.dropped_invalid;
    return;
  }
  NodeRec& b = dst->second;
  sink.send(b.endpoint, d);
  ++counters.relayed;
  // A node never learns its own address (nor gets united with itself).
  if (h.type != wire::Type::App || &a == &b) return;
  const std::size_t unite_size = wire::encoded_size(false, a.sealed || b.sealed, wire::kUniteBodySize);
  if (d.size() < unite_size) return;
  const auto last = a.united.find(b.pk);
  if (last != a.united.end() && now - last->second < opt.unite_interval) return;
  a.united[b.pk] = now;
  b.united[a.pk] = now;
  send_unite(a, b, sink);
  send_unite(b, a, sink);
}

void RelayCore::Impl::send_unite(NodeRec& to, const NodeRec& about, RelaySink& sink) {
  std::array<std::uint8_t, wire::kUniteBodySize> body{};
  wire::encode_unite(body, wire::Unite{about.pk, about.endpoint});
  const std::size_t len = encode_for(to, wire::Type::Unite, body);
  sink.send(to.endpoint, std::span(out).first(len));
  ++counters.unites;
  SV_DEBUG(lg(), "UNITE to {}: peer {} at {}", to.pk, about.pk, p2p::to_string(about.endpoint));
}

std::size_t RelayCore::Impl::encode_for(NodeRec& to, wire::Type type, std::span<const std::uint8_t> body) {
  const wire::Sender me{identity.pk()};
  if (!to.sealed) return wire::encode(out, type, to.pk, me, body, nullptr);
  const wire::Seal seal{&*to.keys, epoch, to.tx_counter++, salt};
  return wire::encode(out, type, to.pk, me, body, &seal);
}

void RelayCore::Impl::remove(PubKey pk, const char* why) {
  const auto it = nodes.find(pk);
  if (it == nodes.end()) return;
  by_endpoint.erase(it->second.endpoint);
  for (const auto& [partner, when] : it->second.united)
    if (auto p = nodes.find(partner); p != nodes.end()) p->second.united.erase(pk);
  nodes.erase(it);
  SV_INFO(lg(), "Node {} left ({})", pk, why);
}

void RelayCore::expire(Instant now) {
  auto& im = *impl_;
  std::vector<PubKey> gone;
  for (auto& [pk, n] : im.nodes) {
    if (now - n.last_seen > im.opt.node_expiry) {
      gone.push_back(pk);
      continue;
    }
    std::erase_if(n.united, [&](const auto& kv) { return now - kv.second >= im.opt.unite_interval; });
  }
  for (const auto& pk : gone) im.remove(pk, "timed out");
}

// --- RelayServer -------------------------------------------------------------

struct RelayServer::Impl : RelaySink {
  Impl(const asio::any_io_executor& ex, Identity identity, RelayOptions options, const udp::endpoint& listen)
      : sock(ex, listen), v6(listen.address().is_v6()), timer(ex), core(std::move(identity), options) {
    sock.non_blocking(true);
  }

  void send(const udp::endpoint& to, std::span<const std::uint8_t> d) override {
    udp::endpoint dest = to;
    if (to.address().is_v4() && v6)
      dest = udp::endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, to.address().to_v4()), to.port());
    ::sendto(sock.native_handle(), d.data(), d.size(), MSG_DONTWAIT | MSG_NOSIGNAL, dest.data(),
             static_cast<socklen_t>(dest.size()));
  }

  asio::awaitable<void> receive_loop();
  asio::awaitable<void> expiry_loop();

  udp::socket sock;
  const bool v6;
  asio::steady_timer timer;
  RelayCore core;
};

asio::awaitable<void> RelayServer::Impl::receive_loop() {
  constexpr std::size_t kBatch = 32;
  constexpr std::size_t kBuf = 65536;
  std::vector<std::uint8_t> bufs(kBatch * kBuf);
  std::array<mmsghdr, kBatch> msgs{};
  std::array<iovec, kBatch> iovs{};
  std::array<sockaddr_storage, kBatch> names{};
  const int fd = sock.native_handle();
  try {
    for (;;) {
      co_await sock.async_wait(udp::socket::wait_read, asio::use_awaitable);
      for (int round = 0; round < 8; ++round) {
        for (std::size_t i = 0; i < kBatch; ++i) {
          iovs[i] = {bufs.data() + i * kBuf, kBuf};
          msgs[i].msg_hdr = {};
          msgs[i].msg_hdr.msg_iov = &iovs[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
          msgs[i].msg_hdr.msg_name = &names[i];
          msgs[i].msg_hdr.msg_namelen = sizeof names[i];
        }
        const int n = ::recvmmsg(fd, msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) break;
        const Instant now = Clock::now();
        for (int i = 0; i < n; ++i) {
          udp::endpoint from;
          if (msgs[i].msg_hdr.msg_namelen > from.capacity() || (msgs[i].msg_hdr.msg_flags & MSG_TRUNC)) continue;
          std::memcpy(from.data(), &names[i], msgs[i].msg_hdr.msg_namelen);
          from.resize(msgs[i].msg_hdr.msg_namelen);
          core.handle({bufs.data() + i * kBuf, msgs[i].msg_len}, from, now, *this);
        }
        if (static_cast<std::size_t>(n) < kBatch) break;
      }
    }
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted && e.code() != asio::error::bad_descriptor) throw;
  }
}

asio::awaitable<void> RelayServer::Impl::expiry_loop() {
  try {
    for (;;) {
      timer.expires_after(std::chrono::milliseconds(500));
      co_await timer.async_wait(asio::use_awaitable);
      core.expire(Clock::now());
    }
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted) throw;
  }
}

RelayServer::RelayServer(const asio::any_io_executor& ex, Identity identity, RelayOptions options,
                         const udp::endpoint& listen)
    : impl_(std::make_shared<Impl>(ex, std::move(identity), options, listen)) {}

RelayServer::~RelayServer() = default;

udp::endpoint RelayServer::local_endpoint() const { return impl_->sock.local_endpoint(); }

asio::awaitable<void> RelayServer::run() {
  using namespace asio::experimental::awaitable_operators;
  auto keep = impl_;
  co_await (keep->receive_loop() || keep->expiry_loop());
}

void RelayServer::stop() {
  asio::post(impl_->sock.get_executor(), [impl = impl_] {
    boost::system::error_code ec;
    impl->sock.close(ec);
    impl->timer.cancel();
  });
}

const RelayCore& RelayServer::core() const noexcept { return impl_->core; }

}  // namespace sarvolt::p2p
