// The overlay DNS object: interception of queries from the tunnel, the apply
// step (server addresses, platform failures, host-name rebuilds), the request
// queue and the server driver's lifecycle, and one query answered end to end
// through the TUN driver.
#include <stdbool.h>  // before ldns, which otherwise defines bool/true/false
#include <ldns/ldns.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include "agent/dns/dns.hpp"
#include "agent/netif/async_tun.hpp"
#include "data_plane.hpp"
#include "support.hpp"
#include "util/packet.hpp"

namespace sarvolt::test {
namespace {

namespace asio = boost::asio;
namespace dns = agent::dns;
using namespace std::chrono_literals;
using util::Ipv4Addr;

// ---- helpers -----------------------------------------------------------------

// An io_context on two threads; awaitables run to completion with run().
class Runtime {
 public:
  Runtime() : work_(asio::make_work_guard(io)) {
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io.run(); });
  }
  ~Runtime() {
    work_.reset();
    io.stop();
    for (auto& t : threads_) t.join();
  }
  template <class T>
  T run(asio::awaitable<T> aw) {
    return asio::co_spawn(io, std::move(aw), asio::use_future).get();
  }
  asio::io_context io;

 private:
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

void put16(Bytes& p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<std::uint8_t>(v >> 8);
  p[at + 1] = static_cast<std::uint8_t>(v);
}

struct Udp {
  const char* src = "10.0.0.1";
  const char* dst = "10.0.0.254";
  std::uint8_t protocol = 17;
  std::uint16_t sport = 40000, dport = 53;
  std::size_t options = 0;  // IPv4 option bytes, a multiple of 4
  Bytes payload = {1, 2, 3, 4};
  bool more_fragments = false;
  std::uint16_t fragment_offset = 0;
};

Bytes udp_packet(const Udp& u) {
  const std::size_t h = 20 + u.options;
  Bytes p(h + 8 + u.payload.size(), 0);
  p[0] = static_cast<std::uint8_t>(0x40 | (h / 4));
  put16(p, 2, static_cast<std::uint16_t>(p.size()));
  put16(p, 6, static_cast<std::uint16_t>((u.more_fragments ? 0x2000 : 0) | u.fragment_offset));
  p[8] = 64;
  p[9] = u.protocol;
  const auto s = ip(u.src).octets(), d = ip(u.dst).octets();
  std::copy(s.begin(), s.end(), p.begin() + 12);
  std::copy(d.begin(), d.end(), p.begin() + 16);
  for (std::size_t i = 20; i < h; ++i) p[i] = 1;  // NOP options
  put16(p, 10, util::internet_checksum({p.data(), h}));
  put16(p, h, u.sport);
  put16(p, h + 2, u.dport);
  put16(p, h + 4, static_cast<std::uint16_t>(8 + u.payload.size()));
  std::copy(u.payload.begin(), u.payload.end(), p.begin() + static_cast<std::ptrdiff_t>(h + 8));
  return p;
}

// A DNS query built with ldns.
Bytes dns_query(const char* name, bool recursion_desired = true, std::uint16_t id = 0x4242) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_pkt_query_new_frm_str(&pkt, name, LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, recursion_desired ? LDNS_RD : 0),
            LDNS_STATUS_OK);
  ldns_pkt_set_id(pkt, id);
  std::uint8_t* wire = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&wire, pkt, &size), LDNS_STATUS_OK);
  Bytes out(wire, wire + size);
  LDNS_FREE(wire);
  ldns_pkt_free(pkt);
  return out;
}

network::Network& add_network(agent::NetworkMap& m, const std::string& url, std::optional<const char*> tun_net,
                              bool disabled = false) {
  auto u = *util::Url::parse(url);
  auto& n = m.try_emplace(u, network::Network(u, disabled)).first->second;
  if (tun_net) n.current.ip = {net(*tun_net), std::nullopt};
  return n;
}

network::HostnameList hosts(std::initializer_list<std::pair<const char*, const char*>> entries) {
  network::HostnameList l;
  for (const auto& [addr, name] : entries) l.names[ip(addr)] = name;
  return l;
}

