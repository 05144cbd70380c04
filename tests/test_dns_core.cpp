// The DNS server's core read back with an independent codec (ldns): the
// catalog, answers, size limits and the reply packet.
#include <gtest/gtest.h>
#include <stdbool.h>  // before ldns, which otherwise defines bool/true/false
#include <ldns/ldns.h>

#include <cstdlib>
#include <map>
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
using Addrs = std::vector<util::Ipv4Addr>;
using Hosts = std::vector<std::pair<const char*, std::string>>;

constexpr const char* kServer = "sarvolt_agent::agent::dns::server";
const util::Ipv4Addr kClient = util::Ipv4Addr::from_octets(10, 1, 2, 3);

struct PktFree {
  void operator()(ldns_pkt* p) const { ldns_pkt_free(p); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;

// Adds a network whose desired host-name list is `names` (nullopt: no list).
void put_hosts(network::NetworkMap& nets, const std::string& url, std::optional<Hosts> names, bool disabled = false) {
  const auto u = *util::Url::parse(url);
  auto& n = nets.try_emplace(u, network::Network(u, disabled)).first->second;
  if (!names) return;
  network::HostnameList list;
  for (const auto& [addr, host] : *names) list.names.emplace(ip(addr), host);
  n.desired.hostnames = network::AppliedStatus<network::HostnameList>::value(std::move(list));
}

struct Q {
  ldns_rr_type type = LDNS_RR_TYPE_A;
  bool rd = true;
  std::optional<std::uint16_t> edns = std::nullopt;
  bool dnssec_ok = false;
  ldns_pkt_opcode opcode = LDNS_PACKET_QUERY;
};

Bytes encode(const ldns_pkt* p) {
  std::uint8_t* buf = nullptr;
  std::size_t n = 0;
  EXPECT_EQ(ldns_pkt2wire(&buf, p, &n), LDNS_STATUS_OK);
  Bytes out(buf, buf + n);
  std::free(buf);
  return out;
}

// A query with id 0x1234 for `name` of class IN.
Bytes query(const std::string& name, Q o = {}) {
  Pkt p(ldns_pkt_query_new(ldns_dname_new_frm_str(name.c_str()), o.type, LDNS_RR_CLASS_IN, o.rd ? LDNS_RD : 0));
  ldns_pkt_set_id(p.get(), 0x1234);
  ldns_pkt_set_opcode(p.get(), o.opcode);
  if (o.edns) ldns_pkt_set_edns_udp_size(p.get(), *o.edns);
  if (o.dnssec_ok) ldns_pkt_set_edns_do(p.get(), true);
  return encode(p.get());
}

// Answers `q` and decodes the reply; fails the test when there is none.
Pkt ask(const Catalog& c, const Bytes& q, Bytes* wire = nullptr) {
  auto r = agent::dns::respond(c, q, kClient, 51000);
  EXPECT_TRUE(r.has_value());
  if (!r) return nullptr;
  if (wire) *wire = *r;
  ldns_pkt* p = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&p, r->data(), r->size()), LDNS_STATUS_OK);
  return Pkt(p);
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
  for (std::size_t i = 0; i < ldns_rr_list_rr_count(an); ++i)
    out.push_back(rdf_text(ldns_rr_rdf(ldns_rr_list_rr(an, i), 0)));
  return out;
}

std::vector<std::string> server_lines(const LogCapture& logs) {  // "level text" of the server's lines
  std::vector<std::string> out;
  for (const auto& l : logs.lines())
    if (l.target == kServer) out.push_back(l.level + " " + l.text);
  return out;
}

std::shared_ptr<const Catalog> alpha_catalog() {
  network::NetworkMap nets;
  put_hosts(nets, "https://a.example/", Hosts{{"10.1.0.7", "Alpha"}, {"10.1.0.8", "beta"}});
  return Catalog::build(nets);
}

// --- catalog ------------------------------------------------------------------

TEST(DnsCatalog, BuiltFromEveryDesiredListWithLogLines) {
  EXPECT_TRUE(Catalog::build(network::NetworkMap{})->has_zone());
  LogCapture logs;
  network::NetworkMap nets;
  put_hosts(nets, "https://a.example/", std::nullopt);
  put_hosts(nets, "https://b.example/", Hosts{});
  put_hosts(nets, "https://c.example/", Hosts{{"10.3.0.1", "gamma"}}, /*disabled=*/true);
  const auto c = Catalog::build(nets);
  EXPECT_TRUE(c->has_zone());
  EXPECT_EQ(c->records(), (std::map<std::string, Addrs>{{"gamma.sarvolt.zz.", {ip("10.3.0.1")}}}));
  EXPECT_EQ(server_lines(logs), (std::vector<std::string>{
                                    "trace Building DNS catalog", "trace Using upstream servers: []",
                                    "trace No upstream servers configured, skipping ForwardAuthority for root zone",
                                    "trace Adding DNS A record: gamma.sarvolt.zz -> 10.3.0.1"}));
}

