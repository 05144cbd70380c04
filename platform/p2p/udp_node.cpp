#include "platform/p2p/udp_node.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <shared_mutex>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include "platform/p2p/crypto.hpp"
#include "platform/p2p/super_peer.hpp"
#include "platform/p2p/wire.hpp"
#include "platform/p2p/waiter_guard.hpp"
#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::udp_node")

namespace asio = boost::asio;
using udp = asio::ip::udp;
using namespace std::chrono_literals;
using SendKind = SendDatagramError::Kind;

namespace {

constexpr std::size_t kRingCapacity = 512;
constexpr std::size_t kMaxDirectPaths = 4;
constexpr std::size_t kRecvBatch = 16;
constexpr std::size_t kRecvBufSize = 65536;
constexpr std::chrono::milliseconds kResolveLimit = 10s;
// IPv6 + UDP headers: direct HELLOs are padded to mtu minus these.
constexpr std::size_t kIpUdpOverhead = 48;

std::uint64_t micros(Instant t) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

[[noreturn]] void throw_aborted() { throw boost::system::system_error(asio::error::operation_aborted); }

util::Unexpected<SendDatagramError> send_error(SendKind kind, std::string message) {
  return util::Unexpected(SendDatagramError(kind, std::move(message)));
}

util::Unexpected<NodeError> node_error(NodeError::Kind kind, std::string message) {
  return util::Unexpected(NodeError(kind, std::move(message)));
}

// Outgoing datagrams are built here, one buffer per thread.
std::span<std::uint8_t> send_buffer() {
  thread_local std::unique_ptr<std::uint8_t[]> buf;
  if (!buf) buf.reset(new std::uint8_t[wire::kMaxDatagramSize]);
  return {buf.get(), wire::kMaxDatagramSize};
}

// Wake-up signal of a link's reader; closing it ends the pending read.
struct Waker {
  using Channel = asio::experimental::concurrent_channel<void(boost::system::error_code)>;
  explicit Waker(const asio::any_io_executor& ex) : channel(ex, 1) {}
  void wake() { channel.try_send(boost::system::error_code{}); }
  Channel channel;
  std::atomic<bool> link_closed{false};  // the link was closed by its holder
};

// Tasks that can be stopped together and awaited.
class TaskGroup {
 public:
  explicit TaskGroup(const asio::any_io_executor& ex) : done_(ex, 1) {}

  // Spawns `task` on `strand` unless the group is stopped; `keep` lives until
  // the task has ended.
  template <class Strand, class Keep>
  void spawn(const Strand& strand, asio::awaitable<void> task, Keep keep) {
    std::list<asio::cancellation_signal>::iterator it;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      it = signals_.emplace(signals_.end());
      ++running_;
    }
    asio::co_spawn(strand, std::move(task),
                   asio::bind_cancellation_slot(it->slot(), [this, it, keep = std::move(keep)](std::exception_ptr e) {
                     if (e) {
                       try {
                         std::rethrow_exception(e);
                       } catch (const std::exception& err) {
                         SV_ERROR(lg(), "I/O error: {}", err.what());
                       }
                     }
                     finished(it);
                   }));
  }

  // Cancels every task (on `strand`, where they run); `keep` holds the
  // group's owner until then. Idempotent.
  template <class Strand, class Keep>
  void stop(const Strand& strand, Keep keep) {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
      if (running_ == 0) done_.try_send(boost::system::error_code{});
    }
    asio::post(strand, [this, keep = std::move(keep)] {
      std::lock_guard lock(mutex_);
      for (auto& s : signals_) s.emit(asio::cancellation_type::terminal);
    });
  }

  // Completes once stopped and every task has ended.
  asio::awaitable<void> wait() {
    auto [ec] = co_await done_.async_receive(asio::as_tuple(asio::use_awaitable));
    (void)ec;
    done_.try_send(boost::system::error_code{});  // for the next waiter
  }

 private:
  void finished(std::list<asio::cancellation_signal>::iterator it) {
    std::lock_guard lock(mutex_);
    signals_.erase(it);
    if (--running_ == 0 && stopped_) done_.try_send(boost::system::error_code{});
  }

  std::mutex mutex_;
  std::list<asio::cancellation_signal> signals_;
  std::size_t running_ = 0;
  bool stopped_ = false;
  asio::experimental::concurrent_channel<void(boost::system::error_code)> done_;
};

}  // namespace

// --- state -------------------------------------------------------------------

// The node's tasks run on a strand of the runtime's io_context (a strand of
// its concrete executor type: no type-erased executor on the per-datagram path).
using Strand = asio::strand<asio::io_context::executor_type>;

struct UdpSocketHandle::Socket {
  explicit Socket(const Strand& strand) : sock(strand) {}
  udp::socket sock;
  int fd = -1;
  asio::ip::address key;  // the address it was opened for
  udp::endpoint local;
  bool v6 = false;
  bool dual_stack = false;
  bool open = true;  // under Core::sock_mutex
};
using Socket = UdpSocketHandle::Socket;

// What the node keeps of one remote node.
struct Peer {
  Peer(const PubKey& key, ShortId rx, std::optional<crypto::SessionKeys> k, Instant now)
      : pk(key), rx_id(rx), keys(std::move(k)), created_at(now), last_traffic(now), ring(kRingCapacity) {}

  const PubKey pk;
  const ShortId rx_id;
  const std::optional<crypto::SessionKeys> keys;
  const Instant created_at;
  std::atomic<std::uint64_t> tx_counter{0};
  std::atomic<Instant::rep> app_tx{Instant::min().time_since_epoch().count()};

  std::mutex mutex;  // guards everything below
  PowStatus pow = PowStatus::Unknown;
  bool v2 = false;
  std::optional<ShortId> tx_id;
  crypto::ReplayWindow replay;
  std::map<PeerPathKey, PeerPath> direct;
  std::vector<PeerPathKey> direct_order;
  std::map<PubKey, PeerPath> relay;
  std::vector<PubKey> relay_order;
  std::optional<Instant> app_rx;
  Instant last_traffic;
  std::optional<udp::endpoint> route;
  std::vector<Datagram> ring;
  std::size_t head = 0;
  std::size_t count = 0;
  std::shared_ptr<Waker> reader;
  std::size_t read_waiters = 0;
  std::weak_ptr<NodePeer> handle;
  bool closed = false;
};

struct UdpNode::Core : std::enable_shared_from_this<Core> {
  struct SuperPeerInfo {
    SuperPeerRef sp;
    std::vector<udp::endpoint> endpoints;  // resolved, fixed after bind
    SuperPeer::Best best;                  // under relay_mutex
  };