// A DNS object over the default bodies: a fixed address set and a queue
// whose receiving end the test holds.
class RecordingDns : public dns::AgentDns {
 public:
  explicit RecordingDns(std::vector<Ipv4Addr> ips) {
    auto [tx, rx] = dns::request_channel();
    tx_ = std::move(tx);
    rx_.emplace(std::move(rx));
    addresses_.publish(ips);
  }
  asio::awaitable<void> apply_desired_state(agent::NetworkMap&) override { co_return; }
  bool is_server_ip(Ipv4Addr a) const override { return addresses_.contains(a); }
  std::optional<Ipv4Addr> server_ip() const override { return std::nullopt; }
  const dns::RequestSender& send_channel() const override { return tx_; }
  void shutdown() override {}

  std::optional<dns::DnsServerRequest> take() {
    auto r = rx_->try_receive();
    if (!r) return std::nullopt;
    return std::move(*r);
  }
  void drop_receiver() { rx_.reset(); }

 private:
  dns::DnsServerAddresses addresses_;
  dns::RequestSender tx_;
  std::optional<dns::RequestReceiver> rx_;
};

bool offer(dns::AgentDns& d, std::span<const std::uint8_t> packet, std::span<const std::uint8_t> header_bytes = {}) {
  auto hdr = util::Ipv4HeaderView::decode(header_bytes.empty() ? packet : header_bytes);
  EXPECT_TRUE(hdr);
  return d.handle_outbound_packet(packet, *hdr, nullptr);
}

// ---- interception ------------------------------------------------------------

TEST(DnsInterception, TakesOnlyWholeUdpQueriesToPort53OfAServerAddress) {
  RecordingDns d({ip("10.0.0.254")});
  struct Case {
    const char* what;
    Udp u;
    bool taken;
  };
  const Case cases[] = {
      {"query", Udp{}, true},
      {"TCP", Udp{.protocol = 6}, false},
      {"port 5353", Udp{.dport = 5353}, false},
      {"unknown destination", Udp{.dst = "10.0.0.253"}, false},
      {"more fragments", Udp{.more_fragments = true}, false},
      {"fragment offset", Udp{.fragment_offset = 1}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(offer(d, udp_packet(c.u)), c.taken) << c.what;
    EXPECT_EQ(d.take().has_value(), c.taken) << c.what;
  }
}

TEST(DnsInterception, RequestCarriesAddressesPortsPayloadAndDevice) {
  RecordingDns d({ip("10.0.0.254")});
  auto packet = udp_packet(Udp{.sport = 5555, .payload = {9, 8, 7}});
  auto hdr = util::Ipv4HeaderView::decode(packet);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
  asio::io_context io;
  auto tun = agent::AsyncTun::create(io.get_executor(), fds[0]).value();
  EXPECT_TRUE(d.handle_outbound_packet(packet, *hdr, tun));
  auto r = d.take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->src, ip("10.0.0.1"));
  EXPECT_EQ(r->dst, ip("10.0.0.254"));
  EXPECT_EQ(r->src_port, 5555);
  EXPECT_EQ(r->dst_port, 53);
  EXPECT_EQ(r->payload, (Bytes{9, 8, 7}));
  EXPECT_EQ(r->tun_device, tun);
  ::close(fds[1]);
}

TEST(DnsInterception, NeedsAWholeUdpHeader) {
  RecordingDns d({ip("10.0.0.254")});
  auto eight = udp_packet(Udp{.payload = {}});
  ASSERT_EQ(eight.size(), 28u);
  EXPECT_TRUE(offer(d, eight));
  auto r = d.take();
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->payload.empty());

  Bytes seven(eight.begin(), eight.end() - 1);
  EXPECT_FALSE(offer(d, seven));
  EXPECT_FALSE(d.take());
}

TEST(DnsInterception, HeaderOptionsMoveTheUdpHeader) {
  RecordingDns d({ip("10.0.0.254")});
  auto packet = udp_packet(Udp{.sport = 1234, .options = 4, .payload = {0xAA, 0xBB}});
  ASSERT_EQ(packet.size(), 34u);
  EXPECT_TRUE(offer(d, packet));
  auto r = d.take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->src_port, 1234);
  EXPECT_EQ(r->payload, (Bytes(packet.begin() + 32, packet.end())));
}

TEST(DnsInterception, HeaderLongerThanThePacketIsNotTaken) {
  RecordingDns d({ip("10.0.0.254")});
  // The header view claims 60 bytes of header; the packet offered is shorter.
  auto full = udp_packet(Udp{.options = 40, .payload = {}});
  const std::span<const std::uint8_t> shorter(full.data(), 40);
  EXPECT_FALSE(offer(d, shorter, full));
  // Header exactly as long as the packet: no room for UDP.
  EXPECT_FALSE(offer(d, std::span<const std::uint8_t>(full.data(), 60), full));
  EXPECT_FALSE(d.take());
}

