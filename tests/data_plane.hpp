// A data plane for tests: an agent core over the in-memory p2p fabric, with a
// SOCK_SEQPACKET socket pair standing in for the TUN device, a fake DNS
// service, and one network 10.0.0.0/24 whose members are this node A
// (10.0.0.1), B (10.0.0.2) and C (10.0.0.3).
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "agent/dns/dns.hpp"
#include "agent/inner.hpp"
#include "network/config/effective.hpp"
#include "platform/p2p/fabric.hpp"

namespace sarvolt::test {

using Bytes = std::vector<std::uint8_t>;

p2p::Identity identity_from_seed(std::uint8_t seed);
util::Ipv4Addr ip(const char* s);
util::Ipv4Net net(const char* s);

// An IPv4 packet with a valid header checksum.
struct PacketSpec {
  const char* src = "10.0.0.1";
  const char* dst = "10.0.0.2";
  std::uint8_t protocol = 17;
  std::size_t payload = 12;  // bytes after the 20-byte header
  bool dont_fragment = false;
  std::uint16_t fragment_offset = 0;
  bool more_fragments = false;
  std::uint8_t fill = 0xAB;
  std::uint16_t dport = 5000;  // UDP destination port
};
Bytes ipv4_packet(const PacketSpec& packet);

// Records what was offered; takes UDP packets to port 53 when `take` is set.
class FakeDns : public agent::dns::AgentDns {
 public:
  boost::asio::awaitable<void> apply_desired_state(agent::NetworkMap&) override { co_return; }
  bool handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                              std::shared_ptr<agent::AsyncTun>) override;
  void shutdown() override {}
  bool is_server_ip(util::Ipv4Addr) const override { return false; }
  std::optional<util::Ipv4Addr> server_ip() const override { return std::nullopt; }
  const agent::dns::RequestSender& send_channel() const override { return closed_; }
  std::atomic<bool> take{true};
  std::atomic<int> offered{0};
  std::atomic<int> taken{0};

 private:
  agent::dns::RequestSender closed_;
};

class DataPlane {
 public:
  struct Options {
    bool with_tun = true;
    bool with_dns = true;
    std::uint16_t mtu = 1280;
    std::size_t queue_capacity = 1024;
    int threads = 2;
    // A TUN device (or any packet fd) the agent takes instead of the socket
    // pair; the agent owns it and tun_fd stays -1.
    int tun_fd_override = -1;
    // The real DNS object (in real_dns) instead of FakeDns; needs with_dns.
    bool real_dns = false;
  };
  DataPlane();
  explicit DataPlane(Options options);
  ~DataPlane();

  // Builds the network's desired state for A (all three members allowed to
  // talk to each other unless `policy` is false) and applies it.
  void join(bool policy = true, const std::string& url = "file:///net.toml");
  void apply();
  void leave_all();  // empty desired states, as at shutdown

  // The test's side of the TUN socket pair.
  void tun_write(const Bytes& packet);
  std::optional<Bytes> tun_read(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  std::size_t tun_pending();  // packets waiting for the test to read

  // Datagrams that A sent to `peer`, waiting until `count` arrived (bounded).
  std::vector<Bytes> sent_to(const p2p::PubKey& peer, std::size_t count,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  // A datagram from `peer` to A.
  void from_peer(const p2p::PubKey& peer, const Bytes& datagram);

  // Waits (bounded) until `pred` holds.
  template <class Pred>
  static bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
  }

  boost::asio::io_context io;
  std::shared_ptr<p2p::Fabric> fabric;
  p2p::Identity a = identity_from_seed(1), b = identity_from_seed(2), c = identity_from_seed(3);
  std::shared_ptr<p2p::MemoryNode> node_a, node_b, node_c;
  std::shared_ptr<FakeDns> dns;
  std::shared_ptr<agent::dns::MobileAgentDns> real_dns;
  std::shared_ptr<agent::AgentInner> agent;
  agent::NetworkMap networks;
  int tun_fd = -1;  // the test's end

 private:
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

}  // namespace sarvolt::test
