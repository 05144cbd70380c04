#include "platform/p2p/relay_server.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
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

// Writes one control message carrying `info` at `c`; the control length.
template <class Info>
std::size_t put_control(cmsghdr* c, int level, int type, const Info& info) {
  c->cmsg_level = level;
  c->cmsg_type = type;
  c->cmsg_len = CMSG_LEN(sizeof info);
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  return CMSG_SPACE(sizeof info);
}

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
  asio::ip::address local;  // where its datagrams arrive
  Instant last_seen;
  bool sealed = false;
  bool kx_failed = false;
  std::optional<crypto::SessionKeys> keys;  // agreed once, when first needed
  crypto::ReplayWindow replay;
  std::uint64_t tx_counter = 0;
  std::unordered_map<PubKey, Instant> united;  // partner -> last UNITE
};

// Key agreements for unregistered keys: a token bucket overall (so that
// they never come in one long run that stalls everything else), and a count
// per source address in the current second in a fixed table (addresses that
// collide share a slot).
class StrangerBudget {
 public:
  bool take(const asio::ip::address& source, Instant now, const RelayOptions& opt) noexcept {
    const double burst = opt.stranger_kx_burst;
    if (!started_ || now < last_) {
      started_ = true;
      tokens_ = burst;
    } else {
      const double refill = std::chrono::duration<double>(now - last_).count() * opt.stranger_kx_per_second;
      tokens_ = std::min(burst, tokens_ + refill);
    }
    last_ = now;
    if (!started_window_ || now - window_ >= std::chrono::seconds(1) || now < window_) {
      started_window_ = true;
      window_ = now;
      per_source_.fill(0);
    }
    if (tokens_ < 1) return false;
    std::uint32_t& mine = per_source_[slot(source)];
    if (mine >= opt.stranger_kx_per_source) return false;
    ++mine;
    tokens_ -= 1;
    return true;
  }

 private:
  static std::size_t slot(const asio::ip::address& a) noexcept {
    std::uint64_t h = 1469598103934665603ull;
    const auto mix = [&](const auto& bytes) {
      for (const auto b : bytes) h = (h ^ b) * 1099511628211ull;
    };
    if (a.is_v4()) mix(a.to_v4().to_bytes());
    else mix(a.to_v6().to_bytes());
    return static_cast<std::size_t>(h % kSlots);
  }
  static constexpr std::size_t kSlots = 1024;
  bool started_ = false, started_window_ = false;
  Instant last_{}, window_{};
  double tokens_ = 0;
  std::array<std::uint32_t, kSlots> per_source_{};
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

  void hello(const wire::Header& h, const udp::endpoint& from, const asio::ip::address& local, Instant now,
             RelaySink& sink);
  const crypto::SessionKeys* keys_of(NodeRec& n);
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
  StrangerBudget strangers;
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
  handle(d, raw_from, asio::ip::address(), now, sink);
}

void RelayCore::handle(std::span<const std::uint8_t> d, const udp::endpoint& raw_from, const asio::ip::address& local,
                       Instant now, RelaySink& sink) {
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
    if (h->type == wire::Type::Hello) return im.hello(*h, from, local, now, sink);
    ++(registered ? im.counters.dropped_invalid : im.counters.dropped_unregistered);
    return;
  }
  if (!registered) {
    ++im.counters.dropped_unregistered;
    return;
  }
  im.relay(*h, d, from, now, sink);
}

const crypto::SessionKeys* RelayCore::Impl::keys_of(NodeRec& n) {
  if (!n.keys && !n.kx_failed) {
    auto k = crypto::compute_kx_session_keys(identity.pk(), agreement, n.pk);
    if (k) n.keys = std::move(*k);
    else n.kx_failed = true;
  }
  return n.keys ? &*n.keys : nullptr;
}