TEST(DnsInterception, EitherOfTwoServerAddressesAndDstIsRecorded) {
  RecordingDns d({ip("10.0.0.254"), ip("10.1.255.254")});
  EXPECT_TRUE(offer(d, udp_packet(Udp{.dst = "10.1.255.254"})));
  EXPECT_TRUE(offer(d, udp_packet(Udp{.dst = "10.0.0.254"})));
  auto a = d.take(), b = d.take();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->dst, ip("10.1.255.254"));
  EXPECT_EQ(b->dst, ip("10.0.0.254"));
}

TEST(DnsInterception, QueueCapDropsTheExcessWithADebugLine) {
  LogCapture logs;
  RecordingDns d({ip("10.0.0.254")});
  const auto packet = udp_packet(Udp{});
  for (std::size_t i = 0; i < dns::kRequestQueueCapacity + 1; ++i) ASSERT_TRUE(offer(d, packet)) << i;
  EXPECT_EQ(d.send_channel().queued(), dns::kRequestQueueCapacity);
  EXPECT_EQ(logs.count("DNS request queue is full"), 1u);
  EXPECT_TRUE(
      logs.contains("debug", "DNS request queue is full (1024 requests), dropping request from 10.0.0.1:40000"));
  std::size_t got = 0;
  while (got <= dns::kRequestQueueCapacity && d.take()) ++got;
  EXPECT_EQ(got, dns::kRequestQueueCapacity);
}

TEST(DnsInterception, WithTheServerGoneQueriesAreStillTakenAndSendFails) {
  RecordingDns d({ip("10.0.0.254")});
  d.drop_receiver();
  EXPECT_TRUE(offer(d, udp_packet(Udp{})));
  auto r = d.send(dns::DnsServerRequest{});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Failed to send DNS request");
}

TEST(DnsInterception, NothingIsTakenBeforeTheFirstApply) {
  Runtime rt;
  auto d = dns::MobileAgentDns::create(rt.io.get_executor());
  EXPECT_FALSE(offer(*d, udp_packet(Udp{})));
  EXPECT_FALSE(d->server_ip());

  agent::NetworkMap m;
  add_network(m, "file:///a.toml", "10.0.0.1/24");
  rt.run(d->apply_desired_state(m));
  EXPECT_TRUE(offer(*d, udp_packet(Udp{})));
}

// ---- apply step ------------------------------------------------------------

class FakePlatform : public dns::PlatformDnsOps {
 public:
  std::optional<Ipv4Addr> current;
  std::optional<std::string> fail_get, fail_set, fail_remove, fail_flush;
  int sets = 0, removes = 0, flushes = 0;

  asio::awaitable<util::Expected<std::optional<Ipv4Addr>, std::string>> get_current_dns_ip() override {
    if (fail_get) co_return util::Unexpected(*fail_get);
    co_return current;
  }
  asio::awaitable<util::Expected<void, std::string>> set_dns_ip(Ipv4Addr a) override {
    ++sets;
    if (fail_set) co_return util::Unexpected(*fail_set);
    current = a;
    co_return util::Expected<void, std::string>{};
  }
  asio::awaitable<util::Expected<void, std::string>> remove_dns_ip() override {
    ++removes;
    if (fail_remove) co_return util::Unexpected(*fail_remove);
    current.reset();
    co_return util::Expected<void, std::string>{};
  }
  asio::awaitable<util::Expected<void, std::string>> flush_caches() override {
    ++flushes;
    if (fail_flush) co_return util::Unexpected(*fail_flush);
    co_return util::Expected<void, std::string>{};
  }
};

struct DnsApply : ::testing::Test {
  void apply() { rt.run(dns::apply_desired_state_common(platform, server, addresses, networks)); }

  Runtime rt;
  FakePlatform platform;
  std::pair<dns::DnsServerRef, dns::ShutdownReceiver> created = dns::DnsServerRef::create();
  dns::DnsServerRef& server = created.first;
  dns::DnsServerAddresses addresses;
  agent::NetworkMap networks;
};

