// The agent's main loop: a runner that runs one housekeeping pass every
// period (first at once, missed ticks in a burst, a cancelled token winning
// over a ready tick), and the pass itself under the state's write lock:
// controller step, fetch of the manual networks' documents, processing of
// every document into desired state and health, save when the file's content
// changed, apply, network-change notification, clock deviation, metrics.
// The controller step lives in controller_sync, the metrics in metrics.
// Also the retrieval of network documents by URL (file, http, https).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "agent/controller_sync.hpp"
#include "agent/inner.hpp"
#include "agent/metrics.hpp"
#include "core/error.hpp"
#include "network/config/network_config.hpp"
#include "util/cancellation_token.hpp"
#include "util/expected.hpp"

namespace sarvolt::agent {

inline constexpr std::chrono::seconds kHousekeepingPeriod{10};
// Documents (files and HTTP bodies) larger than this are refused.
inline constexpr std::size_t kMaxDocumentSize = std::size_t{16} * 1024 * 1024;

boost::asio::awaitable<void> housekeeping_runner(std::shared_ptr<AgentInner> inner, util::CancellationToken token,
                                                 std::chrono::milliseconds period = kHousekeepingPeriod);

// One pass; as written it absorbs every failure of its steps.
boost::asio::awaitable<util::Expected<void, core::Error>> housekeeping(AgentInner& inner);

// Fetches every manual network's document, one after another.
boost::asio::awaitable<void> sync_manual_networks(AgentInner& inner, State& state);
// Every network's slot into health and desired state; true when a name changed.
bool process_network_configs(const AgentInner& inner, State& state);

// Stores the network's document (or why it could not be had) in its slot;
// empties the slot of a disabled network.
boost::asio::awaitable<void> fetch_network_config(const AgentInner& inner, network::NetworkMap& networks,
                                                  const util::Url& url);
boost::asio::awaitable<util::Expected<network::NetworkConfig, core::Error>> fetch_network_config_data(
    const AgentInner& inner, const util::Url& url, const std::string& span);
// The document text behind a URL, chosen by the URL text's prefix.
boost::asio::awaitable<util::Expected<std::string, core::Error>> retrieve_network_config(const AgentInner& inner,
                                                                                        const std::string& url,
                                                                                        const std::string& span);
// An HTTP GET with the node's key in "sarvolt-pk"; the body decoded as text.
boost::asio::awaitable<util::Expected<std::string, core::Error>> fetch(const AgentInner& inner,
                                                                      const std::string& url,
                                                                      const std::string& span);
// A regular file's whole content as UTF-8 text, at most kMaxDocumentSize bytes.
util::Expected<std::string, core::Error> read_document_file(const std::string& path);

}  // namespace sarvolt::agent