  Core(NodeOpts o, std::optional<crypto::AgreementKeys> a, const asio::io_context::executor_type& runtime)
      : opts(std::move(o)),
        agreement(std::move(a)),
        armed(opts.arm_messages()),
        ex(runtime),
        strand(asio::make_strand(runtime)),
        epoch(static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count())),
        salt(crypto::random_u64()),
        scratch(wire::kMaxDatagramSize),
        tasks(runtime) {}

  const PubKey& own_pk() const noexcept { return opts.identity().pk(); }

  // sockets
  util::Expected<std::shared_ptr<Socket>, boost::system::error_code> open_socket(const asio::ip::address& addr,
                                                                                 std::uint16_t port, bool wildcard);
  util::Expected<void, NodeError> open_sockets(bool first);
  void close_socket(const std::shared_ptr<Socket>& s);
  int send_raw(const udp::endpoint& to, std::span<const std::uint8_t> data);
  static asio::awaitable<void> receive_loop(std::shared_ptr<Core> self, std::shared_ptr<Socket> s);

  // receiving (strand)
  void handle_datagram(std::span<const std::uint8_t> d, const udp::endpoint& from, Instant now);
  SuperPeerInfo* super_peer_at(const udp::endpoint& from);
  void from_super_peer(SuperPeerInfo& info, const wire::Header& h, const udp::endpoint& from, Instant now);
  void unite(const PubKey& peer, const udp::endpoint& ep, Instant now);
  void peer_hello(const wire::Header& h, const udp::endpoint& from, SuperPeerInfo* via, Instant now);
  void peer_app(const wire::Header& h, Instant now);
  std::optional<std::span<const std::uint8_t>> open_body(const wire::Header& h,
                                                         const std::optional<crypto::SessionKeys>& keys);

  // sending
  util::Expected<void, SendDatagramError> send_app(Peer& p, std::span<const std::uint8_t> payload);
  void send_peer_hello(Peer& p, wire::Type type, const udp::endpoint& to, std::uint64_t timestamp, bool pad);
  void send_super_peer_hello(SuperPeer& sp, const udp::endpoint& to, Instant now);
  void hello_peer(Peer& p, Instant now);

  // peers
  // The peer of `pk`, added when new (with `keys` when given, else derived).
  util::Expected<std::shared_ptr<Peer>, std::string> peer_for(const PubKey& pk, Instant now,
                                                              std::optional<crypto::SessionKeys> keys = {});
  std::shared_ptr<Peer> find_peer(const PubKey& pk);
  std::shared_ptr<Peer> find_short(std::uint32_t id);
  std::optional<udp::endpoint> relay_endpoint(const PubKey* sp);  // null: the default route
  void recompute(Peer& p, Instant now);  // under p.mutex
  NodePeerStats peer_stats(Peer& p);

  void housekeeping(Instant now);
  static asio::awaitable<void> housekeeping_loop(std::shared_ptr<Core> self);
  void spawn_receive(const std::shared_ptr<Socket>& s);
  void stop();

  const NodeOpts opts;
  const std::optional<crypto::AgreementKeys> agreement;
  const bool armed;
  util::CancellationToken token;
  asio::any_io_executor ex;
  Strand strand;
  const std::uint64_t epoch;
  const std::uint64_t salt;
  std::shared_ptr<SuperPeerTable> sp_table = std::make_shared<SuperPeerTable>();
  std::shared_ptr<UdpSocketTable> sock_table = std::make_shared<UdpSocketTable>();

  mutable std::shared_mutex sock_mutex;
  std::vector<std::shared_ptr<Socket>> socks;
  std::map<asio::ip::address, std::uint16_t> last_port;  // strand (and bind)

  std::mutex peers_mutex;
  boost::unordered_flat_map<PubKey, std::shared_ptr<Peer>> peers;
  boost::unordered_flat_map<std::uint32_t, std::shared_ptr<Peer>> by_short;

  std::vector<SuperPeerInfo> super_peers;  // fixed after bind; `best` under relay_mutex
  std::mutex relay_mutex;
  std::size_t default_index = 0;  // under relay_mutex

  std::vector<std::uint8_t> scratch;  // strand: opened bodies

  struct {
    std::atomic<std::uint64_t> received{0}, delivered{0}, malformed{0}, unauthentic{0}, replayed{0}, refused{0},
        unknown{0}, full{0};
  } count;

  TaskGroup tasks;
  std::atomic<bool> stopped{false};
};

// --- sockets -----------------------------------------------------------------

util::Expected<std::shared_ptr<Socket>, boost::system::error_code> UdpNode::Core::open_socket(
    const asio::ip::address& addr, std::uint16_t port, bool wildcard) {
  auto s = std::make_shared<Socket>(strand);
  boost::system::error_code ec;
  const udp::endpoint ep(addr, port);
  s->sock.open(ep.protocol(), ec);
  if (!ec && addr.is_v6()) s->sock.set_option(asio::ip::v6_only(!wildcard), ec);
  if (!ec) s->sock.bind(ep, ec);
  if (!ec) s->sock.non_blocking(true, ec);
  if (!ec) s->local = s->sock.local_endpoint(ec);
  if (ec) {
    boost::system::error_code ignored;
    s->sock.close(ignored);
    if (wildcard && addr.is_v6()) return open_socket(asio::ip::address_v4::any(), port, true);
    return util::Unexpected(ec);
  }
  s->fd = s->sock.native_handle();
  s->key = wildcard ? asio::ip::address(asio::ip::address_v6::any()) : addr;
  s->v6 = addr.is_v6();
  s->dual_stack = wildcard && addr.is_v6();
  return s;
}

// Opens a socket for every configured address that has none. At bind a
// failure is the node error; later it is logged and tried again.
util::Expected<void, NodeError> UdpNode::Core::open_sockets(bool first) {
  if (stopped.load()) return {};
  std::vector<asio::ip::address> wanted = opts.udp_addrs();
  const bool wildcard = wanted.empty();
  if (wildcard) wanted.push_back(asio::ip::address_v6::any());
  for (const auto& addr : wanted) {
    {
      std::shared_lock lock(sock_mutex);
      if (std::any_of(socks.begin(), socks.end(), [&](const auto& s) { return s->key == addr; })) continue;
    }
    const auto last = last_port.find(addr);
    auto s = open_socket(addr, last != last_port.end() ? last->second : opts.udp_port(), wildcard);
    if (!s && last != last_port.end()) s = open_socket(addr, opts.udp_port(), wildcard);
    if (!s) {
      const auto text = fmt::format("Failed to bind UDP socket to {}: {}",
                                    p2p::to_string(udp::endpoint(addr, opts.udp_port())), s.error().message());
      if (first) return node_error(NodeError::Kind::Io, text);
      SV_WARN(lg(), "{}", text);
      continue;
    }
    auto sock = std::move(*s);
    last_port[addr] = sock->local.port();
    {
      std::unique_lock lock(sock_mutex);
      socks.push_back(sock);
    }
    {
      std::lock_guard lock(sock_table->mutex);
      sock_table->sockets[addr] = std::make_shared<UdpSocketHandle>(weak_from_this(), sock);
    }
    SV_DEBUG(lg(), "UDP socket bound to {}", p2p::to_string(sock->local));
    spawn_receive(sock);
  }
  return {};
}

