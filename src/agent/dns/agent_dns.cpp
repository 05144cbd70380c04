#include "agent/dns/agent_dns.hpp"

#include "util/log.hpp"

namespace sarvolt::agent::dns {

SV_LOGGER("sarvolt_agent::agent::dns")

using core::Error;
using util::Ipv4Addr;

namespace {

constexpr std::uint8_t kUdp = 17;
constexpr std::uint16_t kDnsPort = 53;
constexpr std::size_t kUdpHeaderLen = 8;

}  // namespace

util::Expected<void, Error> AgentDns::send(DnsServerRequest request) const {
  auto* server = send_channel();
  if (!server) return util::Unexpected(Error::io(std::string("Failed to send DNS request")));
  const auto src = request.src;
  const auto src_port = request.src_port;
  auto r = server->send(std::move(request));
  if (r) return {};
  if (r.error() == DnsServer::SendError::Full) {
    SV_DEBUG(lg(), "DNS request queue is full ({} requests), dropping request from {}:{}", server->capacity(), src,
             src_port);
    return util::Unexpected(Error::io(std::string("DNS request queue is full")));
  }
  return util::Unexpected(Error::io(std::string("Failed to send DNS request")));
}

bool AgentDns::handle_outbound_packet(std::span<const std::uint8_t> packet, const util::Ipv4HeaderView& hdr,
                                      const std::shared_ptr<util::AsyncTun>& tun) {
  if (hdr.protocol() != kUdp) return false;
  const Ipv4Addr dst = hdr.destination();
  if (!is_server_ip(dst)) return false;
  // The header must fit the packet and leave room for a whole UDP header.
  const std::size_t h = hdr.header_len();
  if (h < 20 || h > packet.size() || packet.size() - h < kUdpHeaderLen) return false;
  // A fragment carries no complete datagram: never a query we can read.
  if (hdr.is_fragment()) return false;
  const std::uint8_t* udp = packet.data() + h;
  if (util::load_be16(udp + 2) != kDnsPort) return false;

  const Ipv4Addr src = hdr.source();
  SV_TRACE(lg(), "Got potential DNS request: {} -> {}", src, dst);
  DnsServerRequest request;
  request.payload.assign(packet.begin() + static_cast<std::ptrdiff_t>(h + kUdpHeaderLen), packet.end());
  request.tun_device = tun;
  request.src = src;
  request.dst = dst;
  request.src_port = util::load_be16(udp);
  request.dst_port = kDnsPort;
  (void)send(std::move(request));  // a dropped request is the client's retry
  return true;
}

}  // namespace sarvolt::agent::dns