TEST(DnsAddresses, BroadcastMinusOneOfEveryEnabledAppliedNetwork) {
  agent::NetworkMap m;
  add_network(m, "file:///a.toml", "192.168.7.3/24");
  add_network(m, "file:///b.toml", "10.9.0.1/16", /*disabled=*/true);
  add_network(m, "file:///c.toml", std::nullopt);
  add_network(m, "file:///d.toml", "0.0.0.0/32");
  add_network(m, "file:///e.toml", "192.168.7.9/24");
  EXPECT_EQ(dns::calculate_dns_server_ips(m),
            (std::vector<Ipv4Addr>{ip("192.168.7.254"), ip("0.0.0.0"), ip("192.168.7.254")}));
}

TEST_F(DnsApply, SetsTheAddressOnceAndAgainDoesNothing) {
  add_network(networks, "file:///a.toml", "192.168.7.3/24");
  {
    LogCapture logs;
    apply();
    EXPECT_TRUE(logs.contains("trace", "We need to set DNS server to 192.168.7.254."));
    EXPECT_TRUE(logs.contains("trace", "Successfully set DNS server to 192.168.7.254."));
  }
  EXPECT_EQ(addresses.list(), (std::vector<Ipv4Addr>{ip("192.168.7.254")}));
  EXPECT_EQ(addresses.reported(), ip("192.168.7.254"));
  EXPECT_TRUE(addresses.contains(ip("192.168.7.254")));
  EXPECT_FALSE(addresses.contains(ip("192.168.7.3")));

  LogCapture logs;
  apply();
  EXPECT_EQ(logs.count("Removing DNS server"), 0u);
  EXPECT_EQ(logs.count("We need to set DNS server"), 0u);
  EXPECT_EQ(platform.sets, 1);
  EXPECT_EQ(platform.flushes, 2);
}

TEST_F(DnsApply, NoQualifyingNetworkRemovesTheAddress) {
  auto& n = add_network(networks, "file:///a.toml", "192.168.7.3/24");
  apply();
  n.disabled = true;
  LogCapture logs;
  apply();
  EXPECT_TRUE(logs.contains("trace",
                            "Removing DNS server because current IP is not in desired state: current_ip=192.168.7.254, "
                            "desired_ip=None"));
  EXPECT_TRUE(logs.contains("trace", "Successfully removed DNS server."));
  EXPECT_TRUE(addresses.list().empty());
  EXPECT_FALSE(addresses.reported());
  EXPECT_FALSE(platform.current);
}

TEST_F(DnsApply, TwoNetworksBothServedFirstReportedAndSwitchInOneRun) {
  add_network(networks, "file:///a.toml", "10.0.0.1/24");
  add_network(networks, "file:///b.toml", "10.1.0.1/16");
  apply();
  EXPECT_TRUE(addresses.contains(ip("10.0.0.254")));
  EXPECT_TRUE(addresses.contains(ip("10.1.255.254")));
  EXPECT_EQ(addresses.reported(), ip("10.0.0.254"));  // a.toml comes first

  networks.erase(networks.begin());
  LogCapture logs;
  apply();
  EXPECT_EQ(logs.count("Removing DNS server"), 1u);
  EXPECT_TRUE(logs.contains("trace", "We need to set DNS server to 10.1.255.254."));
  EXPECT_EQ(addresses.reported(), ip("10.1.255.254"));
  EXPECT_FALSE(addresses.contains(ip("10.0.0.254")));
}

TEST_F(DnsApply, FailingSetMarksHostnameErrorsAndSkipsTheRest) {
  auto& with = add_network(networks, "file:///a.toml", "10.0.0.1/24");
  with.current.hostnames = {hosts({{"10.0.0.1", "alpha"}}), std::nullopt};
  with.desired.hostnames = {hosts({{"10.0.0.1", "beta"}}), std::nullopt};
  auto& without = add_network(networks, "file:///b.toml", std::nullopt);
  without.current.hostnames = {std::nullopt, std::string("older")};
  without.desired.hostnames = {hosts({{"10.0.0.2", "gamma"}}), std::nullopt};
  platform.fail_set = "e";
  const auto catalog = server.catalog();

  LogCapture logs;
  apply();
  EXPECT_TRUE(logs.contains("warning", "Unable to set DNS server IP: e."));
  EXPECT_EQ(with.current.hostnames, (network::AppliedStatus<network::HostnameList>{
                                        std::nullopt, std::string("Unable to set DNS server IP: e")}));
  EXPECT_EQ(without.current.hostnames, (network::AppliedStatus<network::HostnameList>{std::nullopt, "older"}));
  EXPECT_EQ(server.catalog(), catalog) << "no rebuild";
  EXPECT_EQ(platform.flushes, 0);
  EXPECT_FALSE(addresses.reported());
  EXPECT_TRUE(addresses.contains(ip("10.0.0.254"))) << "the set is published before the platform call";
}

