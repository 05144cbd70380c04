#include <gtest/gtest.h>
// Before ldns, which otherwise defines bool, true and false as macros.
#include <stdbool.h>
#include <ldns/ldns.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "agent/dns/message.hpp"
#include "agent/dns/server.hpp"
#include "support.hpp"

namespace sarvolt::test {
namespace {

using agent::dns::Catalog;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kServer = "sarvolt_agent::agent::dns::server";
const util::Ipv4Addr kClient = util::Ipv4Addr::from_octets(10, 1, 2, 3);

util::Ipv4Addr ip(const char* text) { return *util::Ipv4Addr::parse(text); }

struct PktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;

// Adds a network whose desired host-name list is `names` (nullopt: no list).
void put_hosts(agent::NetworkMap& nets, const std::string& url,
               std::optional<std::vector<std::pair<const char*, std::string>>> names, bool disabled = false) {
  const auto u = *util::Url::parse(url);
  auto& n = nets.try_emplace(u, network::Network(u, disabled)).first->second;
  if (!names) return;
  network::HostnameList list;
  for (const auto& [addr, host] : *names) list.names.emplace(ip(addr), host);
  n.desired.hostnames = network::AppliedStatus<network::HostnameList>::value(std::move(list));
}

struct QueryOpts {
  std::uint16_t id = 0x1234;
  ldns_rr_type type = LDNS_RR_TYPE_A;
  bool rd = true;
  std::optional<std::uint16_t> edns;
  bool dnssec_ok = false;
  ldns_pkt_opcode opcode = LDNS_PACKET_QUERY;

  QueryOpts& of_type(ldns_rr_type t) { type = t; return *this; }
  QueryOpts& no_recursion() { rd = false; return *this; }
  QueryOpts& with_edns(std::uint16_t size, bool dnssec = false) { edns = size; dnssec_ok = dnssec; return *this; }
  QueryOpts& with_opcode(ldns_pkt_opcode op) { opcode = op; return *this; }
};

Bytes encode(const ldns_pkt* p) {
  std::uint8_t* buf = nullptr;
  std::size_t n = 0;
  EXPECT_EQ(ldns_pkt2wire(&buf, p, &n), LDNS_STATUS_OK);
  Bytes out(buf, buf + n);
  std::free(buf);
  return out;
}

Bytes query(const std::string& name, QueryOpts o = {}) {
  Pkt p(ldns_pkt_query_new(ldns_dname_new_frm_str(name.c_str()), o.type, LDNS_RR_CLASS_IN, o.rd ? LDNS_RD : 0));
  ldns_pkt_set_id(p.get(), o.id);
  ldns_pkt_set_opcode(p.get(), o.opcode);
  if (o.edns) ldns_pkt_set_edns_udp_size(p.get(), *o.edns);
  if (o.dnssec_ok) ldns_pkt_set_edns_do(p.get(), true);
  return encode(p.get());
}

Pkt decode(const Bytes& wire) {
  ldns_pkt* p = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&p, wire.data(), wire.size()), LDNS_STATUS_OK);
  return Pkt(p);
}

// Answers `q` and decodes the reply; fails the test when there is none.
Pkt ask(const Catalog& c, const Bytes& q, Bytes* wire = nullptr) {
  auto r = agent::dns::respond(c, q, kClient, 51000);
  EXPECT_TRUE(r.has_value());
  if (!r) return nullptr;
  if (wire) *wire = *r;
  return decode(*r);
}

std::string rdf_text(const ldns_rdf* rdf) {
  char* s = ldns_rdf2str(rdf);
  std::string out(s);
  std::free(s);
  return out;
}

std::vector<std::string> answer_addrs(const ldns_pkt* p) {
  std::vector<std::string> out;
  const ldns_rr_list* an = ldns_pkt_answer(p);
  for (std::size_t i = 0; i < ldns_rr_list_rr_count(an); ++i) out.push_back(rdf_text(ldns_rr_rdf(ldns_rr_list_rr(an, i), 0)));
  return out;
}

// A catalog in which "big" has `n` addresses, one per network.
std::shared_ptr<const Catalog> big_catalog(int n) {
  agent::NetworkMap nets;
  for (int i = 0; i < n; ++i) {
    const std::string addr = "10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    put_hosts(nets, "https://n" + std::to_string(i) + ".example/", {{{addr.c_str(), "big"}}});
  }
  return Catalog::build(nets);
}

