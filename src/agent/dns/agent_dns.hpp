// AgentDns: the overlay DNS service as the rest of the agent sees it. The
// TUN driver offers it the packets that found no route; the apply step keeps
// it in step with the networks.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include <boost/asio/awaitable.hpp>

#include "agent/config.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent {
class AsyncTun;
}

namespace sarvolt::agent::dns {

class AgentDns {
 public:
  virtual ~AgentDns() = default;

  virtual boost::asio::awaitable<void> apply_desired_state(NetworkMap& networks) = 0;
  // True when the packet was taken (a query to one of our DNS server
  // addresses); the answer is written into `tun` later.
  virtual bool handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                                      std::shared_ptr<AsyncTun> tun) = 0;
  virtual void shutdown() = 0;
};

}  // namespace sarvolt::agent::dns
