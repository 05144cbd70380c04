// The overlay DNS object: interception, the apply step, the request queue and
// the server driver, and one query answered end to end through the TUN driver.
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
#include <gmock/gmock.h>
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
using testing::Contains;
using util::Ipv4Addr;

// An io_context on two threads; awaitables run to completion with run().
struct Runtime {
  ~Runtime() {
    work.reset();
    io.stop();
  }
  template <class T>
  T run(asio::awaitable<T> aw) {
    return asio::co_spawn(io, std::move(aw), asio::use_future).get();
  }
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  std::jthread a{[this] { io.run(); }}, b{[this] { io.run(); }};
};

// A socket pair standing in for the TUN device; the test reads the peer end.
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
    Bytes buf(65536);
    const ssize_t n = ::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0 ? ::read(peer, buf.data(), buf.size()) : -1;
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
  int peer = -1;
  std::shared_ptr<agent::AsyncTun> tun;
};

void put16(Bytes& p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<std::uint8_t>(v >> 8);
  p[at + 1] = static_cast<std::uint8_t>(v);
}
std::uint16_t get16(const Bytes& p, std::size_t at) { return static_cast<std::uint16_t>((p[at] << 8) | p[at + 1]); }

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

// An A query for b.sarvolt.zz with RD set.
Bytes dns_query(std::uint16_t id = 0x4242) {
  return {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0,
          1, 'b', 7, 's', 'a', 'r', 'v', 'o', 'l', 't', 2, 'z', 'z', 0, 0, 1, 0, 1};
}

network::Network& add_network(agent::NetworkMap& m, const std::string& url, std::optional<const char*> tun_net,
                              bool disabled = false) {
  auto u = *util::Url::parse(url);
  auto& n = m.try_emplace(u, network::Network(u, disabled)).first->second;
  if (tun_net) n.current.ip = {net(*tun_net), std::nullopt};
  return n;
}

network::AppliedStatus<network::HostnameList> hosts(const char* addr, const char* name) {
  network::HostnameList l;
  l.names[ip(addr)] = name;
  return {l, std::nullopt};
}

// A DNS object over the default bodies: a fixed address set and a queue
// whose receiving end the test holds.
struct RecordingDns : dns::AgentDns {
  explicit RecordingDns(std::vector<Ipv4Addr> ips) { addresses.publish(ips); }
  asio::awaitable<void> apply_desired_state(agent::NetworkMap&) override { co_return; }
  bool is_server_ip(Ipv4Addr a) const override { return addresses.contains(a); }
  std::optional<Ipv4Addr> server_ip() const override { return std::nullopt; }
  const dns::RequestSender& send_channel() const override { return channel.first; }
  void shutdown() override {}
  std::optional<dns::DnsServerRequest> take() {
    auto r = channel.second.try_receive();
    return r ? std::optional(std::move(*r)) : std::nullopt;
  }

  dns::DnsServerAddresses addresses;
  std::pair<dns::RequestSender, dns::RequestReceiver> channel = dns::request_channel();
};

// Offers the first `size` bytes of `packet` (all when 0) with the header of the whole packet.
bool offer(dns::AgentDns& d, const Bytes& packet, std::size_t size = 0,
           std::shared_ptr<agent::AsyncTun> tun = nullptr) {
  auto hdr = util::Ipv4HeaderView::decode(packet);
  EXPECT_TRUE(hdr);
  return d.handle_outbound_packet({packet.data(), size ? size : packet.size()}, *hdr, std::move(tun));
}

// ---- interception ------------------------------------------------------------