std::shared_ptr<const Catalog> alpha_catalog() {
  agent::NetworkMap nets;
  put_hosts(nets, "https://a.example/", {{{"10.1.0.7", "Alpha"}, {"10.1.0.8", "beta"}}});
  return Catalog::build(nets);
}

// --- catalog ------------------------------------------------------------------

TEST(DnsCatalog, OneRecordPerHostWithLogLines) {
  LogCapture logs;
  agent::NetworkMap nets;
  put_hosts(nets, "https://a.example/", {{{"10.1.0.7", "alpha"}}});
  const auto c = Catalog::build(nets);
  EXPECT_TRUE(c->has_zone());
  ASSERT_EQ(c->records().size(), 1u);
  EXPECT_EQ(c->records().at("alpha.sarvolt.zz."), std::vector<util::Ipv4Addr>{ip("10.1.0.7")});
  std::vector<std::string> texts;
  for (const auto& l : logs.lines())
    if (l.target == kServer && l.level == "trace") texts.push_back(l.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Building DNS catalog", "Using upstream servers: []",
                                             "No upstream servers configured, skipping ForwardAuthority for root zone",
                                             "Adding DNS A record: alpha.sarvolt.zz -> 10.1.0.7"}));
}

TEST(DnsCatalog, EmptyAbsentAndDisabledLists) {
  agent::NetworkMap nets;
  EXPECT_TRUE(Catalog::build(nets)->has_zone());
  EXPECT_TRUE(Catalog::build(nets)->records().empty());
  put_hosts(nets, "https://a.example/", std::nullopt);
  put_hosts(nets, "https://b.example/", std::vector<std::pair<const char*, std::string>>{});
  EXPECT_TRUE(Catalog::build(nets)->records().empty());
  put_hosts(nets, "https://c.example/", {{{"10.3.0.1", "gamma"}}}, /*disabled=*/true);
  EXPECT_EQ(Catalog::build(nets)->records().count("gamma.sarvolt.zz."), 1u);
}

TEST(DnsCatalog, SameNameInTwoNetworks) {
  agent::NetworkMap nets;
  put_hosts(nets, "https://a.example/", {{{"10.1.0.7", "alpha"}}});
  put_hosts(nets, "https://b.example/", {{{"10.2.0.7", "ALPHA"}}});
  put_hosts(nets, "https://c.example/", {{{"10.1.0.7", "Alpha"}}});  // same address again
  const auto c = Catalog::build(nets);
  EXPECT_EQ(c->records().at("alpha.sarvolt.zz."), (std::vector<util::Ipv4Addr>{ip("10.1.0.7"), ip("10.2.0.7")}));
  const auto r = ask(*c, query("alpha.sarvolt.zz."));
  EXPECT_EQ(answer_addrs(r.get()), (std::vector<std::string>{"10.1.0.7", "10.2.0.7"}));
}

TEST(DnsCatalog, InvalidNamesLeftOut) {
  LogCapture logs;
  agent::NetworkMap nets;
  put_hosts(nets, "https://a.example/",
            {{{"10.1.0.1", std::string(64, 'a')},
              {"10.1.0.2", "a..b"},
              {"10.1.0.3", "bad\\"},
              {"10.1.0.4", std::string(60, 'x') + "." + std::string(60, 'y') + "." + std::string(60, 'z') + "." +
                               std::string(60, 'w')},
              {"10.1.0.5", std::string("nul\0x", 5)},
              {"10.1.0.6", "ok"},
              {"10.1.0.9", std::string(63, 'b')}}});
  const auto c = Catalog::build(nets);
  ASSERT_EQ(c->records().size(), 2u);
  EXPECT_EQ(c->records().count("ok.sarvolt.zz."), 1u);
  EXPECT_EQ(c->records().count(std::string(63, 'b') + ".sarvolt.zz."), 1u);
  EXPECT_EQ(logs.count("Leaving out DNS A record"), 5u);
  EXPECT_EQ(ldns_pkt_ancount(ask(*c, query("OK.sarvolt.zz.")).get()), 1u);
}

