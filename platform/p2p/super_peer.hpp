// A super peer as the node sees it, and host resolution for super peers.
//   SuperPeer        URL, transport keys (when sealing), resolved addresses
//                    and one UDP path per address, behind its state mutex
//   SuperPeer::stats statistics of a locked state at an instant
//   resolve_host     blocking getaddrinfo, duplicates removed, order kept
//   resolve_all      every host at once, each on its own thread with its own
//                    time limit; outcomes in input order
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>

#include "platform/p2p/crypto.hpp"
#include "platform/p2p/identity.hpp"
#include "platform/p2p/peer_path.hpp"
#include "platform/p2p/stats.hpp"

namespace sarvolt::p2p {

class SuperPeer {
 public:
  struct State {
    std::optional<std::vector<boost::asio::ip::udp::endpoint>> resolved;
    std::vector<PeerPathKey> path_order;  // best first
    std::map<PeerPathKey, PeerPath> paths;
    crypto::ReplayWindow replay;  // of sealed datagrams from it
  };

  // One UDP path per resolved address, in resolution order. `hello_timeout_ms`
  // decides reachability.
  SuperPeer(SuperPeerUrl url, std::optional<crypto::SessionKeys> keys,
            std::optional<std::vector<boost::asio::ip::udp::endpoint>> resolved, std::uint64_t hello_timeout_ms);

  const SuperPeerUrl& url() const noexcept { return url_; }
  const PubKey& pk() const noexcept { return url_.public_key(); }
  const std::optional<crypto::SessionKeys>& keys() const noexcept { return keys_; }
  std::uint64_t next_counter() noexcept { return tx_counter_.fetch_add(1, std::memory_order_relaxed); }

  // The state and its lock. Never held across a wait.
  std::mutex& state_mutex() const noexcept { return mutex_; }
  State& state() noexcept { return state_; }
  const State& state() const noexcept { return state_; }

  // Statistics of `state` (the caller holds state_mutex()).
  SuperPeerStats stats(const State& state, Instant now) const;
  // Locks and reads.
  SuperPeerStats stats(Instant now) const;

  // Under the lock: orders the paths (reachable first, then by median
  // latency); the best path's endpoint, and whether it is reachable.
  struct Best {
    std::optional<boost::asio::ip::udp::endpoint> endpoint;
    bool reachable = false;
  };
  static Best reorder(State& state, Instant now, std::uint64_t hello_timeout_ms);
  std::uint64_t hello_timeout_ms() const noexcept { return hello_timeout_ms_; }

 private:
  SuperPeerUrl url_;
  std::optional<crypto::SessionKeys> keys_;
  std::uint64_t hello_timeout_ms_;
  std::atomic<std::uint64_t> tx_counter_{0};
  mutable std::mutex mutex_;
  State state_;
};

struct ResolveOutcome {
  enum class Kind { Resolved, Timeout, Failed };
  Kind kind = Kind::Failed;
  std::vector<boost::asio::ip::udp::endpoint> endpoints;  // Resolved: distinct, in resolver order
  std::string error;                                      // Failed: the resolver's text
};

struct HostPort {
  std::string host;
  std::uint16_t port = 0;
};

// Blocking resolution of one host (numeric addresses need no lookup).
using Resolver = std::function<ResolveOutcome(const HostPort&)>;
ResolveOutcome resolve_host(const HostPort& host);

// Resolves every host at once; a host still unresolved after `limit` gives
// Timeout (its lookup thread finishes on its own and is then discarded).
boost::asio::awaitable<std::vector<ResolveOutcome>> resolve_all(std::vector<HostPort> hosts,
                                                                std::chrono::milliseconds limit,
                                                                Resolver resolver = resolve_host);

}  // namespace sarvolt::p2p