TEST_F(DnsApply, OtherPlatformFailures) {
  auto& n = add_network(networks, "file:///a.toml", "10.0.0.1/24");
  n.current.hostnames = {hosts({{"10.0.0.1", "alpha"}}), std::nullopt};
  platform.fail_get = "g";
  {
    LogCapture logs;
    apply();
    EXPECT_TRUE(logs.contains("warning", "Unable to determine current DNS IP: g"));
  }
  EXPECT_EQ(n.current.hostnames.error, "Unable to determine current DNS IP: g");
  EXPECT_FALSE(addresses.contains(ip("10.0.0.254"))) << "the set is not replaced";
  EXPECT_EQ(platform.sets, 0);

  platform.fail_get.reset();
  platform.current = ip("10.7.7.7");
  platform.fail_remove = "r";
  n.current.hostnames = {hosts({{"10.0.0.1", "alpha"}}), std::nullopt};
  {
    LogCapture logs;
    apply();
    EXPECT_TRUE(logs.contains("warning", "Unable to remove DNS server IP: r."));
  }
  EXPECT_EQ(n.current.hostnames.error, "Unable to remove DNS server IP: r");
  EXPECT_EQ(platform.sets, 0);

  platform.fail_remove.reset();
  platform.fail_flush = "f";
  n.desired.hostnames = {hosts({{"10.0.0.1", "alpha"}}), std::nullopt};
  LogCapture logs;
  apply();
  EXPECT_TRUE(logs.contains("warning", "Unable to flush DNS caches: f."));
  EXPECT_EQ(n.current.hostnames, n.desired.hostnames) << "a flush failure leaves host names alone";
  EXPECT_EQ(addresses.reported(), ip("10.0.0.254"));
}

TEST_F(DnsApply, HostnameChangeRebuildsOnceAndCopiesDesired) {
  auto& a = add_network(networks, "file:///a.toml", "10.0.0.1/24");
  auto& b = add_network(networks, "file:///b.toml", "10.1.0.1/24");
  a.desired.hostnames = {hosts({{"10.0.0.1", "alpha"}}), std::nullopt};
  b.desired.hostnames = {hosts({{"10.1.0.7", "Beta"}}), std::nullopt};
  const auto before = server.catalog();
  EXPECT_FALSE(before->has_zone());
  apply();
  const auto after = server.catalog();
  EXPECT_NE(after, before);
  EXPECT_TRUE(after->has_zone());
  EXPECT_EQ(after->records().count("alpha.sarvolt.zz."), 1u);
  EXPECT_EQ(after->records().count("beta.sarvolt.zz."), 1u);
  EXPECT_EQ(a.current.hostnames, a.desired.hostnames);
  EXPECT_EQ(b.current.hostnames, b.desired.hostnames);

  apply();
  EXPECT_EQ(server.catalog(), after) << "nothing changed: no rebuild";

  for (auto& [url, n] : networks) n.desired = network::AgentState{};  // as at shutdown
  apply();
  EXPECT_NE(server.catalog(), after);
  EXPECT_TRUE(server.catalog()->records().empty());
  EXPECT_FALSE(a.current.hostnames.applied);
}

// ---- server handles and driver -------------------------------------------------