// --- answers -------------------------------------------------------------------

TEST(DnsAnswer, ARecordWithTtlAndOwnerAsWritten) {
  const auto c = alpha_catalog();
  const auto r = ask(*c, query("aLPHA.SARVOLT.ZZ."));
  ASSERT_TRUE(r);
  EXPECT_EQ(ldns_pkt_id(r.get()), 0x1234);
  EXPECT_TRUE(ldns_pkt_qr(r.get()));
  EXPECT_TRUE(ldns_pkt_aa(r.get()));
  EXPECT_TRUE(ldns_pkt_rd(r.get()));
  EXPECT_FALSE(ldns_pkt_ra(r.get()));
  EXPECT_FALSE(ldns_pkt_tc(r.get()));
  EXPECT_EQ(ldns_pkt_get_rcode(r.get()), LDNS_RCODE_NOERROR);
  EXPECT_FALSE(ldns_pkt_edns(r.get()));
  ASSERT_EQ(ldns_pkt_qdcount(r.get()), 1u);
  EXPECT_EQ(rdf_text(ldns_rr_owner(ldns_rr_list_rr(ldns_pkt_question(r.get()), 0))), "aLPHA.SARVOLT.ZZ.");
  ASSERT_EQ(ldns_pkt_ancount(r.get()), 1u);
  const ldns_rr* a = ldns_rr_list_rr(ldns_pkt_answer(r.get()), 0);
  EXPECT_EQ(ldns_rr_get_type(a), LDNS_RR_TYPE_A);
  EXPECT_EQ(ldns_rr_get_class(a), LDNS_RR_CLASS_IN);
  EXPECT_EQ(ldns_rr_ttl(a), 10u);
  EXPECT_EQ(rdf_text(ldns_rr_owner(a)), "Alpha.sarvolt.zz.");
  EXPECT_EQ(answer_addrs(r.get()), std::vector<std::string>{"10.1.0.7"});
}

TEST(DnsAnswer, OtherTypesOfKnownNameAreEmptyNoError) {
  const auto c = alpha_catalog();
  for (const auto type : {LDNS_RR_TYPE_AAAA, LDNS_RR_TYPE_MX, LDNS_RR_TYPE_TXT, LDNS_RR_TYPE_ANY}) {
    const auto r = ask(*c, query("beta.sarvolt.zz.", QueryOpts().of_type(type)));
    ASSERT_TRUE(r);
    EXPECT_EQ(ldns_pkt_get_rcode(r.get()), LDNS_RCODE_NOERROR) << type;
    EXPECT_EQ(ldns_pkt_ancount(r.get()), 0u);
    EXPECT_TRUE(ldns_pkt_aa(r.get()));
  }
}

TEST(DnsAnswer, UnknownNamesInZoneAreNxDomain) {
  const auto c = alpha_catalog();
  for (const char* name : {"gamma.sarvolt.zz.", "sarvolt.zz.", "x.alpha.sarvolt.zz."}) {
    const auto r = ask(*c, query(name));
    ASSERT_TRUE(r);
    EXPECT_EQ(ldns_pkt_get_rcode(r.get()), LDNS_RCODE_NXDOMAIN) << name;
    EXPECT_EQ(ldns_pkt_ancount(r.get()), 0u);
  }
}

TEST(DnsAnswer, RefusedOutsideZoneWithoutRecursionOrZone) {
  LogCapture logs;
  const auto c = alpha_catalog();
  for (const char* name : {"example.com.", "alpha.sarvolt.zz.evil.", "xsarvolt.zz.", "zz.", "."}) {
    const auto r = ask(*c, query(name));
    ASSERT_TRUE(r);
    EXPECT_EQ(ldns_pkt_get_rcode(r.get()), LDNS_RCODE_REFUSED) << name;
    EXPECT_FALSE(ldns_pkt_aa(r.get()));
  }
  EXPECT_EQ(logs.count("request disabled recursion"), 0u);
  const auto norec = ask(*c, query("alpha.sarvolt.zz.", QueryOpts().no_recursion()));
  EXPECT_EQ(ldns_pkt_get_rcode(norec.get()), LDNS_RCODE_REFUSED);
  EXPECT_EQ(ldns_pkt_ancount(norec.get()), 0u);
  EXPECT_TRUE(logs.contains("debug", "request disabled recursion, returning REFUSED"));
  const Catalog empty;
  EXPECT_FALSE(empty.has_zone());
  EXPECT_EQ(ldns_pkt_get_rcode(ask(empty, query("alpha.sarvolt.zz.")).get()), LDNS_RCODE_REFUSED);
}