TEST(DnsCatalog, SameNameInTwoNetworks) {
  network::NetworkMap nets;
  put_hosts(nets, "https://a.example/", Hosts{{"10.1.0.7", "alpha"}});
  put_hosts(nets, "https://b.example/", Hosts{{"10.2.0.7", "ALPHA"}});
  put_hosts(nets, "https://c.example/", Hosts{{"10.1.0.7", "Alpha"}});  // same address again
  const auto c = Catalog::build(nets);
  EXPECT_EQ(c->records().at("alpha.sarvolt.zz."), (Addrs{ip("10.1.0.7"), ip("10.2.0.7")}));
  EXPECT_EQ(answer_addrs(ask(*c, query("alpha.sarvolt.zz.")).get()), (std::vector<std::string>{"10.1.0.7", "10.2.0.7"}));
}

TEST(DnsCatalog, InvalidNamesLeftOut) {
  LogCapture logs;
  network::NetworkMap nets;
  const std::string x60 = std::string(60, 'x') + ".";
  put_hosts(nets, "https://a.example/",
            Hosts{{"10.1.0.1", std::string(64, 'a')},
                  {"10.1.0.2", "a..b"},
                  {"10.1.0.3", "bad\\"},
                  {"10.1.0.4", x60 + x60 + x60 + std::string(60, 'w')},  // over 255 bytes with the zone
                  {"10.1.0.5", std::string("nul\0x", 5)},
                  {"10.1.0.6", "ok"},
                  {"10.1.0.9", std::string(63, 'b')}});
  const auto c = Catalog::build(nets);
  ASSERT_EQ(c->records().size(), 2u);
  EXPECT_EQ(c->records().count("ok.sarvolt.zz."), 1u);
  EXPECT_EQ(c->records().count(std::string(63, 'b') + ".sarvolt.zz."), 1u);
  EXPECT_EQ(logs.count("Leaving out DNS A record"), 5u);
  EXPECT_EQ(ldns_pkt_ancount(ask(*c, query("OK.sarvolt.zz.")).get()), 1u);
}

// --- answers -------------------------------------------------------------------

