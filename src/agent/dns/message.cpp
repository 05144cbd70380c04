#include "agent/dns/message.hpp"

// Before ldns, which otherwise defines bool, true and false as macros.
#include <stdbool.h>
#include <ldns/ldns.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fmt/format.h>

namespace sarvolt::agent::dns {

namespace {

struct PktFree {
  void operator()(ldns_pkt* p) const noexcept { ldns_pkt_free(p); }
};
struct RrFree {
  void operator()(ldns_rr* r) const noexcept { ldns_rr_free(r); }
};
struct RdfFree {
  void operator()(ldns_rdf* r) const noexcept { ldns_rdf_deep_free(r); }
};
struct CFree {
  void operator()(void* p) const noexcept { std::free(p); }
};
using PktPtr = std::unique_ptr<ldns_pkt, PktFree>;
using RrPtr = std::unique_ptr<ldns_rr, RrFree>;
using RdfPtr = std::unique_ptr<ldns_rdf, RdfFree>;
using CharPtr = std::unique_ptr<char, CFree>;

std::string status_text(ldns_status s) {
  const char* t = ldns_get_errorstr_by_id(s);
  return t ? std::string(t) : fmt::format("ldns status {}", static_cast<int>(s));
}

std::string take_text(char* s) {
  const CharPtr owned(s);
  return owned ? std::string(owned.get()) : std::string();
}

ldns_rdf* wire_dname(std::string_view wire) {
  return ldns_dname_new_frm_data(static_cast<std::uint16_t>(wire.size()), wire.data());
}

// Pushes a record into a packet section; the packet owns it afterwards.
bool push(ldns_pkt* pkt, ldns_pkt_section section, RrPtr rr) {
  if (!rr || !ldns_pkt_push_rr(pkt, section, rr.get())) return false;
  rr.release();
  return true;
}

struct BufferFree {
  void operator()(ldns_buffer* b) const noexcept { ldns_buffer_free(b); }
};
using BufferPtr = std::unique_ptr<ldns_buffer, BufferFree>;

// Name compression that matches names byte for byte, so that an owner keeps
// its case as written instead of taking the question's.
int compare_exact(const void* a, const void* b) {
  const auto* x = static_cast<const ldns_rdf*>(a);
  const auto* y = static_cast<const ldns_rdf*>(b);
  const std::size_t sx = ldns_rdf_size(x), sy = ldns_rdf_size(y);
  if (sx != sy) return sx < sy ? -1 : 1;
  return std::memcmp(ldns_rdf_data(x), ldns_rdf_data(y), sx);
}

void free_compression_node(ldns_rbnode_t* node, void*) {
  ldns_rdf_deep_free(static_cast<ldns_rdf*>(const_cast<void*>(node->key)));
  std::free(node);
}

// Writes `pkt` into `out` from its start; the error is ldns's text.
util::Expected<void, std::string> to_wire(const ldns_pkt* pkt, ldns_buffer* out) {
  ldns_buffer_clear(out);
  ldns_rbtree_t* names = ldns_rbtree_create(compare_exact);
  if (!names) return util::Unexpected(std::string("out of memory"));
  const ldns_status s = ldns_pkt2buffer_wire_compress(out, pkt, names);
  ldns_traverse_postorder(names, free_compression_node, nullptr);
  ldns_rbtree_free(names);
  if (s != LDNS_STATUS_OK) return util::Unexpected(status_text(s));
  return {};
}

}  // namespace

util::Expected<Message, std::string> decode_message(std::span<const std::uint8_t> wire) {
  ldns_pkt* raw = nullptr;
  const ldns_status s = ldns_wire2pkt(&raw, wire.data(), wire.size());
  const PktPtr pkt(raw);
  if (s != LDNS_STATUS_OK) return util::Unexpected(status_text(s));
  if (!pkt) return util::Unexpected(std::string("no packet"));

  Message m;
  m.id = ldns_pkt_id(pkt.get());
  m.qr = ldns_pkt_qr(pkt.get());
  m.opcode = static_cast<std::uint8_t>(ldns_pkt_get_opcode(pkt.get()));
  m.aa = ldns_pkt_aa(pkt.get());
  m.tc = ldns_pkt_tc(pkt.get());
  m.rd = ldns_pkt_rd(pkt.get());
  m.ra = ldns_pkt_ra(pkt.get());
  m.ad = ldns_pkt_ad(pkt.get());
  m.cd = ldns_pkt_cd(pkt.get());
  m.rcode = ldns_pkt_get_rcode(pkt.get());

  const ldns_rr_list* qs = ldns_pkt_question(pkt.get());
  const std::size_t n = qs ? ldns_rr_list_rr_count(qs) : 0;
  m.questions.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ldns_rr* rr = ldns_rr_list_rr(qs, i);
    const ldns_rdf* owner = ldns_rr_owner(rr);
    Question q;
    if (owner) q.name.assign(reinterpret_cast<const char*>(ldns_rdf_data(owner)), ldns_rdf_size(owner));
    q.type = static_cast<std::uint16_t>(ldns_rr_get_type(rr));
    q.klass = static_cast<std::uint16_t>(ldns_rr_get_class(rr));
    m.questions.push_back(std::move(q));
  }
  if (ldns_pkt_edns(pkt.get())) m.edns = Edns{ldns_pkt_edns_udp_size(pkt.get()), ldns_pkt_edns_do(pkt.get())};
  return m;
}

