// The UDP node's handle: bind, initiate, shutdown, counters.
#include "platform/p2p/udp_node_core.hpp"

#include <algorithm>
#include <bit>
#include <unordered_map>

#include <boost/asio/this_coro.hpp>

#include "util/log.hpp"

namespace sarvolt::p2p {

SV_LOGGER("sarvolt_p2p::udp_node")

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kResolveLimit = 10s;

// The io_context behind the executor a coroutine runs on (directly or
// through a strand), if any.
asio::io_context* io_context_of(const asio::any_io_executor& ex) {
  using Tracked = asio::io_context::basic_executor_type<std::allocator<void>, 4>;
  if (const auto* e = ex.target<asio::io_context::executor_type>()) return &e->context();
  if (const auto* e = ex.target<Tracked>()) return &e->context();
  if (const auto* s = ex.target<Strand>()) return &s->get_inner_executor().context();
  if (const auto* s = ex.target<asio::strand<asio::any_io_executor>>()) return io_context_of(s->get_inner_executor());
  return nullptr;
}

std::string endpoints_text(const std::vector<udp::endpoint>& eps) {
  std::string out = "{";
  for (std::size_t i = 0; i < eps.size(); ++i) out += (i ? ", " : "") + p2p::to_string(eps[i]);
  return out + "}";
}

}  // namespace

void UdpNode::Core::spawn(asio::awaitable<void> task) {
  std::lock_guard lock(stop_mutex);
  if (stopped.load()) return;
  tasks.spawn(strand, std::move(task), [self = shared_from_this()](std::exception_ptr e) {
    if (!e) return;
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& err) {
      SV_ERROR(lg(), "I/O error: {}", err.what());
    }
  });
}

void UdpNode::Core::stop() {
  {
    std::lock_guard lock(stop_mutex);
    if (stopped.exchange(true)) return;
  }
  token.cancel();
  std::vector<std::shared_ptr<Peer>> list;
  {
    std::lock_guard lock(peers_mutex);
    for (const auto& [pk, p] : peers) list.push_back(p);
  }
  for (const auto& p : list) {
    std::shared_ptr<Waker> w;
    {
      std::lock_guard lock(p->mutex);
      p->closed = true;
      w = p->reader;
    }
    if (w) w->close();
  }
  std::unordered_map<asio::ip::address, UdpSocketRef> handles;
  {
    std::lock_guard lock(sock_table->mutex);
    handles.swap(sock_table->sockets);
  }
  handles.clear();  // each release closes its socket
  std::vector<std::shared_ptr<Socket>> rest;
  {
    std::shared_lock lock(sock_mutex);
    rest = socks;
  }
  for (const auto& s : rest) close_socket(s);
  tasks.stop();
  SV_DEBUG(lg(), "Node {} stopping", own_pk());
}

// --- UdpNode -------------------------------------------------------------------

asio::awaitable<util::Expected<NodeRef, NodeError>> Node::bind(NodeOpts opts) {
  auto node = co_await UdpNode::bind(std::move(opts));
  if (!node) co_return util::Unexpected(std::move(node.error()));
  co_return NodeRef(std::move(*node));
}

