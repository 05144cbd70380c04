#include "agent/agent.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agent/dns/mobile.hpp"
#include "agent/housekeeping.hpp"
#include "agent/node.hpp"
#include "util/http_client.hpp"
#include "util/log.hpp"

namespace sarvolt::agent {

SV_LOGGER("sarvolt_agent::agent")

namespace asio = boost::asio;
using core::Error;

namespace {

// How the tasks of the agent's task set ended: null for a return.
using Ends = asio::experimental::concurrent_channel<void(boost::system::error_code, std::exception_ptr)>;

std::string what(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown failure";
  }
}

// Cancels the token as soon as a task of the set ends while it is live.
asio::awaitable<void> monitoring(std::shared_ptr<Ends> ends, std::size_t tasks, util::CancellationToken token) {
  while (tasks > 0) {
    auto [ec, failure] = co_await ends->async_receive(asio::as_tuple(asio::use_awaitable));
    if (ec) break;
    --tasks;
    if (failure) {
      SV_ERROR(lg(), "Task failed. Cancel token: {}", what(failure));
      token.cancel();
      break;
    }
    if (!token.is_cancelled()) {
      SV_TRACE(lg(), "Task prematurely finished. Cancel token.");
      token.cancel();
    }
  }
  SV_TRACE(lg(), "Monitoring task cancelled.");
}

// Stops what a start built before it failed, and waits for it.
asio::awaitable<void> undo_start(const p2p::NodeRef& node, const std::shared_ptr<dns::AgentDns>& dns) {
  if (dns) {
    dns->shutdown();
    if (auto* t = dns->tasks()) {
      t->stop();
      co_await t->wait();
    }
  }
  if (node) co_await node->shutdown();
}

}  // namespace

asio::awaitable<util::Expected<Agent, Error>> Agent::start(AgentConfig config, std::string config_path,
                                                           PlatformDependent platform) {
  SV_INFO(lg(), "Start agent.");
  const auto ex = co_await asio::this_coro::executor;
  auto node = co_await bind_node(config);
  if (!node) co_return util::Unexpected(std::move(node).error());

  AgentConfig copy = config;
  AgentInner::Parts parts;
  parts.executor = ex;
  parts.node = *node;
  parts.tun_mtu = copy.mtu;
  parts.platform = std::make_shared<PlatformDependent>(std::move(platform));
  const bool dns_disabled = copy.dns && copy.dns->disabled == true;
  if (!dns_disabled) parts.dns = dns::MobileAgentDns::create(ex);
  auto http = util::HttpClient::create(ex);
  if (!http) {
    co_await undo_start(*node, parts.dns);
    co_return util::Unexpected(
        Error::make(Error::Kind::HttpClientError, "Failed to create HTTP client: " + http.error().message));
  }
  parts.http_client = std::move(*http);
  if (copy.controller) {
    const auto& c = *copy.controller;
    copy.set_controller_status(c.display_login_email && c.shared_secret ? ControllerConnectionStatus()
                                                                         : ControllerConnectionStatus::logged_out());
  }
  parts.config = std::move(copy);
  parts.config_path = std::move(config_path);
  auto inner = std::make_shared<AgentInner>(std::move(parts));

  auto ends = std::make_shared<Ends>(ex, 1);
  inner->tasks.spawn(ex, housekeeping_runner(inner, inner->token),
                     [ends](std::exception_ptr failure) { (void)ends->try_send(boost::system::error_code{}, failure); });
  if (config.update_check.value_or(true)) SV_DEBUG(lg(), "Update check is not available on this platform");
  inner->tasks.spawn(ex, monitoring(ends, 1, inner->token));
  SV_INFO(lg(), "Agent started.");
  co_return Agent(std::move(inner));
}

Agent::~Agent() {
  if (inner_) SV_TRACE(lg(), "Drop agent.");
}

asio::awaitable<void> Agent::shutdown() {
  SV_INFO(lg(), "Shutdown agent.");
  co_await inner_->shutdown();
  SV_INFO(lg(), "Agent shut down.");
  // The runner ends at its next wait, the monitoring task after it.
  co_await inner_->tasks.wait();
  if (auto* t = inner_->dns ? inner_->dns->tasks() : nullptr) co_await t->wait();
}

asio::awaitable<void> Agent::release() {
  inner_->token.cancel();
  inner_->tasks.stop();
  co_await inner_->tasks.wait();
  if (inner_->dns) inner_->dns->shutdown();
  if (auto* t = inner_->dns ? inner_->dns->tasks() : nullptr) {
    t->stop();
    co_await t->wait();
  }
  inner_->data_plane->tasks.stop();
  co_await inner_->data_plane->tasks.wait();
  co_await inner_->node->shutdown();
}

}  // namespace sarvolt::agent