void UdpNode::Core::close_socket(const std::shared_ptr<Socket>& s) {
  {
    std::unique_lock lock(sock_mutex);
    if (!s->open) return;
    s->open = false;
    std::erase(socks, s);
  }
  SV_DEBUG(lg(), "UDP socket {} closed", p2p::to_string(s->local));
  asio::post(strand, [s] {
    boost::system::error_code ec;
    s->sock.close(ec);
  });
}

int UdpNode::Core::send_raw(const udp::endpoint& to, std::span<const std::uint8_t> data) {
  const bool to_v4 = to.address().is_v4();
  std::shared_lock lock(sock_mutex);
  const Socket* pick = nullptr;
  for (const auto& s : socks) {
    if (to_v4 ? !s->v6 : s->v6) {
      pick = s.get();
      break;
    }
    if (to_v4 && s->dual_stack && !pick) pick = s.get();
  }
  if (!pick) return ENETUNREACH;
  udp::endpoint dest = to;
  if (to_v4 && pick->v6)
    dest = udp::endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, to.address().to_v4()), to.port());
  const ssize_t n = ::sendto(pick->fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL, dest.data(),
                             static_cast<socklen_t>(dest.size()));
  return n < 0 ? errno : 0;
}

asio::awaitable<void> UdpNode::Core::receive_loop(std::shared_ptr<Core> self, std::shared_ptr<Socket> s) {
  std::vector<std::uint8_t> bufs(kRecvBatch * kRecvBufSize);
  std::array<mmsghdr, kRecvBatch> msgs{};
  std::array<iovec, kRecvBatch> iovs{};
  std::array<sockaddr_storage, kRecvBatch> names{};
  try {
    for (;;) {
      co_await s->sock.async_wait(udp::socket::wait_read, asio::use_awaitable);
      for (int round = 0; round < 8; ++round) {
        for (std::size_t i = 0; i < kRecvBatch; ++i) {
          iovs[i] = {bufs.data() + i * kRecvBufSize, kRecvBufSize};
          msgs[i].msg_hdr = {};
          msgs[i].msg_hdr.msg_iov = &iovs[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
          msgs[i].msg_hdr.msg_name = &names[i];
          msgs[i].msg_hdr.msg_namelen = sizeof names[i];
        }
        const int n = ::recvmmsg(s->fd, msgs.data(), kRecvBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
          if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            SV_DEBUG(lg(), "UDP receive on {} failed: {}", p2p::to_string(s->local), std::strerror(errno));
          break;
        }
        const Instant now = Clock::now();
        for (int i = 0; i < n; ++i) {
          if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
            self->count.malformed.fetch_add(1, std::memory_order_relaxed);
            continue;
          }
          udp::endpoint from;
          if (msgs[i].msg_hdr.msg_namelen > from.capacity()) continue;
          std::memcpy(from.data(), &names[i], msgs[i].msg_hdr.msg_namelen);
          from.resize(msgs[i].msg_hdr.msg_namelen);
          self->handle_datagram({bufs.data() + i * kRecvBufSize, msgs[i].msg_len}, from, now);
        }
        if (static_cast<std::size_t>(n) < kRecvBatch) break;
      }
    }
  } catch (const boost::system::system_error& e) {
    // Closed (the socket's handle was released) or stopped: a normal end.
    if (e.code() != asio::error::operation_aborted && e.code() != asio::error::bad_descriptor) throw;
  }
}

void UdpNode::Core::spawn_receive(const std::shared_ptr<Socket>& s) {
  tasks.spawn(strand, receive_loop(shared_from_this(), s), shared_from_this());
}

// --- receiving ---------------------------------------------------------------

UdpNode::Core::SuperPeerInfo* UdpNode::Core::super_peer_at(const udp::endpoint& from) {
  for (auto& info : super_peers)
    if (std::find(info.endpoints.begin(), info.endpoints.end(), from) != info.endpoints.end()) return &info;
  return nullptr;
}

std::optional<std::span<const std::uint8_t>> UdpNode::Core::open_body(
    const wire::Header& h, const std::optional<crypto::SessionKeys>& keys) {
  if (!armed) return h.body;
  if (!keys) return std::nullopt;
  const auto out = std::span(scratch).first(h.body.size() - crypto::SessionKeys::kTagSize);
  if (!wire::open(h, *keys, out)) return std::nullopt;
  return out;
}

void UdpNode::Core::handle_datagram(std::span<const std::uint8_t> d, const udp::endpoint& raw_from, Instant now) {
  count.received.fetch_add(1, std::memory_order_relaxed);
  const auto from = wire::normalize(raw_from);
  auto h = wire::decode_header(d);
  if (!h || h->recipient != own_pk() || h->sealed != armed) {
    count.malformed.fetch_add(1, std::memory_order_relaxed);
    SV_TRACE(lg(), "Dropped datagram from {}: {}", p2p::to_string(from),
             h ? "not for this node or wrong sealing" : h.error().message());
    return;
  }
  SuperPeerInfo* via = super_peer_at(from);
  if (via && !h->short_sender && h->sender == via->sp->pk()) return from_super_peer(*via, *h, from, now);
  switch (h->type) {
    case wire::Type::Hello:
    case wire::Type::Ack: return peer_hello(*h, from, via, now);
    case wire::Type::App: return peer_app(*h, now);
    case wire::Type::Unite: break;
  }
  count.malformed.fetch_add(1, std::memory_order_relaxed);
}