struct SocketTun {
  explicit SocketTun(asio::io_context& io) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    peer = fds[1];
    tun = agent::AsyncTun::create(io.get_executor(), fds[0]).value();
  }
  ~SocketTun() { ::close(peer); }
  std::optional<Bytes> read(std::chrono::milliseconds timeout) {
    pollfd pfd{peer, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes buf(65536);
    const ssize_t n = ::read(peer, buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
  int peer = -1;
  std::shared_ptr<agent::AsyncTun> tun;
};

dns::DnsServerRequest query_request(const std::shared_ptr<agent::AsyncTun>& tun) {
  return dns::DnsServerRequest{dns_query("a.sarvolt.zz"), tun, ip("10.0.0.1"), ip("10.0.0.254"), 40000, 53};
}

std::size_t dns_lines(const LogCapture& logs) {
  std::size_t n = 0;
  for (const auto& l : logs.lines()) n += l.target.rfind("sarvolt_agent::agent::dns", 0) == 0;
  return n;
}

TEST(DnsServerRef, CountsClonesAndTheFirstReleaseDropsTheShutdownSender) {
  auto [first, rx] = dns::DnsServerRef::create();
  EXPECT_EQ(first.ref_count(), 0u);
  auto clone = std::make_optional<dns::DnsServerRef>(first);
  EXPECT_EQ(first.ref_count(), 1u);
  EXPECT_FALSE(rx.ready());
  clone.reset();
  EXPECT_EQ(first.ref_count(), 0u);
  EXPECT_FALSE(first.has_shutdown_sender());
  EXPECT_TRUE(rx.ready());
  EXPECT_FALSE(first.shutdown()) << "nothing left to send on";
}

TEST(DnsDriver, ShutdownWithQueuedRequestsAnswersNoneAndLogsNothing) {
  Runtime rt;
  SocketTun st(rt.io);
  auto [tx, rx] = dns::request_channel();
  auto [server, srx] = dns::DnsServerRef::create();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx.try_send(query_request(st.tun)));
  LogCapture logs;
  EXPECT_TRUE(server.shutdown());
  EXPECT_FALSE(server.shutdown()) << "a second shutdown does nothing";
  dns::DnsServerDriver driver(dns::DnsServerRef(server), std::move(rx), std::move(srx));
  auto r = rt.run(dns::DnsServerDriver::run(std::move(driver)));
  EXPECT_TRUE(r);
  EXPECT_FALSE(st.read(100ms)) << "no queued request is answered";
  EXPECT_EQ(dns_lines(logs), 0u);
  EXPECT_TRUE(DataPlane::eventually([&] { return st.tun.use_count() == 1; })) << "queued requests are dropped";
  auto sent = tx.try_send(query_request(st.tun));
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error(), dns::RequestSender::SendError::Closed);
}

TEST(DnsDriver, RequestSideClosedWhileRunningLogsTheError) {
  LogCapture logs;
  Runtime rt;
  auto [tx, rx] = dns::request_channel();
  auto [server, srx] = dns::DnsServerRef::create();
  dns::DnsServerDriver driver(dns::DnsServerRef(server), std::move(rx), std::move(srx));
  auto running = driver.running_flag();
  dns::DnsServerDriver::spawn(rt.io.get_executor(), std::move(driver));
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(running->load());
  { auto gone = std::move(tx); }
  EXPECT_TRUE(DataPlane::eventually([&] { return !running->load(); }));
  std::size_t errors = 0;
  for (const auto& l : logs.lines())
    if (l.level == "error") {
      ++errors;
      EXPECT_EQ(l.target, "sarvolt_agent::agent::dns::mobile");
      EXPECT_EQ(l.text, "I/O error: DNS server receiver channel was closed");
    }
  EXPECT_EQ(errors, 1u);
}

TEST(DnsDriver, ShutdownTwiceAndReleasingTheObjectEndTheDriverQuietly) {
  LogCapture logs;
  Runtime rt;
  auto d = dns::MobileAgentDns::create(rt.io.get_executor());
  auto running = d->driver_running();
  d->shutdown();
  EXPECT_FALSE(d->server().has_shutdown_sender());
  d->shutdown();
  EXPECT_TRUE(DataPlane::eventually([&] { return !running->load(); }));

  auto e = dns::MobileAgentDns::create(rt.io.get_executor());
  auto e_running = e->driver_running();
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(e_running->load());
  e.reset();
  EXPECT_TRUE(DataPlane::eventually([&] { return !e_running->load(); }));
  for (const auto& l : logs.lines()) EXPECT_NE(l.level, "error") << l.text;
}

