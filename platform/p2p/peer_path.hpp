// Paths to a remote (super peer or node peer) and what is known of them.
//   Instant       a point of the monotonic clock
//   PeerPathKey   transport + remote socket address; text "udp://1.2.3.4:5"
//                 or "tcp://[::1]:5"
//   PeerPath      unanswered HELLO since, last ACK, recent latency samples
//                 (µs, oldest first, at most kMaxLatencySamples)
//   to_string(endpoint)  "1.2.3.4:5" or "[::1]:5"
//   PeerPath::is_reachable(path, now, window_ms)
//                 an ACK arrived within the last window_ms
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <fmt/format.h>

namespace sarvolt::p2p {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// "1.2.3.4:5" or "[::1]:5".
std::string to_string(const boost::asio::ip::udp::endpoint& endpoint);

class PeerPathKey {
 public:
  enum class Kind : std::uint8_t { Udp, Tcp };

  PeerPathKey(Kind kind, const boost::asio::ip::udp::endpoint& endpoint) noexcept : kind_(kind), endpoint_(endpoint) {}
  static PeerPathKey udp(const boost::asio::ip::udp::endpoint& endpoint) noexcept { return {Kind::Udp, endpoint}; }

  Kind kind() const noexcept { return kind_; }
  const boost::asio::ip::udp::endpoint& endpoint() const noexcept { return endpoint_; }
  std::string to_string() const;

  friend bool operator==(const PeerPathKey& a, const PeerPathKey& b) noexcept {
    return a.kind_ == b.kind_ && a.endpoint_ == b.endpoint_;
  }
  friend bool operator<(const PeerPathKey& a, const PeerPathKey& b) noexcept {
    return a.kind_ != b.kind_ ? a.kind_ < b.kind_ : a.endpoint_ < b.endpoint_;
  }

 private:
  Kind kind_;
  boost::asio::ip::udp::endpoint endpoint_;
};

struct PeerPath {
  static constexpr std::size_t kMaxLatencySamples = 10;

  std::optional<Instant> unanswered_hello_since;
  std::optional<Instant> last_ack;
  std::vector<std::uint64_t> latencies_us;

  // A HELLO went out at `now`: starts the unanswered period unless one runs.
  void hello_sent(Instant now);
  // An ACK came in at `now` for a HELLO whose round trip took `rtt`.
  void ack_received(Instant now, std::chrono::microseconds rtt);
  // Median of the samples (integer mean of the middle two for an even count).
  std::optional<std::uint64_t> median_latency_us() const;

  static bool is_reachable(const PeerPath& path, Instant now, std::uint64_t window_ms) noexcept;
};

}  // namespace sarvolt::p2p

template <>
struct fmt::formatter<sarvolt::p2p::PeerPathKey> : fmt::formatter<std::string_view> {
  auto format(const sarvolt::p2p::PeerPathKey& key, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(key.to_string(), ctx);
  }
};