TEST(DnsAnswer, QuestionCountAndOpcode) {
  const auto c = alpha_catalog();
  Pkt p(ldns_pkt_new());
  ldns_pkt_set_id(p.get(), 7);
  ldns_pkt_set_rd(p.get(), true);
  const auto none = ask(*c, encode(p.get()));
  EXPECT_EQ(ldns_pkt_get_rcode(none.get()), LDNS_RCODE_FORMERR);
  EXPECT_EQ(ldns_pkt_id(none.get()), 7);
  for (const char* name : {"alpha.sarvolt.zz.", "beta.sarvolt.zz."}) {
    ldns_rr* q = nullptr;
    ASSERT_EQ(ldns_rr_new_question_frm_str(&q, (std::string(name) + " IN A").c_str(), nullptr, nullptr),
              LDNS_STATUS_OK);
    ldns_pkt_push_rr(p.get(), LDNS_SECTION_QUESTION, q);
  }
  LogCapture logs;
  const auto two = ask(*c, encode(p.get()));
  EXPECT_EQ(ldns_pkt_get_rcode(two.get()), LDNS_RCODE_FORMERR);
  EXPECT_EQ(ldns_pkt_ancount(two.get()), 0u);
  EXPECT_EQ(logs.count("Processing DNS query query="), 2u);
  EXPECT_TRUE(logs.contains("debug", "query:beta.sarvolt.zz.:A:IN"));
  const auto notify = ask(*c, query("alpha.sarvolt.zz.", QueryOpts().with_opcode(LDNS_PACKET_NOTIFY)));
  EXPECT_EQ(ldns_pkt_get_rcode(notify.get()), LDNS_RCODE_NOTIMPL);
  EXPECT_EQ(ldns_pkt_get_opcode(notify.get()), LDNS_PACKET_NOTIFY);
}

TEST(DnsAnswer, RequestLogLinesInOrder) {
  const auto c = alpha_catalog();
  LogCapture logs;
  ASSERT_TRUE(agent::dns::respond(*c, query("Alpha.sarvolt.zz.", QueryOpts().with_edns(1232, true)), kClient, 51000));
  std::vector<std::string> texts;
  for (const auto& l : logs.lines())
    if (l.target == kServer) texts.push_back(l.level + " " + l.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "trace Successfully decoded DNS message",
                       "trace Processing DNS query message",
                       "trace Parsed DNS message details id=4660 op_code=QUERY message_type=QUERY dnssec=true",
                       "debug request:4660 src:UDP://10.1.2.3#51000 type:QUERY dnssec:true QUERY qflags:RD",
                       "trace Processing DNS query query=alpha.sarvolt.zz. qtype=A class=IN",
                       "debug query:alpha.sarvolt.zz.:A:IN",
                       "trace Handling DNS request with catalog",
                       "trace Starting DNS response encoding for ID: 4660",
                       "debug sending response id=4660 response_code=NOERROR",
                       "trace setting response max size: 1232 for protocol: Udp",
                       "trace DNS request handling completed",
                       "trace DNS packet processing completed",
                   }));
}

TEST(DnsAnswer, NoReplyToResponsesOrUndecodablePayloads) {
  const auto c = alpha_catalog();
  {
    LogCapture logs;
    auto q = query("alpha.sarvolt.zz.");
    q[2] |= 0x80;
    EXPECT_FALSE(agent::dns::respond(*c, q, kClient, 1));
    EXPECT_TRUE(logs.contains("trace", "Dropping DNS response message to prevent reflection attacks"));
    EXPECT_EQ(logs.count("DNS packet processing completed"), 0u);
  }
  for (const Bytes& bad : {Bytes{1, 2, 3}, Bytes{}, Bytes(40, 0xFF)}) {
    LogCapture logs;
    EXPECT_FALSE(agent::dns::respond(*c, bad, kClient, 1));
    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, "error");
    EXPECT_TRUE(lines[0].text.starts_with("Failed to decode DNS message: ")) << lines[0].text;
    EXPECT_EQ(lines[1].text, "DNS packet processing completed");
  }
}

