#include "agent/dns/server.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "agent/dns/message.hpp"
#include "network/config/effective.hpp"
#include "util/log.hpp"
#include "util/packet.hpp"

namespace sarvolt::agent::dns {

spdlog::logger& server_logger() {
  static spdlog::logger& logger = log::target("sarvolt_agent::agent::dns::server");
  return logger;
}

namespace {
spdlog::logger& logger() { return server_logger(); }
}  // namespace

namespace {

// "sarvolt.zz." in wire form.
constexpr auto kZoneWire = [] {
  constexpr std::string_view domain = network::SARVOLT_DOMAIN;
  std::array<char, domain.size() + 2> out{};
  std::size_t label = 0;
  for (std::size_t i = 0; i < domain.size(); ++i) {
    if (domain[i] == '.') {
      out[label] = static_cast<char>(i - label);
      label = i + 1;
    } else {
      out[i + 1] = domain[i];
    }
  }
  out[label] = static_cast<char>(domain.size() - label);
  return out;
}();
constexpr std::string_view zone_wire() { return {kZoneWire.data(), kZoneWire.size()}; }

// What the catalog makes of one query (QR clear). The response points into
// `req` and `catalog`.
Response answer(const Catalog& catalog, const Request& req) {
  Response resp;
  resp.id = req.header.id;
  resp.opcode = req.header.opcode;
  resp.rd = req.header.rd;
  const Question* only = req.question_count == 1 ? &req.question : nullptr;
  // Two OPT records: which one holds is unknowable (RFC 6891 6.1.1).
  if (req.opt_count > 1) {
    resp.question = only;
    resp.rcode = rcode::kFormErr;
    return resp;
  }
  if (req.edns) resp.edns = Edns{std::max(req.edns->payload_size, kMinEdnsPayload), req.edns->dnssec_ok};
  // Only EDNS version 0 exists; the reply says so in its own OPT record.
  if (req.edns && req.edns->version != 0) {
    resp.question = only;
    resp.rcode = rcode::kBadVers;
    return resp;
  }
  if (req.header.opcode != opcode::kQuery) {
    resp.question = only;
    resp.rcode = rcode::kNotImp;
    return resp;
  }
  if (req.question_count != 1) {
    resp.rcode = rcode::kFormErr;
    return resp;
  }
  resp.question = &req.question;
  const Question& q = req.question;
  const std::string_view name = q.name.view();
  // Every name in the catalog lies in the zone: a hit needs no zone check.
  const auto host = catalog.find(name);
  if (!host && (!catalog.has_zone() || !wire_name_in_zone(name, zone_wire()))) {
    resp.rcode = rcode::kRefused;
    return resp;
  }
  // The zone holds Internet records only.
  if (q.klass != kClassIn && q.klass != kClassAny) {
    resp.rcode = rcode::kRefused;
    return resp;
  }
  if (!req.header.rd) {
    SV_DEBUG(logger(), "request disabled recursion, returning REFUSED");
    resp.rcode = rcode::kRefused;
    return resp;
  }
  resp.aa = true;
  if (!host) {
    // The zone's own name exists, with no A record (RFC 8020).
    if (!same_name(name, zone_wire())) resp.rcode = rcode::kNxDomain;
    return resp;
  }
  if (q.type == kTypeA || q.type == kTypeAny) {
    resp.owner = host->owner;
    resp.ttl = kRecordTtl;
    resp.addrs = host->addrs;
  }
  return resp;
}

}  // namespace

// --- catalog ------------------------------------------------------------------

struct Catalog::Staging {
  struct Entry {
    std::string lower, owner;
    std::vector<util::Ipv4Addr> addrs;
  };
  std::vector<Entry> entries;  // in first-seen order
  std::unordered_map<std::string, std::size_t> index;  // lower-cased name -> entry
};

std::shared_ptr<const Catalog> Catalog::build(const network::NetworkMap& networks) {
  auto& lg = logger();
  SV_TRACE(lg, "Building DNS catalog");
  auto catalog = std::make_shared<Catalog>();
  SV_TRACE(lg, "Using upstream servers: []");
  SV_TRACE(lg, "No upstream servers configured, skipping ForwardAuthority for root zone");
  catalog->has_zone_ = true;
  Staging staging;
  for (const auto& [url, net] : networks) {
    const auto& list = net.desired.hostnames.applied;
    if (!list || list->names.empty()) continue;
    for (const auto& [addr, host] : list->names) {
      SV_TRACE(lg, "Adding DNS A record: {}.{} -> {}", host, network::SARVOLT_DOMAIN, addr);
      catalog->add(staging, host, addr);
    }
  }
  catalog->freeze(staging);
  return catalog;
}

bool Catalog::add(Staging& staging, const std::string& host, util::Ipv4Addr addr) {
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
  auto [it, fresh] = staging.index.try_emplace(lower, staging.entries.size());
  if (fresh) staging.entries.push_back({lower, std::move(*wire), {}});
  auto& addrs = staging.entries[it->second].addrs;
  if (std::find(addrs.begin(), addrs.end(), addr) != addrs.end()) return true;
  addrs.push_back(addr);
  records_[name_text(lower)].push_back(addr);
  return true;
}

void Catalog::freeze(Staging& staging) {
  std::size_t name_bytes = 0, addr_count = 0;
  for (const auto& e : staging.entries) {
    name_bytes += e.lower.size() + e.owner.size();
    addr_count += e.addrs.size();
  }
  names_.reserve(name_bytes);
  addrs_.reserve(addr_count);
  std::size_t slots = 8;
  while (slots < 2 * staging.entries.size()) slots *= 2;
  slots_.assign(slots, Slot{});
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
  for (const auto& e : staging.entries) {
    Slot slot{hash(e.lower), static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(addrs_.size()),
              static_cast<std::uint32_t>(e.addrs.size()), static_cast<std::uint8_t>(e.lower.size())};
    names_ += e.lower;
    names_ += e.owner;
    addrs_.insert(addrs_.end(), e.addrs.begin(), e.addrs.end());
    std::size_t i = slot.hash >> shift_;
    while (slots_[i].name_size != 0) i = (i + 1) & (slots - 1);
    slots_[i] = slot;
  }
}

std::uint64_t Catalog::hash(std::string_view s) noexcept {
  // Lowered words of eight bytes (the last one overlapping) times odd
  // constants, summed, so that the multiplications do not wait on each
  // other; then mixed so that the high bits depend on every byte.
  static constexpr std::uint64_t kOdd[4] = {0x9E3779B97F4A7C15u, 0xC2B2AE3D27D4EB4Fu, 0x165667B19E3779F9u,
                                            0xD6E8FEB86659FD93u};
  const std::size_t n = s.size();
  std::uint64_t h = n * 0x27D4EB2F165667C5u;
  if (n < 8) {
    std::uint64_t w = 0;
    for (const char c : s) w = (w << 8) | static_cast<std::uint8_t>(lower_char(c));
    h += w * kOdd[0];
  } else {
    std::size_t i = 0;
    for (; i + 8 < n; i += 8) h += lower_word(load_word(s.data() + i)) * kOdd[(i >> 3) & 3];
    h += lower_word(load_word(s.data() + n - 8)) * kOdd[(i >> 3) & 3];
  }
  return (h ^ (h >> 31)) * 0xBF58476D1CE4E5B9u;
}

std::optional<Catalog::Host> Catalog::find(std::string_view wire_name) const noexcept {
  if (slots_.empty() || wire_name.size() > kMaxNameSize) return std::nullopt;
  const std::uint64_t h = hash(wire_name);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.name_size == 0) return std::nullopt;
    if (slot.hash != h || slot.name_size != wire_name.size()) continue;
    const std::string_view names(names_.data() + slot.names_at, 2 * std::size_t{slot.name_size});
    if (same_name(names.substr(0, slot.name_size), wire_name))
      return Host{names.substr(slot.name_size), std::span(addrs_.data() + slot.addrs_at, slot.addr_count)};
  }
}

