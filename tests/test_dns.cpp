// The overlay DNS: the catalog, answers and their size limits, the reply
// packet, interception, the apply step, the request queue, the server
// driver, and one query answered through the agent's TUN driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/dns/message.hpp"
#include "agent/dns/mobile.hpp"
#include "agent/dns/server.hpp"
#include "data_plane.hpp"

namespace sarvolt::test {
namespace {

namespace dns = agent::dns;
using dns::Catalog;
using testing::Contains;
using util::Ipv4Addr;
using Addrs = std::vector<Ipv4Addr>;
using Hosts = std::vector<std::pair<const char*, std::string>>;

const Ipv4Addr kClient = Ipv4Addr::from_octets(10, 1, 2, 3);

// A network with its TUN network applied and its desired host names, if given.
network::Network& add_network(network::NetworkMap& m, const std::string& url, std::optional<const char*> tun_net,
                              std::optional<Hosts> names = std::nullopt, bool disabled = false) {
  const auto u = *util::Url::parse(url);
  auto& n = m.try_emplace(u, network::Network(u, disabled)).first->second;
  if (tun_net) n.current.ip = {net(*tun_net), std::nullopt};
  if (names) {
    n.desired.hostnames.applied.emplace();
    for (const auto& [addr, host] : *names) n.desired.hostnames.applied->names.emplace(ip(addr), host);
  }
  return n;
}

struct Q {
  std::uint16_t type = 1;
  std::optional<std::uint16_t> edns = std::nullopt;
  bool dnssec_ok = false;
};

// A query with id 0x1234 and RD for `name` ("host.sarvolt.zz.") of class IN; an OPT record (version 0) when `edns`
// is set.
Bytes query(std::string_view name, Q o = {}) {
  Bytes b = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, o.edns.has_value()};
  for (std::size_t at = 0, dot = 0; at + 1 < name.size(); at = dot + 1) {
    dot = name.find('.', at);
    b.push_back(static_cast<std::uint8_t>(dot - at));
    b.insert(b.end(), name.begin() + at, name.begin() + dot);
  }
  b.insert(b.end(), {0, static_cast<std::uint8_t>(o.type >> 8), static_cast<std::uint8_t>(o.type), 0, 1});
  if (o.edns)
    b.insert(b.end(), {0, 0, 41, static_cast<std::uint8_t>(*o.edns >> 8), static_cast<std::uint8_t>(*o.edns), 0, 0,
                       static_cast<std::uint8_t>(o.dnssec_ok << 7), 0, 0, 0});
  return b;
}

std::vector<std::string> texts(const LogCapture& logs) {  // "level text" of each line
  std::vector<std::string> out;
  for (const auto& l : logs.lines()) out.push_back(l.level + " " + l.text);
  return out;
}

Bytes hex_bytes(std::string_view text) {  // pairs of hex digits; spaces ignored
  Bytes out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] != ' ') out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i++, 2)), nullptr, 16)));
  return out;
}