void RelayCore::Impl::hello(const wire::Header& h, const udp::endpoint& from, const asio::ip::address& local,
                            Instant now, RelaySink& sink) {
  const auto known = nodes.find(h.sender);
  NodeRec* const n = known != nodes.end() ? &known->second : nullptr;
  std::optional<crypto::SessionKeys> stranger_keys;
  std::span<const std::uint8_t> body = h.body;
  if (h.sealed) {
    if (h.body.size() < wire::kHelloBodySize + crypto::SessionKeys::kTagSize) {
      ++counters.dropped_invalid;
      return;
    }
    const crypto::SessionKeys* keys = nullptr;
    if (n) {
      keys = keys_of(*n);
    } else {
      // The proof of work is inside the sealed body: bound the agreements it costs.
      if (nodes.size() >= opt.max_nodes || !strangers.take(from.address(), now, opt)) {
        ++counters.dropped_refused;
        return;
      }
      auto k = crypto::compute_kx_session_keys(identity.pk(), agreement, h.sender);
      if (k) stranger_keys = std::move(*k);
      keys = stranger_keys ? &*stranger_keys : nullptr;
    }
    const auto opened = std::span(scratch).first(h.body.size() - crypto::SessionKeys::kTagSize);
    if (!keys || !wire::open(h, *keys, opened)) {
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
  crypto::ReplayWindow& window = n ? n->replay : fresh;
  if (h.sealed && !window.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
    ++counters.dropped_invalid;
    return;
  }
  // Only a sealed HELLO proves the key: nothing else moves a registration.
  if (n && !h.sealed && (n->endpoint != from || n->local != local || n->sealed)) {
    ++counters.dropped_refused;
    SV_DEBUG(lg(), "Unsealed HELLO from {} at {} refused: registered at {}{}", h.sender, p2p::to_string(from),
             p2p::to_string(n->endpoint), n->sealed ? " (sealed)" : "");
    return;
  }
  if (!n && nodes.size() >= opt.max_nodes) {
    ++counters.dropped_refused;
    return;
  }
  // An address belongs to one live registration.
  if (const auto other = by_endpoint.find(from); other != by_endpoint.end() && other->second != h.sender) {
    ++counters.dropped_refused;
    SV_DEBUG(lg(), "HELLO from {} at {} refused: the address is registered to {}", h.sender, p2p::to_string(from),
             other->second);
    return;
  }
  NodeRec* rec = n;
  if (!rec) {
    rec = &nodes.try_emplace(h.sender).first->second;
    rec->pk = h.sender;
    rec->replay = fresh;
    rec->keys = std::move(stranger_keys);
    rec->endpoint = from;
    SV_INFO(lg(), "Node {} joined from {}", rec->pk, p2p::to_string(from));
  } else if (rec->endpoint != from) {
    by_endpoint.erase(rec->endpoint);
    SV_DEBUG(lg(), "Node {} moved to {}", rec->pk, p2p::to_string(from));
  }
  rec->endpoint = from;
  rec->local = local;
  rec->last_seen = now;
  rec->sealed = h.sealed;
  by_endpoint[from] = rec->pk;

  const wire::Hello ack{wire::kProtocolVersion, identity.pow(), opt.network_id, 0, hello->timestamp_us};
  std::array<std::uint8_t, wire::kHelloBodySize> ack_body{};
  wire::encode_hello(ack_body, ack);
  const std::size_t len = encode_for(*rec, wire::Type::Ack, ack_body);
  sink.send_from(from, local, std::span(out).first(len));
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
  sink.send_from(b.endpoint, b.local, d);
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
  sink.send_from(to.endpoint, to.local, std::span(out).first(len));
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

// Room for one IP_PKTINFO or IPV6_PKTINFO control message.
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in6_pktinfo));

struct RelayServer::Impl : RelaySink {
  Impl(const asio::any_io_executor& ex, Identity identity, RelayOptions options, const udp::endpoint& listen)
      : sock(ex, listen),
        v6(listen.address().is_v6()),
        wildcard(listen.address().is_unspecified()),
        timer(ex),
        core(std::move(identity), options) {
    sock.non_blocking(true);
    const int rcvbuf = options.receive_buffer_bytes, fd = sock.native_handle();
    if (rcvbuf > 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // On a wildcard address, learn where each datagram arrived so that the
    // answer leaves from there (a node accepts its super peer's address only).
    if (wildcard) {
      const int on = 1;
      if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
          (v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0))
        throw boost::system::system_error(errno, boost::system::system_category(), "setsockopt PKTINFO");
    }
  }

  void send(const udp::endpoint& to, std::span<const std::uint8_t> d) override {
    send_from(to, asio::ip::address(), d);
  }

  void send_from(const udp::endpoint& to, const asio::ip::address& from, std::span<const std::uint8_t> d) override {
    udp::endpoint dest = to;
    if (to.address().is_v4() && v6)
      dest = udp::endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, to.address().to_v4()), to.port());
    iovec iov{const_cast<std::uint8_t*>(d.data()), d.size()};
    msghdr msg{};
    msg.msg_name = dest.data();
    msg.msg_namelen = static_cast<socklen_t>(dest.size());
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) std::array<unsigned char, kControlSize> control{};
    if (wildcard && !from.is_unspecified()) {
      msg.msg_control = control.data();
      cmsghdr* c = reinterpret_cast<cmsghdr*>(control.data());
      if (from.is_v4() && !v6) {
        in_pktinfo info{};
        const auto b = from.to_v4().to_bytes();
        std::memcpy(&info.ipi_spec_dst, b.data(), b.size());
        msg.msg_controllen = put_control(c, IPPROTO_IP, IP_PKTINFO, info);
      } else {
        in6_pktinfo info{};
        const auto b = from.is_v4() ? asio::ip::make_address_v6(asio::ip::v4_mapped, from.to_v4()).to_bytes()
                                    : from.to_v6().to_bytes();
        std::memcpy(&info.ipi6_addr, b.data(), b.size());
        msg.msg_controllen = put_control(c, IPPROTO_IPV6, IPV6_PKTINFO, info);
      }
    }
    ::sendmsg(sock.native_handle(), &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  }

  // The unicast address a datagram was sent to, from its control messages
  // (unspecified when there is none).
  static asio::ip::address arrived_on(msghdr& m) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        asio::ip::address_v4::bytes_type b;
        std::memcpy(b.data(), &info.ipi_addr, b.size());
        const asio::ip::address_v4 a(b);
        if (a.is_multicast() || a == asio::ip::address_v4::broadcast()) return {};
        return a;
      }
      if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
          c->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
        in6_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        asio::ip::address_v6::bytes_type b;
        std::memcpy(b.data(), &info.ipi6_addr, b.size());
        const asio::ip::address_v6 a(b);
        if (a.is_multicast()) return {};
        if (a.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, a);
        return a;
      }
    }
    return {};
  }

  asio::awaitable<void> receive_loop();
  asio::awaitable<void> expiry_loop();

  udp::socket sock;
  const bool v6;
  const bool wildcard;
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
  struct alignas(cmsghdr) Control {
    std::array<unsigned char, kControlSize> bytes;
  };
  std::array<Control, kBatch> controls{};
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
          if (wildcard) {
            msgs[i].msg_hdr.msg_control = controls[i].bytes.data();
            msgs[i].msg_hdr.msg_controllen = controls[i].bytes.size();
          }
        }
        const int n = ::recvmmsg(fd, msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) break;
        const Instant now = Clock::now();
        for (int i = 0; i < n; ++i) {
          udp::endpoint from;
          if (msgs[i].msg_hdr.msg_namelen > from.capacity() || (msgs[i].msg_hdr.msg_flags & MSG_TRUNC)) continue;
          std::memcpy(from.data(), &names[i], msgs[i].msg_hdr.msg_namelen);
          from.resize(msgs[i].msg_hdr.msg_namelen);
          const auto local = wildcard ? arrived_on(msgs[i].msg_hdr) : asio::ip::address();
          core.handle({bufs.data() + i * kBuf, msgs[i].msg_len}, from, local, now, *this);
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
