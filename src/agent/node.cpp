#include "agent/node.hpp"

#include "agent/env.hpp"
#include "util/text.hpp"

namespace sarvolt::agent {

using core::Error;
using util::Unexpected;

namespace {

Error node_error(std::string text) { return Error::make(Error::Kind::NodeError, std::move(text)); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

util::Expected<std::vector<boost::asio::ip::address>, Error> udp_addrs_from_env() {
  const auto text = get_env("UDP_ADDRS", std::string());
  std::vector<boost::asio::ip::address> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    std::size_t j = i;
    while (j < text.size() && !is_space(text[j])) ++j;
    if (j > i) {
      boost::system::error_code ec;
      auto addr = boost::asio::ip::make_address(text.substr(i, j - i), ec);
      if (ec) return Unexpected(node_error("Invalid udp addresses"));
      out.push_back(addr);
    }
    i = j;
  }
  return out;
}

std::optional<std::uint16_t> udp_port_from_env() {
  const auto text = get_env("UDP_PORT", std::string());
  if (std::all_of(text.begin(), text.end(), is_space)) return std::nullopt;
  auto port = util::parse_unsigned(text, 65535);
  if (!port) return std::nullopt;
  return static_cast<std::uint16_t>(*port);
}

util::Expected<p2p::NodeOpts, Error> node_opts(const AgentConfig& config) {
  auto super_peers = config.super_peers_or_default();
  const auto min_pow = get_env("MIN_POW_DIFFICULTY", std::uint8_t{24});
  const auto arm = get_env("ARM_MESSAGES", true);
  auto addrs = udp_addrs_from_env();
  if (!addrs) return Unexpected(std::move(addrs).error());
  const auto port = udp_port_from_env();
  const auto max_peers = get_env("MAX_PEERS", std::uint64_t{8192});
  const auto hello_timeout = get_env("HELLO_TIMEOUT", std::uint64_t{30000});
  const auto hello_max_age = get_env("HELLO_MAX_AGE", std::uint64_t{60000});
  const auto process_unites = get_env("PROCESS_UNITES", true);
  const auto housekeeping_interval = get_env("HOUSEKEEPING_INTERVAL", std::uint64_t{5000});
  const auto enforce_tcp = get_env("ENFORCE_TCP", false);
  const auto mtu = get_env("MTU", std::uint64_t{1200});

  p2p::NodeOptsBuilder b;
  b.identity(config.identity)
      .arm_messages(arm)
      .udp_addrs(std::move(*addrs))
      .max_peers(max_peers)
      .hello_timeout(hello_timeout)
      .hello_max_age(hello_max_age)
      .udp_port(port)
      .min_pow_difficulty(min_pow)
      .super_peers(std::move(super_peers))
      .process_unites(process_unites)
      .mtu(mtu)
      .housekeeping_interval(housekeeping_interval)
      .enforce_tcp(enforce_tcp);
  auto opts = b.build();
  if (!opts) return Unexpected(node_error("Failed to build node opts: " + opts.error().message()));
  return std::move(*opts);
}

boost::asio::awaitable<util::Expected<p2p::NodeRef, Error>> bind_node(const AgentConfig& config) {
  auto opts = node_opts(config);
  if (!opts) co_return Unexpected(std::move(opts).error());
  auto node = co_await p2p::Node::bind(std::move(*opts));
  if (!node) co_return Unexpected(node_error("Failed to bind node: " + node.error().message()));
  co_return std::move(*node);
}

}  // namespace sarvolt::agent
