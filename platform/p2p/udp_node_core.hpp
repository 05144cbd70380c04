// Inside of the UDP node, shared by its parts:
//   udp_node_sockets.cpp   open/reopen/close, the socket table, receive loop,
//                          raw sends
//   udp_node_handshake.cpp dispatch of received datagrams, HELLO/ACK with
//                          super peers and peers, opening sealed bodies,
//                          replay windows
//   udp_node_peers.cpp     the peer table, UNITE, paths and route choice,
//                          peer HELLOs, statistics, housekeeping
//   udp_node_links.cpp     links (NodePeer): application datagrams in and out
//   udp_node.cpp           bind, the UdpNode handle, stop
// Threads: receiving and housekeeping run on `strand`; links and the
// UdpNode handle call in from any thread, under the mutexes named below.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include "platform/p2p/crypto.hpp"
#include "platform/p2p/super_peer.hpp"
#include "platform/p2p/udp_node.hpp"
#include "platform/p2p/wire.hpp"
#include "util/cancellation_token.hpp"
#include "util/wake_signal.hpp"
#include "util/task_group.hpp"

namespace sarvolt::p2p {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using SendKind = SendDatagramError::Kind;

inline constexpr std::size_t kRingCapacity = 512;
inline constexpr std::size_t kMaxDirectPaths = 4;
// IPv6 + UDP headers: direct HELLOs are padded to mtu minus these.
inline constexpr std::size_t kIpUdpOverhead = 48;

inline std::uint64_t micros(Instant t) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

inline util::Unexpected<SendDatagramError> send_error(SendKind kind, std::string message) {
  return util::Unexpected(SendDatagramError(kind, std::move(message)));
}

inline util::Unexpected<NodeError> node_error(NodeError::Kind kind, std::string message) {
  return util::Unexpected(NodeError(kind, std::move(message)));
}

// Key agreements for unknown keys: each costs a scalar multiplication, so
// strangers share this many per second (in bursts of at most the second).
inline constexpr double kStrangerAgreementsPerSecond = 64;
inline constexpr double kStrangerAgreementsBurst = 32;

// Allows `rate` events per second, `burst` at once. Not thread-safe.
class TokenBucket {
 public:
  TokenBucket(double rate, double burst) : rate_(rate), burst_(burst), tokens_(burst) {}
  bool take(Instant now) {
    if (last_) tokens_ = std::min(burst_, tokens_ + rate_ * std::chrono::duration<double>(now - *last_).count());
    last_ = now;
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
  }

 private:
  double rate_, burst_, tokens_;
  std::optional<Instant> last_;
};

// Outgoing datagrams are built here, one buffer per thread.
std::span<std::uint8_t> send_buffer();
// Room for a batch of outgoing datagrams, one buffer per thread (at least
// kMaxDatagramSize).
std::span<std::uint8_t> batch_buffer();
inline constexpr std::size_t kSendBatch = 64;

// Wake-up signal of a link's reader; closing it ends the pending read.
class Waker : public util::WakeSignal<160, util::Completion::defer> {
 public:
  explicit Waker(const asio::any_io_executor&) {}

  // Resumes the waiting reader (or leaves a signal for its next wait). With
  // `now`, at once on this thread where its executor allows: the caller has
  // nothing more to do before it. Else as a continuation of the running
  // handler: on this thread once that returns, without waking another.
  void wake(bool now = false) { signal(now ? util::Completion::dispatch : util::Completion::defer); }
  // Waits for the next wake-up (an error: closed or cancelled).
  asio::awaitable<boost::system::error_code> wait();
  std::atomic<bool> link_closed{false};  // the link was closed by its holder
};

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
  std::atomic<bool> gso{true};  // UDP segmentation offload not refused yet
};
using Socket = UdpSocketHandle::Socket;

// What the node keeps of one remote node.
struct Peer {
  Peer(const PubKey& key, ShortId rx, std::optional<crypto::SessionKeys> k, Instant now)
      : pk(key), rx_id(rx), created_at(now), last_traffic(now), keys_(std::move(k)),
        keys_state_(keys_ ? kKeysReady : kKeysPending) {}