// The catalog holds "Alpha" (10.1.0.6, 10.2.0.7) and "gamma" (10.3.0.1). A reply without records is the query
// with other flags (byte 2 and 3): its header, its question and, when asked with EDNS (size 512 or more, DO),
// the same OPT record.
TEST(DnsAnswer, CatalogOfEveryDesiredListLeavingOutInvalidNamesAndRepliesByTheirBytes) {
  EXPECT_TRUE(Catalog::build(network::NetworkMap{})->has_zone());
  LogCapture logs;
  network::NetworkMap nets;
  const std::string x60 = std::string(60, 'x') + ".";
  add_network(nets, "https://a.example/", std::nullopt);
  add_network(nets, "https://c.example/", std::nullopt, Hosts{{"10.3.0.1", "gamma"}}, /*disabled=*/true);
  add_network(nets, "https://d.example/", std::nullopt,
              Hosts{{"10.1.0.1", std::string(64, 'a')}, {"10.1.0.2", "a..b"}, {"10.1.0.3", "bad\\"},
                    {"10.1.0.4", x60 + x60 + x60 + std::string(60, 'w')},  // over 255 bytes with the zone
                    {"10.1.0.5", std::string("nul\0x", 5)}, {"10.1.0.6", "Alpha"}, {"10.1.0.9", std::string(63, 'b')}});
  add_network(nets, "https://e.example/", std::nullopt, Hosts{{"10.2.0.7", "ALPHA"}, {"10.1.0.6", "alpha"}});
  const auto c = Catalog::build(nets);
  EXPECT_EQ(c->records(), (std::map<std::string, Addrs>{{"alpha.sarvolt.zz.", {ip("10.1.0.6"), ip("10.2.0.7")}},
                                                        {std::string(63, 'b') + ".sarvolt.zz.", {ip("10.1.0.9")}},
                                                        {"gamma.sarvolt.zz.", {ip("10.3.0.1")}}}));
  EXPECT_EQ(logs.count("Leaving out DNS A record"), 5u);
  EXPECT_TRUE(logs.contains("trace", "Adding DNS A record: gamma.sarvolt.zz -> 10.3.0.1"));

  const std::string apex = "07736172766f6c74 027a7a 00", gamma = "0567616d6d61 " + apex;
  const std::string opt = "00 0029 04d0 00 00 0000 0000", opt_v1 = "00 0029 04d0 00 01 0000 0000";
  const std::string q = "0161 00 0001 0001";  // A a.
  const struct {
    const char* what;
    Bytes query;
    std::uint16_t flags;  // of a reply without records
    std::string answer = {};
  } cases[] = {
      {"apex A: NODATA", query("sarvolt.zz."), 0x8500},
      {"AAAA: NODATA", query("gamma.sarvolt.zz.", {.type = 28}), 0x8500},
      {"NXDOMAIN", query("nobody.sarvolt.zz."), 0x8503},
      {"NXDOMAIN with EDNS size and DO", query("nothing.sarvolt.zz.", {.edns = 4000, .dnssec_ok = true}), 0x8503},
      {"outside the zone", query("example.com."), 0x8105},
      {"the zone's bytes inside a label", query("x\x07sarvolt.zz."), 0x8105},
      {"above the zone", query("zz."), 0x8105},
      {"the root", query("."), 0x8105},
      {"no RD: REFUSED", hex_bytes("1234 0000 0001 0000 0000 0000 " + gamma + " 0001 0001"), 0x8005},
      {"owner as first written, question as asked; the second owner points at the first",
       query("aLPHA.SARVOLT.ZZ.", {.edns = 1232, .dnssec_ok = true}), 0,
       "1234 8500 0001 0002 0000 0001 05614c504841 07534152564f4c54 025a5a 00 0001 0001 05416c706861 " + apex +
           " 0001 0001 0000000a 0004 0a010006 c022 0001 0001 0000000a 0004 0a020007 00 0029 04d0 00 00 8000 0000"},
      {"EDNS version 1: BADVERS", hex_bytes("1234 0100 0001 0000 0000 0001 " + gamma + " 0001 0001" + opt_v1), 0,
       "1234 8100 0001 0000 0000 0001 " + gamma + " 0001 0001 00 0029 04d0 01 00 0000 0000"},
      {"two OPT records: FORMERR", hex_bytes("1234 0100 0001 0000 0000 0002 " + gamma + " 0001 0001" + opt + opt), 0,
       "1234 8101 0001 0000 0000 0000 " + gamma + " 0001 0001"},
      {"ANY: the A records", query("gamma.sarvolt.zz.", {.type = 255}), 0,
       "1234 8500 0001 0001 0000 0000 " + gamma + " 00ff 0001 c00c 0001 0001 0000000a 0004 0a030001"},
      {"a record whose owner points back: read",
       hex_bytes("1234 0100 0001 0001 0000 0000 " + q + " c00c 0001 0001 00000000 0000"), 0,
       "1234 8105 0001 0000 0000 0000 " + q},
      {"class CH: REFUSED", hex_bytes("1234 0100 0001 0000 0000 0000 " + gamma + " 0001 0003"), 0,
       "1234 8105 0001 0000 0000 0000 " + gamma + " 0001 0003"},
      {"a trailing byte: ignored", hex_bytes("1234 0100 0001 0000 0000 0000 " + gamma + " 0001 0001 ff"), 0,
       "1234 8500 0001 0001 0000 0000 " + gamma + " 0001 0001 c00c 0001 0001 0000000a 0004 0a030001"},
  };
  for (const auto& k : cases) {
    Bytes want = k.answer.empty() ? k.query : hex_bytes(k.answer);
    if (k.answer.empty()) put16(want, 2, k.flags);
    EXPECT_EQ(dns::respond(*c, k.query, kClient, 51000), want) << k.what;
  }
  for (const char* line : {"debug request:4660 src:UDP://10.1.2.3#51000 type:QUERY dnssec:true QUERY qflags:RD",
                           "debug query:alpha.sarvolt.zz.:A:IN", "debug sending response id=4660 response_code=NOERROR",
                           "debug request disabled recursion, returning REFUSED",
                           "trace setting response max size: 1232 for protocol: Udp"})
    EXPECT_THAT(texts(logs), Contains(line));
  EXPECT_EQ(logs.count("request disabled recursion"), 1u) << "only for the query without RD";
}

// The reader's error, logged with its place: bad names, short records.
TEST(DnsAnswer, NoReplyToUndecodableMessagesOrResponses) {
  const auto c = Catalog::build({});
  const std::string head = "1234 0100 0001 0000 0000 ", q = "0161 00 0001 0001";
  std::string long_name;
  for (int i = 0; i < 5; ++i) long_name += "3f" + std::string(126, '6');
  const std::pair<std::string, std::string> cases[] = {
      {"010203", "message shorter than a header (at byte 3)"},
      {head + "0000 c00e 0001 0001", "compression pointer does not point back (at byte 12)"},
      {head + "0000 c00c 0001 0001", "compression pointer does not point back (at byte 12)"},
      {head + "0000 40" + std::string(128, '6') + "00 0001 0001", "label longer than 63 bytes (at byte 12)"},
      {head + "0000 " + long_name + "00 0001 0001", "name longer than 255 bytes (at byte 12)"},
      {head + "0000 0161 00 00", "question runs past the end of the message (at byte 15)"},
      {head + "0001 " + q, "name runs past the end of the message (at byte 19)"},
      {head + "0001 " + q + " 00 0001 0001 00000000 0005 00",
       "record data runs past the end of the message (at byte 30)"},
  };
  for (const auto& [text, error] : cases) {
    LogCapture logs;
    EXPECT_FALSE(dns::respond(*c, hex_bytes(text), kClient, 1)) << text;
    EXPECT_EQ(texts(logs), (std::vector<std::string>{"error Failed to decode DNS message: " + error,
                                                     "trace DNS packet processing completed"}));
  }
  auto response = query("alpha.sarvolt.zz.");
  response[2] |= 0x80;  // QR: answering would reflect
  LogCapture logs;
  EXPECT_FALSE(dns::respond(*c, response, kClient, 1));
  EXPECT_EQ(texts(logs), (std::vector<std::string>{
                             "trace Successfully decoded DNS message",
                             "trace Dropping DNS response message to prevent reflection attacks"}));
}