TEST(DnsInterception, TakesOnlyWholeUdpQueriesToPort53OfAServerAddress) {
  RecordingDns d({ip("10.0.0.254"), ip("10.1.255.254")});
  const struct {
    const char* what;
    Udp u;
    std::size_t size;
    bool taken;
  } cases[] = {
      {"query", Udp{}, 0, true},
      {"second server address", Udp{.dst = "10.1.255.254"}, 0, true},
      {"bare UDP header", Udp{.payload = {}}, 28, true},
      {"7 bytes of UDP header", Udp{.payload = {}}, 27, false},
      {"TCP", Udp{.protocol = 6}, 0, false},
      {"port 5353", Udp{.dport = 5353}, 0, false},
      {"unknown destination", Udp{.dst = "10.0.0.253"}, 0, false},
      {"more fragments", Udp{.more_fragments = true}, 0, false},
      {"fragment offset", Udp{.fragment_offset = 1}, 0, false},
      {"header longer than the packet", Udp{.options = 40, .payload = {}}, 40, false},
      {"header as long as the packet", Udp{.options = 40, .payload = {}}, 60, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(offer(d, udp_packet(c.u), c.size), c.taken) << c.what;
    const auto r = d.take();
    ASSERT_EQ(r.has_value(), c.taken) << c.what;
    if (r) {
      EXPECT_EQ(r->dst, ip(c.u.dst)) << c.what;
    }
  }
}

TEST(DnsInterception, RequestCarriesAddressesPortsPayloadAndDevice) {
  RecordingDns d({ip("10.0.0.254")});
  asio::io_context io;
  SocketTun st(io);
  // Header options move the UDP header.
  EXPECT_TRUE(offer(d, udp_packet(Udp{.sport = 5555, .options = 4, .payload = {9, 8, 7}}), 0, st.tun));
  auto r = d.take();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->src, ip("10.0.0.1"));
  EXPECT_EQ(r->dst, ip("10.0.0.254"));
  EXPECT_EQ(r->src_port, 5555);
  EXPECT_EQ(r->dst_port, 53);
  EXPECT_EQ(r->payload, (Bytes{9, 8, 7}));
  EXPECT_EQ(r->tun_device, st.tun);
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
}

TEST(DnsInterception, WithTheServerGoneQueriesAreStillTakenAndSendFails) {
  RecordingDns d({ip("10.0.0.254")});
  { auto gone = std::move(d.channel.second); }
  EXPECT_TRUE(offer(d, udp_packet(Udp{})));
  auto r = d.send(dns::DnsServerRequest{});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Failed to send DNS request");
}

// ---- apply step ------------------------------------------------------------

struct FakePlatform : dns::PlatformDnsOps {
  using Result = util::Expected<void, std::string>;
  static Result outcome(const std::optional<std::string>& fail) {
    return fail ? Result(util::Unexpected(*fail)) : Result{};
  }
  asio::awaitable<util::Expected<std::optional<Ipv4Addr>, std::string>> get_current_dns_ip() override {
    if (fail_get) co_return util::Unexpected(*fail_get);
    co_return current;
  }
  asio::awaitable<Result> set_dns_ip(Ipv4Addr a) override {
    ++sets;
    if (!fail_set) current = a;
    co_return outcome(fail_set);
  }
  asio::awaitable<Result> remove_dns_ip() override {
    if (!fail_remove) current.reset();
    co_return outcome(fail_remove);
  }
  asio::awaitable<Result> flush_caches() override {
    ++flushes;
    co_return outcome(fail_flush);
  }

  std::optional<Ipv4Addr> current;
  std::optional<std::string> fail_get, fail_set, fail_remove, fail_flush;
  int sets = 0, flushes = 0;
};

