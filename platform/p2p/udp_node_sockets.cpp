// Sockets of the UDP node: open, reopen, close, the socket table, the
// receive loop and raw sends.
#include "platform/p2p/udp_node_core.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::udp_node")

namespace {

constexpr std::size_t kRecvBatch = 16;
constexpr std::size_t kRecvBufSize = 65536;

}  // namespace

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
  spawn(receive_loop(shared_from_this(), s));
}

UdpSocketHandle::UdpSocketHandle(std::weak_ptr<UdpNode::Core> core, std::shared_ptr<Socket> socket)
    : core_(std::move(core)), socket_(std::move(socket)) {}

UdpSocketHandle::~UdpSocketHandle() {
  if (auto core = core_.lock()) core->close_socket(socket_);
}

const udp::endpoint& UdpSocketHandle::local_endpoint() const noexcept { return socket_->local; }

}  // namespace sarvolt::p2p
