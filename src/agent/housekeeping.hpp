// The agent's main loop: a runner that runs one housekeeping pass every
// period (first at once, missed ticks in a burst, a cancelled token winning
// over a ready tick), and the pass. A pass reads what it must fetch under
// the state's read lock, fetches the controller's list and the manual
// networks' documents without a lock (at most kMaxConcurrentFetches at once;
// the agent token cancels them and ends the pass), then under the write
// lock: controller step, the fetched documents into the networks' slots,
// processing of every document into desired state and health, save when the
// file's content changed, apply, network-change notification, clock
// deviation, metrics (cancelled with the token as well).
// The controller step lives in controller_sync, the metrics in metrics.
// Also the retrieval of network documents by URL (file, http, https).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
// Documents a pass fetches at once.
inline constexpr std::size_t kMaxConcurrentFetches = 16;

boost::asio::awaitable<void> housekeeping_runner(std::shared_ptr<AgentInner> inner, util::CancellationToken token,
                                                 std::chrono::milliseconds period = kHousekeepingPeriod);

// One pass; as written it absorbs every failure of its steps.
boost::asio::awaitable<util::Expected<void, core::Error>> housekeeping(AgentInner& inner);

// A manual network's document as fetched; none when the fetch was cancelled.
struct FetchedDocument {
  util::Url url;
  std::optional<util::Expected<network::NetworkConfig, core::Error>> result;
};

// What a pass fetched before it took the write lock.
struct PassFetches {
  std::vector<FetchedDocument> documents;  // in the order asked
  std::optional<ControllerPrefetch> controller;
};

// Fetches the documents and the controller's list concurrently; returns
// early, with what it has, once the agent token is cancelled.
boost::asio::awaitable<PassFetches> fetch_pass_inputs(const AgentInner& inner, std::vector<util::Url> documents,
                                                      std::optional<ControllerRequest> controller);

// The fetched documents into the manual networks' slots: a disabled
// network's slot is emptied, a network not fetched keeps its slot, a
// document for a network no longer present is dropped.
void sync_manual_networks(State& state, std::vector<FetchedDocument> fetched);
// One network's slot from its fetch (none: not fetched).
void store_network_config(network::Network& net,
                          std::optional<util::Expected<network::NetworkConfig, core::Error>> fetched);
// Every network's slot into health and desired state; true when a name changed.
bool process_network_configs(const AgentInner& inner, State& state);

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