util::Expected<std::vector<std::uint8_t>, std::string> encode_message(const Message& msg, std::size_t max_size) {
  const PktPtr pkt(ldns_pkt_new());
  if (!pkt) return util::Unexpected(std::string("out of memory"));
  ldns_pkt* p = pkt.get();
  ldns_pkt_set_id(p, msg.id);
  ldns_pkt_set_qr(p, msg.qr);
  ldns_pkt_set_opcode(p, static_cast<ldns_pkt_opcode>(msg.opcode & 0x0F));
  ldns_pkt_set_aa(p, msg.aa);
  ldns_pkt_set_tc(p, msg.tc);
  ldns_pkt_set_rd(p, msg.rd);
  ldns_pkt_set_ra(p, msg.ra);
  ldns_pkt_set_ad(p, msg.ad);
  ldns_pkt_set_cd(p, msg.cd);
  ldns_pkt_set_rcode(p, msg.rcode & 0x0F);

  for (const auto& q : msg.questions) {
    if (!is_wire_name(q.name)) return util::Unexpected(std::string("malformed question name"));
    RrPtr rr(ldns_rr_new());
    if (!rr) return util::Unexpected(std::string("out of memory"));
    ldns_rr_set_owner(rr.get(), wire_dname(q.name));
    ldns_rr_set_type(rr.get(), static_cast<ldns_rr_type>(q.type));
    ldns_rr_set_class(rr.get(), static_cast<ldns_rr_class>(q.klass));
    ldns_rr_set_question(rr.get(), true);
    if (!push(p, LDNS_SECTION_QUESTION, std::move(rr))) return util::Unexpected(std::string("out of memory"));
  }

  // Largest answer without name compression; dropping k answers saves at
  // most k times this, which bounds the truncation steps below.
  std::size_t largest_answer = 0;
  for (const auto& a : msg.answers) {
    if (!is_wire_name(a.owner)) return util::Unexpected(std::string("malformed owner name"));
    largest_answer = std::max(largest_answer, a.owner.size() + 14);
    RrPtr rr(ldns_rr_new());
    if (!rr) return util::Unexpected(std::string("out of memory"));
    ldns_rr_set_owner(rr.get(), wire_dname(a.owner));
    ldns_rr_set_type(rr.get(), LDNS_RR_TYPE_A);
    ldns_rr_set_class(rr.get(), LDNS_RR_CLASS_IN);
    ldns_rr_set_ttl(rr.get(), a.ttl);
    const auto octets = a.addr.octets();
    ldns_rdf* rdata = ldns_rdf_new_frm_data(LDNS_RDF_TYPE_A, octets.size(), octets.data());
    if (!rdata || !ldns_rr_push_rdf(rr.get(), rdata)) {
      ldns_rdf_deep_free(rdata);
      return util::Unexpected(std::string("out of memory"));
    }
    if (!push(p, LDNS_SECTION_ANSWER, std::move(rr))) return util::Unexpected(std::string("out of memory"));
  }

  if (msg.edns) {
    ldns_pkt_set_edns_udp_size(p, msg.edns->payload_size);
    ldns_pkt_set_edns_do(p, msg.edns->dnssec_ok);
  }

  const BufferPtr buf(ldns_buffer_new(512));
  if (!buf) return util::Unexpected(std::string("out of memory"));
  if (auto ok = to_wire(p, buf.get()); !ok) return util::Unexpected(std::move(ok.error()));
  ldns_rr_list* answers = ldns_pkt_answer(p);
  while (ldns_buffer_position(buf.get()) > max_size) {
    const std::size_t count = ldns_rr_list_rr_count(answers);
    if (count == 0) return util::Unexpected(fmt::format("message does not fit in {} bytes", max_size));
    const std::size_t excess = ldns_buffer_position(buf.get()) - max_size;
    const std::size_t drop = std::min(count, std::max<std::size_t>(1, excess / largest_answer));
    for (std::size_t i = 0; i < drop; ++i) ldns_rr_free(ldns_rr_list_pop_rr(answers));
    ldns_pkt_set_ancount(p, static_cast<std::uint16_t>(count - drop));
    ldns_pkt_set_tc(p, true);
    if (auto ok = to_wire(p, buf.get()); !ok) return util::Unexpected(std::move(ok.error()));
  }
  const std::uint8_t* d = ldns_buffer_begin(buf.get());
  return std::vector<std::uint8_t>(d, d + ldns_buffer_position(buf.get()));
}