  // The session keys: those given, else derived by the first call (once,
  // from any thread); empty when they cannot be derived (see keys_failure)
  // or without `agreement` (unarmed).
  const std::optional<crypto::SessionKeys>& keys(const PubKey& own,
                                                 const std::optional<crypto::AgreementKeys>& agreement) {
    if (keys_state_.load(std::memory_order_acquire) != kKeysPending || !agreement) return keys_;
    std::call_once(keys_once_, [&] { derive_keys(own, *agreement); });
    return keys_;
  }
  // The keys, once keys() has returned them on this thread: no atomic load.
  const crypto::SessionKeys& ready_keys() const noexcept { return *keys_; }
  // Why the keys cannot be derived; set once keys() has returned empty.
  const std::string& keys_failure() const noexcept { return keys_failure_; }
  // Key agreements made for peers (at first use, or for a new peer's HELLO)
  // and receive rings allocated, by all nodes (for tests).
  static inline std::atomic<std::uint64_t> keys_derived{0}, rings_allocated{0};

  const PubKey pk;
  const ShortId rx_id;
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
  std::vector<Datagram> ring;  // kRingCapacity slots once a datagram was queued
  std::size_t head = 0;
  std::size_t count = 0;
  std::shared_ptr<Waker> reader;
  std::size_t read_waiters = 0;
  std::weak_ptr<NodePeer> handle;
  bool closed = false;

 private:
  static constexpr int kKeysPending = 0, kKeysReady = 1, kKeysFailed = 2;
  void derive_keys(const PubKey& own, const crypto::AgreementKeys& agreement);
  std::once_flag keys_once_;
  std::optional<crypto::SessionKeys> keys_;  // written once, before keys_state_ leaves pending
  std::string keys_failure_;
  std::atomic<int> keys_state_;
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
        scratch(wire::kMaxDatagramSize) {}

  const PubKey& own_pk() const noexcept { return opts.identity().pk(); }

  // sockets
  util::Expected<std::shared_ptr<Socket>, boost::system::error_code> open_socket(const asio::ip::address& addr,
                                                                                 std::uint16_t port, bool wildcard);
  util::Expected<void, NodeError> open_sockets(bool first);
  void close_socket(const std::shared_ptr<Socket>& s);
  int send_raw(const udp::endpoint& to, std::span<const std::uint8_t> data);
  // Sends a prefix of `datagrams` to `to` in as few system calls as it can:
  // the count sent, or -errno when the first one failed.
  int send_raw_batch(const udp::endpoint& to, std::span<const std::span<const std::uint8_t>> datagrams);
  static asio::awaitable<void> receive_loop(std::shared_ptr<Core> self, std::shared_ptr<Socket> s);

  // receiving (strand)
  void handle_datagram(std::span<const std::uint8_t> d, const udp::endpoint& from, Instant now);
  SuperPeerInfo* super_peer_at(const udp::endpoint& from);
  void from_super_peer(SuperPeerInfo& info, const wire::Header& h, const udp::endpoint& from, Instant now);
  void unite(const PubKey& peer, const udp::endpoint& ep, Instant now);
  // Cheap checks of a HELLO or ACK from an unknown key, and its share of the
  // key agreement budget.
  bool stranger_passes(const wire::Header& h, Instant now);
  // `size`: of the whole datagram, which an ACK may not exceed.
  void peer_hello(const wire::Header& h, std::size_t size, const udp::endpoint& from, SuperPeerInfo* via, Instant now);
  void peer_app(const wire::Header& h, Instant now);
  std::optional<std::span<const std::uint8_t>> open_body(const wire::Header& h,
                                                         const std::optional<crypto::SessionKeys>& keys);

