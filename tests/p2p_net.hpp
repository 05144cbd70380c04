// Helpers of the overlay transport tests: a multi-threaded runtime, a super
// peer on a thread of its own, test-speed node options, a link reader that
// collects datagrams, and bounded waits.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include "platform/p2p/relay_server.hpp"
#include "platform/p2p/udp_node.hpp"
#include "platform/p2p/wire.hpp"

#include "data_plane.hpp"

namespace sarvolt::test {

// A super peer (RelayServer) on 127.0.0.1 with its own thread; UNITEs at
// most every 200 ms.
class TestSuperPeer {
 public:
  explicit TestSuperPeer(std::uint8_t min_pow_difficulty = 8);
  ~TestSuperPeer() { stop(); }
  p2p::SuperPeerUrl url() const;
  std::uint16_t port() const { return port_; }
  // Read on the server's thread.
  p2p::RelayCounters counters();
  void stop();

 private:
  Runtime rt_{1};
  p2p::Identity identity_ = p2p::Identity::generate(0).value();
  p2p::RelayServer server_;
  std::uint16_t port_;
};

// An identity meeting `difficulty` (fast for small ones).
p2p::Identity identity(std::uint8_t difficulty = 8);

// An identity below proof-of-work difficulty 8.
p2p::Identity weak_identity();

// A datagram of `type` from `from` to `to`; sealed under their session keys
// (epoch 1, this `counter`) when `counter` is given.
Bytes datagram(p2p::wire::Type type, const p2p::Identity& from, const p2p::PubKey& to,
               std::span<const std::uint8_t> body, std::optional<std::uint64_t> counter = std::nullopt);

// A HELLO body with this proof of work and network id.
std::array<std::uint8_t, p2p::wire::kHelloBodySize> hello_body(const p2p::Identity& id, std::int32_t network = 1);

// Options for a test node: 127.0.0.1, random port, HELLO every 50 ms,
// reachable for 400 ms, paths kept 1500 ms, min proof of work 8.
p2p::NodeOptsBuilder test_opts(const p2p::Identity& id, const std::vector<p2p::SuperPeerUrl>& super_peers);

// Collects what a link reads, on a strand of `io`, until destroyed.
class Reader {
 public:
  Reader(boost::asio::io_context& io, p2p::NodePeerRef link);
  ~Reader();
  std::vector<Bytes> got() const;
  // True when the read loop ended with operation_aborted.
  bool aborted() const;

 private:
  struct State {
    boost::asio::cancellation_signal stop;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Bytes> got;
    bool done = false;
    bool aborted = false;
  };
  static boost::asio::awaitable<void> loop(std::shared_ptr<State> state, p2p::NodePeerRef link);

  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace sarvolt::test