std::vector<std::uint8_t> servfail_header(std::uint16_t id) {
  return {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x80, rcode::kServFail, 0, 0, 0, 0, 0, 0, 0, 0};
}

bool is_wire_name(std::string_view wire) noexcept {
  if (wire.size() > 255) return false;
  std::size_t pos = 0;
  while (pos < wire.size()) {
    const auto len = static_cast<std::uint8_t>(wire[pos]);
    if (len == 0) return pos + 1 == wire.size();
    if (len > 63) return false;
    pos += std::size_t{len} + 1;
  }
  return false;
}

bool wire_name_in_zone(std::string_view wire, std::string_view zone) noexcept {
  std::size_t pos = 0;
  while (pos < wire.size()) {
    if (wire.size() - pos == zone.size() && wire.substr(pos) == zone) return true;
    const auto len = static_cast<std::uint8_t>(wire[pos]);
    if (len == 0) break;
    pos += std::size_t{len} + 1;
  }
  return false;
}

util::Expected<std::string, std::string> parse_name(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return util::Unexpected(std::string("NUL in name"));
  ldns_rdf* raw = nullptr;
  const ldns_status s = ldns_str2rdf_dname(&raw, std::string(text).c_str());
  const RdfPtr rdf(raw);
  if (s != LDNS_STATUS_OK) return util::Unexpected(status_text(s));
  if (!rdf) return util::Unexpected(std::string("no name"));
  return std::string(reinterpret_cast<const char*>(ldns_rdf_data(rdf.get())), ldns_rdf_size(rdf.get()));
}

std::string name_text(std::string_view wire) {
  const RdfPtr rdf(wire_dname(wire));
  return rdf ? take_text(ldns_rdf2str(rdf.get())) : std::string();
}

std::string opcode_text(std::uint8_t op) {
  switch (op) {
    case 0: return "QUERY";
    case 1: return "IQUERY";
    case 2: return "STATUS";
    case 4: return "NOTIFY";
    case 5: return "UPDATE";
    default: return fmt::format("OPCODE{}", op);
  }
}

std::string rcode_text(std::uint8_t rc) {
  switch (rc) {
    case 0: return "NOERROR";
    case 1: return "FORMERR";
    case 2: return "SERVFAIL";
    case 3: return "NXDOMAIN";
    case 4: return "NOTIMP";
    case 5: return "REFUSED";
    case 6: return "YXDOMAIN";
    case 7: return "YXRRSET";
    case 8: return "NXRRSET";
    case 9: return "NOTAUTH";
    case 10: return "NOTZONE";
    default: return fmt::format("RCODE{}", rc);
  }
}

std::string type_text(std::uint16_t type) { return take_text(ldns_rr_type2str(static_cast<ldns_rr_type>(type))); }

std::string class_text(std::uint16_t klass) {
  return take_text(ldns_rr_class2str(static_cast<ldns_rr_class>(klass)));
}

std::string flags_text(const Message& msg) {
  std::string out;
  const auto add = [&out](bool on, const char* name) {
    if (!on) return;
    if (!out.empty()) out += ',';
    out += name;
  };
  add(msg.qr, "QR");
  add(msg.aa, "AA");
  add(msg.tc, "TC");
  add(msg.rd, "RD");
  add(msg.ra, "RA");
  add(msg.ad, "AD");
  add(msg.cd, "CD");
  return out;
}

}  // namespace sarvolt::agent::dns