TEST(DnsAnswer, ARecordWithOwnerAsWrittenAndLogLines) {
  const auto c = alpha_catalog();
  LogCapture logs;
  const auto r = ask(*c, query("aLPHA.SARVOLT.ZZ.", {.edns = 1232, .dnssec_ok = true}));
  ASSERT_TRUE(r);
  EXPECT_EQ(ldns_pkt_id(r.get()), 0x1234);
  EXPECT_TRUE(ldns_pkt_qr(r.get()) && ldns_pkt_aa(r.get()) && ldns_pkt_rd(r.get()));
  EXPECT_FALSE(ldns_pkt_ra(r.get()) || ldns_pkt_tc(r.get()));
  EXPECT_EQ(ldns_pkt_get_rcode(r.get()), LDNS_RCODE_NOERROR);
  ASSERT_EQ(ldns_pkt_qdcount(r.get()), 1u);
  EXPECT_EQ(rdf_text(ldns_rr_owner(ldns_rr_list_rr(ldns_pkt_question(r.get()), 0))), "aLPHA.SARVOLT.ZZ.");
  ASSERT_EQ(ldns_pkt_ancount(r.get()), 1u);
  const ldns_rr* a = ldns_rr_list_rr(ldns_pkt_answer(r.get()), 0);
  EXPECT_EQ(ldns_rr_get_type(a), LDNS_RR_TYPE_A);
  EXPECT_EQ(ldns_rr_ttl(a), 10u);
  EXPECT_EQ(rdf_text(ldns_rr_owner(a)), "Alpha.sarvolt.zz.");
  EXPECT_EQ(answer_addrs(r.get()), std::vector<std::string>{"10.1.0.7"});
  EXPECT_EQ(server_lines(logs), (std::vector<std::string>{
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

// ANY gets the A records; the apex exists without records (NODATA).
TEST(DnsAnswer, NoDataNxDomainAndRefused) {
  LogCapture logs;
  const auto c = alpha_catalog();
  const auto check = [&](const char* name, ldns_rr_type type, bool rd, ldns_pkt_rcode rcode, std::size_t answers = 0) {
    const auto r = ask(*c, query(name, {.type = type, .rd = rd}));
    ASSERT_TRUE(r);
    EXPECT_EQ(ldns_pkt_get_rcode(r.get()), rcode) << name << " " << type;
    EXPECT_EQ(ldns_pkt_ancount(r.get()), answers) << name << " " << type;
    EXPECT_EQ(ldns_pkt_aa(r.get()), rcode != LDNS_RCODE_REFUSED) << name;
  };
  for (const auto type : {LDNS_RR_TYPE_AAAA, LDNS_RR_TYPE_MX}) check("beta.sarvolt.zz.", type, true, LDNS_RCODE_NOERROR);
  check("beta.sarvolt.zz.", LDNS_RR_TYPE_ANY, true, LDNS_RCODE_NOERROR, 1);
  for (const char* apex : {"sarvolt.zz.", "SARVOLT.zz."}) check(apex, LDNS_RR_TYPE_A, true, LDNS_RCODE_NOERROR);
  for (const char* name : {"gamma.sarvolt.zz.", "x.alpha.sarvolt.zz."})
    check(name, LDNS_RR_TYPE_A, true, LDNS_RCODE_NXDOMAIN);
  for (const char* name : {"example.com.", "alpha.sarvolt.zz.evil.", "xsarvolt.zz.", "zz.", "."})
    check(name, LDNS_RR_TYPE_A, true, LDNS_RCODE_REFUSED);
  EXPECT_EQ(logs.count("request disabled recursion"), 0u);
  check("alpha.sarvolt.zz.", LDNS_RR_TYPE_A, false, LDNS_RCODE_REFUSED);
  EXPECT_TRUE(logs.contains("debug", "request disabled recursion, returning REFUSED"));
  EXPECT_EQ(ldns_pkt_get_rcode(ask(Catalog{}, query("alpha.sarvolt.zz.")).get()), LDNS_RCODE_REFUSED) << "no zone";
}

TEST(DnsAnswer, QuestionCountAndOpcode) {
  const auto c = alpha_catalog();
  Pkt p(ldns_pkt_new());
  ldns_pkt_set_id(p.get(), 7);
  ldns_pkt_set_rd(p.get(), true);
  const auto none = ask(*c, encode(p.get()));
  ASSERT_TRUE(none);
  EXPECT_EQ(ldns_pkt_get_rcode(none.get()), LDNS_RCODE_FORMERR);
  EXPECT_EQ(ldns_pkt_id(none.get()), 7);
  for (const char* q_text : {"alpha.sarvolt.zz. IN A", "beta.sarvolt.zz. IN A"}) {
    ldns_rr* q = nullptr;
    ASSERT_EQ(ldns_rr_new_question_frm_str(&q, q_text, nullptr, nullptr), LDNS_STATUS_OK);
    ldns_pkt_push_rr(p.get(), LDNS_SECTION_QUESTION, q);
  }
  LogCapture logs;
  const auto two = ask(*c, encode(p.get()));
  ASSERT_TRUE(two);
  EXPECT_EQ(ldns_pkt_get_rcode(two.get()), LDNS_RCODE_FORMERR);
  EXPECT_EQ(ldns_pkt_ancount(two.get()), 0u);
  EXPECT_EQ(logs.count("Processing DNS query query="), 2u) << "every question is logged";
  const auto notify = ask(*c, query("alpha.sarvolt.zz.", {.opcode = LDNS_PACKET_NOTIFY}));
  ASSERT_TRUE(notify);
  EXPECT_EQ(ldns_pkt_get_rcode(notify.get()), LDNS_RCODE_NOTIMPL);
  EXPECT_EQ(ldns_pkt_get_opcode(notify.get()), LDNS_PACKET_NOTIFY);
}

TEST(DnsAnswer, NoReplyToResponsesOrUndecodablePayloads) {
  const auto c = alpha_catalog();
  {
    LogCapture logs;
    auto q = query("alpha.sarvolt.zz.");
    q[2] |= 0x80;  // QR: answering would reflect
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
  const std::vector<Bytes> seeds = {query("alpha.sarvolt.zz.", {.edns = 1232}), query("beta.sarvolt.zz."),
                                    query("x.example.com.", {.type = LDNS_RR_TYPE_AAAA})};
  int replies = 0;
  for (int i = 0; i < 2000; ++i) {
    Bytes b;
    if (i % 2 == 0) {
      b.resize(rng() % 80);
      for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    } else {
      b = seeds[rng() % seeds.size()];
      if (i % 4 == 1)
        b.resize(rng() % b.size());
      else
        b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    const auto r = agent::dns::respond(*c, b, kClient, 53);
    if (!r) continue;
    ++replies;
    ASSERT_GE(r->size(), 12u);
    EXPECT_TRUE((*r)[0] == b[0] && (*r)[1] == b[1] && ((*r)[2] & 0x80));
    ldns_pkt* p = nullptr;
    ASSERT_EQ(ldns_wire2pkt(&p, r->data(), r->size()), LDNS_STATUS_OK);
    ldns_pkt_free(p);
  }
  EXPECT_GT(replies, 100);
}

// --- size limits -----------------------------------------------------------------

TEST(DnsSize, ReplyTruncatedToEdnsSizeOr4096) {
  // "big" has 300 addresses, about 4.8 kB of answers.
  network::NetworkMap nets;
  for (int i = 0; i < 300; ++i) {
    const std::string addr = "10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    put_hosts(nets, "https://n" + std::to_string(i) + ".example/", Hosts{{addr.c_str(), "big"}});
  }
  const auto c = Catalog::build(nets);
  const std::pair<std::optional<std::uint16_t>, std::size_t> cases[] = {{std::nullopt, 4096}, {1232, 1232}, {256, 512}};
  for (const auto& [asked, limit] : cases) {
    LogCapture logs;
    Bytes wire;
    const auto r = ask(*c, query("big.sarvolt.zz.", {.edns = asked}), &wire);
    ASSERT_TRUE(r);
    EXPECT_TRUE(logs.contains("trace", "setting response max size: " + std::to_string(limit) + " for protocol: Udp"));
    // Truncated, and as full as the limit allows: one more A record takes 16 bytes.
    EXPECT_LE(wire.size(), limit);
    EXPECT_GT(wire.size() + 16, limit);
    EXPECT_TRUE(ldns_pkt_tc(r.get())) << limit;
    EXPECT_GT(ldns_pkt_ancount(r.get()), 0u);
    EXPECT_EQ(ldns_pkt_get_rcode(r.get()), LDNS_RCODE_NOERROR);
    EXPECT_EQ(ldns_pkt_edns(r.get()), asked.has_value());
    if (asked) {
      EXPECT_EQ(ldns_pkt_edns_udp_size(r.get()), limit);
    }
    EXPECT_FALSE(ldns_pkt_edns_do(r.get()));
  }
  const auto small = ask(*c, query("nothing.sarvolt.zz.", {.edns = 4000, .dnssec_ok = true}));
  ASSERT_TRUE(small);
  EXPECT_EQ(ldns_pkt_edns_udp_size(small.get()), 4000);
  EXPECT_TRUE(ldns_pkt_edns_do(small.get()));
  EXPECT_FALSE(ldns_pkt_tc(small.get()));
}

// --- reply packet -------------------------------------------------------------

TEST(DnsReplyPacket, HeaderFieldsAndChecksums) {
  const Bytes dns = {0xDE, 0xAD, 0x81, 0x80, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42};  // odd length
  const auto p = agent::dns::build_reply_packet(ip("10.1.2.254"), 53, ip("10.1.2.3"), 51000, dns);
  ASSERT_EQ(p.size(), 28 + dns.size());
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 10), (Bytes{0x45, 0x00, 0x00, 41, 0x00, 0x00, 0x40, 0x00, 64, 17}));
  EXPECT_EQ(Bytes(p.begin() + 12, p.begin() + 26), (Bytes{10, 1, 2, 254, 10, 1, 2, 3, 0, 53, 0xC7, 0x38, 0, 21}));
  EXPECT_EQ(Bytes(p.begin() + 28, p.end()), dns);
  EXPECT_EQ(ones_sum(std::span(p).first(20)), 0xFFFF) << "IPv4 header checksum";
  // The pseudo-header (addresses, protocol, UDP length) and the datagram.
  EXPECT_EQ(ones_sum(std::span(p).subspan(12), static_cast<std::uint32_t>(17 + p.size() - 20)), 0xFFFF)
      << "UDP checksum";
  EXPECT_NE((p[26] << 8) | p[27], 0);
}

}  // namespace
}  // namespace sarvolt::test
