// DNS request handling: respond() against a catalog of a few host names, and
// against a catalog without a zone. A strict parser of our own reads the
// query and the answer; the answer, when there is one, is a well-formed
// response that echoes the query's id, opcode, RD flag and question, and
// holds only A records of the asked name with the catalog's addresses. A
// query with QR set is never answered.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "agent/dns/server.hpp"
#include "fuzz_support.hpp"
#include "network/config/effective.hpp"
#include "util/text.hpp"

using namespace sarvolt;
using agent::dns::Catalog;
using util::Ipv4Addr;

namespace {

struct Rr {
  std::string name;  // uncompressed wire form
  std::uint16_t type = 0, klass = 0;
  std::uint32_t ttl = 0;
  std::vector<std::uint8_t> rdata;
  friend bool operator==(const Rr&, const Rr&) = default;
};

struct Parsed {
  std::uint16_t id = 0, flags = 0;
  std::vector<Rr> questions, answers, authority, additional;  // questions without TTL and data
  unsigned rcode() const { return flags & 15; }
};

// The labels at `pos` into `out`, moving `pos` past the name; compression pointers must point strictly backwards.
bool read_name(std::span<const std::uint8_t> m, std::size_t& pos, std::string& out) {
  std::size_t at = pos, limit = pos;  // a pointer must go below `limit`
  bool jumped = false;
  while (true) {
    if (at >= m.size()) return false;
    const std::uint8_t len = m[at];
    if ((len & 0xC0) == 0xC0) {
      if (at + 1 >= m.size()) return false;
      const std::size_t target = static_cast<std::size_t>(len & 0x3F) << 8 | m[at + 1];
      if (!jumped) pos = at + 2;
      if (target >= limit) return false;
      limit = at = target;
      jumped = true;
      continue;
    }
    if ((len & 0xC0) || at + 1 + len > m.size()) return false;
    out.append(reinterpret_cast<const char*>(&m[at]), 1 + len);
    if (out.size() > 255) return false;
    at += 1 + len;
    if (len == 0) break;
  }
  if (!jumped) pos = at;
  return true;
}

// A message read strictly: every counted record lies within it and nothing follows the last one.
std::optional<Parsed> parse(std::span<const std::uint8_t> m) {
  if (m.size() < 12) return std::nullopt;
  Parsed p;
  p.id = static_cast<std::uint16_t>(fuzz::be(&m[0], 2));
  p.flags = static_cast<std::uint16_t>(fuzz::be(&m[2], 2));
  std::vector<Rr>* sections[4] = {&p.questions, &p.answers, &p.authority, &p.additional};
  std::size_t pos = 12;
  for (int s = 0; s < 4; ++s) {
    for (auto n = fuzz::be(&m[4 + 2 * s], 2); n > 0; --n) {
      Rr rr;
      const std::size_t fixed = s == 0 ? 4 : 10;  // type, class and, in a record, TTL and data length
      if (!read_name(m, pos, rr.name) || m.size() - pos < fixed) return std::nullopt;
      rr.type = static_cast<std::uint16_t>(fuzz::be(&m[pos], 2));
      rr.klass = static_cast<std::uint16_t>(fuzz::be(&m[pos + 2], 2));
      pos += fixed;
      if (s > 0) {
        rr.ttl = static_cast<std::uint32_t>(fuzz::be(&m[pos - 6], 4));
        const std::size_t len = fuzz::be(&m[pos - 2], 2);
        if (m.size() - pos < len) return std::nullopt;
        const auto data = m.subspan(pos, len);
        rr.rdata.assign(data.begin(), data.end());
        pos += len;
      }
      sections[s]->push_back(std::move(rr));
    }
  }
  if (pos != m.size()) return std::nullopt;
  return p;
}

// Lower-cased wire name -> addresses, as the catalog below is built.
std::map<std::string, std::vector<Ipv4Addr>> g_expected;

std::shared_ptr<const Catalog> build_catalog() {
  network::NetworkMap networks;
  const std::tuple<const char*, const char*, const char*> hosts[] = {
      {"file:///a.toml", "10.0.0.1", "alpha"}, {"file:///a.toml", "10.0.0.2", "Beta"},
      {"file:///a.toml", "10.0.0.3", "gamma-1"}, {"file:///b.toml", "10.1.0.1", "ALPHA"},
      {"file:///b.toml", "10.1.0.2", "x"}};
  for (const auto& [doc, ip, name] : hosts) {
    const auto url = *util::Url::parse(doc);
    auto& list = networks.try_emplace(url, network::Network(url)).first->second.desired.hostnames.applied;
    if (!list) list.emplace();
    list->names.emplace(*Ipv4Addr::parse(ip), name);
    const std::string label = util::to_lower_ascii(name);
    g_expected[char(label.size()) + label + std::string("\7sarvolt\2zz", 11) + '\0'].push_back(*Ipv4Addr::parse(ip));
  }
  return Catalog::build(networks);
}

void check_reply(bool zone, std::span<const std::uint8_t> query,
                 const std::optional<Parsed>& q, const std::vector<std::uint8_t>& reply) {
  const std::string where = "query " + fuzz::hex(query) + "\nreply " + fuzz::hex(reply);
  auto r = parse(reply);
  FUZZ_CHECK(r.has_value(), "the reply does not parse\n" + where);
  FUZZ_CHECK(r->id == (query[0] << 8 | query[1]) && (r->flags & 0x8000) && reply.size() <= agent::dns::kMaxUdpPayload,
             where);
  if (reply.size() == 12 && r->rcode() == 2) return;  // the SERVFAIL fallback
  const unsigned opcode = (query[2] >> 3) & 15;
  FUZZ_CHECK(((r->flags >> 11) & 15) == opcode && (r->flags & 0x0100) == (query[2] & 1) << 8 && r->questions.size() <= 1,
             where);
  // BADVERS: header code 0, upper bits 1 in the OPT record.
  const bool badvers = std::any_of(r->additional.begin(), r->additional.end(),
                                   [](const Rr& rr) { return rr.type == 41 && (rr.ttl >> 24) == 1; });
  const auto is_opt = [](const Rr& rr) { return rr.type == 41; };
  const auto query_opts = q ? std::count_if(q->additional.begin(), q->additional.end(), is_opt) : 0;
  if (q) {
    if (query_opts == 0) FUZZ_CHECK(reply.size() <= 4096, where);
    if (q->questions.size() == 1) {
      FUZZ_CHECK(r->questions.size() == 1 && r->questions[0] == q->questions[0], "question not echoed\n" + where);
    } else if (opcode == 0 && !badvers) {  // an unknown EDNS version is answered first
      FUZZ_CHECK(r->rcode() == 1 && r->questions.empty(), "not FORMERR for " + std::to_string(q->questions.size()) +
                                                              " questions\n" + where);
    }
  }
  if (badvers) FUZZ_CHECK(r->rcode() == 0 && r->answers.empty(), where);
  // A malformed message (two OPT records, or one this reader refuses) may get FORMERR whatever its opcode.
  const bool two_opt = query_opts > 1;
  if (two_opt) FUZZ_CHECK(r->rcode() == 1 && r->answers.empty(), where);
  if (opcode != 0 && !badvers)
    FUZZ_CHECK((r->rcode() == 4 || ((!q || two_opt) && r->rcode() == 1)) && r->answers.empty(), where);
  if (!zone)
    FUZZ_CHECK(r->answers.empty() && (badvers || r->rcode() == 5 || r->rcode() == 4 || r->rcode() == 1), where);
  if (r->answers.empty() || r->questions.empty()) {
    FUZZ_CHECK(r->answers.empty(), "answers without a question\n" + where);
  } else {
    const Rr& asked = r->questions[0];
    const std::string lower = util::to_lower_ascii(asked.name);
    FUZZ_CHECK(r->rcode() == 0 && (r->flags & 0x0400) && (query[2] & 1) && (asked.type == 1 || asked.type == 255) &&
                   (asked.klass == 1 || asked.klass == 255),
               where);
    const auto expected = g_expected.find(lower);
    FUZZ_CHECK(expected != g_expected.end(), "answers for a name not in the catalog\n" + where);
    FUZZ_CHECK(r->answers.size() <= expected->second.size(), where);
    for (std::size_t i = 0; i < r->answers.size(); ++i) {
      const Rr& a = r->answers[i];
      FUZZ_CHECK(a.type == 1 && a.klass == 1 && a.ttl == agent::dns::kRecordTtl && a.rdata.size() == 4, where);
      FUZZ_CHECK(util::to_lower_ascii(a.name) == lower, where);
      FUZZ_CHECK(fuzz::addr_at(a.rdata.data()) == expected->second[i], where);
    }
  }
  // With RD, an A or ANY question about a catalog name gets NOERROR (or FORMERR from a reader stricter than
  // ours) and, without TC, all its records.
  if (zone && q && q->questions.size() == 1 && opcode == 0 && (query[2] & 1) && !badvers && !two_opt) {
    const Rr& asked = q->questions[0];
    const auto expected = g_expected.find(util::to_lower_ascii(asked.name));
    if (expected != g_expected.end() && (asked.type == 1 || asked.type == 255) && (asked.klass == 1 || asked.klass == 255)) {
      FUZZ_CHECK(r->rcode() == 0 || r->rcode() == 1, "a catalog name not answered\n" + where);
      if (r->rcode() == 0 && !(r->flags & 0x0200))  // TC clear
        FUZZ_CHECK(r->answers.size() == expected->second.size(), "answers missing\n" + where);
    }
  }
}

}  // namespace

SARVOLT_FUZZ_TARGET {
  static const auto catalog = build_catalog();
  static const Catalog no_zone;
  const auto query = in.rest();
  const auto parsed = parse(query);
  for (const bool zone : {true, false}) {
    const auto reply = agent::dns::respond(zone ? *catalog : no_zone, query, Ipv4Addr::from_octets(10, 0, 0, 9), 5353);
    if (query.size() < 12 || (query[2] & 0x80)) {
      FUZZ_CHECK(!reply, "answered a response or a short message: " + fuzz::hex(query));
      continue;
    }
    if (reply) check_reply(zone, query, parsed, *reply);
  }
}