void UdpNode::Core::from_super_peer(SuperPeerInfo& info, const wire::Header& h, const udp::endpoint& from,
                                    Instant now) {
  SuperPeer& sp = *info.sp;
  const auto body = open_body(h, sp.keys());
  if (!body) {
    count.unauthentic.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (armed) {
    std::lock_guard lock(sp.state_mutex());
    if (!sp.state().replay.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
      count.replayed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  if (h.type == wire::Type::Ack) {
    const auto ack = wire::decode_hello(*body);
    if (!ack || ack->network_id != opts.network_id()) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const std::uint64_t now_us = micros(now);
    if (ack->timestamp_us > now_us || now_us - ack->timestamp_us > 600'000'000) return;  // not one of ours
    SuperPeer::Best best;
    {
      std::lock_guard lock(sp.state_mutex());
      auto& st = sp.state();
      const auto it = st.paths.find(PeerPathKey::udp(from));
      if (it == st.paths.end()) return;
      it->second.ack_received(now, std::chrono::microseconds(now_us - ack->timestamp_us));
      best = SuperPeer::reorder(st, now, opts.hello_timeout());
    }
    std::lock_guard lock(relay_mutex);
    info.best = best;
    SV_TRACE(lg(), "ACK from super peer {} via {}", sp.pk(), p2p::to_string(from));
    return;
  }
  if (h.type == wire::Type::Unite) {
    const auto u = wire::decode_unite(*body);
    if (!u) {
      count.malformed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    SV_TRACE(lg(), "UNITE from super peer {}: peer {} at {}", sp.pk(), u->peer, p2p::to_string(u->endpoint));
    if (opts.process_unites()) unite(u->peer, u->endpoint, now);
    return;
  }
  count.malformed.fetch_add(1, std::memory_order_relaxed);
}

void UdpNode::Core::unite(const PubKey& pk, const udp::endpoint& ep, Instant now) {
  auto p = find_peer(pk);
  if (!p) return;
  {
    std::lock_guard lock(p->mutex);
    if (p->pow == PowStatus::Nok) return;
    const auto key = PeerPathKey::udp(ep);
    if (!p->direct.contains(key)) {
      if (p->direct.size() >= kMaxDirectPaths) return;
      p->direct.emplace(key, PeerPath{});
      p->direct_order.push_back(key);
    }
    p->direct[key].hello_sent(now);
  }
  send_peer_hello(*p, wire::Type::Hello, ep, micros(now), true);
}

void UdpNode::Core::peer_hello(const wire::Header& h, const udp::endpoint& from, SuperPeerInfo* via, Instant now) {
  // A stranger is remembered only once its HELLO or ACK opened, carries this
  // network id and enough proof of work: forged keys cannot fill the table.
  std::shared_ptr<Peer> known = find_peer(h.sender);
  std::optional<crypto::SessionKeys> fresh;
  if (!known && armed) {
    auto k = crypto::compute_kx_session_keys(own_pk(), *agreement, h.sender);
    if (!k) {
      count.unauthentic.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    fresh = std::move(*k);
  }
  const auto body = open_body(h, known ? known->keys : fresh);
  if (!body) {
    count.unauthentic.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const auto hello = wire::decode_hello(*body);
  if (!hello) {
    count.malformed.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const bool pow_ok = pow_difficulty(h.sender, hello->pow) >= opts.min_pow_difficulty();
  if (!known && (!pow_ok || hello->network_id != opts.network_id())) {
    count.refused.fetch_add(1, std::memory_order_relaxed);
    SV_DEBUG(lg(), "{} from {} refused (network id {}, proof of work {})", wire::type_name(h.type), h.sender,
             hello->network_id, pow_difficulty(h.sender, hello->pow));
    return;
  }
  util::Expected<std::shared_ptr<Peer>, std::string> p = known;
  if (!known) p = peer_for(h.sender, now, std::move(fresh));
  if (!p) {
    count.full.fetch_add(1, std::memory_order_relaxed);
    SV_DEBUG(lg(), "HELLO from {} dropped: {}", h.sender, p.error());
    return;
  }
  Peer& peer = **p;
  const bool direct = via == nullptr;
  const std::uint64_t now_us = micros(now);
  {
    std::lock_guard lock(peer.mutex);
    if (armed && !peer.replay.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
      count.replayed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (hello->network_id != opts.network_id()) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const PowStatus was = peer.pow;
    peer.pow = pow_ok ? PowStatus::Ok : PowStatus::Nok;
    peer.v2 = hello->version >= 2;
    if (hello->short_id != 0) peer.tx_id = ShortId(hello->short_id);
    peer.last_traffic = now;
    if (!pow_ok) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      if (was != PowStatus::Nok)
        SV_WARN(lg(), "Peer {} refused: proof of work {} is below the minimum difficulty {}", peer.pk,
                pow_difficulty(peer.pk, hello->pow), opts.min_pow_difficulty());
      return;
    }
    const auto key = PeerPathKey::udp(from);
    if (direct && opts.process_unites() && !peer.direct.contains(key) && peer.direct.size() < kMaxDirectPaths) {
      peer.direct.emplace(key, PeerPath{});
      peer.direct_order.push_back(key);
    }
    if (h.type == wire::Type::Ack && hello->timestamp_us <= now_us &&
        now_us - hello->timestamp_us <= 600'000'000) {
      PeerPath* path = nullptr;
      if (direct) {
        const auto it = peer.direct.find(key);
        if (it != peer.direct.end()) path = &it->second;
      } else {
        if (!peer.relay.contains(via->sp->pk())) peer.relay_order.push_back(via->sp->pk());
        path = &peer.relay[via->sp->pk()];
      }
      if (path) path->ack_received(now, std::chrono::microseconds(now_us - hello->timestamp_us));
      recompute(peer, now);
    }
  }
  if (h.type == wire::Type::Hello) send_peer_hello(peer, wire::Type::Ack, from, hello->timestamp_us, direct);
}

void UdpNode::Core::peer_app(const wire::Header& h, Instant now) {
  auto p = h.short_sender ? find_short(h.sender_short_id) : find_peer(h.sender);
  if (!p) {
    count.unknown.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const auto payload = open_body(h, p->keys);
  if (!payload) {
    count.unauthentic.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::shared_ptr<Waker> wake;
  {
    std::lock_guard lock(p->mutex);
    if (armed && !p->replay.accept(crypto::nonce_epoch(h.nonce), crypto::nonce_counter(h.nonce))) {
      count.replayed.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (p->pow != PowStatus::Ok) {
      count.refused.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (p->count == p->ring.size()) {
      count.full.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    p->ring[(p->head + p->count) % p->ring.size()].assign(payload->begin(), payload->end());
    ++p->count;
    p->app_rx = now;
    p->last_traffic = now;
    if (p->read_waiters > 0) wake = p->reader;
  }
  count.delivered.fetch_add(1, std::memory_order_relaxed);
  if (wake) wake->wake();
}

// --- sending -----------------------------------------------------------------

util::Expected<void, SendDatagramError> UdpNode::Core::send_app(Peer& p, std::span<const std::uint8_t> payload) {
  if (payload.size() > wire::kMaxAppPayload)
    return send_error(SendKind::TooLarge, fmt::format("datagram too large: {} bytes", payload.size()));
  udp::endpoint to;
  wire::Sender sender{own_pk()};
  {
    std::lock_guard lock(p.mutex);
    if (p.closed) return send_error(SendKind::Closed, "node shut down");
    if (p.pow == PowStatus::Nok) return send_error(SendKind::Failed, "peer refused: proof of work below the minimum");
    if (!p.route) return send_error(SendKind::Failed, "no path to peer");
    to = *p.route;
    if (p.tx_id) {
      sender.short_form = true;
      sender.short_id = p.tx_id->value();
    }
  }
  const auto buf = send_buffer();
  std::size_t n;
  if (armed) {
    const wire::Seal seal{&*p.keys, epoch, p.tx_counter.fetch_add(1, std::memory_order_relaxed), salt};
    n = wire::encode(buf, wire::Type::App, p.pk, sender, payload, &seal);
  } else {
    n = wire::encode(buf, wire::Type::App, p.pk, sender, payload, nullptr);
  }
  const int err = send_raw(to, buf.first(n));
  if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) return send_error(SendKind::QueueFull, "send queue full");
  if (err != 0) return send_error(SendKind::Failed, fmt::format("send failed: {}", std::strerror(err)));
  p.app_tx.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  return {};
}

void UdpNode::Core::send_peer_hello(Peer& p, wire::Type type, const udp::endpoint& to, std::uint64_t timestamp,
                                    bool pad) {
  const wire::Hello hello{wire::kProtocolVersion, opts.identity().pow(), opts.network_id(), p.rx_id.value(), timestamp};
  std::size_t body_size = wire::kHelloBodySize;
  const std::size_t bare = wire::encoded_size(false, armed, body_size);
  if (pad && opts.mtu() > kIpUdpOverhead + bare) body_size += opts.mtu() - kIpUdpOverhead - bare;
  std::vector<std::uint8_t> body(body_size);
  wire::encode_hello(std::span(body).first<wire::kHelloBodySize>(), hello);
  const auto buf = send_buffer();
  std::size_t n;
  if (armed) {
    const wire::Seal seal{&*p.keys, epoch, p.tx_counter.fetch_add(1, std::memory_order_relaxed), salt};
    n = wire::encode(buf, type, p.pk, wire::Sender{own_pk()}, body, &seal);
  } else {
    n = wire::encode(buf, type, p.pk, wire::Sender{own_pk()}, body, nullptr);
  }
  if (const int err = send_raw(to, buf.first(n)); err != 0)
    SV_TRACE(lg(), "{} to peer {} via {} failed: {}", wire::type_name(type), p.pk, p2p::to_string(to),
             std::strerror(err));
}

void UdpNode::Core::send_super_peer_hello(SuperPeer& sp, const udp::endpoint& to, Instant now) {
  const wire::Hello hello{wire::kProtocolVersion, opts.identity().pow(), opts.network_id(), 0, micros(now)};
  std::array<std::uint8_t, wire::kHelloBodySize> body{};
  wire::encode_hello(body, hello);
  const auto buf = send_buffer();
  std::size_t n;
  if (armed) {
    const wire::Seal seal{&*sp.keys(), epoch, sp.next_counter(), salt};
    n = wire::encode(buf, wire::Type::Hello, sp.pk(), wire::Sender{own_pk()}, body, &seal);
  } else {
    n = wire::encode(buf, wire::Type::Hello, sp.pk(), wire::Sender{own_pk()}, body, nullptr);
  }
  if (const int err = send_raw(to, buf.first(n)); err != 0)
    SV_TRACE(lg(), "HELLO to super peer {} via {} failed: {}", sp.pk(), p2p::to_string(to), std::strerror(err));
}

// HELLO through every reachable super peer (or the default one) and every
// direct path.
void UdpNode::Core::hello_peer(Peer& p, Instant now) {
  std::vector<std::pair<PubKey, udp::endpoint>> relays;
  {
    std::lock_guard lock(relay_mutex);
    for (const auto& info : super_peers)
      if (info.best.reachable && info.best.endpoint) relays.emplace_back(info.sp->pk(), *info.best.endpoint);
    if (relays.empty() && !super_peers.empty()) {
      const auto& d = super_peers[default_index];
      if (d.best.endpoint)
        relays.emplace_back(d.sp->pk(), *d.best.endpoint);
      else if (!d.endpoints.empty())
        relays.emplace_back(d.sp->pk(), d.endpoints.front());
    }
  }
  std::vector<udp::endpoint> direct;
  {
    std::lock_guard lock(p.mutex);
    if (p.pow == PowStatus::Nok || p.closed) return;
    for (const auto& [sp, ep] : relays) {
      if (!p.relay.contains(sp)) p.relay_order.push_back(sp);
      p.relay[sp].hello_sent(now);
    }
    for (auto& [key, path] : p.direct) {
      path.hello_sent(now);
      direct.push_back(key.endpoint());
    }
  }
  const std::uint64_t ts = micros(now);
  for (const auto& [sp, ep] : relays) send_peer_hello(p, wire::Type::Hello, ep, ts, false);
  for (const auto& ep : direct) send_peer_hello(p, wire::Type::Hello, ep, ts, true);
}

// --- peers -------------------------------------------------------------------

util::Expected<std::shared_ptr<Peer>, std::string> UdpNode::Core::peer_for(const PubKey& pk, Instant now,
                                                                           std::optional<crypto::SessionKeys> keys) {
  std::lock_guard lock(peers_mutex);
  if (const auto it = peers.find(pk); it != peers.end()) return it->second;
  if (opts.max_peers() != 0 && peers.size() >= opts.max_peers())
    return util::Unexpected(fmt::format("peer table full ({} peers)", peers.size()));
  if (armed && !keys) {
    auto k = crypto::compute_kx_session_keys(own_pk(), *agreement, pk);
    if (!k) return util::Unexpected(fmt::format("cannot derive session keys: {}", k.error().message));
    keys = std::move(*k);
  }
  std::uint32_t id = 0;
  while (id == 0 || by_short.contains(id)) id = static_cast<std::uint32_t>(crypto::random_u64());
  auto p = std::make_shared<Peer>(pk, ShortId(id), std::move(keys), now);
  p->route = relay_endpoint(nullptr);
  peers.emplace(pk, p);
  by_short.emplace(id, p);
  SV_DEBUG(lg(), "Peer {} added (rx short id {})", pk, p->rx_id);
  return p;
}

std::shared_ptr<Peer> UdpNode::Core::find_peer(const PubKey& pk) {
  std::lock_guard lock(peers_mutex);
  const auto it = peers.find(pk);
  return it == peers.end() ? nullptr : it->second;
}

std::shared_ptr<Peer> UdpNode::Core::find_short(std::uint32_t id) {
  std::lock_guard lock(peers_mutex);
  const auto it = by_short.find(id);
  return it == by_short.end() ? nullptr : it->second;
}

std::optional<udp::endpoint> UdpNode::Core::relay_endpoint(const PubKey* sp) {
  std::lock_guard lock(relay_mutex);
  if (super_peers.empty()) return std::nullopt;
  const SuperPeerInfo* info = &super_peers[default_index];
  if (sp) {
    const auto it = std::find_if(super_peers.begin(), super_peers.end(),
                                 [&](const SuperPeerInfo& i) { return i.sp->pk() == *sp; });
    if (it != super_peers.end()) info = &*it;
  }
  if (info->best.endpoint) return info->best.endpoint;
  if (!info->endpoints.empty()) return info->endpoints.front();
  return std::nullopt;
}

void UdpNode::Core::recompute(Peer& p, Instant now) {
  const auto rank = [&](const PeerPath& path) {
    return std::pair{!PeerPath::is_reachable(path, now, opts.hello_timeout()),
                     path.median_latency_us().value_or(UINT64_MAX)};
  };
  std::stable_sort(p.direct_order.begin(), p.direct_order.end(),
                   [&](const auto& a, const auto& b) { return rank(p.direct.at(a)) < rank(p.direct.at(b)); });
  std::stable_sort(p.relay_order.begin(), p.relay_order.end(),
                   [&](const auto& a, const auto& b) { return rank(p.relay.at(a)) < rank(p.relay.at(b)); });
  if (!p.direct_order.empty() && PeerPath::is_reachable(p.direct.at(p.direct_order.front()), now, opts.hello_timeout())) {
    p.route = p.direct_order.front().endpoint();
    return;
  }
  const bool relay_up =
      !p.relay_order.empty() && PeerPath::is_reachable(p.relay.at(p.relay_order.front()), now, opts.hello_timeout());
  p.route = relay_endpoint(relay_up ? &p.relay_order.front() : nullptr);
}

NodePeerStats UdpNode::Core::peer_stats(Peer& p) {
  NodePeerStats s;
  const Instant now = Clock::now();
  std::lock_guard lock(p.mutex);
  s.pow_status = p.pow;
  s.protocol_version_2 = p.v2;
  s.created_at = p.created_at;
  const auto tx = p.app_tx.load(std::memory_order_relaxed);
  if (tx != Instant::min().time_since_epoch().count()) s.app_tx = Instant(Instant::duration(tx));
  s.app_rx = p.app_rx;
  s.direct_path_order = p.direct_order;
  s.direct_paths = p.direct;
  s.relay_path_order = p.relay_order;
  s.relay_paths = p.relay;
  s.tx_short_id = p.tx_id;
  s.rx_short_id = p.rx_id;
  const auto up = [&](const auto& kv) { return PeerPath::is_reachable(kv.second, now, opts.hello_timeout()); };
  s.reachable = std::any_of(p.direct.begin(), p.direct.end(), up) || std::any_of(p.relay.begin(), p.relay.end(), up);
  return s;
}

// --- housekeeping --------------------------------------------------------------

void UdpNode::Core::housekeeping(Instant now) {
  (void)open_sockets(false);

  for (auto& info : super_peers) {
    for (const auto& ep : info.endpoints) {
      send_super_peer_hello(*info.sp, ep, now);
      std::lock_guard lock(info.sp->state_mutex());
      info.sp->state().paths[PeerPathKey::udp(ep)].hello_sent(now);
    }
    SuperPeer::Best best;
    {
      std::lock_guard lock(info.sp->state_mutex());
      best = SuperPeer::reorder(info.sp->state(), now, opts.hello_timeout());
    }
    std::lock_guard lock(relay_mutex);
    info.best = best;
  }
  std::optional<PubKey> new_default;
  {
    std::lock_guard lock(relay_mutex);
    if (!super_peers.empty() && !super_peers[default_index].best.reachable) {
      for (std::size_t i = 0; i < super_peers.size(); ++i) {
        if (super_peers[i].best.reachable) {
          default_index = i;
          new_default = super_peers[i].sp->pk();
          break;
        }
      }
    }
  }
  if (new_default) {
    std::lock_guard lock(sp_table->mutex);
    sp_table->default_route = *new_default;
    SV_DEBUG(lg(), "Default route moved to super peer {}", *new_default);
  }

  std::vector<std::shared_ptr<Peer>> list;
  {
    std::lock_guard lock(peers_mutex);
    list.reserve(peers.size());
    for (const auto& [pk, p] : peers) list.push_back(p);
  }
  const auto max_age = std::chrono::milliseconds(opts.hello_max_age());
  std::vector<std::shared_ptr<Peer>> idle;
  for (const auto& p : list) {
    bool linked;
    {
      std::lock_guard lock(p->mutex);
      linked = !p->handle.expired();
      if (!linked && now - p->last_traffic > max_age) {
        idle.push_back(p);
        continue;
      }
      std::erase_if(p->direct_order, [&](const PeerPathKey& key) {
        const PeerPath& path = p->direct.at(key);
        const auto since = path.last_ack ? path.last_ack : path.unanswered_hello_since;
        if (!since || now - *since <= max_age) return false;
        p->direct.erase(key);
        return true;
      });
      recompute(*p, now);
    }
    if (linked) hello_peer(*p, now);
  }
  if (!idle.empty()) {
    std::lock_guard lock(peers_mutex);
    for (const auto& p : idle) {
      std::lock_guard peer_lock(p->mutex);
      if (!p->handle.expired()) continue;
      peers.erase(p->pk);
      by_short.erase(p->rx_id.value());
      SV_DEBUG(lg(), "Peer {} forgotten (idle)", p->pk);
    }
  }
}

asio::awaitable<void> UdpNode::Core::housekeeping_loop(std::shared_ptr<Core> self) {
  asio::steady_timer timer(self->strand);
  try {
    for (;;) {
      self->housekeeping(Clock::now());
      timer.expires_after(std::chrono::milliseconds(self->opts.housekeeping_interval()));
      co_await timer.async_wait(asio::use_awaitable);
    }
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted) throw;
  }
}

void UdpNode::Core::stop() {
  if (stopped.exchange(true)) return;
  token.cancel();
  std::vector<std::shared_ptr<Peer>> list;
  {
    std::lock_guard lock(peers_mutex);
    for (const auto& [pk, p] : peers) list.push_back(p);
  }
  for (const auto& p : list) {
    std::shared_ptr<Waker> w;
    {
      std::lock_guard lock(p->mutex);
      p->closed = true;
      w = p->reader;
    }
    if (w) w->channel.close();
  }
  std::unordered_map<asio::ip::address, UdpSocketRef> handles;
  {
    std::lock_guard lock(sock_table->mutex);
    handles.swap(sock_table->sockets);
  }
  handles.clear();  // each release closes its socket
  std::vector<std::shared_ptr<Socket>> rest;
  {
    std::shared_lock lock(sock_mutex);
    rest = socks;
  }
  for (const auto& s : rest) close_socket(s);
  tasks.stop(strand, shared_from_this());
  SV_DEBUG(lg(), "Node {} stopping", own_pk());
}

// --- UdpSocketHandle -----------------------------------------------------------

UdpSocketHandle::UdpSocketHandle(std::weak_ptr<UdpNode::Core> core, std::shared_ptr<Socket> socket)
    : core_(std::move(core)), socket_(std::move(socket)) {}

UdpSocketHandle::~UdpSocketHandle() {
  if (auto core = core_.lock()) core->close_socket(socket_);
}

const udp::endpoint& UdpSocketHandle::local_endpoint() const noexcept { return socket_->local; }

// --- links -------------------------------------------------------------------

namespace {

class UdpNodePeer final : public NodePeer {
 public:
  UdpNodePeer(std::shared_ptr<UdpNode::Core> core, std::shared_ptr<Peer> peer)
      : core_(std::move(core)), peer_(std::move(peer)), wake_(std::make_shared<Waker>(core_->ex)) {}

  ~UdpNodePeer() override { close(); }

  void close() override {
    if (wake_->link_closed.exchange(true)) return;
    {
      std::lock_guard lock(peer_->mutex);
      if (peer_->reader == wake_) peer_->reader.reset();
    }
    wake_->channel.close();
  }
  bool closed() const noexcept override { return wake_->link_closed.load(std::memory_order_acquire); }

  const std::shared_ptr<Waker>& waker() const noexcept { return wake_; }
  const PubKey& pk() const noexcept override { return peer_->pk; }

  asio::awaitable<std::size_t> read_datagrams(std::span<Datagram> slots) override {
    return read_loop(peer_, wake_, slots);  // holds the peer and the waker, not `this`
  }

  asio::awaitable<util::Expected<void, SendDatagramError>> send_datagrams_wait(
      std::span<const std::span<const std::uint8_t>> datagrams) override {
    return send_loop(core_, peer_, wake_, datagrams);
  }

  util::Expected<void, SendDatagramError> send_datagram(std::span<const std::uint8_t> datagram) override {
    if (closed()) return send_error(SendKind::Closed, "link closed");
    return core_->send_app(*peer_, datagram);
  }

  NodePeerStats stats() const override { return core_->peer_stats(*peer_); }

 private:
  static asio::awaitable<std::size_t> read_loop(std::shared_ptr<Peer> p, std::shared_ptr<Waker> w,
                                                std::span<Datagram> slots) {
    if (slots.empty()) co_return 0;
    for (;;) {
      std::size_t n = 0;
      bool closed;
      {
        std::lock_guard lock(p->mutex);
        closed = p->closed || w->link_closed.load(std::memory_order_acquire);
        while (!closed && n < slots.size() && p->count > 0) {
          // Buffers only ever move to where they are at least as large, so
          // neither side loses capacity and warm traffic allocates nothing.
          auto& slot = p->ring[p->head];
          auto& out = slots[n++];
          if (out.capacity() >= slot.capacity()) {
            std::swap(out, slot);
            slot.clear();
          } else {
            out.assign(slot.begin(), slot.end());
          }
          p->head = (p->head + 1) % p->ring.size();
          --p->count;
        }
        if (!closed && n == 0) ++p->read_waiters;
      }
      if (closed) throw_aborted();
      if (n > 0) co_return n;
      WaiterGuard guard(p->mutex, p->read_waiters);
      auto [ec] = co_await w->channel.async_receive(asio::as_tuple(asio::use_awaitable));
      if (ec) throw_aborted();  // cancelled, the link released or the node stopped
    }
  }

  static asio::awaitable<util::Expected<void, SendDatagramError>> send_loop(
      std::shared_ptr<UdpNode::Core> core, std::shared_ptr<Peer> p, std::shared_ptr<Waker> w,
      std::span<const std::span<const std::uint8_t>> datagrams) {
    for (const auto& d : datagrams)
      if (d.size() > wire::kMaxAppPayload)
        co_return send_error(SendKind::TooLarge, fmt::format("datagram too large: {} bytes", d.size()));
    std::optional<asio::steady_timer> backoff;
    for (const auto& d : datagrams) {
      for (;;) {
        if (w->link_closed.load(std::memory_order_acquire)) co_return send_error(SendKind::Closed, "link closed");
        auto sent = core->send_app(*p, d);
        if (sent) break;
        if (sent.error().kind() != SendKind::QueueFull) co_return sent;
        // The socket's send buffer is full: wait a little and try again.
        if (!backoff) backoff.emplace(co_await asio::this_coro::executor);
        backoff->expires_after(200us);
        co_await backoff->async_wait(asio::use_awaitable);
      }
    }
    co_return util::Expected<void, SendDatagramError>{};
  }

  std::shared_ptr<UdpNode::Core> core_;
  std::shared_ptr<Peer> peer_;
  std::shared_ptr<Waker> wake_;
};

// The io_context behind the executor a coroutine runs on (directly or
// through a strand), if any.
asio::io_context* io_context_of(const asio::any_io_executor& ex) {
  using Tracked = asio::io_context::basic_executor_type<std::allocator<void>, 4>;
  if (const auto* e = ex.target<asio::io_context::executor_type>()) return &e->context();
  if (const auto* e = ex.target<Tracked>()) return &e->context();
  if (const auto* s = ex.target<Strand>()) return &s->get_inner_executor().context();
  if (const auto* s = ex.target<asio::strand<asio::any_io_executor>>()) return io_context_of(s->get_inner_executor());
  return nullptr;
}

std::string endpoints_text(const std::vector<udp::endpoint>& eps) {
  std::string out = "{";
  for (std::size_t i = 0; i < eps.size(); ++i) out += (i ? ", " : "") + p2p::to_string(eps[i]);
  return out + "}";
}

}  // namespace

// --- UdpNode -------------------------------------------------------------------

asio::awaitable<util::Expected<NodeRef, NodeError>> Node::bind(NodeOpts opts) {
  auto node = co_await UdpNode::bind(std::move(opts));
  if (!node) co_return util::Unexpected(std::move(node.error()));
  co_return NodeRef(std::move(*node));
}

asio::awaitable<util::Expected<std::shared_ptr<UdpNode>, NodeError>> UdpNode::bind(NodeOpts opts) {
  using Kind = NodeError::Kind;
  std::optional<crypto::AgreementKeys> agreement;
  if (opts.arm_messages()) {
    auto keys = crypto::AgreementKeys::from_identity(opts.identity());
    if (!keys) co_return node_error(Kind::CryptoError, keys.error().message());
    agreement = std::move(*keys);
  }
  if (opts.max_peers() != 0 && !std::has_single_bit(opts.max_peers()))
    co_return node_error(Kind::InvalidMaxPeers,
                         fmt::format("max_peers must be 0 or a power of two, got {}", opts.max_peers()));
  SV_TRACE(lg(), "UDP port: {}", opts.udp_port());
  if (opts.super_peers().empty()) co_return node_error(Kind::NoSuperPeers, "No super peers");
  for (const auto& url : opts.super_peers()) {
    if (url.network_id() != opts.network_id())
      co_return node_error(Kind::SuperPeerNetworkIdMismatch,
                           fmt::format("Super peer {} has network id {}, the node {}", url.public_key(),
                                       url.network_id(), opts.network_id()));
  }
  const PubKey default_route = opts.super_peers().front().public_key();
  // The node's tasks need a running io_context to be spawned on.
  asio::io_context* runtime = io_context_of(co_await asio::this_coro::executor);
  if (!runtime || runtime->stopped()) co_return node_error(Kind::NoAsyncRuntimeFound, "No async runtime found");

  std::vector<std::optional<crypto::SessionKeys>> keys;
  std::vector<HostPort> hosts;
  for (const auto& url : opts.super_peers()) {
    if (agreement) {
      auto k = crypto::compute_kx_session_keys(opts.identity().pk(), *agreement, url.public_key());
      if (!k) {
        const Kind kind = k.error().kind == crypto::KxFailure::AgreementPkNotPresent   ? Kind::AgreementPkNotPresent
                          : k.error().kind == crypto::KxFailure::AgreementSkNotPresent ? Kind::AgreementSkNotPresent
                                                                                       : Kind::CryptoError;
        co_return node_error(kind, k.error().message);
      }
      keys.emplace_back(std::move(*k));
    } else {
      keys.emplace_back();
    }
    SV_TRACE(lg(), "Resolve hostname {}", url.host());
    hosts.push_back({url.host(), url.port()});
  }
  // All at once, each with its own limit; results in list order.
  const auto outcomes = co_await resolve_all(hosts, kResolveLimit);

  auto core = std::make_shared<Core>(std::move(opts), std::move(agreement), runtime->get_executor());
  const auto& urls = core->opts.super_peers();
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const auto& host = urls[i].host();
    std::optional<std::vector<udp::endpoint>> resolved;
    switch (outcomes[i].kind) {
      case ResolveOutcome::Kind::Resolved:
        SV_TRACE(lg(), "Resolved hostname {} to {}", host, endpoints_text(outcomes[i].endpoints));
        resolved = outcomes[i].endpoints;
        break;
      case ResolveOutcome::Kind::Timeout:
        SV_WARN(lg(), "Timeout of {} ms exceeded while attempting to resolve hostname {}", kResolveLimit.count(), host);
        break;
      case ResolveOutcome::Kind::Failed:
        SV_WARN(lg(), "Failed to resolve hostname {}: {}", host, outcomes[i].error);
        break;
    }
    auto sp = std::make_shared<SuperPeer>(urls[i], std::move(keys[i]), resolved, core->opts.hello_timeout());
    Core::SuperPeerInfo info{sp, resolved.value_or(std::vector<udp::endpoint>{}), {}};
    auto& entries = core->sp_table->entries;
    const auto same = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == sp->pk(); });
    if (same != entries.end()) {
      same->second = sp;
      const auto pos = std::find_if(core->super_peers.begin(), core->super_peers.end(),
                                    [&](const auto& s) { return s.sp->pk() == info.sp->pk(); });
      *pos = std::move(info);
    } else {
      entries.emplace_back(sp->pk(), sp);
      core->super_peers.push_back(std::move(info));
    }
  }
  core->sp_table->default_route = default_route;
  core->default_index = static_cast<std::size_t>(
      std::find_if(core->super_peers.begin(), core->super_peers.end(),
                   [&](const auto& s) { return s.sp->pk() == default_route; }) -
      core->super_peers.begin());

  if (auto opened = core->open_sockets(true); !opened) {
    core->stop();
    co_await core->tasks.wait();
    co_return util::Unexpected(std::move(opened.error()));
  }
  core->tasks.spawn(core->strand, Core::housekeeping_loop(core), core);
  co_return std::make_shared<UdpNode>(Key{}, core);
}

UdpNode::UdpNode(Key, std::shared_ptr<Core> core) : Node(core->sp_table, core->sock_table), core_(std::move(core)) {}

UdpNode::~UdpNode() { core_->stop(); }

const Identity& UdpNode::identity() const noexcept { return core_->opts.identity(); }

NodeOpts UdpNode::opts() const { return core_->opts; }

util::Expected<NodePeerRef, InitiateError> UdpNode::initiate(const PubKey& pk) {
  if (pk == core_->own_pk()) return util::Unexpected(InitiateError("cannot initiate own key"));
  if (core_->stopped.load()) return util::Unexpected(InitiateError("node is shut down"));
  auto p = core_->peer_for(pk, Clock::now());
  if (!p) return util::Unexpected(InitiateError(p.error()));
  auto& peer = **p;
  std::shared_ptr<UdpNodePeer> link;
  {
    std::lock_guard lock(peer.mutex);
    if (peer.pow == PowStatus::Nok)
      return util::Unexpected(InitiateError("peer refused: proof of work below the minimum: " + pk.to_string()));
    if (auto existing = peer.handle.lock(); existing && !existing->closed()) return existing;
    link = std::make_shared<UdpNodePeer>(core_, *p);
    peer.handle = link;
    peer.reader = link->waker();
  }
  asio::post(core_->strand, [core = core_, p = *p] { core->hello_peer(*p, Clock::now()); });
  SV_TRACE(lg(), "Link to {} opened", pk);
  return NodePeerRef(std::move(link));
}

asio::awaitable<void> UdpNode::shutdown() {
  core_->stop();
  co_await core_->tasks.wait();
}

NodeCounters UdpNode::counters() const noexcept {
  const auto& c = core_->count;
  const auto r = [](const std::atomic<std::uint64_t>& a) { return a.load(std::memory_order_relaxed); };
  return {r(c.received), r(c.delivered), r(c.malformed), r(c.unauthentic), r(c.replayed), r(c.refused), r(c.unknown),
          r(c.full)};
}

std::vector<udp::endpoint> UdpNode::local_endpoints() const {
  std::shared_lock lock(core_->sock_mutex);
  std::vector<udp::endpoint> out;
  for (const auto& s : core_->socks) out.push_back(s->local);
  return out;
}

}  // namespace sarvolt::p2p
