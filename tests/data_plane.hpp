// Data-plane helpers for tests and benchmarks: packets, a runtime on its own
// threads, a socket pair standing in for the TUN device, and DataPlane: an
// agent core over the in-memory p2p fabric whose members are this node A
// (10.0.0.1, host name "a"), B (10.0.0.2, "b"), C (10.0.0.3, "c"), ... of
// network 10.0.0.0/24 (a /16 for more than 253 members).
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "agent/dns/mobile.hpp"
#include "agent/inner.hpp"
#include "network/config/effective.hpp"
#include "platform/p2p/fabric.hpp"
#include "support.hpp"

namespace sarvolt::test {

p2p::Identity identity_from_seed(std::uint32_t seed);  // the same keys for a seed, pow 0

struct Addr {
  Addr(const char* s) : v(ip(s)) {}
  Addr(util::Ipv4Addr a) : v(a) {}
  util::Ipv4Addr v;
};
// An IPv4 packet with a valid header checksum; with the ports of UDP or TCP,
// and for UDP the length, where there is room for them.
struct PacketSpec {
  Addr src = "10.0.0.1", dst = "10.0.0.2";
  std::uint8_t protocol = 17;
  std::size_t payload = 12;  // bytes after the IPv4 header
  bool dont_fragment = false;
  std::uint16_t fragment_offset = 0;
  bool more_fragments = false;
  std::uint8_t fill = 0xAB;
  std::uint16_t dport = 5000, sport = 40000;
  Bytes data = {};  // UDP payload; sets `payload` when not empty
};
Bytes ipv4_packet(PacketSpec packet);

// An io_context run by `threads` threads; `on_thread` runs first on each.
class Runtime {
 public:
  explicit Runtime(int threads = 2, std::function<void()> on_thread = {});
  ~Runtime() { stop(); }
  // Runs `aw` on the runtime; throws when it does not end within `limit`.
  template <class T>
  T run(boost::asio::awaitable<T> aw, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    auto f = boost::asio::co_spawn(io, std::move(aw), boost::asio::use_future);
    if (f.wait_for(limit) != std::future_status::ready) throw std::runtime_error("awaitable did not finish in time");
    return f.get();
  }
  void stop(std::chrono::milliseconds grace = 0ms);  // after up to `grace` for queued work
  boost::asio::io_context io;

 private:
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

// Runs `f` on the agent's state under its write lock.
template <class F>
void with_state(Runtime& rt, agent::AgentInner& inner, F f) {
  auto locked = [&]() -> boost::asio::awaitable<void> { f(*co_await inner.state.write()); };
  rt.run(locked());
}

// A SOCK_SEQPACKET pair: `device` for the code under test, `test` for the test.
struct SocketTun {
  explicit SocketTun(int buffer_size = 0);
  ~SocketTun();
  std::shared_ptr<util::AsyncTun> take(boost::asio::io_context& io);  // the device end, owned by it
  void write(const Bytes& packet);
  std::optional<Bytes> read(std::chrono::milliseconds timeout = 2000ms);
  int device = -1, test = -1;
};

class DataPlane : public Runtime {
 public:
  struct Options {
    bool with_tun = true;
    bool with_dns = false;  // the overlay DNS object
    std::uint16_t mtu = 1280;
    std::size_t queue_capacity = 1024;  // of the fabric's queues
    int threads = 2;
    std::size_t members = 3;
    int tun_fd = -1;  // a TUN device the agent takes instead of the socket pair
    int socket_buffer = 0;
    std::function<void()> on_thread = {};
  };
  DataPlane();
  explicit DataPlane(Options options);
  ~DataPlane();

  std::shared_ptr<agent::AgentInner> make_agent();  // over A's node, the DNS object, the TUN (once)
  network::Network member_network(bool policy = true) const;  // A's desired state; `policy`: all may talk
  void join(bool policy = true);  // puts member_network() in `networks` and applies
  void apply();
  void leave_all();  // empty desired states, as at shutdown

  // Datagrams A sent to `peer`, once `count` arrived (bounded).
  std::vector<Bytes> sent_to(const p2p::PubKey& peer, std::size_t count, std::chrono::milliseconds timeout = 2000ms);
  void from_peer(const p2p::PubKey& peer, const Bytes& datagram);  // a datagram from `peer` to A

  Options options;
  std::shared_ptr<p2p::Fabric> fabric;
  std::vector<p2p::Identity> ids;  // at least A, B and C, each a node on the fabric
  std::vector<std::shared_ptr<p2p::MemoryNode>> nodes;
  const p2p::Identity &a, &b, &c;
  std::optional<SocketTun> tun;
  std::shared_ptr<agent::dns::MobileAgentDns> dns;
  std::shared_ptr<agent::AgentInner> agent;
  network::NetworkMap networks;

 private:
  std::shared_ptr<util::AsyncTun> device_;
};

}  // namespace sarvolt::test