  // sending
  util::Expected<void, SendDatagramError> send_app(Peer& p, std::span<const std::uint8_t> payload);
  // Sends a prefix of `payloads` (each at most wire::kMaxAppPayload): the
  // count sent (>= 1), or the error of the first.
  util::Expected<std::size_t, SendDatagramError> send_app_batch(Peer& p,
                                                                std::span<const std::span<const std::uint8_t>> payloads);
  // Encodes (and seals, when armed) one application datagram into `out`.
  std::size_t encode_app(Peer& p, const wire::Sender& sender, std::span<const std::uint8_t> payload,
                         std::span<std::uint8_t> out);
  // Padded up to `size` bytes in all (0: bare).
  void send_peer_hello(Peer& p, wire::Type type, const udp::endpoint& to, std::uint64_t timestamp, std::size_t size);
  // Size of a direct HELLO, which probes the path for mtu-sized datagrams.
  std::size_t probe_size() const noexcept {
    return opts.mtu() > kIpUdpOverhead ? opts.mtu() - kIpUdpOverhead : 0;
  }
  void send_super_peer_hello(SuperPeer& sp, const udp::endpoint& to, Instant now);
  void hello_peer(Peer& p, Instant now);
  // hello_peer(p) on the strand; the peers of a burst go with one post.
  void hello_soon(std::shared_ptr<Peer> p);

  // peers
  // The peer of `pk`, added when new (with `keys` when given, else derived on first use).
  util::Expected<std::shared_ptr<Peer>, std::string> peer_for(const PubKey& pk, Instant now,
                                                              std::optional<crypto::SessionKeys> keys = {});
  std::shared_ptr<Peer> find_peer(const PubKey& pk);
  bool table_full();
  std::shared_ptr<Peer> find_short(std::uint32_t id);
  std::optional<udp::endpoint> relay_endpoint(const PubKey* sp);  // null: the default route
  void recompute(Peer& p, Instant now);  // under p.mutex
  NodePeerStats peer_stats(Peer& p);

  void housekeeping(Instant now);
  static asio::awaitable<void> housekeeping_loop(std::shared_ptr<Core> self);
  void spawn_receive(const std::shared_ptr<Socket>& s);
  // Runs `task` on the strand unless the node is stopped; it keeps the core.
  void spawn(asio::awaitable<void> task);
  void stop();

  // links
  // The live link to `p`, else a new one (`opened` set).
  util::Expected<NodePeerRef, InitiateError> open_link(const std::shared_ptr<Peer>& p, bool& opened);

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
  // A random receive short id, possibly 0 or taken (under peers_mutex).
  std::uint32_t random_id();
  std::array<std::uint32_t, 16> ids{};  // under peers_mutex
  std::size_t ids_used = 16;

  std::vector<SuperPeerInfo> super_peers;  // fixed after bind; `best` under relay_mutex
  std::mutex relay_mutex;
  std::size_t default_index = 0;  // under relay_mutex

  std::vector<std::uint8_t> scratch;  // strand: opened bodies
  // Readers to wake once the received batch is handled (strand): one
  // wake-up per batch, not per datagram.
  std::vector<std::shared_ptr<Waker>> to_wake;
  std::mutex hello_mutex;
  std::vector<std::shared_ptr<Peer>> to_hello;  // under hello_mutex: for hello_soon's post
  // `now`: the last reader runs at once, on this thread (the others follow
  // as continuations).
  void wake_readers(bool now) {
    if (to_wake.empty()) return;
    auto last = std::move(to_wake.back());
    to_wake.pop_back();
    for (auto& w : to_wake) w->wake();
    to_wake.clear();
    last->wake(now);
  }
  TokenBucket strangers{kStrangerAgreementsPerSecond, kStrangerAgreementsBurst};  // strand

  struct {
    std::atomic<std::uint64_t> received{0}, delivered{0}, malformed{0}, unauthentic{0}, replayed{0}, refused{0},
        unknown{0}, full{0}, busy{0};
  } count;

  util::TaskGroup tasks;
  std::mutex stop_mutex;  // orders spawn() against stop()
  std::atomic<bool> stopped{false};
};


}  // namespace sarvolt::p2p
