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
//   - A registration moves to another address (or local address), or changes
//     between sealed and unsealed, only on a sealed HELLO, which proves the
//     node's secret key. An unsealed HELLO only creates a registration or
//     refreshes one at the same address; an unsealed node that moved
//     registers again once its old registration expired. An address held by
//     a live registration is not given to another key.
//   - The key agreement for a key that is not registered (the only
//     public-key work) is bounded per second, overall and per source address;
//     a registered node's keys are agreed once and kept.
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
  // Key agreements for keys that are not registered: a rate (spread out,
  // with bursts up to stranger_kx_burst) and a share per source address.
  std::uint32_t stranger_kx_per_second = 500;
  std::uint32_t stranger_kx_burst = 25;
  std::uint32_t stranger_kx_per_source = 16;  // per second
  // Socket receive buffer of RelayServer: rides out a burst of floods while
  // its thread is not scheduled (the kernel may cap it; 0: the system's).
  int receive_buffer_bytes = 8 << 20;
};

struct RelayCounters {
  std::uint64_t received = 0;
  std::uint64_t acked = 0;       // HELLOs answered
  std::uint64_t relayed = 0;     // datagrams forwarded
  std::uint64_t unites = 0;      // UNITEs sent
  std::uint64_t dropped_unregistered = 0;  // from an address that is not registered
  std::uint64_t dropped_refused = 0;       // HELLO with a wrong network id or too little proof of work, an
                                           // unproven move, a taken address, over the budget for strangers
  std::uint64_t dropped_invalid = 0;       // malformed, oversized, failed to open, replayed, unknown recipient
};

// Where RelayCore's datagrams go.
class RelaySink {
 public:
  virtual ~RelaySink() = default;
  virtual void send(const boost::asio::ip::udp::endpoint& to, std::span<const std::uint8_t> datagram) = 0;
  // Sends from the local address `from` (unspecified: the system picks one).
  virtual void send_from(const boost::asio::ip::udp::endpoint& to, const boost::asio::ip::address& from,
                         std::span<const std::uint8_t> datagram) {
    (void)from;
    send(to, datagram);
  }
};

class RelayCore {
 public:
  RelayCore(Identity identity, RelayOptions options);
  ~RelayCore();
  RelayCore(const RelayCore&) = delete;
  RelayCore& operator=(const RelayCore&) = delete;

  void handle(std::span<const std::uint8_t> datagram, const boost::asio::ip::udp::endpoint& from, Instant now,
              RelaySink& out);
  // `local`: the address the datagram arrived on; what goes to the sender's
  // registration is sent from it.
  void handle(std::span<const std::uint8_t> datagram, const boost::asio::ip::udp::endpoint& from,
              const boost::asio::ip::address& local, Instant now, RelaySink& out);
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
  // On a wildcard address it answers from the address each datagram arrived on.
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
