#include "agent/housekeeping.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "util/cancellable.hpp"
#include "util/encoding.hpp"
#include "util/file_read.hpp"
#include "util/http_client.hpp"
#include "util/log.hpp"
#include "util/text.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent::housekeeping")

namespace asio = boost::asio;
using core::Error;
using network::NetworkHealth;
using util::Unexpected;

namespace {

Error config_parse_error(std::string text) { return Error::make(Error::Kind::ConfigParseError, std::move(text)); }

void check_and_update_time_deviation(State& state) {
  SV_TRACE(lg(), "SNTP synchronization not supported on this platform");
  SV_TRACE(lg(), "SNTP synchronization failed, unable to determine time deviation");
  state.time_deviation.reset();
}

}  // namespace

// ---- runner -------------------------------------------------------------------

asio::awaitable<void> housekeeping_runner(std::shared_ptr<AgentInner> inner, util::CancellationToken token,
                                          std::chrono::milliseconds period) {
  const auto ex = co_await asio::this_coro::executor;
  auto timer = std::make_shared<asio::steady_timer>(ex);
  // Cancelling the token ends the wait; the timer is touched on its strand only.
  token.on_cancel([timer] { asio::post(timer->get_executor(), [timer] { timer->cancel(); }); });
  // The schedule: start + k * period. A late pass leaves ticks due, which
  // then follow at once until the schedule is caught up.
  auto next = std::chrono::steady_clock::now();
  try {
    while (!token.is_cancelled()) {
      if (std::chrono::steady_clock::now() < next) {
        timer->expires_at(next);
        (void)co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
        if (token.is_cancelled()) break;
        if (std::chrono::steady_clock::now() < next) continue;
      }
      next += period;
      auto done = co_await housekeeping(*inner);
      if (!done) SV_ERROR(lg(), "Error in housekeeping: {}", done.error());
    }
    SV_TRACE(lg(), "Housekeeping runner cancelled");
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted) throw;
    SV_TRACE(lg(), "Housekeeping runner cancelled");
  }
  SV_TRACE(lg(), "Housekeeping runner finished");
}

// ---- pass ---------------------------------------------------------------------

namespace {

// What a pass fetches, read from the state before the fetches.
struct PassPlan {
  std::vector<util::Url> documents;  // enabled manual networks, in map order
  std::optional<ControllerRequest> controller;
};

asio::awaitable<PassPlan> plan_pass(AgentInner& inner) {
  const auto guard = co_await inner.state.read();
  PassPlan plan;
  for (const auto& [url, net] : guard->config.network)
    if (!net.is_controller_managed() && !net.disabled) plan.documents.push_back(url);
  plan.controller = controller_request(guard->config);
  co_return plan;
}

// Takes the next document until none is left or the token is cancelled.
asio::awaitable<void> fetch_worker(const AgentInner& inner, std::vector<FetchedDocument>& docs,
                                   std::atomic<std::size_t>& next) {
  while (!inner.token.is_cancelled()) {
    const std::size_t i = next.fetch_add(1);
    if (i >= docs.size()) break;
    auto& doc = docs[i];
    const auto shown = util::mask_userinfo(doc.url.as_str());
    const auto span = fmt::format("fetch_network_config{{network={}}}:fetch_network_config_data{{network={}}}",
                                  shown, shown);
    doc.result = co_await util::cancellable(inner.token, fetch_network_config_data(inner, doc.url, span));
  }
}

asio::awaitable<void> controller_worker(const AgentInner& inner, const ControllerRequest& request,
                                        std::optional<ControllerPrefetch>& out) {
  auto got = co_await util::cancellable(inner.token, fetch_controller_networks(inner, request.url, request.secret));
  if (got) out = ControllerPrefetch{request, std::move(*got)};
}

}  // namespace

