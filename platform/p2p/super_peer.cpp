#include "platform/p2p/super_peer.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "platform/p2p/wire.hpp"

namespace sarvolt::p2p {

namespace asio = boost::asio;
using udp = asio::ip::udp;

SuperPeer::SuperPeer(SuperPeerUrl url, std::optional<crypto::SessionKeys> keys,
                     std::optional<std::vector<udp::endpoint>> resolved, std::uint64_t hello_timeout_ms)
    : url_(std::move(url)), keys_(std::move(keys)), hello_timeout_ms_(hello_timeout_ms) {
  if (resolved) {
    for (const auto& ep : *resolved) {
      const auto key = PeerPathKey::udp(wire::normalize(ep));
      if (state_.paths.emplace(key, PeerPath{}).second) state_.path_order.push_back(key);
    }
  }
  state_.resolved = std::move(resolved);
}

SuperPeerStats SuperPeer::stats(const State& state, Instant now) const {
  SuperPeerStats s;
  const bool v6 = url_.host().find(':') != std::string::npos;
  s.address = v6 ? fmt::format("[{}]:{}", url_.host(), url_.port()) : fmt::format("{}:{}", url_.host(), url_.port());
  s.resolved_addresses = state.resolved;
  s.tcp_port = url_.port();
  s.udp_path_order = state.path_order;
  s.udp_paths = state.paths;
  s.reachable = std::any_of(state.paths.begin(), state.paths.end(), [&](const auto& kv) {
    return PeerPath::is_reachable(kv.second, now, hello_timeout_ms_);
  });
  return s;
}

SuperPeerStats SuperPeer::stats(Instant now) const {
  std::lock_guard lock(mutex_);
  return stats(state_, now);
}

SuperPeer::Best SuperPeer::reorder(State& state, Instant now, std::uint64_t hello_timeout_ms) {
  auto rank = [&](const PeerPathKey& k) {
    const auto& p = state.paths.at(k);
    const bool up = PeerPath::is_reachable(p, now, hello_timeout_ms);
    return std::pair{!up, p.median_latency_us().value_or(UINT64_MAX)};
  };
  std::stable_sort(state.path_order.begin(), state.path_order.end(),
                   [&](const PeerPathKey& a, const PeerPathKey& b) { return rank(a) < rank(b); });
  Best best;
  if (!state.path_order.empty()) {
    best.endpoint = state.path_order.front().endpoint();
    best.reachable = PeerPath::is_reachable(state.paths.at(state.path_order.front()), now, hello_timeout_ms);
  }
  return best;
}

// --- resolution --------------------------------------------------------------

ResolveOutcome resolve_host(const HostPort& hp) {
  ResolveOutcome out;
  boost::system::error_code ec;
  const auto literal = asio::ip::make_address(hp.host, ec);
  if (!ec) {
    out.kind = ResolveOutcome::Kind::Resolved;
    out.endpoints.push_back(wire::normalize({literal, hp.port}));
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  const std::string port = std::to_string(hp.port);
  const int rc = ::getaddrinfo(hp.host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    out.error = ::gai_strerror(rc);
    return out;
  }
  for (const addrinfo* ai = res; ai; ai = ai->ai_next) {
    udp::endpoint ep;
    if (ai->ai_addrlen > ep.capacity()) continue;
    std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
    ep = wire::normalize(ep);
    if (std::find(out.endpoints.begin(), out.endpoints.end(), ep) == out.endpoints.end()) out.endpoints.push_back(ep);
  }
  ::freeaddrinfo(res);
  out.kind = ResolveOutcome::Kind::Resolved;
  return out;
}

namespace {

using DoneChannel = asio::experimental::concurrent_channel<void(boost::system::error_code, std::size_t)>;

// Shared between the waiting coroutine and the lookup threads. `channel`
// lives in the coroutine's frame and is reached only under `mutex` while set.
struct Lookups {
  std::mutex mutex;
  DoneChannel* channel = nullptr;
  std::vector<std::optional<ResolveOutcome>> results;
};

class Detach {
 public:
  explicit Detach(std::shared_ptr<Lookups> l) : l_(std::move(l)) {}
  ~Detach() {
    std::lock_guard lock(l_->mutex);
    l_->channel = nullptr;
  }
  Detach(const Detach&) = delete;
  Detach& operator=(const Detach&) = delete;

 private:
  std::shared_ptr<Lookups> l_;
};

}  // namespace

asio::awaitable<std::vector<ResolveOutcome>> resolve_all(std::vector<HostPort> hosts, std::chrono::milliseconds limit,
                                                         Resolver resolver) {
  using namespace asio::experimental::awaitable_operators;
  const auto ex = co_await asio::this_coro::executor;
  auto lookups = std::make_shared<Lookups>();
  lookups->results.resize(hosts.size());
  DoneChannel channel(ex, std::max<std::size_t>(hosts.size(), 1));
  {
    std::lock_guard lock(lookups->mutex);
    lookups->channel = &channel;
  }
  Detach detach(lookups);

  std::size_t pending = 0;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    boost::system::error_code ec;
    asio::ip::make_address(hosts[i].host, ec);
    if (!ec) {  // a literal address needs no thread
      lookups->results[i] = resolver(hosts[i]);
      continue;
    }
    ++pending;
    std::thread([lookups, i, hp = hosts[i], resolver] {
      ResolveOutcome r = resolver(hp);
      std::lock_guard lock(lookups->mutex);
      lookups->results[i] = std::move(r);
      if (lookups->channel) lookups->channel->try_send(boost::system::error_code{}, i);
    }).detach();
  }

  asio::steady_timer deadline(ex, limit);
  while (pending > 0) {
    auto which = co_await (channel.async_receive(asio::use_awaitable) || deadline.async_wait(asio::use_awaitable));
    if (which.index() == 1) break;
    --pending;
  }

  std::vector<ResolveOutcome> out(hosts.size());
  std::lock_guard lock(lookups->mutex);
  lookups->channel = nullptr;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    if (lookups->results[i]) {
      out[i] = std::move(*lookups->results[i]);
    } else {
      out[i].kind = ResolveOutcome::Kind::Timeout;
    }
  }
  co_return out;
}

}  // namespace sarvolt::p2p
