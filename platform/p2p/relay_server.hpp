// The super peer: where nodes say HELLO, and which relays datagrams between
// the nodes registered with it.
//   RelayCore     the protocol without I/O: handle(datagram, from, now, out)
//                 and expire(now); the daemon and the benchmarks use it
//   RelayServer   RelayCore on a UDP socket of an executor; run() until stop()
//
// Rules:
//   - A node registers with a HELLO (sealed or not) for this super peer that
//     carries this network id and a proof of work of at least the minimum;
//     it is answered with an ACK of the same size that echoes its timestamp.
//     A sealed HELLO must open under the pair's crypto_kx keys and be fresh
//     (replay window); its registration keeps sealing ACKs and UNITEs.
//   - Anything else from an address that is not registered is dropped without
//     an answer (no amplification, no open relay).
//   - A datagram addressed to another node is forwarded unchanged to that
//     node's registered address, only when both ends are registered and a
//     long-form sender key matches the registration of its source address.
//   - A relayed APP of at least the size of a UNITE makes the super peer send
//     a UNITE to both nodes (each learns the other's address), at most once per
//     unite_interval per pair.
//   - Datagrams above max_datagram_size are dropped; a node not heard from for
//     node_expiry is removed; joining and leaving are logged at INFO.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>

#include "platform/p2p/identity.hpp"
#include "platform/p2p/peer_path.hpp"

namespace sarvolt::p2p {

struct RelayOptions {
  std::int32_t network_id = 1;
  std::uint8_t min_pow_difficulty = 24;
  std::chrono::milliseconds node_expiry{60000};
  std::chrono::milliseconds unite_interval{5000};
  std::size_t max_datagram_size = 2048;
  std::size_t max_nodes = 65536;
};

struct RelayCounters {
  std::uint64_t received = 0;
  std::uint64_t acked = 0;       // HELLOs answered
  std::uint64_t relayed = 0;     // datagrams forwarded
  std::uint64_t unites = 0;      // UNITEs sent
  std::uint64_t dropped_unregistered = 0;  // from an address that is not registered
  std::uint64_t dropped_refused = 0;       // HELLO with a wrong network id or too little proof of work
  std::uint64_t dropped_invalid = 0;       // malformed, oversized, failed to open, replayed, unknown recipient
};

// Where RelayCore's datagrams go.
class RelaySink {
 public:
  virtual ~RelaySink() = default;
  virtual void send(const boost::asio::ip::udp::endpoint& to, std::span<const std::uint8_t> datagram) = 0;
};

class RelayCore {
 public:
  RelayCore(Identity identity, RelayOptions options);
  ~RelayCore();
  RelayCore(const RelayCore&) = delete;
  RelayCore& operator=(const RelayCore&) = delete;

  void handle(std::span<const std::uint8_t> datagram, const boost::asio::ip::udp::endpoint& from, Instant now,
              RelaySink& out);
  // Removes nodes not heard from for node_expiry.
  void expire(Instant now);

  const Identity& identity() const noexcept;
  const RelayCounters& counters() const noexcept;
  std::size_t node_count() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class RelayServer {
 public:
  // Binds `listen` at once (throws boost::system::system_error when it cannot).
  RelayServer(const boost::asio::any_io_executor& ex, Identity identity, RelayOptions options,
              const boost::asio::ip::udp::endpoint& listen);
  ~RelayServer();

  boost::asio::ip::udp::endpoint local_endpoint() const;
  // Receives and relays until stop(); call on one thread of `ex` at a time.
  boost::asio::awaitable<void> run();
  // Ends run() (thread-safe).
  void stop();
  // Read while run() is not running, or from run()'s thread.
  const RelayCore& core() const noexcept;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace sarvolt::p2p
