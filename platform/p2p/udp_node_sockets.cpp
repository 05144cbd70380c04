// Sockets of the UDP node: open, reopen, close, the socket table, the
// receive loop and raw sends.
#include "platform/p2p/udp_node_core.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <boost/asio/defer.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/busy_poll.hpp"
#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::udp_node")

namespace {

constexpr std::size_t kRecvBatch = 16;
// Received datagrams in a round, at most, for its last reader to run at once.
constexpr std::size_t kInlineReaderMax = 4;
constexpr std::size_t kRecvBufSize = 65536;
constexpr std::size_t kBatchBufSize = 256 * 1024;
// Busy polling after traffic: for this long after the last packet caught,
// at most kSpinLimit in one spin; every kSpinsPerYield spins in a row the
// strand runs its other work. Only dense light traffic is worth a spin: a
// round of at most kInlineReaderMax datagrams that came within kDenseGap of
// the last wait, or after a spin that caught something; sparse packets (and
// an idle node) never spin.
constexpr std::chrono::microseconds kSpinWindow{200};
constexpr std::chrono::microseconds kDenseGap{1000};
constexpr std::chrono::microseconds kSpinLimit{2000};
constexpr std::size_t kSpinsPerYield = 16;
// The kernel takes at most this many segments in one offloaded send.
constexpr std::size_t kMaxGsoSegments = 64;
// Receive buffer asked for (the kernel doubles it): the default holds about
// one coalesced run of a bulk stream, so the next burst was dropped whole.
constexpr int kRecvBufferBytes = 1024 * 1024;

// Control message room for one UDP_SEGMENT value.
union SegmentControl {
  cmsghdr align;
  char buf[CMSG_SPACE(sizeof(std::uint16_t))];
};

}  // namespace

std::span<std::uint8_t> batch_buffer() {
  static_assert(kBatchBufSize >= wire::kMaxDatagramSize);
  thread_local std::unique_ptr<std::uint8_t[]> buf;
  if (!buf) buf.reset(new std::uint8_t[kBatchBufSize]);
  return {buf.get(), kBatchBufSize};
}

std::span<std::uint8_t> send_buffer() {
  thread_local std::unique_ptr<std::uint8_t[]> buf;
  if (!buf) buf.reset(new std::uint8_t[wire::kMaxDatagramSize]);
  return {buf.get(), wire::kMaxDatagramSize};
}

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
  // Past net.core.rmem_max with the privilege, else up to it.
  if (::setsockopt(s->fd, SOL_SOCKET, SO_RCVBUFFORCE, &kRecvBufferBytes, sizeof kRecvBufferBytes) != 0)
    ::setsockopt(s->fd, SOL_SOCKET, SO_RCVBUF, &kRecvBufferBytes, sizeof kRecvBufferBytes);
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

namespace {

// The socket that sends to `to` and the address to use on it; under sock_mutex.
Socket* pick_socket(const std::vector<std::shared_ptr<Socket>>& socks, const udp::endpoint& to, udp::endpoint& dest) {
  const bool to_v4 = to.address().is_v4();
  Socket* pick = nullptr;
  for (const auto& s : socks) {
    if (to_v4 ? !s->v6 : s->v6) {
      pick = s.get();
      break;
    }
    if (to_v4 && s->dual_stack && !pick) pick = s.get();
  }
  dest = to;
  if (pick && to_v4 && pick->v6)
    dest = udp::endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, to.address().to_v4()), to.port());
  return pick;
}

}  // namespace

int UdpNode::Core::send_raw(const udp::endpoint& to, std::span<const std::uint8_t> data) {
  std::shared_lock lock(sock_mutex);
  udp::endpoint dest;
  const Socket* pick = pick_socket(socks, to, dest);
  if (!pick) return ENETUNREACH;
  const ssize_t n = ::sendto(pick->fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL, dest.data(),
                             static_cast<socklen_t>(dest.size()));
  return n < 0 ? errno : 0;
}

