// DNS interception: AgentDns::handle_outbound_packet takes a packet exactly
// when an independent reading of its bytes says it is a whole UDP datagram
// to port 53 of a DNS server address (IPv4, IHL >= 5, header within the
// offered bytes, at least 8 UDP bytes, not a fragment), and the request it
// queues carries the packet's addresses, source port and UDP payload.
//
// Input: one byte of how many bytes to cut off the end of what is offered
// (the header view is decoded over the whole packet), then the packet.
#include <boost/asio/io_context.hpp>

#include "agent/dns/agent_dns.hpp"
#include "agent/dns/common.hpp"
#include "fuzz_support.hpp"

using namespace sarvolt;
using util::Ipv4Addr;

namespace {

struct RecordingDns : agent::dns::AgentDns {
  explicit RecordingDns(std::vector<Ipv4Addr> ips) { addresses.publish(ips); }
  boost::asio::awaitable<void> apply_desired_state(network::NetworkMap&) override { co_return; }
  bool is_server_ip(Ipv4Addr a) const override { return addresses.contains(a); }
  std::optional<Ipv4Addr> server_ip() const override { return std::nullopt; }
  agent::dns::DnsServer* send_channel() const override { return server.get(); }
  void shutdown() override {}

  boost::asio::io_context io;
  agent::dns::DnsServerAddresses addresses;
  std::shared_ptr<agent::dns::DnsServer> server = std::make_shared<agent::dns::DnsServer>(io.get_executor());
};

const Ipv4Addr kServers[] = {Ipv4Addr::from_octets(10, 0, 0, 254), Ipv4Addr::from_octets(10, 1, 255, 254)};

}  // namespace

SARVOLT_FUZZ_TARGET {
  static RecordingDns dns({std::begin(kServers), std::end(kServers)});
  const std::size_t cut = in.u8() % 72;
  const auto whole = in.rest();
  auto hdr = util::Ipv4HeaderView::decode(whole);
  if (!hdr) return;
  const auto offered = whole.first(whole.size() - std::min(cut, whole.size()));

  // The independent reading, from the bytes alone.
  const std::uint8_t* p = whole.data();
  const std::size_t ihl = static_cast<std::size_t>(p[0] & 15) * 4;
  const Ipv4Addr dst = fuzz::addr_at(p + 16);
  const bool to_server = dst == kServers[0] || dst == kServers[1];
  const bool fragment = (p[6] & 0x20) != 0 || ((p[6] & 0x1F) << 8 | p[7]) != 0;
  const bool udp_fits = (p[0] >> 4) == 4 && ihl >= 20 && offered.size() >= ihl + 8;
  const bool expect = p[9] == 17 && to_server && udp_fits && !fragment && fuzz::be(p + ihl + 2, 2) == 53;

  const bool taken = dns.handle_outbound_packet(offered, *hdr, nullptr);
  const auto request = dns.server->try_receive();
  const std::string what = std::string(taken ? "took " : "left ") + fuzz::hex(offered) + " of " + fuzz::hex(whole);
  FUZZ_CHECK(taken == expect && request.has_value() == taken, what);
  FUZZ_CHECK(!request || (request->src == fuzz::addr_at(p + 12) && request->dst == dst &&
                          request->src_port == fuzz::be(p + ihl, 2) && request->dst_port == 53 &&
                          std::equal(request->payload.begin(), request->payload.end(), offered.begin() + ihl + 8,
                                     offered.end())),
             what);
}