asio::awaitable<util::Expected<std::shared_ptr<UdpNode>, NodeError>> UdpNode::bind(NodeOpts opts) {
  using Kind = NodeError::Kind;
  std::optional<crypto::AgreementKeys> agreement;
  if (opts.arm_messages()) {
    auto keys = crypto::AgreementKeys::from_identity(opts.identity());
    if (!keys) co_return node_error(Kind::CryptoError, keys.error().message());
    agreement = std::move(*keys);
  }
  if (opts.max_peers() != 0 && !std::has_single_bit(opts.max_peers()))
    co_return node_error(Kind::InvalidMaxPeers,
                         fmt::format("max_peers must be 0 or a power of two, got {}", opts.max_peers()));
  SV_TRACE(lg(), "UDP port: {}", opts.udp_port());
  if (opts.super_peers().empty()) co_return node_error(Kind::NoSuperPeers, "No super peers");
  for (const auto& url : opts.super_peers()) {
    if (url.network_id() != opts.network_id())
      co_return node_error(Kind::SuperPeerNetworkIdMismatch,
                           fmt::format("Super peer {} has network id {}, the node {}", url.public_key(),
                                       url.network_id(), opts.network_id()));
  }
  const PubKey default_route = opts.super_peers().front().public_key();
  // The node's tasks need a running io_context to be spawned on.
  asio::io_context* runtime = io_context_of(co_await asio::this_coro::executor);
  if (!runtime || runtime->stopped()) co_return node_error(Kind::NoAsyncRuntimeFound, "No async runtime found");

  std::vector<std::optional<crypto::SessionKeys>> keys;
  std::vector<HostPort> hosts;
  for (const auto& url : opts.super_peers()) {
    if (agreement) {
      auto k = crypto::compute_kx_session_keys(opts.identity().pk(), *agreement, url.public_key());
      if (!k) {
        const Kind kind = k.error().kind == crypto::KxFailure::AgreementPkNotPresent   ? Kind::AgreementPkNotPresent
                          : k.error().kind == crypto::KxFailure::AgreementSkNotPresent ? Kind::AgreementSkNotPresent
                                                                                       : Kind::CryptoError;
        co_return node_error(kind, k.error().message);
      }
      keys.emplace_back(std::move(*k));
    } else {
      keys.emplace_back();
    }
    SV_TRACE(lg(), "Resolve hostname {}", url.host());
    hosts.push_back({url.host(), url.port()});
  }
  // All at once, each with its own limit; results in list order.
  const auto outcomes = co_await resolve_all(hosts, kResolveLimit);

  auto core = std::make_shared<Core>(std::move(opts), std::move(agreement), runtime->get_executor());
  const auto& urls = core->opts.super_peers();
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const auto& host = urls[i].host();
    std::optional<std::vector<udp::endpoint>> resolved;
    switch (outcomes[i].kind) {
      case ResolveOutcome::Kind::Resolved:
        SV_TRACE(lg(), "Resolved hostname {} to {}", host, endpoints_text(outcomes[i].endpoints));
        resolved = outcomes[i].endpoints;
        break;
      case ResolveOutcome::Kind::Timeout:
        SV_WARN(lg(), "Timeout of {} ms exceeded while attempting to resolve hostname {}", kResolveLimit.count(), host);
        break;
      case ResolveOutcome::Kind::Failed:
        SV_WARN(lg(), "Failed to resolve hostname {}: {}", host, outcomes[i].error);
        break;
    }
    auto sp = std::make_shared<SuperPeer>(urls[i], std::move(keys[i]), resolved, core->opts.hello_timeout());
    Core::SuperPeerInfo info{sp, resolved.value_or(std::vector<udp::endpoint>{}), {}};
    auto& entries = core->sp_table->entries;
    const auto same = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == sp->pk(); });
    if (same != entries.end()) {
      same->second = sp;
      const auto pos = std::find_if(core->super_peers.begin(), core->super_peers.end(),
                                    [&](const auto& s) { return s.sp->pk() == info.sp->pk(); });
      *pos = std::move(info);
    } else {
      entries.emplace_back(sp->pk(), sp);
      core->super_peers.push_back(std::move(info));
    }
  }
  core->sp_table->default_route = default_route;
  core->default_index = static_cast<std::size_t>(
      std::find_if(core->super_peers.begin(), core->super_peers.end(),
                   [&](const auto& s) { return s.sp->pk() == default_route; }) -
      core->super_peers.begin());

  if (auto opened = core->open_sockets(true); !opened) {
    core->stop();
    co_await core->tasks.wait();
    co_return util::Unexpected(std::move(opened.error()));
  }
  core->spawn(Core::housekeeping_loop(core));
  co_return std::make_shared<UdpNode>(Key{}, core);
}

UdpNode::UdpNode(Key, std::shared_ptr<Core> core) : Node(core->sp_table, core->sock_table), core_(std::move(core)) {}

UdpNode::~UdpNode() { core_->stop(); }

const Identity& UdpNode::identity() const noexcept { return core_->opts.identity(); }

NodeOpts UdpNode::opts() const { return core_->opts; }

util::Expected<NodePeerRef, InitiateError> UdpNode::initiate(const PubKey& pk) {
  if (pk == core_->own_pk()) return util::Unexpected(InitiateError("cannot initiate own key"));
  if (core_->stopped.load()) return util::Unexpected(InitiateError("node is shut down"));
  auto p = core_->peer_for(pk, Clock::now());
  if (!p) return util::Unexpected(InitiateError(p.error()));
  bool opened = false;
  auto link = core_->open_link(*p, opened);
  if (!link || !opened) return link;
  core_->hello_soon(std::move(*p));
  SV_TRACE(lg(), "Link to {} opened", pk);
  return link;
}

asio::awaitable<void> UdpNode::shutdown() {
  core_->stop();
  co_await core_->tasks.wait();
}

NodeCounters UdpNode::counters() const noexcept {
  const auto& c = core_->count;
  const auto r = [](const std::atomic<std::uint64_t>& a) { return a.load(std::memory_order_relaxed); };
  return {r(c.received), r(c.delivered), r(c.malformed), r(c.unauthentic), r(c.replayed), r(c.refused), r(c.unknown),
          r(c.full), r(c.busy)};
}

std::vector<udp::endpoint> UdpNode::local_endpoints() const {
  std::shared_lock lock(core_->sock_mutex);
  std::vector<udp::endpoint> out;
  for (const auto& s : core_->socks) out.push_back(s->local);
  return out;
}


}  // namespace sarvolt::p2p