TEST(DnsDriver, AnswersAtMost64AtOnceAndLeavesTheRestQueued) {
  Runtime rt;
  SocketTun st(rt.io);
  // Fill the device so every answer waits for room.
  const Bytes filler(1000, 0xEE);
  std::size_t fillers = 0;
  while (fillers < 100000 && st.tun->try_send(filler)) ++fillers;
  ASSERT_LT(fillers, 100000u);

  auto [tx, rx] = dns::request_channel();
  auto [server, srx] = dns::DnsServerRef::create();
  dns::DnsServerDriver driver(dns::DnsServerRef(server), std::move(rx), std::move(srx));
  dns::DnsServerDriver::spawn(rt.io.get_executor(), std::move(driver));
  constexpr std::size_t kRequests = 100;
  for (std::size_t i = 0; i < kRequests; ++i) ASSERT_TRUE(tx.try_send(query_request(st.tun)));
  const std::size_t left = kRequests - dns::kMaxRequestsInFlight;
  EXPECT_TRUE(DataPlane::eventually([&] { return tx.queued() == left; })) << tx.queued();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(tx.queued(), left);

  std::size_t answers = 0, drained = 0;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (answers < kRequests && std::chrono::steady_clock::now() < end) {
    auto p = st.read(100ms);
    if (!p) continue;
    if (p->size() == filler.size())
      ++drained;
    else
      ++answers;
  }
  EXPECT_EQ(answers, kRequests);
  EXPECT_EQ(drained, fillers);
  EXPECT_EQ(tx.queued(), 0u);
}

// ---- end to end over the TUN driver ------------------------------------------

std::uint16_t get16(const Bytes& p, std::size_t at) { return static_cast<std::uint16_t>((p[at] << 8) | p[at + 1]); }

TEST(DnsEndToEnd, QueryThroughTheTunDriverGetsTheARecord) {
  DataPlane dp(DataPlane::Options{.real_dns = true});
  dp.join();
  ASSERT_EQ(dp.real_dns->server_ip(), ip("10.0.0.254"));

  const Bytes query = dns_query("b.sarvolt.zz", true, 0x1234);
  dp.tun_write(udp_packet(Udp{.sport = 40001, .payload = query}));
  auto reply = dp.tun_read();
  ASSERT_TRUE(reply);
  auto hdr = util::Ipv4HeaderView::decode(*reply);
  ASSERT_TRUE(hdr);
  EXPECT_EQ(hdr->protocol(), 17);
  EXPECT_EQ(hdr->source(), ip("10.0.0.254"));
  EXPECT_EQ(hdr->destination(), ip("10.0.0.1"));
  EXPECT_EQ(hdr->total_len(), reply->size());
  EXPECT_EQ(util::internet_checksum({reply->data(), 20}), 0) << "IPv4 header checksum";
  EXPECT_EQ(get16(*reply, 20), 53);
  EXPECT_EQ(get16(*reply, 22), 40001);
  const std::size_t udp_len = reply->size() - 20;
  EXPECT_EQ(get16(*reply, 24), udp_len);
  std::uint32_t pseudo = get16(*reply, 12) + get16(*reply, 14) + get16(*reply, 16) + get16(*reply, 18) + 17 +
                         static_cast<std::uint32_t>(udp_len);
  EXPECT_EQ(util::internet_checksum({reply->data() + 20, udp_len}, pseudo), 0) << "UDP checksum";

  ldns_pkt* pkt = nullptr;
  ASSERT_EQ(ldns_wire2pkt(&pkt, reply->data() + 28, reply->size() - 28), LDNS_STATUS_OK);
  EXPECT_EQ(ldns_pkt_id(pkt), 0x1234);
  EXPECT_TRUE(ldns_pkt_qr(pkt));
  EXPECT_EQ(ldns_pkt_get_rcode(pkt), LDNS_RCODE_NOERROR);
  ldns_rr_list* answer = ldns_pkt_answer(pkt);
  ASSERT_EQ(ldns_rr_list_rr_count(answer), 1u);
  ldns_rr* rr = ldns_rr_list_rr(answer, 0);
  EXPECT_EQ(ldns_rr_get_type(rr), LDNS_RR_TYPE_A);
  EXPECT_EQ(ldns_rr_ttl(rr), 10u);
  ldns_rdf* a = ldns_rr_a_address(rr);
  ASSERT_EQ(ldns_rdf_size(a), 4u);
  EXPECT_EQ(Ipv4Addr::from_octets(ldns_rdf_data(a)[0], ldns_rdf_data(a)[1], ldns_rdf_data(a)[2], ldns_rdf_data(a)[3]),
            ip("10.0.0.2"));
  ldns_pkt_free(pkt);

  // A query to port 5353 of the same address is not DNS: host unreachable.
  dp.tun_write(udp_packet(Udp{.dport = 5353, .payload = query}));
  auto icmp = dp.tun_read();
  ASSERT_TRUE(icmp);
  EXPECT_EQ((*icmp)[9], 1) << "ICMP";
}

}  // namespace
}  // namespace sarvolt::test
