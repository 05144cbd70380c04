#include "agent/dns/server.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "agent/dns/message.hpp"
#include "network/config/effective.hpp"
#include "util/log.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent::dns {

SV_NAMED_LOGGER(logger, "sarvolt_agent::agent::dns::server")

namespace {

// "sarvolt.zz." in wire form.
const std::string& zone_wire() {
  static const std::string zone = [] {
    auto wire = parse_name(std::string(network::SARVOLT_DOMAIN) + ".");
    assert(wire.has_value());
    return wire ? std::move(*wire) : std::string(1, '\0');
  }();
  return zone;
}

constexpr std::uint16_t kClassAny = 255;

// What the catalog makes of one query (QR clear); takes the questions over.
Message answer(const Catalog& catalog, Message& req) {
  Message resp;
  resp.id = req.id;
  resp.qr = true;
  resp.opcode = req.opcode;
  resp.rd = req.rd;
  if (req.edns) resp.edns = Edns{std::max(req.edns->payload_size, kMinEdnsPayload), req.edns->dnssec_ok};

  if (req.opcode != opcode::kQuery) {
    if (req.questions.size() == 1) resp.questions = std::move(req.questions);
    resp.rcode = rcode::kNotImp;
    return resp;
  }
  if (req.questions.size() != 1) {
    resp.rcode = rcode::kFormErr;
    return resp;
  }
  const std::string name = lower_wire_name(req.questions.front().name);
  resp.questions = std::move(req.questions);
  const Question& q = resp.questions.front();
  if (!catalog.has_zone() || !wire_name_in_zone(name, zone_wire())) {
    resp.rcode = rcode::kRefused;
    return resp;
  }
  if (!req.rd) {
    SV_DEBUG(logger(), "request disabled recursion, returning REFUSED");
    resp.rcode = rcode::kRefused;
    return resp;
  }
  resp.aa = true;
  const Catalog::Host* host = catalog.find(name);
  if (!host) {
    resp.rcode = rcode::kNxDomain;
    return resp;
  }
  if (q.type == kTypeA && (q.klass == kClassIn || q.klass == kClassAny)) {
    resp.answers.reserve(host->addrs.size());
    for (const auto addr : host->addrs) resp.answers.push_back(ARecord{host->owner, kRecordTtl, addr});
  }
  return resp;
}

void put16(std::uint8_t* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

}  // namespace

// --- catalog ------------------------------------------------------------------

std::shared_ptr<const Catalog> Catalog::build(const NetworkMap& networks) {
  auto& lg = logger();
  SV_TRACE(lg, "Building DNS catalog");
  auto catalog = std::make_shared<Catalog>();
  SV_TRACE(lg, "Using upstream servers: []");
  SV_TRACE(lg, "No upstream servers configured, skipping ForwardAuthority for root zone");
  catalog->has_zone_ = true;
  for (const auto& [url, net] : networks) {
    const auto& list = net.desired.hostnames.applied;
    if (!list || list->names.empty()) continue;
    for (const auto& [addr, host] : list->names) {
      SV_TRACE(lg, "Adding DNS A record: {}.{} -> {}", host, network::SARVOLT_DOMAIN, addr);
      catalog->add(host, addr);
    }
  }
  return catalog;
}

bool Catalog::add(const std::string& host, util::Ipv4Addr addr) {
  std::string text = host;
  text += '.';
  text += network::SARVOLT_DOMAIN;
  text += '.';
  auto wire = parse_name(text);
  std::string lower = wire ? lower_wire_name(*wire) : std::string();
  if (!wire || !is_wire_name(*wire) || !wire_name_in_zone(lower, zone_wire())) {
    SV_WARN(logger(), "Leaving out DNS A record for {:?}: not a DNS name under {}", host, network::SARVOLT_DOMAIN);
    return false;
  }
  auto [it, fresh] = hosts_.try_emplace(lower);
  if (fresh) it->second.owner = std::move(*wire);
  auto& addrs = it->second.addrs;
  if (std::find(addrs.begin(), addrs.end(), addr) != addrs.end()) return true;
  addrs.push_back(addr);
  records_[name_text(lower)].push_back(addr);
  return true;
}

const Catalog::Host* Catalog::find(const std::string& lower_wire_name) const {
  const auto it = hosts_.find(lower_wire_name);
  return it == hosts_.end() ? nullptr : &it->second;
}

// --- requests -------------------------------------------------------------------

std::vector<std::uint8_t> encode_reply(const Message& response) {
  auto& lg = logger();
  SV_TRACE(lg, "Starting DNS response encoding for ID: {}", response.id);
  SV_DEBUG(lg, "sending response id={} response_code={}", response.id, rcode_text(response.rcode));
  const std::size_t max_size = response.edns ? response.edns->payload_size : kDefaultMaxSize;
  SV_TRACE(lg, "setting response max size: {} for protocol: Udp", max_size);
  // A reply must also fit in one IPv4 datagram.
  auto wire = encode_message(response, std::min(max_size, kMaxUdpPayload));
  if (!wire) {
    SV_ERROR(lg, "error encoding message error={}", wire.error());
    SV_TRACE(lg, "Falling back to SERVFAIL response due to encoding error");
    return servfail_header(response.id);
  }
  return std::move(*wire);
}

std::optional<std::vector<std::uint8_t>> respond(const Catalog& catalog, std::span<const std::uint8_t> query,
                                                 util::Ipv4Addr client, std::uint16_t client_port) {
  auto& lg = logger();
  auto decoded = decode_message(query);
  if (!decoded) {
    SV_ERROR(lg, "Failed to decode DNS message: {}", decoded.error());
    SV_TRACE(lg, "DNS packet processing completed");
    return std::nullopt;
  }
  Message& req = *decoded;
  SV_TRACE(lg, "Successfully decoded DNS message");
  if (req.qr) {
    SV_TRACE(lg, "Dropping DNS response message to prevent reflection attacks");
    return std::nullopt;
  }
  SV_TRACE(lg, "Processing DNS query message");
  const bool dnssec = req.edns && req.edns->dnssec_ok;
  SV_TRACE(lg, "Parsed DNS message details id={} op_code={} message_type=QUERY dnssec={}", req.id,
           opcode_text(req.opcode), dnssec);
  SV_DEBUG(lg, "request:{} src:UDP://{}#{} type:QUERY dnssec:{} {} qflags:{}", req.id, client, client_port, dnssec,
           opcode_text(req.opcode), flags_text(req));
  if (lg.should_log(spdlog::level::debug)) {
    for (const auto& q : req.questions) {
      const std::string name = name_text(lower_wire_name(q.name));
      const std::string type = type_text(q.type), klass = class_text(q.klass);
      SV_TRACE(lg, "Processing DNS query query={} qtype={} class={}", name, type, klass);
      SV_DEBUG(lg, "query:{}:{}:{}", name, type, klass);
    }
  }
  SV_TRACE(lg, "Handling DNS request with catalog");
  auto reply = encode_reply(answer(catalog, req));
  SV_TRACE(lg, "DNS request handling completed");
  SV_TRACE(lg, "DNS packet processing completed");
  return reply;
}

// --- reply packet ---------------------------------------------------------------

std::vector<std::uint8_t> build_reply_packet(util::Ipv4Addr server, std::uint16_t server_port, util::Ipv4Addr client,
                                             std::uint16_t client_port, std::span<const std::uint8_t> dns) {
  assert(dns.size() <= kMaxUdpPayload);
  const std::size_t udp_len = 8 + dns.size();
  std::vector<std::uint8_t> p(20 + udp_len);
  std::uint8_t* b = p.data();
  b[0] = 0x45;
  put16(b + 2, static_cast<std::uint16_t>(p.size()));
  b[6] = 0x40;  // don't fragment
  b[8] = 64;
  b[9] = 17;
  const auto s = server.octets(), c = client.octets();
  std::memcpy(b + 12, s.data(), 4);
  std::memcpy(b + 16, c.data(), 4);
  put16(b + 10, util::internet_checksum({b, 20}));

  std::uint8_t* u = b + 20;
  put16(u, server_port);
  put16(u + 2, client_port);
  put16(u + 4, static_cast<std::uint16_t>(udp_len));
  if (!dns.empty()) std::memcpy(u + 8, dns.data(), dns.size());
  const std::uint32_t sa = server.to_u32(), ca = client.to_u32();
  const std::uint32_t pseudo = (sa >> 16) + (sa & 0xFFFF) + (ca >> 16) + (ca & 0xFFFF) + 17 + udp_len;
  const std::uint16_t sum = util::internet_checksum({u, udp_len}, pseudo);
  put16(u + 6, sum == 0 ? 0xFFFF : sum);
  return p;
}

}  // namespace sarvolt::agent::dns