// A thousand names (probing past hash collisions), each found whatever its case while a near miss is not; "big"
// with 300 addresses, about 4.8 kB of answers of 16 bytes each (a pointer to the question as owner).
TEST(DnsCatalog, ThousandNamesFoundAndRepliesTruncatedToEdnsSizeOr4096) {
  network::NetworkMap nets;
  auto& list = add_network(nets, "https://a.example/", std::nullopt, Hosts{}).desired.hostnames.applied->names;
  for (std::uint32_t i = 0; i < 1000; ++i) list.emplace(Ipv4Addr(0x0A000001u + i), fmt::format("Host-{}", i));
  for (std::uint32_t i = 0; i < 300; ++i) list.emplace(Ipv4Addr(0x0A090001u + i), "big");
  const auto c = Catalog::build(nets);
  for (std::uint32_t i = 0; i < 1000; ++i) {
    const auto host = c->find(*dns::parse_name(fmt::format("hOST-{}.sarvolt.ZZ", i)));
    ASSERT_TRUE(host && host->addrs.size() == 1 && host->addrs[0] == Ipv4Addr(0x0A000001u + i)) << i;
    EXPECT_FALSE(c->find(*dns::parse_name(fmt::format("host-{}x.sarvolt.zz", i))));
  }
  for (const auto& [asked, limit] : {std::pair<std::optional<std::uint16_t>, std::size_t>{std::nullopt, 4096},
                                     {1232, 1232}, {256, 512}}) {
    const auto r = dns::respond(*c, query("big.sarvolt.zz.", {.edns = asked}), kClient, 1);
    const auto opt = hex_bytes(asked ? fmt::format("00 0029 {:04x} 00 00 0000 0000", limit) : "");
    const std::size_t answers = (limit - 32 - opt.size()) / 16;  // as many as fit after header and question
    ASSERT_EQ(r.value().size(), 32 + 16 * answers + opt.size()) << limit;
    EXPECT_EQ(Bytes(r->begin(), r->begin() + 12), hex_bytes(fmt::format("1234 8700 0001 {:04x} 0000 000{}", answers,
                                                                         int(asked.has_value()))))
        << "TC, NOERROR: " << limit;
    EXPECT_EQ(Bytes(r->end() - opt.size(), r->end()), opt) << limit;
  }
}