// --- requests -------------------------------------------------------------------

std::span<const std::uint8_t> encode_reply(const Response& response, std::vector<std::uint8_t>& scratch) {
  auto& lg = logger();
  const std::size_t max_size = response.edns ? response.edns->payload_size : kDefaultMaxSize;
  // One look at the level for the lines below it (trace is below debug).
  if (lg.should_log(spdlog::level::debug)) {
    SV_TRACE(lg, "Starting DNS response encoding for ID: {}", response.id);
    SV_DEBUG(lg, "sending response id={} response_code={}", response.id, rcode_text(response.rcode));
    SV_TRACE(lg, "setting response max size: {} for protocol: Udp", max_size);
  }
  // A reply must also fit in one IPv4 datagram.
  auto wire = encode_response(response, std::min(max_size, kMaxUdpPayload), scratch);
  if (wire) return *wire;
  SV_ERROR(lg, "error encoding message error={}", wire.error());
  SV_TRACE(lg, "Falling back to SERVFAIL response due to encoding error");
  const auto header = servfail_header(response.id);
  if (scratch.size() < header.size()) scratch.resize(header.size());
  std::copy(header.begin(), header.end(), scratch.begin());
  return std::span<const std::uint8_t>(scratch.data(), header.size());
}

std::optional<std::span<const std::uint8_t>> respond(const Catalog& catalog, std::span<const std::uint8_t> query,
                                                     util::Ipv4Addr client, std::uint16_t client_port,
                                                     std::vector<std::uint8_t>& scratch) {
  auto& lg = logger();
  Request req;
  if (auto decoded = decode_request(query, req); !decoded) {
    SV_ERROR(lg, "Failed to decode DNS message: {}", decoded.error().text());
    SV_TRACE(lg, "DNS packet processing completed");
    return std::nullopt;
  }
  // One look at the level for each run of lines (trace is below debug).
  const bool debug = lg.should_log(spdlog::level::debug);
  if (debug) SV_TRACE(lg, "Successfully decoded DNS message");
  if (req.header.qr) {
    if (debug) SV_TRACE(lg, "Dropping DNS response message to prevent reflection attacks");
    return std::nullopt;
  }
  if (debug) {
    SV_TRACE(lg, "Processing DNS query message");
    const bool dnssec = req.edns && req.edns->dnssec_ok;
    SV_TRACE(lg, "Parsed DNS message details id={} op_code={} message_type=QUERY dnssec={}", req.header.id,
             opcode_text(req.header.opcode), dnssec);
    SV_DEBUG(lg, "request:{} src:UDP://{}#{} type:QUERY dnssec:{} {} qflags:{}", req.header.id, client, client_port,
             dnssec, opcode_text(req.header.opcode), flags_text(req.header));
    for (const auto& q : read_questions(query)) {
      const std::string name = name_text(q.name.lowered().view());
      const std::string type = type_text(q.type), klass = class_text(q.klass);
      SV_TRACE(lg, "Processing DNS query query={} qtype={} class={}", name, type, klass);
      SV_DEBUG(lg, "query:{}:{}:{}", name, type, klass);
    }
    SV_TRACE(lg, "Handling DNS request with catalog");
  }
  const auto reply = encode_reply(answer(catalog, req), scratch);
  if (debug) {
    SV_TRACE(lg, "DNS request handling completed");
    SV_TRACE(lg, "DNS packet processing completed");
  }
  return reply;
}

std::optional<std::vector<std::uint8_t>> respond(const Catalog& catalog, std::span<const std::uint8_t> query,
                                                 util::Ipv4Addr client, std::uint16_t client_port) {
  std::vector<std::uint8_t> scratch;
  const auto reply = respond(catalog, query, client, client_port, scratch);
  if (!reply) return std::nullopt;
  scratch.resize(reply->size());
  return scratch;
}

// --- reply packet ---------------------------------------------------------------

std::vector<std::uint8_t> build_reply_packet(util::Ipv4Addr server, std::uint16_t server_port, util::Ipv4Addr client,
                                             std::uint16_t client_port, std::span<const std::uint8_t> dns) {
  assert(dns.size() <= kMaxUdpPayload);
  std::vector<std::uint8_t> p(28 + dns.size());
  util::build_udp_packet(server, server_port, client, client_port, dns, p);
  return p;
}

}  // namespace sarvolt::agent::dns