asio::awaitable<PassFetches> fetch_pass_inputs(const AgentInner& inner, std::vector<util::Url> documents,
                                               std::optional<ControllerRequest> controller) {
  // The workers share this with the pass; the last one to end says so on
  // the channel. (A plain completion handler, not a parallel group: no
  // cancellation reaches the workers but through the agent token.)
  struct Shared {
    explicit Shared(const asio::any_io_executor& ex) : done(ex, 1) {}
    PassFetches fetched;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> running{0};
    std::mutex mutex;
    std::exception_ptr failure;
    asio::experimental::concurrent_channel<void(boost::system::error_code)> done;
  };
  const auto ex = co_await asio::this_coro::executor;
  auto shared = std::make_shared<Shared>(ex);
  auto& fetched = shared->fetched;
  fetched.documents.reserve(documents.size());
  for (auto& url : documents) fetched.documents.push_back({std::move(url), std::nullopt});
  const auto workers = std::min(kMaxConcurrentFetches, fetched.documents.size());
  const std::size_t count = workers + (controller ? 1 : 0);
  if (count == 0) co_return std::move(fetched);
  shared->running.store(count);
  const auto ended = [shared](std::exception_ptr e) {
    if (e) {
      std::lock_guard lock(shared->mutex);
      if (!shared->failure) shared->failure = e;
    }
    if (shared->running.fetch_sub(1) == 1) shared->done.try_send(boost::system::error_code{});
  };
  if (controller) asio::co_spawn(asio::make_strand(ex), controller_worker(inner, *controller, fetched.controller), ended);
  for (std::size_t i = 0; i < workers; ++i)
    asio::co_spawn(asio::make_strand(ex), fetch_worker(inner, fetched.documents, shared->next), ended);
  // Not cancellable: the workers use this frame's data until they end, and
  // they end soon once the agent token is cancelled.
  co_await shared->done.async_receive(asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
  if (shared->failure) std::rethrow_exception(shared->failure);
  co_return std::move(fetched);
}

asio::awaitable<util::Expected<void, Error>> housekeeping(AgentInner& inner) {
  // The network input is fetched without the lock, so that status reports
  // and shutdown never wait for it; then the pass works under the lock.
  auto plan = co_await plan_pass(inner);
  auto fetched = co_await fetch_pass_inputs(inner, std::move(plan.documents), std::move(plan.controller));
  if (inner.token.is_cancelled()) {
    SV_TRACE(lg(), "Housekeeping pass cancelled");
    co_return util::Expected<void, Error>{};
  }
  auto guard = co_await inner.state.write();
  State& state = *guard;
  const auto ui_version = state.ui_version;
  bool changed = co_await sync_controller_networks(inner, state, std::move(fetched.controller));
  sync_manual_networks(state, std::move(fetched.documents));
  changed = process_network_configs(inner, state) || changed;
  // A save that failed is tried again at every pass until one succeeds.
  if (changed) state.save_pending = true;
  if (state.save_pending) {
    auto saved = state.save_config(inner.config_path);
    if (saved)
      state.save_pending = false;
    else
      SV_WARN(lg(), "Failed to save config after housekeeping: {}", saved.error());
  }
  co_await inner.apply_desired_state(state.config.network);
  notify_on_network_change(inner, state);
  SV_TRACE(lg(), "Finished housekeeping");
  check_and_update_time_deviation(state);
  if (const auto secret = state.config.shared_secret()) {
    // Shutdown cuts the upload short.
    auto sent = co_await util::cancellable(inner.token, send_metrics(inner, *secret, ui_version, state));
    if (sent && !*sent) SV_TRACE(lg(), "Failed to send metrics to controller: {}", sent->error());
  }
  co_return util::Expected<void, Error>{};
}

void sync_manual_networks(State& state, std::vector<FetchedDocument> fetched) {
  SV_TRACE(lg(), "Running housekeeping for manual networks");
  auto& networks = state.config.network;
  std::map<util::Url, FetchedDocument*> by_url;
  for (auto& doc : fetched) by_url.emplace(doc.url, &doc);
  for (auto& [url, net] : networks) {
    if (net.is_controller_managed()) continue;
    const auto doc = by_url.find(url);
    FetchedDocument* got = doc == by_url.end() ? nullptr : doc->second;
    if (got) by_url.erase(doc);
    store_network_config(net, got ? std::move(got->result) : std::nullopt);
  }
  // Documents of networks that went meanwhile are dropped.
  for (const auto& [url, doc] : by_url)
    SV_TRACE(lg(), "fetch_network_config{{network={}}}: Network {} not found in config, skipping",
             util::mask_userinfo(url.as_str()), util::mask_userinfo(url.as_str()));
}

void store_network_config(network::Network& net,
                          std::optional<util::Expected<network::NetworkConfig, Error>> fetched) {
  if (net.disabled) {
    SV_TRACE(lg(), "fetch_network_config{{network={}}}: Network is disabled.",
             util::mask_userinfo(net.config_url.as_str()));
    net.config = std::monostate{};
    return;
  }
  // Not fetched in this pass (enabled or added meanwhile): the slot stays.
  if (!fetched) return;
  if (*fetched)
    net.config = std::move(**fetched);
  else
    net.config = std::make_shared<const Error>(std::move(*fetched).error());
}

bool process_network_configs(const AgentInner& inner, State& state) {
  auto& networks = state.config.network;
  const auto& me = inner.identity.pk();
  std::vector<util::Url> urls;
  for (const auto& [url, net] : networks) urls.push_back(url);
  bool name_changed = false;
  for (const auto& url : urls) {
    auto it = networks.find(url);
    if (it == networks.end()) continue;
    network::Network& net = it->second;
    std::optional<NetworkHealth> pending;
    if (std::holds_alternative<std::monostate>(net.config)) {
      SV_TRACE(lg(), "Network config is None");
    } else if (const auto error = net.config_error()) {
      SV_WARN(lg(), "Failed to retrieve network config: {}", *error);
      pending = NetworkHealth::retrieve_config_error(error->to_string());
    } else if (const auto* doc = net.network_config()) {
      SV_TRACE(lg(), "Network config retrieved successfully");
      using K = NetworkHealth::Kind;
      if (net.health.kind() == K::RetrieveConfigError || net.health.kind() == K::InvalidConfigError) {
        SV_TRACE(lg(), "Resetting config error status after successful config retrieval");
        net.health = NetworkHealth::pending();
      }
      if (net.name != doc->name) {
        SV_TRACE(lg(), "Network name changed from '{}' to '{}'", util::optional_debug(net.name),
                 util::optional_debug(doc->name));
        name_changed = true;
      }
      net.name = doc->name;
      const auto node = doc->node.find(me);
      if (node == doc->node.end()) {
        SV_TRACE(lg(), "I'm not member of this network.");
        pending = NetworkHealth::not_a_member_error();
        net.desired = network::AgentState{};
      } else {
        // Membership that returns after NotAMemberError starts over from Pending.
        if (net.health.kind() == K::NotAMemberError) net.health = NetworkHealth::pending();
        auto rules = doc->effective_access_rule_list(me);
        auto routes = doc->effective_routing_list(me);
        if (!rules || !routes) {
          const auto& why = !rules ? rules.error() : routes.error();
          pending = NetworkHealth::invalid_config_error(why.message());
          net.desired = network::AgentState{};
        } else {
          network::AgentState desired;
          desired.ip = {*util::Ipv4Net::create(node->second.ip, doc->network.prefix_len()), std::nullopt};
          desired.access_rules = {std::move(*rules), std::nullopt};
          desired.routes = {std::move(*routes), std::nullopt};
          desired.forwardings = {doc->effective_forwarding_list(me), std::nullopt};
          if (inner.dns) desired.hostnames = {doc->hostnames(me), std::nullopt};
          net.desired = std::move(desired);
        }
      }
    }
    if (net.disabled) {
      net.desired = network::AgentState{};
      net.health = NetworkHealth::disabled();
    } else if (pending) {
      net.health = std::move(*pending);
    } else if (net.health.kind() == NetworkHealth::Kind::Disabled) {
      net.health = NetworkHealth::initializing();
    }
  }
  return name_changed;
}

// ---- documents by URL -------------------------------------------------------------

asio::awaitable<util::Expected<network::NetworkConfig, Error>> fetch_network_config_data(const AgentInner& inner,
                                                                                        const util::Url& url,
                                                                                        const std::string& span) {
  auto text = co_await retrieve_network_config(inner, std::string(url.as_str()), span);
  if (!text) co_return Unexpected(std::move(text).error());
  auto config = network::NetworkConfig::try_from(*text);
  if (!config) co_return Unexpected(Error::make(Error::Kind::NetworkError, config.error().message()));
  co_return std::move(*config);
}

asio::awaitable<util::Expected<std::string, Error>> retrieve_network_config(const AgentInner& inner,
                                                                           const std::string& url,
                                                                           const std::string& span) {
  const auto shown = util::mask_userinfo(url);
  SV_TRACE(lg(), "{}: Retrieving network config from: {}", span, shown);
  if (url.starts_with("controller://"))
    co_return Unexpected(config_parse_error("Controller network not found in cache: " + shown));
  if (url.starts_with("http://") || url.starts_with("https://")) co_return co_await fetch(inner, url, span);
  if (url.starts_with("file://")) {
    const std::string path = url.substr(7);
    SV_TRACE(lg(), "{}: Reading file: {}", span, path);
    co_return read_document_file(path);
  }
  co_return Unexpected(config_parse_error("Unsupported URL scheme: " + shown));
}

asio::awaitable<util::Expected<std::string, Error>> fetch(const AgentInner& inner, const std::string& url,
                                                         const std::string& span) {
  util::HttpRequest request;
  request.url = url;
  request.headers = {{"sarvolt-pk", inner.identity.pk().to_string()}};
  SV_TRACE(lg(), "{}: Sending request", span);
  auto response = co_await inner.http_client->request(std::move(request));
  if (!response) co_return Unexpected(Error::make(Error::Kind::HttpClientError, response.error().message));
  SV_TRACE(lg(), "{}: Received response", span);
  if (response->status < 200 || response->status > 299)
    co_return Unexpected(config_parse_error(
        fmt::format("HTTP request failed with status '{}'", core::http_status_text(response->status))));
  auto text = util::decode_body(response->body, response->header("Content-Type"));
  SV_TRACE(lg(), "{}: Received body", span);
  co_return text;
}

util::Expected<std::string, Error> read_document_file(const std::string& path) {
  auto text = util::read_regular_file(path.c_str(), kMaxDocumentSize);
  if (!text) {
    auto& e = text.error();
    return Unexpected(e.code ? Error::io(e.code) : Error::io(std::move(e.reason)));
  }
  if (!util::is_valid_utf8(*text)) return Unexpected(Error::io(std::string("stream did not contain valid UTF-8")));
  return std::move(*text);
}

}  // namespace sarvolt::agent