TEST(DnsSize, EncodingFailureFallsBackToServfail) {
  EXPECT_EQ(dns::servfail_header(0xABCD), (Bytes{0xAB, 0xCD, 0x80, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
  LogCapture logs;
  const Addrs addrs = {ip("10.0.0.1")};
  Bytes scratch;
  const auto out = dns::encode_reply({.id = 0x0102, .owner = "\x50", .addrs = addrs, .edns = {}}, scratch);
  EXPECT_EQ(Bytes(out.begin(), out.end()), (Bytes{0x01, 0x02, 0x80, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(logs.contains("error", "error encoding message error=malformed owner name"));
  EXPECT_TRUE(logs.contains("trace", "Falling back to SERVFAIL response due to encoding error"));
}

TEST(DnsReplyPacket, ZeroUdpChecksumIsSentAsAllOnes) {
  const auto packet = [](std::uint16_t w) {  // with the payload word w
    const Bytes dns = {static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)};
    return dns::build_reply_packet(ip("10.1.2.254"), 53, ip("10.1.2.3"), 4242, dns);
  };
  const auto udp_sum = [](Bytes p) {  // pseudo-header and datagram with the checksum field zeroed
    p[26] = p[27] = 0;
    return ones_sum(std::span(p).subspan(12), static_cast<std::uint32_t>(17 + p.size() - 20));
  };
  const auto p = packet(static_cast<std::uint16_t>(0xFFFF - udp_sum(packet(0))));  // its checksum is 0
  EXPECT_EQ(p[26] << 8 | p[27], 0xFFFF);
}

const Bytes kQuery = ipv4_packet({.dst = "10.0.0.254", .dport = 53, .data = query("b.sarvolt.zz.")});

// Offers the first `size` bytes of `packet` (all when 0) with the header of the whole packet.
bool offer(dns::AgentDns& d, std::shared_ptr<util::AsyncTun> tun = {}, const Bytes& packet = kQuery,
           std::size_t size = 0) {
  return d.handle_outbound_packet({packet.data(), size ? size : packet.size()},
                                  *util::Ipv4HeaderView::decode(packet), std::move(tun));
}

struct Udp {  // a datagram from 10.0.0.1:40000 to the DNS server address 10.0.0.254:53, unless changed
  const char* dst = "10.0.0.254";
  std::uint8_t protocol = 17;
  std::uint16_t fragment_offset = 0;
  bool more_fragments = false;
  std::uint16_t dport = 53, sport = 40000;
  std::size_t options = 0;  // IPv4 option bytes (NOPs), a multiple of 4
  Bytes data = {1, 2, 3, 4};
};

Bytes packet(const Udp& u) {
  auto p = ipv4_packet({.dst = u.dst, .protocol = u.protocol, .payload = 8, .fragment_offset = u.fragment_offset,
                        .more_fragments = u.more_fragments, .dport = u.dport, .sport = u.sport, .data = u.data});
  p.insert(p.begin() + 20, u.options, 1);
  p[0] = static_cast<std::uint8_t>(0x45 + u.options / 4);
  put16(p, 2, static_cast<std::uint16_t>(p.size()));
  return p;
}

// A DNS object over a fixed address set and a server without a driver: the test reads its queue.
struct RecordingDns : dns::AgentDns {
  explicit RecordingDns(const Addrs& ips) { addresses.publish(ips); }
  boost::asio::awaitable<void> apply_desired_state(network::NetworkMap&) override { co_return; }
  bool is_server_ip(Ipv4Addr a) const override { return addresses.contains(a); }
  std::optional<Ipv4Addr> server_ip() const override { return std::nullopt; }
  dns::DnsServer* send_channel() const override { return server.get(); }
  void shutdown() override {}

  boost::asio::io_context io;  // never run
  dns::DnsServerRef server = std::make_shared<dns::DnsServer>(io.get_executor());
  dns::DnsServerAddresses addresses;
};

TEST(DnsInterception, TakesOnlyWholeUdpQueriesToPort53OfAServerAddress) {
  RecordingDns d({ip("10.0.0.254"), ip("10.1.255.254")});
  const struct {
    const char* what;
    Udp u;
    std::size_t size;  // offered; 0: all
    bool taken;
  } cases[] = {
      {"query", Udp{}, 0, true},
      {"second server address", Udp{.dst = "10.1.255.254"}, 0, true},
      {"bare UDP header", Udp{.data = {}}, 28, true},
      {"7 bytes of UDP header", Udp{.data = {}}, 27, false},
      {"TCP", Udp{.protocol = 6}, 0, false},
      {"port 5353", Udp{.dport = 5353}, 0, false},
      {"unknown destination", Udp{.dst = "10.0.0.253"}, 0, false},
      {"more fragments", Udp{.more_fragments = true}, 0, false},
      {"fragment offset", Udp{.fragment_offset = 1}, 0, false},
      {"header longer than the packet", Udp{.options = 40, .data = {}}, 40, false},
      {"header as long as the packet", Udp{.options = 40, .data = {}}, 60, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(offer(d, nullptr, packet(c.u), c.size), c.taken) << c.what;
    const auto r = d.server->try_receive();
    ASSERT_EQ(r.has_value(), c.taken) << c.what;
    if (r) {
      EXPECT_EQ(r->dst, ip(c.u.dst)) << c.what;
    }
  }
}

TEST(DnsInterception, RequestCarriesAddressesPortsPayloadAndDevice) {
  RecordingDns d({ip("10.0.0.254")});
  SocketTun st;
  const auto tun = st.take(d.io);
  // Header options move the UDP header.
  EXPECT_TRUE(offer(d, tun, packet(Udp{.sport = 5555, .options = 4, .data = {9, 8, 7}})));
  const auto r = d.server->try_receive();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->src, ip("10.0.0.1"));
  EXPECT_EQ(r->dst, ip("10.0.0.254"));
  EXPECT_EQ(r->src_port, 5555);
  EXPECT_EQ(r->dst_port, 53);
  EXPECT_EQ(r->payload, (Bytes{9, 8, 7}));
  EXPECT_EQ(r->tun_device, tun);
}

TEST(DnsInterception, QueueCapDropsTheExcessWithADebugLine) {
  LogCapture logs;
  RecordingDns d({ip("10.0.0.254")});
  for (std::size_t i = 0; i < dns::kRequestQueueCapacity + 1; ++i) ASSERT_TRUE(offer(d)) << i;
  std::size_t queued = 0;
  while (queued <= dns::kRequestQueueCapacity && d.server->try_receive()) ++queued;
  EXPECT_EQ(queued, dns::kRequestQueueCapacity);
  EXPECT_EQ(logs.count("DNS request queue is full"), 1u);
  EXPECT_TRUE(logs.contains("debug", "DNS request queue is full (1024 requests), dropping request from 10.0.0.1:40000"));
}

TEST(DnsInterception, WithTheServerGoneQueriesAreStillTakenAndSendFails) {
  const std::pair<const char*, void (*)(RecordingDns&)> cases[] = {
      {"queue closed", [](RecordingDns& d) { d.server->close_requests(); }},
      {"shut down", [](RecordingDns& d) { d.server->shutdown(); }},
      {"no server", [](RecordingDns& d) { d.server.reset(); }},
  };
  for (const auto& [what, gone] : cases) {
    RecordingDns d({ip("10.0.0.254")});
    gone(d);
    EXPECT_TRUE(offer(d)) << what;
    const auto r = d.send(dns::DnsServerRequest{});
    ASSERT_FALSE(r) << what;
    EXPECT_EQ(r.error().to_string(), "I/O error: Failed to send DNS request") << what;
  }
}

TEST(DnsInterception, QueriesToAppliedAddressesAreQueuedUpToTheCapAndDroppedAtShutdown) {
  LogCapture logs;
  Runtime rt;
  dns::MobileAgentDns d(std::make_shared<dns::DnsServer>(rt.io.get_executor()));  // no driver: the test reads the queue
  const auto& server = d.server();
  EXPECT_FALSE(offer(d)) << "no address before the apply step";
  network::NetworkMap m;
  add_network(m, "file:///a.toml", "10.0.0.1/24");
  rt.run(d.apply_desired_state(m));
  SocketTun st;
  const auto tun = st.take(rt.io);
  for (std::size_t i = 0; i < dns::kRequestQueueCapacity + 1; ++i) ASSERT_TRUE(offer(d, tun)) << i;
  EXPECT_EQ(server->try_receive().value().tun_device, tun);
  std::size_t queued = 1;
  while (server->try_receive()) ++queued;
  EXPECT_EQ(queued, dns::kRequestQueueCapacity);
  EXPECT_TRUE(logs.contains("debug", "DNS request queue is full (1024 requests), dropping request from 10.0.0.1:40000"));

  for (int i = 0; i < 5; ++i) ASSERT_TRUE(offer(d, tun));
  EXPECT_TRUE(server->shutdown());
  EXPECT_FALSE(server->shutdown()) << "a second shutdown does nothing";
  auto done = boost::asio::co_spawn(rt.io, dns::DnsServer::run(server), boost::asio::use_future);
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "the driver ends on shutdown";
  EXPECT_TRUE(done.get());
  EXPECT_FALSE(st.read(100ms)) << "no queued request is answered";
  EXPECT_EQ(tun.use_count(), 1) << "queued requests are dropped";
  EXPECT_TRUE(offer(d)) << "taken, and dropped";
  EXPECT_EQ(d.send(dns::DnsServerRequest{}).error().to_string(), "I/O error: Failed to send DNS request");
}

// The apply step over the test's platform operations.
struct DnsApply : ::testing::Test, dns::PlatformDnsOps {
  // Fails with the text `fail`, if any; else the resolver's address becomes `next`.
  Result<void> change(const std::optional<std::string>& fail, std::optional<Ipv4Addr> next) {
    if (fail) co_return util::Unexpected(core::Error::io(*fail));
    current = next;
    co_return util::Expected<void, core::Error>{};
  }
  Result<std::optional<Ipv4Addr>> get_current_dns_ip() override {
    if (fail_get) co_return util::Unexpected(core::Error::io(*fail_get));
    co_return current;
  }
  Result<void> set_dns_ip(Ipv4Addr a) override {
    ++sets;
    return change(fail_set, a);
  }
  Result<void> remove_dns_ip() override { return change(fail_remove, std::nullopt); }
  Result<void> flush_caches() override {
    ++flushes;
    return change(fail_flush, current);
  }
  std::vector<std::string> apply() {  // its log lines as "level text"
    LogCapture logs;
    rt.run(dns::apply_desired_state_common(*this, *server, addresses, networks));
    return texts(logs);
  }

  std::optional<Ipv4Addr> current;  // the resolver's
  std::optional<std::string> fail_get, fail_set, fail_remove, fail_flush;  // failure texts
  int sets = 0, flushes = 0;
  Runtime rt;
  dns::DnsServerRef server = std::make_shared<dns::DnsServer>(rt.io.get_executor());
  dns::DnsServerAddresses addresses;
  network::NetworkMap networks;
};

TEST(DnsAddresses, BroadcastMinusOneOfEveryEnabledAppliedNetwork) {
  network::NetworkMap m;
  add_network(m, "file:///a.toml", "192.168.7.3/24");
  add_network(m, "file:///b.toml", "10.9.0.1/16", std::nullopt, /*disabled=*/true);
  add_network(m, "file:///c.toml", std::nullopt);
  add_network(m, "file:///d.toml", "0.0.0.0/32");
  add_network(m, "file:///e.toml", "192.168.7.9/24");
  EXPECT_EQ(dns::calculate_dns_server_ips(m), (Addrs{ip("192.168.7.254"), ip("0.0.0.0"), ip("192.168.7.254")}));
}

TEST_F(DnsApply, SetsOnceServesAllSwitchesAndRemoves) {
  add_network(networks, "file:///a.toml", "10.0.0.1/24");
  auto& b = add_network(networks, "file:///b.toml", "10.1.0.1/16");
  auto log = apply();
  EXPECT_THAT(log, Contains("trace We need to set DNS server to 10.0.0.254."));
  EXPECT_THAT(log, Contains("trace Successfully set DNS server to 10.0.0.254."));
  EXPECT_EQ(addresses.list(), (Addrs{ip("10.0.0.254"), ip("10.1.255.254")}));
  EXPECT_EQ(addresses.reported(), ip("10.0.0.254")) << "the first network's";

  log = apply();
  EXPECT_THAT(log, testing::Not(Contains(testing::HasSubstr("DNS server")))) << "nothing to do";
  EXPECT_EQ(sets, 1);
  EXPECT_EQ(flushes, 2);

  networks.erase(networks.begin());
  log = apply();
  EXPECT_THAT(log, Contains("trace Removing DNS server because current IP is not in desired state: "
                            "current_ip=10.0.0.254, desired_ip=Some(10.1.255.254)"));
  EXPECT_THAT(log, Contains("trace We need to set DNS server to 10.1.255.254."));
  EXPECT_EQ(addresses.reported(), ip("10.1.255.254"));
  EXPECT_FALSE(addresses.contains(ip("10.0.0.254")));

  b.disabled = true;
  log = apply();
  EXPECT_THAT(log, Contains("trace Removing DNS server because current IP is not in desired state: "
                            "current_ip=10.1.255.254, desired_ip=None"));
  EXPECT_THAT(log, Contains("trace Successfully removed DNS server."));
  EXPECT_TRUE(addresses.list().empty());
  EXPECT_FALSE(addresses.reported());
  EXPECT_FALSE(current);
}

TEST_F(DnsApply, FlushFailureLeavesHostnamesApplied) {
  auto& n = add_network(networks, "file:///a.toml", "10.0.0.1/24", Hosts{{"10.0.0.1", "alpha"}});
  fail_flush = "f";
  EXPECT_THAT(apply(), Contains("warning Unable to flush DNS caches: I/O error: f."));
  EXPECT_EQ(n.current.hostnames, n.desired.hostnames);
  EXPECT_EQ(server->catalog()->records().count("alpha.sarvolt.zz."), 1u);
  EXPECT_EQ(addresses.reported(), ip("10.0.0.254"));
}

TEST_F(DnsApply, HostnameChangeRebuildsOnceAndCopiesDesired) {
  const auto rebuilds = [](const std::vector<std::string>& log) {
    return std::count(log.begin(), log.end(), "trace Building DNS catalog");
  };
  auto& a = add_network(networks, "file:///a.toml", "10.0.0.1/24", Hosts{{"10.0.0.1", "alpha"}});
  auto& b = add_network(networks, "file:///b.toml", "10.1.0.1/24", Hosts{{"10.1.0.7", "Beta"}});
  EXPECT_EQ(rebuilds(apply()), 1);
  const auto after = server->catalog();
  EXPECT_EQ(after->records(), (std::map<std::string, Addrs>{{"alpha.sarvolt.zz.", {ip("10.0.0.1")}},
                                                            {"beta.sarvolt.zz.", {ip("10.1.0.7")}}}));
  EXPECT_EQ(a.current.hostnames, a.desired.hostnames);
  EXPECT_EQ(b.current.hostnames, b.desired.hostnames);

  EXPECT_EQ(rebuilds(apply()), 0);
  EXPECT_EQ(server->catalog(), after) << "nothing changed: no rebuild";

  for (auto& [url, n] : networks) n.desired = network::AgentState{};  // as at shutdown
  EXPECT_EQ(rebuilds(apply()), 1);
  EXPECT_TRUE(server->catalog()->records().empty());
  EXPECT_FALSE(a.current.hostnames.applied);
  EXPECT_FALSE(b.current.hostnames.applied);
}

TEST_F(DnsApply, SetsOnceServesAllSwitchesRemovesAndKeepsTheCatalogInStep) {
  add_network(networks, "file:///a.toml", "10.1.0.1/16", Hosts{{"10.1.0.7", "alpha"}});
  auto& b = add_network(networks, "file:///b.toml", "10.0.0.1/24", Hosts{{"10.0.0.1", "Beta"}});
  add_network(networks, "file:///c.toml", "10.9.0.1/16", std::nullopt, /*disabled=*/true);
  add_network(networks, "file:///d.toml", std::nullopt);
  auto& e = add_network(networks, "file:///e.toml", "0.0.0.0/32");  // no address below its broadcast
  fail_flush = "f";
  auto log = apply();
  EXPECT_THAT(log, Contains("trace We need to set DNS server to 10.1.255.254."));
  EXPECT_THAT(log, Contains("trace Successfully set DNS server to 10.1.255.254."));
  EXPECT_THAT(log, Contains("warning Unable to flush DNS caches: I/O error: f."));
  EXPECT_EQ(addresses.list(), (std::vector<Ipv4Addr>{ip("0.0.0.0"), ip("10.0.0.254"), ip("10.1.255.254")}));
  EXPECT_EQ(addresses.reported(), ip("10.1.255.254")) << "the first network's";
  const auto catalog = server->catalog();
  EXPECT_EQ(catalog->records(), (std::map<std::string, Addrs>{{"alpha.sarvolt.zz.", {ip("10.1.0.7")}},
                                                              {"beta.sarvolt.zz.", {ip("10.0.0.1")}}}));
  for (const auto& [url, n] : networks) EXPECT_EQ(n.current.hostnames, n.desired.hostnames);

  log = apply();
  EXPECT_THAT(log, testing::Not(Contains(testing::HasSubstr("DNS server")))) << "nothing to do";
  EXPECT_EQ(server->catalog(), catalog) << "nothing changed: no rebuild";
  EXPECT_EQ(flushes, 2);

  networks.erase(networks.begin());
  log = apply();
  EXPECT_THAT(log, Contains("trace Removing DNS server because current IP is not in desired state: "
                            "current_ip=10.1.255.254, desired_ip=Some(10.0.0.254)"));
  EXPECT_THAT(log, Contains("trace We need to set DNS server to 10.0.0.254."));
  EXPECT_EQ(addresses.reported(), ip("10.0.0.254"));
  EXPECT_FALSE(addresses.contains(ip("10.1.255.254")));

  b.disabled = e.disabled = true;
  b.desired = network::AgentState{};  // as at shutdown
  log = apply();
  EXPECT_THAT(log, Contains("trace Removing DNS server because current IP is not in desired state: "
                            "current_ip=10.0.0.254, desired_ip=None"));
  EXPECT_THAT(log, Contains("trace Successfully removed DNS server."));
  EXPECT_TRUE(addresses.list().empty());
  EXPECT_FALSE(addresses.reported());
  EXPECT_FALSE(current);
  EXPECT_TRUE(server->catalog()->records().empty());
  EXPECT_FALSE(b.current.hostnames.applied);
}

TEST_F(DnsApply, PlatformFailureMarksHostnameErrorsAndSkipsTheRest) {
  auto& with = add_network(networks, "file:///a.toml", "10.0.0.1/24", Hosts{{"10.0.0.1", "alpha"}});
  auto& without = add_network(networks, "file:///b.toml", "10.0.0.9/24", Hosts{{"10.0.0.2", "gamma"}});
  EXPECT_EQ(dns::calculate_dns_server_ips(networks), Addrs(2, ip("10.0.0.254"))) << "duplicates kept";
  const auto catalog = server->catalog();
  const struct {
    std::optional<std::string> DnsApply::*fail;
    std::optional<Ipv4Addr> current;
    const char* warning;
    bool published;  // the address set is replaced before the platform calls
  } cases[] = {
      {&DnsApply::fail_get, std::nullopt, "Unable to determine current DNS IP: I/O error: x", false},
      {&DnsApply::fail_remove, ip("10.7.7.7"), "Unable to remove DNS server IP: I/O error: x.", true},
      {&DnsApply::fail_set, std::nullopt, "Unable to set DNS server IP: I/O error: x.", true},
  };
  for (const auto& c : cases) {
    this->*c.fail = "x";
    current = c.current;
    addresses.publish({});
    with.current.hostnames = with.desired.hostnames;
    without.current.hostnames = {std::nullopt, std::string("older")};  // differs from desired
    EXPECT_THAT(apply(), Contains(std::string("warning ") + c.warning));
    std::string error = c.warning;
    if (error.ends_with('.')) error.pop_back();
    EXPECT_EQ(with.current.hostnames, (network::AppliedStatus<network::HostnameList>{std::nullopt, error}));
    EXPECT_EQ(without.current.hostnames.error, "older") << error;
    EXPECT_EQ(server->catalog(), catalog) << "no rebuild: " << error;
    EXPECT_EQ(flushes, 0) << error;
    EXPECT_FALSE(addresses.reported()) << error;
    EXPECT_EQ(addresses.contains(ip("10.0.0.254")), c.published) << error;
    this->*c.fail = std::nullopt;
  }
}

TEST(DnsDriver, AnswersAtMost64AtOnceEndsQuietlyWithItsMobileObjectAndWithAnErrorWhenTheQueueCloses) {
  LogCapture logs;
  Runtime rt;
  SocketTun st;
  const auto tun = st.take(rt.io);
  const Bytes filler(1000, 0xEE);
  std::size_t fillers = 0;
  while (fillers < 100000 && tun->try_send(filler)) ++fillers;
  ASSERT_LT(fillers, 100000u) << "every answer waits for room";

  auto d = dns::MobileAgentDns::create(rt.io.get_executor());
  const auto server = d->server();
  constexpr std::size_t kRequests = 100;
  for (std::size_t i = 0; i < kRequests; ++i)
    ASSERT_TRUE(server->send({query("b.sarvolt.zz."), tun, ip("10.0.0.1"), ip("10.0.0.254"), 40000, 53}));
  EXPECT_TRUE(eventually([&] { return server->tasks.size() == 1 + dns::kMaxRequestsInFlight; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server->tasks.size(), 1 + dns::kMaxRequestsInFlight);

  std::size_t answers = 0;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (answers < kRequests && std::chrono::steady_clock::now() < end)
    if (auto p = st.read(100ms); p && p->size() != filler.size()) ++answers;
  EXPECT_EQ(answers, kRequests);
  d.reset();  // releasing the object ends the waiting driver, as shutdown() does
  EXPECT_TRUE(server->tasks.wait_for(2s));
  EXPECT_EQ(logs.count("I/O error"), 0u);

  const auto other = std::make_shared<dns::DnsServer>(rt.io.get_executor());
  dns::DnsServer::spawn(other);
  other->close_requests();  // without shutdown: the driver ends with an error
  EXPECT_TRUE(other->tasks.wait_for(2s));
  const auto lines = logs.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const LogLine& l) {
    return l.target == "sarvolt_agent::agent::dns::server" && l.level == "error" &&
           l.text == "I/O error: DNS server receiver channel was closed";
  }));
}

// A query for b from 10.0.0.1:40000 to 10.0.0.254:53, answered into `tun`.
dns::DnsServerRequest b_request(std::shared_ptr<util::AsyncTun> tun) {
  return {query("b.sarvolt.zz."), std::move(tun), ip("10.0.0.1"), ip("10.0.0.254"), 40000, 53};
}

std::vector<std::string> error_lines(const LogCapture& logs) {  // "target text" of each ERROR line
  std::vector<std::string> out;
  for (const auto& l : logs.lines())
    if (l.level == "error") out.push_back(l.target + " " + l.text);
  return out;
}

// The driver holds the server too; releasing the DNS object signals shutdown, once.
TEST(DnsServerRef, ReleasingTheDnsObjectSignalsShutdownOnce) {
  Runtime rt;
  const auto server = std::make_shared<dns::DnsServer>(rt.io.get_executor());
  auto d = std::make_shared<dns::MobileAgentDns>(server);
  EXPECT_EQ(server.use_count(), 2);
  ASSERT_TRUE(server->send(b_request(nullptr))) << "not shut down yet";
  d.reset();
  EXPECT_EQ(server.use_count(), 1);
  EXPECT_FALSE(server->try_receive()) << "the queue was emptied";
  EXPECT_EQ(server->send(b_request(nullptr)).error(), dns::DnsServer::SendError::Closed);
  EXPECT_FALSE(server->shutdown()) << "signalled already";
}

TEST(DnsDriver, ShutdownWithQueuedRequestsAnswersNoneAndLogsNothing) {
  Runtime rt;
  SocketTun st;
  const auto tun = st.take(rt.io);
  const auto server = std::make_shared<dns::DnsServer>(rt.io.get_executor());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(server->send(b_request(tun)));
  LogCapture logs;
  EXPECT_TRUE(server->shutdown());
  EXPECT_FALSE(server->shutdown()) << "a second shutdown does nothing";
  auto done = boost::asio::co_spawn(rt.io, dns::DnsServer::run(server), boost::asio::use_future);
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "the driver ends on shutdown";
  EXPECT_TRUE(done.get());
  EXPECT_FALSE(st.read(100ms)) << "no queued request is answered";
  for (const auto& l : logs.lines()) EXPECT_FALSE(l.target.starts_with("sarvolt_agent::agent::dns")) << l.text;
  EXPECT_TRUE(eventually([&] { return tun.use_count() == 1; })) << "queued requests are dropped";
  EXPECT_EQ(server->send(b_request(tun)).error(), dns::DnsServer::SendError::Closed);
}

TEST(DnsDriver, RequestSideClosedWhileRunningLogsTheError) {
  LogCapture logs;
  Runtime rt;
  const auto server = std::make_shared<dns::DnsServer>(rt.io.get_executor());
  dns::DnsServer::spawn(server);
  ASSERT_TRUE(server->send(b_request(nullptr)));
  ASSERT_TRUE(eventually([&] { return logs.count("Received DNS packet") == 1; })) << "the driver runs";
  server->close_requests();
  EXPECT_TRUE(server->tasks.wait_for(2s));
  EXPECT_EQ(error_lines(logs), std::vector<std::string>{"sarvolt_agent::agent::dns::server I/O error: DNS server "
                                                        "receiver channel was closed"});
}

TEST(DnsDriver, MobileObjectTakesNothingBeforeApplyAndEndsItsDriverQuietly) {
  LogCapture logs;
  Runtime rt;
  auto d = dns::MobileAgentDns::create(rt.io.get_executor());
  const auto server = d->server();
  EXPECT_FALSE(offer(*d));
  EXPECT_FALSE(d->server_ip());
  network::NetworkMap m;
  add_network(m, "file:///a.toml", "10.0.0.1/24");
  rt.run(d->apply_desired_state(m));
  EXPECT_EQ(d->server_ip(), ip("10.0.0.254"));
  EXPECT_TRUE(offer(*d));
  d->shutdown();
  d->shutdown();
  EXPECT_TRUE(server->tasks.wait_for(2s));

  // Releasing the object ends the driver too.
  auto e = dns::MobileAgentDns::create(rt.io.get_executor());
  const auto other = e->server();
  const auto received = logs.count("Received DNS packet");
  ASSERT_TRUE(e->send(b_request(nullptr)));
  ASSERT_TRUE(eventually([&] { return logs.count("Received DNS packet") > received; })) << "the driver runs";
  e.reset();
  EXPECT_TRUE(other->tasks.wait_for(2s));
  EXPECT_TRUE(error_lines(logs).empty());
}

TEST(DnsDriver, AnswersAtMost64AtOnceAndLeavesTheRestQueued) {
  Runtime rt;
  SocketTun st;
  const auto tun = st.take(rt.io);
  const Bytes filler(1000, 0xEE);
  std::size_t fillers = 0;
  while (fillers < 100000 && tun->try_send(filler)) ++fillers;
  ASSERT_LT(fillers, 100000u) << "every answer waits for room";

  const auto server = std::make_shared<dns::DnsServer>(rt.io.get_executor());
  dns::DnsServer::spawn(server);
  constexpr std::size_t kRequests = 100;
  for (std::size_t i = 0; i < kRequests; ++i) ASSERT_TRUE(server->send(b_request(tun)));
  // The driver and an answer task each for the first 64; it takes no more while they wait.
  ASSERT_TRUE(eventually([&] { return server->tasks.size() == 1 + dns::kMaxRequestsInFlight; }));
  std::vector<dns::DnsServerRequest> left;
  while (left.size() < kRequests)
    if (auto r = server->try_receive()) left.push_back(std::move(*r));
    else break;
  EXPECT_EQ(left.size(), kRequests - dns::kMaxRequestsInFlight);
  EXPECT_EQ(server->tasks.size(), 1 + dns::kMaxRequestsInFlight);
  for (auto& r : left) ASSERT_TRUE(server->send(std::move(r)));

  std::size_t answers = 0, drained = 0;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (answers < kRequests && std::chrono::steady_clock::now() < end)
    if (auto p = st.read(100ms)) ++(p->size() == filler.size() ? drained : answers);
  EXPECT_EQ(answers, kRequests);
  EXPECT_EQ(drained, fillers);
  server->shutdown();
  EXPECT_TRUE(server->tasks.wait_for(2s));
}

// One query through the TUN driver of the agent's data plane.
TEST(DnsEndToEnd, QueryThroughTheTunDriverGetsTheARecord) {
  DataPlane dp({.with_dns = true});
  dp.join();
  ASSERT_EQ(dp.dns->server_ip(), ip("10.0.0.254"));

  const Bytes q = query("b.sarvolt.zz.");
  dp.tun->write(ipv4_packet({.dst = "10.0.0.254", .dport = 53, .sport = 40001, .data = q}));
  const auto reply = dp.tun->read();
  ASSERT_TRUE(reply);
  ASSERT_GT(reply->size(), 40u);
  EXPECT_EQ((*reply)[9], 17);
  EXPECT_EQ(Bytes(reply->begin() + 12, reply->begin() + 24), (Bytes{10, 0, 0, 254, 10, 0, 0, 1, 0, 53, 0x9C, 0x41}))
      << "from the server address and port 53 back to the client's port 40001";
  EXPECT_EQ(Bytes(reply->begin() + 28, reply->begin() + 30), (Bytes{0x12, 0x34})) << "the query's id";
  EXPECT_EQ((*reply)[31] & 0x0F, 0) << "NOERROR";
  EXPECT_EQ(Bytes(reply->begin() + 34, reply->begin() + 36), (Bytes{0, 1})) << "one answer";
  EXPECT_EQ(Bytes(reply->end() - 4, reply->end()), (Bytes{10, 0, 0, 2})) << "b's address";

  // A query to port 5353 of the same address is not DNS: host unreachable.
  dp.tun->write(ipv4_packet({.dst = "10.0.0.254", .dport = 5353, .data = q}));
  const auto icmp = dp.tun->read();
  ASSERT_TRUE(icmp);
  EXPECT_EQ((*icmp)[9], 1) << "ICMP";
}

}  // namespace
}  // namespace sarvolt::test
