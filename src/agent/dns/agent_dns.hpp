// AgentDns: the overlay DNS service as the rest of the agent sees it. The
// TUN driver offers it the packets that found no route (it is the data
// plane's outbound packet hook); the apply step keeps it in step with the
// networks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include <boost/asio/awaitable.hpp>

#include "agent/dns/driver.hpp"
#include "agent/netif/context.hpp"
#include "core/error.hpp"
#include "network/network.hpp"
#include "util/expected.hpp"
#include "util/ipv4.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent::dns {

class AgentDns : public OutboundPacketHook {
 public:
  virtual boost::asio::awaitable<void> apply_desired_state(network::NetworkMap& networks) = 0;
  // Whether `ip` is one of our DNS server addresses. On the packet path: no
  // lock, no allocation (beyond its TRACE line).
  virtual bool is_server_ip(util::Ipv4Addr ip) const = 0;
  // The DNS server address reported to the host, if any.
  virtual std::optional<util::Ipv4Addr> server_ip() const = 0;
  // Queues a request for the DNS server without waiting. Fails (an I/O
  // error) with "Failed to send DNS request" when the server is gone and "DNS
  // request queue is full" at the queue's cap; the request is dropped either way.
  virtual util::Expected<void, core::Error> send(DnsServerRequest request) const;
  // The server whose queue send() uses; none without a server.
  virtual DnsServer* send_channel() const = 0;
  // Ends the DNS server task; a second call does nothing.
  virtual void shutdown() = 0;
  // The server's tasks (its driver and answers), to stop and await; none
  // without a server.
  virtual util::TaskGroup* tasks() { return nullptr; }
  // True when the packet was taken (a UDP query to port 53 of one of our DNS
  // server addresses); the answer is written into `tun` later.
  bool handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                              const std::shared_ptr<util::AsyncTun>& tun) override;
};

}  // namespace sarvolt::agent::dns
