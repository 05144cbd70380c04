#include "platform/p2p/peer_path.hpp"

#include <algorithm>

namespace sarvolt::p2p {

std::string to_string(const boost::asio::ip::udp::endpoint& endpoint) {
  const auto& a = endpoint.address();
  if (a.is_v6()) return fmt::format("[{}]:{}", a.to_string(), endpoint.port());
  return fmt::format("{}:{}", a.to_string(), endpoint.port());
}

std::string PeerPathKey::to_string() const {
  return fmt::format("{}://{}", kind_ == Kind::Udp ? "udp" : "tcp", p2p::to_string(endpoint_));
}

void PeerPath::hello_sent(Instant now) {
  if (!unanswered_hello_since) unanswered_hello_since = now;
}

void PeerPath::ack_received(Instant now, std::chrono::microseconds rtt) {
  unanswered_hello_since.reset();
  last_ack = now;
  if (latencies_us.capacity() < kMaxLatencySamples) latencies_us.reserve(kMaxLatencySamples);
  if (latencies_us.size() == kMaxLatencySamples) latencies_us.erase(latencies_us.begin());
  latencies_us.push_back(static_cast<std::uint64_t>(std::max<std::int64_t>(rtt.count(), 0)));
}

std::optional<std::uint64_t> PeerPath::median_latency_us() const {
  if (latencies_us.empty()) return std::nullopt;
  std::vector<std::uint64_t> s = latencies_us;
  std::sort(s.begin(), s.end());
  const std::size_t n = s.size();
  if (n % 2) return s[n / 2];
  // Halves first: the sum of two samples may not fit.
  const std::uint64_t a = s[n / 2 - 1], b = s[n / 2];
  return a / 2 + b / 2 + (a % 2 + b % 2) / 2;
}

bool PeerPath::is_reachable(const PeerPath& path, Instant now, std::uint64_t window_ms) noexcept {
  if (!path.last_ack) return false;
  constexpr std::uint64_t kForever = std::uint64_t{1} << 40;  // ~35 years
  return window_ms >= kForever ||
         now - *path.last_ack <= std::chrono::milliseconds(static_cast<std::int64_t>(window_ms));
}

}  // namespace sarvolt::p2p
