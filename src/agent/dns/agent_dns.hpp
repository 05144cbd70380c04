// AgentDns: the overlay DNS service as the rest of the agent sees it. The
// TUN driver offers it the packets that found no route; the apply step keeps
// it in step with the networks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "agent/config.hpp"
#include "agent/dns/server.hpp"
#include "util/expected.hpp"
#include "util/ipv4.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent {
class AsyncTun;
}

namespace sarvolt::agent::dns {

class RequestSender;

class AgentDns {
 public:
  virtual ~AgentDns() = default;

  virtual boost::asio::awaitable<void> apply_desired_state(NetworkMap& networks) = 0;
  // Whether `ip` is one of our DNS server addresses. On the packet path: no
  // lock, no allocation (beyond its TRACE line).
  virtual bool is_server_ip(util::Ipv4Addr ip) const = 0;
  // The DNS server address reported to the host, if any.
  virtual std::optional<util::Ipv4Addr> server_ip() const = 0;
  // Queues a request for the DNS server without waiting. Fails with "Failed
  // to send DNS request" when the server is gone and "DNS request queue is
  // full" when the queue is at its cap; the request is dropped either way.
  virtual util::Expected<void, std::string> send(DnsServerRequest request) const;
  virtual const RequestSender& send_channel() const = 0;
  // Ends the DNS server task; a second call does nothing.
  virtual void shutdown() = 0;
  // True when the packet was taken (a UDP query to port 53 of one of our DNS
  // server addresses); the answer is written into `tun` later.
  virtual bool handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                                      std::shared_ptr<AsyncTun> tun);
};

}  // namespace sarvolt::agent::dns
