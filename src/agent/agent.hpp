// Agent: a running agent as the host interface holds it.
//   Agent::start     binds the node, builds every object, starts the
//                    housekeeping runner and the monitoring task
//   Agent::shutdown  stops housekeeping, applies empty states, stops DNS
//   Agent::release   stops what is left (data plane, node) and awaits it
// Dropping an Agent only logs; the tasks keep the agent's core alive until
// shutdown and release.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "agent/config.hpp"
#include "agent/inner.hpp"
#include "core/error.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent {

class Agent {
 public:
  // Must be awaited on the shared runtime: the agent's tasks run there. A
  // failed start leaves nothing running.
  static boost::asio::awaitable<util::Expected<Agent, core::Error>> start(AgentConfig config, std::string config_path,
                                                                         PlatformDependent platform);

  Agent(Agent&&) noexcept = default;
  Agent& operator=(Agent&&) noexcept = default;
  ~Agent();

  boost::asio::awaitable<void> shutdown();
  // Stops every task of the agent (also the node's) and waits for their end.
  boost::asio::awaitable<void> release();

  std::shared_ptr<p2p::Node> node() const { return inner_->node; }
  const std::shared_ptr<AgentInner>& inner() const noexcept { return inner_; }

 private:
  explicit Agent(std::shared_ptr<AgentInner> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<AgentInner> inner_;
};

}  // namespace sarvolt::agent