// Runs of equal-sized datagrams (the last of a run may be shorter) go out as
// one offloaded send each, when the socket takes UDP_SEGMENT and the size
// fits the node's mtu; all runs go in one sendmmsg.
int UdpNode::Core::send_raw_batch(const udp::endpoint& to, std::span<const std::span<const std::uint8_t>> datagrams) {
  if (datagrams.empty()) return 0;
  std::shared_lock lock(sock_mutex);
  udp::endpoint dest;
  Socket* pick = pick_socket(socks, to, dest);
  if (!pick) return -ENETUNREACH;
  const std::size_t count = std::min(datagrams.size(), kSendBatch);
  std::array<iovec, kSendBatch> iovs;
  std::array<mmsghdr, kSendBatch> msgs;
  std::array<SegmentControl, kSendBatch> controls;
  std::array<std::uint8_t, kSendBatch> runs;
  for (bool gso = pick->gso.load(std::memory_order_relaxed);; gso = false) {
    std::size_t m = 0;
    bool offloaded = false;
    for (std::size_t i = 0; i < count; ++m) {
      const std::size_t seg = datagrams[i].size();
      std::size_t k = 0, total = 0;
      do {
        const auto& d = datagrams[i + k];
        iovs[i + k] = {const_cast<std::uint8_t*>(d.data()), d.size()};
        total += d.size();
        ++k;
        if (d.size() < seg) break;
      } while (gso && seg <= opts.mtu() && i + k < count && k < kMaxGsoSegments &&
               datagrams[i + k].size() <= seg && total + datagrams[i + k].size() <= wire::kMaxDatagramSize);
      auto& h = msgs[m].msg_hdr;
      h = {};
      h.msg_name = dest.data();
      h.msg_namelen = static_cast<socklen_t>(dest.size());
      h.msg_iov = &iovs[i];
      h.msg_iovlen = k;
      if (k > 1) {
        h.msg_control = controls[m].buf;
        h.msg_controllen = sizeof controls[m].buf;
        cmsghdr* c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto size = static_cast<std::uint16_t>(seg);
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
        if (m == 0) offloaded = true;
      }
      runs[m] = static_cast<std::uint8_t>(k);
      i += k;
    }
    const int n = ::sendmmsg(pick->fd, msgs.data(), static_cast<unsigned>(m), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      const int err = errno;
      // A device without checksum offload refuses segmentation for good.
      if (offloaded && err == EIO) pick->gso.store(false, std::memory_order_relaxed);
      if (offloaded && (err == EIO || err == EINVAL || err == EMSGSIZE || err == ENOPROTOOPT)) continue;
      return -err;
    }
    int sent = 0;
    for (int j = 0; j < n; ++j) sent += runs[static_cast<std::size_t>(j)];
    return sent;
  }
}

namespace {

// Control message room for one UDP_GRO value.
union GroControl {
  cmsghdr align;
  char buf[CMSG_SPACE(sizeof(int))];
};

// Size of the segments a coalesced receive holds; 0 when it is one datagram.
std::size_t gro_segment_size(msghdr& h) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO) continue;
    int size = 0;
    std::memcpy(&size, CMSG_DATA(c), sizeof size);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
  }
  return 0;
}

}  // namespace