struct DnsApply : ::testing::Test {
  // Runs one apply; returns its log lines as "level text".
  std::vector<std::string> apply() {
    LogCapture logs;
    rt.run(dns::apply_desired_state_common(platform, server, addresses, networks));
    std::vector<std::string> out;
    for (const auto& l : logs.lines()) out.push_back(l.level + " " + l.text);
    return out;
  }

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

TEST_F(DnsApply, SetsOnceServesAllSwitchesAndRemoves) {
  add_network(networks, "file:///a.toml", "10.0.0.1/24");
  auto& b = add_network(networks, "file:///b.toml", "10.1.0.1/16");
  auto log = apply();
  EXPECT_THAT(log, Contains("trace We need to set DNS server to 10.0.0.254."));
  EXPECT_THAT(log, Contains("trace Successfully set DNS server to 10.0.0.254."));
  EXPECT_EQ(addresses.list(), (std::vector<Ipv4Addr>{ip("10.0.0.254"), ip("10.1.255.254")}));
  EXPECT_EQ(addresses.reported(), ip("10.0.0.254")) << "the first network's";

  log = apply();
  EXPECT_THAT(log, testing::Not(Contains(testing::HasSubstr("DNS server")))) << "nothing to do";
  EXPECT_EQ(platform.sets, 1);
  EXPECT_EQ(platform.flushes, 2);

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
  EXPECT_FALSE(platform.current);
}

TEST_F(DnsApply, PlatformFailureMarksHostnameErrorsAndSkipsTheRest) {
  auto& with = add_network(networks, "file:///a.toml", "10.0.0.1/24");
  auto& without = add_network(networks, "file:///b.toml", std::nullopt);
  const auto catalog = server.catalog();
  const struct {
    std::optional<std::string> FakePlatform::*fail;
    std::optional<Ipv4Addr> current;
    const char* warning;
    bool published;  // the address set is replaced before the platform calls
  } cases[] = {
      {&FakePlatform::fail_get, std::nullopt, "Unable to determine current DNS IP: x", false},
      {&FakePlatform::fail_remove, ip("10.7.7.7"), "Unable to remove DNS server IP: x.", true},
      {&FakePlatform::fail_set, std::nullopt, "Unable to set DNS server IP: x.", true},
  };
  for (const auto& c : cases) {
    platform = FakePlatform{};
    platform.*c.fail = "x";
    platform.current = c.current;
    addresses.publish({});
    with.current.hostnames = hosts("10.0.0.1", "alpha");
    with.desired.hostnames = hosts("10.0.0.1", "beta");
    without.current.hostnames = {std::nullopt, std::string("older")};
    without.desired.hostnames = hosts("10.0.0.2", "gamma");
    EXPECT_THAT(apply(), Contains(std::string("warning ") + c.warning));
    std::string error = c.warning;
    if (error.ends_with('.')) error.pop_back();
    EXPECT_EQ(with.current.hostnames, (network::AppliedStatus<network::HostnameList>{std::nullopt, error}));
    EXPECT_EQ(without.current.hostnames.error, "older") << error;
    EXPECT_EQ(server.catalog(), catalog) << "no rebuild: " << error;
    EXPECT_EQ(platform.flushes, 0) << error;
    EXPECT_FALSE(addresses.reported()) << error;
    EXPECT_EQ(addresses.contains(ip("10.0.0.254")), c.published) << error;
  }
}

TEST_F(DnsApply, FlushFailureLeavesHostnamesApplied) {
  auto& n = add_network(networks, "file:///a.toml", "10.0.0.1/24");
  n.desired.hostnames = hosts("10.0.0.1", "alpha");
  platform.fail_flush = "f";
  EXPECT_THAT(apply(), Contains("warning Unable to flush DNS caches: f."));
  EXPECT_EQ(n.current.hostnames, n.desired.hostnames);
  EXPECT_EQ(addresses.reported(), ip("10.0.0.254"));
}

TEST_F(DnsApply, HostnameChangeRebuildsOnceAndCopiesDesired) {
  auto& a = add_network(networks, "file:///a.toml", "10.0.0.1/24");
  auto& b = add_network(networks, "file:///b.toml", "10.1.0.1/24");
  a.desired.hostnames = hosts("10.0.0.1", "alpha");
  b.desired.hostnames = hosts("10.1.0.7", "Beta");
  apply();
  const auto after = server.catalog();
  EXPECT_EQ(after->records().count("alpha.sarvolt.zz."), 1u);
  EXPECT_EQ(after->records().count("beta.sarvolt.zz."), 1u);
  EXPECT_EQ(a.current.hostnames, a.desired.hostnames);
  EXPECT_EQ(b.current.hostnames, b.desired.hostnames);

  apply();
  EXPECT_EQ(server.catalog(), after) << "nothing changed: no rebuild";

  for (auto& [url, n] : networks) n.desired = network::AgentState{};  // as at shutdown
  apply();
  EXPECT_TRUE(server.catalog()->records().empty());
  EXPECT_FALSE(a.current.hostnames.applied);
}

// ---- server handles and driver -------------------------------------------------

dns::DnsServerRequest query_request(const std::shared_ptr<agent::AsyncTun>& tun) {
  return dns::DnsServerRequest{dns_query(), tun, ip("10.0.0.1"), ip("10.0.0.254"), 40000, 53};
}

std::vector<std::string> error_lines(const LogCapture& logs) {
  std::vector<std::string> out;
  for (const auto& l : logs.lines())
    if (l.level == "error") out.push_back(l.target + " " + l.text);
  return out;
}

TEST(DnsServerRef, TheFirstReleaseDropsTheShutdownSender) {
  auto [first, rx] = dns::DnsServerRef::create();
  auto clone = std::make_optional<dns::DnsServerRef>(first);
  EXPECT_EQ(first.ref_count(), 1u);
  EXPECT_FALSE(rx.ready());
  clone.reset();
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
  auto done = asio::co_spawn(rt.io, dns::DnsServerDriver::run(std::move(driver)), asio::use_future);
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "the driver ends on shutdown";
  EXPECT_TRUE(done.get());
  EXPECT_FALSE(st.read(100ms)) << "no queued request is answered";
  for (const auto& l : logs.lines()) EXPECT_NE(l.target.rfind("sarvolt_agent::agent::dns", 0), 0u) << l.text;
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
  EXPECT_EQ(error_lines(logs), std::vector<std::string>{"sarvolt_agent::agent::dns::mobile I/O error: DNS server "
                                                        "receiver channel was closed"});
}

TEST(DnsDriver, MobileObjectTakesNothingBeforeApplyAndEndsItsDriverQuietly) {
  LogCapture logs;
  Runtime rt;
  auto d = dns::MobileAgentDns::create(rt.io.get_executor());
  EXPECT_FALSE(offer(*d, udp_packet(Udp{})));
  EXPECT_FALSE(d->server_ip());
  agent::NetworkMap m;
  add_network(m, "file:///a.toml", "10.0.0.1/24");
  rt.run(d->apply_desired_state(m));
  EXPECT_TRUE(offer(*d, udp_packet(Udp{.payload = dns_query()})));
  auto running = d->driver_running();
  d->shutdown();
  d->shutdown();
  EXPECT_TRUE(DataPlane::eventually([&] { return !running->load(); }));

  // Releasing the object ends the driver too.
  auto e = dns::MobileAgentDns::create(rt.io.get_executor());
  running = e->driver_running();
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(running->load());
  e.reset();
  EXPECT_TRUE(DataPlane::eventually([&] { return !running->load(); }));
  EXPECT_TRUE(error_lines(logs).empty());
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
  dns::DnsServerDriver::spawn(rt.io.get_executor(),
                              dns::DnsServerDriver(dns::DnsServerRef(server), std::move(rx), std::move(srx)));
  constexpr std::size_t kRequests = 100;
  for (std::size_t i = 0; i < kRequests; ++i) ASSERT_TRUE(tx.try_send(query_request(st.tun)));
  const std::size_t left = kRequests - dns::kMaxRequestsInFlight;
  EXPECT_TRUE(DataPlane::eventually([&] { return tx.queued() == left; })) << tx.queued();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(tx.queued(), left);

  std::size_t answers = 0, drained = 0;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (answers < kRequests && std::chrono::steady_clock::now() < end)
    if (auto p = st.read(100ms)) ++(p->size() == filler.size() ? drained : answers);
  EXPECT_EQ(answers, kRequests);
  EXPECT_EQ(drained, fillers);
}

// ---- end to end over the TUN driver ------------------------------------------

TEST(DnsEndToEnd, QueryThroughTheTunDriverGetsTheARecord) {
  DataPlane dp(DataPlane::Options{.real_dns = true});
  dp.join();
  ASSERT_EQ(dp.real_dns->server_ip(), ip("10.0.0.254"));

  const Bytes query = dns_query(0x1234);
  dp.tun_write(udp_packet(Udp{.sport = 40001, .payload = query}));
  auto reply = dp.tun_read();
  ASSERT_TRUE(reply);
  ASSERT_GT(reply->size(), 40u);
  EXPECT_EQ((*reply)[9], 17);
  // From the server address and port 53 back to the client's port 40001.
  EXPECT_EQ(Bytes(reply->begin() + 12, reply->begin() + 24), (Bytes{10, 0, 0, 254, 10, 0, 0, 1, 0, 53, 0x9C, 0x41}));
  EXPECT_EQ(get16(*reply, 28), 0x1234);
  EXPECT_EQ((*reply)[31] & 0x0F, 0) << "NOERROR";
  EXPECT_EQ(get16(*reply, 34), 1) << "one answer";
  EXPECT_EQ(Bytes(reply->end() - 4, reply->end()), (Bytes{10, 0, 0, 2})) << "b's address";

  // A query to port 5353 of the same address is not DNS: host unreachable.
  dp.tun_write(udp_packet(Udp{.dport = 5353, .payload = query}));
  auto icmp = dp.tun_read();
  ASSERT_TRUE(icmp);
  EXPECT_EQ((*icmp)[9], 1) << "ICMP";
}

}  // namespace
}  // namespace sarvolt::test