// Random bytes, and valid queries cut short or with flipped bits: never a
// crash, and any reply is a well-formed response to the same id.
TEST(DnsAnswer, ArbitraryPayloadsAreSafe) {
  const auto c = alpha_catalog();
  std::mt19937 rng(20240611);
  const std::vector<Bytes> seeds = {query("alpha.sarvolt.zz.", QueryOpts().with_edns(1232)), query("beta.sarvolt.zz."),
                                    query("x.example.com.", QueryOpts().of_type(LDNS_RR_TYPE_AAAA))};
  int replies = 0;
  for (int i = 0; i < 2000; ++i) {
    Bytes b;
    if (i % 2 == 0) {
      b.resize(rng() % 80);
      for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    } else {
      b = seeds[rng() % seeds.size()];
      if (i % 4 == 1) b.resize(rng() % b.size());
      else b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    const auto r = agent::dns::respond(*c, b, kClient, 53);
    if (!r) continue;
    ++replies;
    ASSERT_GE(r->size(), 12u);
    EXPECT_EQ((*r)[0], b[0]);
    EXPECT_EQ((*r)[1], b[1]);
    EXPECT_TRUE((*r)[2] & 0x80);
    ldns_pkt* p = nullptr;
    ASSERT_EQ(ldns_wire2pkt(&p, r->data(), r->size()), LDNS_STATUS_OK);
    ldns_pkt_free(p);
  }
  EXPECT_GT(replies, 100);
}

// --- size limits -----------------------------------------------------------------

TEST(DnsSize, WithoutEdnsLimitIs4096) {
  const auto c = big_catalog(100);
  Bytes wire;
  const auto r = ask(*c, query("big.sarvolt.zz."), &wire);
  EXPECT_GT(wire.size(), 512u);
  EXPECT_FALSE(ldns_pkt_tc(r.get()));
  EXPECT_EQ(ldns_pkt_ancount(r.get()), 100u);
  EXPECT_FALSE(ldns_pkt_edns(r.get()));
}

TEST(DnsSize, EdnsPayloadSizeIsTheLimit) {
  const auto c = big_catalog(100);
  for (const auto& [asked, limit] : {std::pair<std::uint16_t, std::size_t>{1232, 1232}, {256, 512}}) {
    LogCapture logs;
    Bytes wire;
    const auto r = ask(*c, query("big.sarvolt.zz.", QueryOpts().with_edns(asked)), &wire);
    ASSERT_TRUE(r);
    EXPECT_TRUE(logs.contains("trace", "setting response max size: " + std::to_string(limit) + " for protocol: Udp"));
    EXPECT_LE(wire.size(), limit);
    // Truncated, and as full as the limit allows: one more A record takes 16 bytes.
    EXPECT_TRUE(ldns_pkt_tc(r.get()));
    EXPECT_GT(wire.size() + 16, limit);
    EXPECT_GT(ldns_pkt_ancount(r.get()), 0u);
    EXPECT_LT(ldns_pkt_ancount(r.get()), 100u);
    EXPECT_EQ(ldns_pkt_get_rcode(r.get()), LDNS_RCODE_NOERROR);
    EXPECT_TRUE(ldns_pkt_edns(r.get()));
    EXPECT_EQ(ldns_pkt_edns_udp_size(r.get()), limit);
    EXPECT_FALSE(ldns_pkt_edns_do(r.get()));
  }
  const auto small = ask(*c, query("nothing.sarvolt.zz.", QueryOpts().with_edns(4000, true)));
  EXPECT_EQ(ldns_pkt_edns_udp_size(small.get()), 4000);
  EXPECT_TRUE(ldns_pkt_edns_do(small.get()));
  EXPECT_FALSE(ldns_pkt_tc(small.get()));
}

TEST(DnsSize, EncodingFailureFallsBackToServfail) {
  EXPECT_EQ(agent::dns::servfail_header(0xABCD), (Bytes{0xAB, 0xCD, 0x80, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
  LogCapture logs;
  agent::dns::Message m;
  m.id = 0x0102;
  m.qr = true;
  m.rd = true;
  m.answers.push_back({std::string("\x50toolong", 8), 10, ip("10.0.0.1")});
  EXPECT_EQ(agent::dns::encode_reply(m), (Bytes{0x01, 0x02, 0x80, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(logs.contains("error", "error encoding message error=malformed owner name"));
  EXPECT_TRUE(logs.contains("trace", "Falling back to SERVFAIL response due to encoding error"));
}

// --- reply packet -------------------------------------------------------------

// Sums 16-bit words of the pseudo-header and the UDP datagram.
std::uint32_t folded_udp_sum(const Bytes& p) {
  std::uint64_t sum = 0;
  const auto word = [&](std::size_t i) { return (std::uint32_t{p[i]} << 8) | (i + 1 < p.size() ? p[i + 1] : 0); };
  for (std::size_t i = 12; i < 20; i += 2) sum += word(i);  // addresses
  sum += 17;
  sum += p.size() - 20;
  for (std::size_t i = 20; i < p.size(); i += 2) sum += word(i);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum);
}

std::uint32_t folded_ip_sum(const Bytes& p) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < 20; i += 2) sum += (std::uint32_t{p[i]} << 8) | p[i + 1];
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum);
}

TEST(DnsReplyPacket, HeaderFieldsAndChecksums) {
  const Bytes dns = {0xDE, 0xAD, 0x81, 0x80, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42};  // odd length
  const auto p =
      agent::dns::build_reply_packet(ip("10.1.2.254"), 53, ip("10.1.2.3"), 51000, std::span<const std::uint8_t>(dns));
  ASSERT_EQ(p.size(), 28 + dns.size());
  const Bytes head = {0x45, 0x00, 0x00, 41, 0x00, 0x00, 0x40, 0x00, 64, 17};
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 10), head);
  EXPECT_EQ(Bytes(p.begin() + 12, p.begin() + 20), (Bytes{10, 1, 2, 254, 10, 1, 2, 3}));
  EXPECT_EQ(Bytes(p.begin() + 20, p.begin() + 26), (Bytes{0, 53, 0xC7, 0x38, 0, 21}));
  EXPECT_EQ(Bytes(p.begin() + 28, p.end()), dns);
  EXPECT_EQ(folded_ip_sum(p), 0xFFFFu);
  EXPECT_EQ(folded_udp_sum(p), 0xFFFFu);
  EXPECT_NE((p[26] << 8) | p[27], 0);
}

TEST(DnsReplyPacket, ZeroUdpChecksumIsSentAsAllOnes) {
  const auto server = ip("10.1.2.254"), client = ip("10.1.2.3");
  Bytes dns = {0, 0};
  // With the payload word zero, choose it so that the whole sum is 0xFFFF.
  const auto p0 = agent::dns::build_reply_packet(server, 53, client, 4242, std::span<const std::uint8_t>(dns));
  Bytes probe = p0;
  probe[26] = probe[27] = 0;
  const std::uint32_t rest = folded_udp_sum(probe);
  const std::uint32_t w = 0xFFFF - rest;
  dns = {static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)};
  const auto p = agent::dns::build_reply_packet(server, 53, client, 4242, std::span<const std::uint8_t>(dns));
  probe = p;
  probe[26] = probe[27] = 0;
  ASSERT_EQ(folded_udp_sum(probe), 0xFFFFu);  // the computed checksum is 0
  EXPECT_EQ(p[26], 0xFF);
  EXPECT_EQ(p[27], 0xFF);
  EXPECT_EQ(folded_udp_sum(p), 0xFFFFu);
}

TEST(DnsReplyPacket, CarriesAnEncodedAnswer) {
  const auto c = alpha_catalog();
  const auto r = agent::dns::respond(*c, query("alpha.sarvolt.zz."), kClient, 51000);
  ASSERT_TRUE(r);
  const auto p = agent::dns::build_reply_packet(ip("10.1.2.254"), 53, kClient, 51000, *r);
  EXPECT_EQ(Bytes(p.begin() + 28, p.end()), *r);
  EXPECT_EQ(folded_ip_sum(p), 0xFFFFu);
  EXPECT_EQ(folded_udp_sum(p), 0xFFFFu);
}

}  // namespace
}  // namespace sarvolt::test