asio::awaitable<void> UdpNode::Core::receive_loop(std::shared_ptr<Core> self, std::shared_ptr<Socket> s) {
  std::vector<std::uint8_t> bufs(kRecvBatch * kRecvBufSize);
  std::array<mmsghdr, kRecvBatch> msgs{};
  std::array<iovec, kRecvBatch> iovs{};
  std::array<sockaddr_storage, kRecvBatch> names{};
  std::array<GroControl, kRecvBatch> controls{};
  // Coalesced receives: runs of datagrams from one sender arrive in one read.
  const int on = 1;
  const bool gro = ::setsockopt(s->fd, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
  bool ready = false;  // readable already: no wait
  bool caught = false;  // the last spin caught traffic
  bool dense = false;  // the last wait was short
  std::size_t spins = 0;
  try {
    for (;;) {
      if (!ready) {
        const auto parked = std::chrono::steady_clock::now();
        co_await s->sock.async_wait(udp::socket::wait_read, asio::use_awaitable);
        dense = std::chrono::steady_clock::now() - parked < kDenseGap;
      }
      ready = false;
      bool drained = false;
      std::size_t total = 0;  // datagrams in all rounds
      for (int round = 0; round < 8; ++round) {
        std::size_t received = 0;  // datagrams this round
        for (std::size_t i = 0; i < kRecvBatch; ++i) {
          iovs[i] = {bufs.data() + i * kRecvBufSize, kRecvBufSize};
          msgs[i].msg_hdr = {};
          msgs[i].msg_hdr.msg_iov = &iovs[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
          msgs[i].msg_hdr.msg_name = &names[i];
          msgs[i].msg_hdr.msg_namelen = sizeof names[i];
          if (gro) {
            msgs[i].msg_hdr.msg_control = controls[i].buf;
            msgs[i].msg_hdr.msg_controllen = sizeof controls[i].buf;
          }
        }
        const int n = ::recvmmsg(s->fd, msgs.data(), kRecvBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
          if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            SV_DEBUG(lg(), "UDP receive on {} failed: {}", p2p::to_string(s->local), std::strerror(errno));
          break;
        }
        const Instant now = Clock::now();
        for (int i = 0; i < n; ++i) {
          auto& h = msgs[i].msg_hdr;
          if (h.msg_flags & MSG_TRUNC) {
            self->count.malformed.fetch_add(1, std::memory_order_relaxed);
            continue;
          }
          udp::endpoint from;
          if (h.msg_namelen > from.capacity()) continue;
          std::memcpy(from.data(), &names[i], h.msg_namelen);
          from.resize(h.msg_namelen);
          const std::span<const std::uint8_t> all{bufs.data() + i * kRecvBufSize, msgs[i].msg_len};
          const std::size_t seg = gro ? gro_segment_size(h) : 0;
          if (seg == 0 || seg >= all.size()) {
            self->handle_datagram(all, from, now);
            ++received;
            continue;
          }
          for (std::size_t off = 0; off < all.size(); off += seg, ++received)
            self->handle_datagram(all.subspan(off, std::min(seg, all.size() - off)), from, now);
        }
        drained = static_cast<std::size_t>(n) < kRecvBatch;
        total += received;
        // A few datagrams that drained the socket: the last reader runs at
        // once on this thread (the round trip waits for it). A bulk stream
        // keeps its readers apart from receiving, on other threads.
        self->wake_readers(drained && received <= kInlineReaderMax);
        if (drained) break;
      }
      if (total == 0 || total > kInlineReaderMax || !drained || !(caught || dense)) {
        spins = 0;
        caught = false;
        continue;
      }
      // Dense but light traffic that drained the socket (interactive, not
      // a bulk stream, whose readers and TUN reads run apart on other
      // threads): the answer to what it carried (or the local stack's next
      // packet) is often back within the other end's turnaround. Polled
      // here, it costs no wake-up.
      const auto end = util::busy_poll::spin(s->fd, kSpinWindow, kSpinLimit);
      ready = end == util::busy_poll::SpinEnd::readable;
      caught = end != util::busy_poll::SpinEnd::missed;
      dense = false;
      // A long run of spins lets the strand's other work in now and then;
      // that may close the socket (its number then free for reuse).
      if (ready && ++spins % kSpinsPerYield == 0) {
        co_await asio::defer(self->strand, asio::use_awaitable);
        if (!s->sock.is_open()) break;
      }
    }
  } catch (const boost::system::system_error& e) {
    // Closed (the socket's handle was released) or stopped: a normal end.
    if (e.code() != asio::error::operation_aborted && e.code() != asio::error::bad_descriptor) throw;
  }
}

void UdpNode::Core::spawn_receive(const std::shared_ptr<Socket>& s) {
  spawn(receive_loop(shared_from_this(), s));
}

UdpSocketHandle::UdpSocketHandle(std::weak_ptr<UdpNode::Core> core, std::shared_ptr<Socket> socket)
    : core_(std::move(core)), socket_(std::move(socket)) {}

UdpSocketHandle::~UdpSocketHandle() {
  if (auto core = core_.lock()) core->close_socket(socket_);
}

const udp::endpoint& UdpSocketHandle::local_endpoint() const noexcept { return socket_->local; }

}  // namespace sarvolt::p2p
