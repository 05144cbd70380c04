// Bounded memory under load: an agent core with 100 peers and about 10 000
// access rules is flooded with 100 000 DNS queries through its TUN device and
// 100 000 spoofed and oversized datagrams from its peers. Reports resident
// memory before, at the peak and after the flood, each above the process as
// it stood before any agent existed (a process that only linked the library).
// Goal: the flood adds at most 2 MB at its peak and memory returns to its
// level before the flood.
//
// BM_SealedHelloFlood: a super peer (RelayServer on 127.0.0.1, its own
// thread) gets 1 000 000 sealed HELLOs under fresh keys (proof of work
// unknown until opened, the seal never opens) at about 110 000/s from 64
// source addresses, while two registered nodes send each other a datagram
// every millisecond through it and a sealed HELLO every 100 ms. Reports the
// share of their datagrams relayed and of their HELLOs answered during the
// flood (goal: at least 0.9, and 1.0), and the super peer thread's CPU time
// per stranger HELLO.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <fmt/format.h>

#include "data_plane.hpp"
#include "p2p_net.hpp"
#include "platform/p2p/relay_server.hpp"
#include "platform/p2p/wire.hpp"

namespace {

using namespace sarvolt;
using test::Bytes;

constexpr int kPeers = 100;
constexpr int kRoutes = 4900;  // two rules each, beside two per peer
constexpr int kQueries = 100000;
constexpr int kSpoofed = 100000;

long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}
long rss_kib() { return status_kib("VmRSS:"); }
long peak_kib() { return status_kib("VmHWM:"); }
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The network: this node (seed 1) and 100 peers, all allowed, and routes to
// /24s behind the peers.
network::Network big_network(const std::vector<p2p::Identity>& ids) {
  network::NetworkConfig cfg;
  cfg.network = *util::Ipv4Net::parse("10.0.0.0/16");
  const network::GroupSet g{"g"};
  for (std::size_t i = 0; i < ids.size(); ++i)
    cfg.node[ids[i].pk()] = {ids[i].pk(), util::Ipv4Addr(0x0A000001u + static_cast<std::uint32_t>(i)),
                             fmt::format("n{}", i), g};
  for (int r = 0; r < kRoutes; ++r) {
    const auto dest = util::Ipv4Net::create(util::Ipv4Addr(0x0B000000u + (static_cast<std::uint32_t>(r) << 8)), 24);
    cfg.route[*dest] = {*dest, ids[1 + r % kPeers].pk(), {}};
  }
  cfg.policy.insert({g, g});
  auto url = *util::Url::parse("file:///flood.toml");
  network::Network n(url);
  n.desired.ip = {*util::Ipv4Net::parse("10.0.0.1/16"), std::nullopt};
  n.desired.access_rules = {cfg.effective_access_rule_list(ids[0].pk()).value(), std::nullopt};
  n.desired.hostnames = {cfg.hostnames(ids[0].pk()), std::nullopt};
  return n;
}

// A UDP packet to the network's DNS server carrying an A query for n5.sarvolt.zz.
Bytes dns_packet() {
  const Bytes q = {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 'n', '5', 7, 's', 'a', 'r', 'v',
                   'o', 'l', 't', 2, 'z', 'z', 0, 0, 1, 0, 1};
  auto p = test::ipv4_packet({.src = "10.0.0.1", .dst = "10.0.255.254", .payload = 8 + q.size(), .dport = 53});
  std::copy(q.begin(), q.end(), p.begin() + 28);
  return p;
}

void BM_Flood(benchmark::State& state) {
  const long bare = rss_kib();  // nothing of an agent exists yet
  for (auto _ : state) {
    // Small fabric queues: the test double should hold little of the flood itself.
    test::DataPlane dp(test::DataPlane::Options{
        .with_dns = true, .queue_capacity = 16, .members = kPeers + 1});
    const auto& ids = dp.ids;
    auto n = big_network(ids);
    dp.networks.emplace(n.config_url, std::move(n));
    dp.apply();
    const std::size_t rules = dp.networks.begin()->second.current.access_rules.applied->rules.size();

    // The test reads (and drops) everything the agent writes into the TUN.
    std::atomic<bool> reading{true};
    std::atomic<long> to_tun{0};
    std::thread drain([&] {
      Bytes buf(70000);
      while (reading) {
        pollfd pfd{dp.tun->test, POLLIN, 0};
        if (::poll(&pfd, 1, 20) > 0 && ::read(dp.tun->test, buf.data(), buf.size()) > 0) ++to_tun;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long before = rss_kib();
    reset_peak();

    // DNS queries through the TUN device (the socket buffer paces the writer).
    auto query = dns_packet();
    for (int i = 0; i < kQueries; ++i) {
      query[28] = static_cast<std::uint8_t>(i >> 8);
      query[29] = static_cast<std::uint8_t>(i);
      while (::write(dp.tun->test, query.data(), query.size()) < 0) std::this_thread::yield();
    }
    // Spoofed sources and oversized DF packets from the peers.
    const auto spoofed = test::ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"});
    const auto oversized =
        test::ipv4_packet({.src = "10.0.0.3", .dst = "10.0.0.1", .payload = 1400, .dont_fragment = true});
    for (int i = 0; i < kSpoofed; ++i) {
      const auto& from = ids[3 + i % (kPeers - 2)].pk();
      const auto& d = i % 2 ? oversized : spoofed;
      while (!dp.fabric->inject(dp.a.pk(), from, d)) std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the queues drain
    const long peak = peak_kib();
    const long after = rss_kib();
    reading = false;
    drain.join();
    state.counters["rules"] = static_cast<double>(rules);
    state.counters["before_MB"] = static_cast<double>(before - bare) / 1024.0;
    state.counters["peak_MB"] = static_cast<double>(peak - bare) / 1024.0;
    state.counters["after_MB"] = static_cast<double>(after - bare) / 1024.0;
    state.counters["flood_peak_MB"] = static_cast<double>(peak - before) / 1024.0;
    state.counters["packets_to_tun"] = static_cast<double>(to_tun.load());
  }
}

BENCHMARK(BM_Flood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace asio = boost::asio;
using udp = asio::ip::udp;

constexpr int kFloodHellos = 1000000;
constexpr int kFloodRate = 110000;  // per second
constexpr int kFloodSources = 64;
constexpr int kFloodPool = 16384;  // distinct stranger keys, used in turn

// A UDP socket on 127.0.0.1 (or `addr`), any port.
struct Sock {
  explicit Sock(const char* addr = "127.0.0.1") : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, addr, &a.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  }
  ~Sock() { ::close(fd); }
  void send_to(const sockaddr_in& to, const Bytes& d) const {
    ::sendto(fd, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  int fd;
};

// Counts what a socket receives by datagram type until stopped.
struct Counter {
  explicit Counter(const Sock& s) : sock(s), thread([this] { run(); }) {}
  ~Counter() {
    stop = true;
    thread.join();
  }
  void run() {
    std::array<std::uint8_t, 2048> buf{};
    while (!stop) {
      pollfd p{sock.fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      while (true) {
        const auto n = ::recv(sock.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 5) break;
        if (buf[4] == static_cast<std::uint8_t>(p2p::wire::Type::Ack)) ++acks;
        if (buf[4] == static_cast<std::uint8_t>(p2p::wire::Type::App)) ++apps;
      }
    }
  }
  const Sock& sock;
  std::atomic<bool> stop{false};
  std::atomic<long> acks{0}, apps{0};
  std::thread thread;
};

double thread_cpu_s(std::thread& t) {
  clockid_t id{};
  timespec ts{};
  if (::pthread_getcpuclockid(t.native_handle(), &id) != 0 || ::clock_gettime(id, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sealed HELLOs of fresh keys whose seal does not open.
std::vector<Bytes> stranger_hellos(const p2p::PubKey& sp) {
  std::vector<Bytes> out;
  p2p::crypto::X25519Key junk{};
  p2p::crypto::random_bytes(junk);
  const p2p::crypto::SessionKeys keys(junk, junk);
  std::array<std::uint8_t, p2p::wire::kHelloBodySize> body{};
  for (int i = 0; i < kFloodPool; ++i) {
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> sk{};
    crypto_sign_keypair(pk.data(), sk.data());
    Bytes d(p2p::wire::encoded_size(false, true, body.size()));
    const p2p::wire::Seal seal{&keys, 1, static_cast<std::uint64_t>(i), 7};
    d.resize(p2p::wire::encode(d, p2p::wire::Type::Hello, sp, {p2p::PubKey(pk)}, body, &seal));
    out.push_back(std::move(d));
  }
  return out;
}

void BM_SealedHelloFlood(benchmark::State& state) {
  const auto sp_id = p2p::Identity::generate(0).value();
  const auto pool = stranger_hellos(sp_id.pk());
  for (auto _ : state) {
    asio::io_context io(1);
    p2p::RelayServer server(io.get_executor(), sp_id, {.min_pow_difficulty = 8},
                            udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    asio::co_spawn(io, server.run(), asio::detached);
    std::thread sp_thread([&] { io.run(); });
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.local_endpoint().port());
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);

    const p2p::Identity ids[2] = {test::identity(8), test::identity(8)};
    Sock socks[2];
    Counter counters[2] = {Counter(socks[0]), Counter(socks[1])};
    std::uint64_t hello_counter = 1;
    const auto hello = [&](int i) {
      socks[i].send_to(to, test::datagram(p2p::wire::Type::Hello, ids[i], sp_id.pk(), test::hello_body(ids[i]),
                                          hello_counter++));
    };
    for (int round = 0; round < 50 && (counters[0].acks == 0 || counters[1].acks == 0); ++round) {
      hello(0);
      hello(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Bytes apps[2];
    for (int i = 0; i < 2; ++i) {
      apps[i].resize(p2p::wire::kMaxDatagramSize);
      apps[i].resize(p2p::wire::encode(apps[i], p2p::wire::Type::App, ids[1 - i].pk(), {ids[i].pk()}, Bytes(200, 1),
                                       nullptr));
    }
    const long acks_before = counters[0].acks + counters[1].acks;

    std::atomic<bool> flooding{true};
    long flood_sent = 0;
    const double cpu0 = thread_cpu_s(sp_thread);
    const auto t0 = std::chrono::steady_clock::now();
    std::thread flooder([&] {
      std::vector<std::unique_ptr<Sock>> from;
      for (int i = 0; i < kFloodSources; ++i)
        from.push_back(std::make_unique<Sock>(fmt::format("127.0.1.{}", i + 1).c_str()));
      constexpr int kBatch = 64;
      std::array<mmsghdr, kBatch> msgs{};
      std::array<iovec, kBatch> iov{};
      for (int sent = 0; sent < kFloodHellos; sent += kBatch) {
        for (int k = 0; k < kBatch; ++k) {
          const Bytes& d = pool[static_cast<std::size_t>(sent + k) % pool.size()];
          iov[k] = {const_cast<std::uint8_t*>(d.data()), d.size()};
          msgs[k].msg_hdr = {};
          msgs[k].msg_hdr.msg_iov = &iov[k];
          msgs[k].msg_hdr.msg_iovlen = 1;
          msgs[k].msg_hdr.msg_name = &to;
          msgs[k].msg_hdr.msg_namelen = sizeof to;
        }
        const int src = (sent / kBatch) % kFloodSources;
        const int n = ::sendmmsg(from[static_cast<std::size_t>(src)]->fd, msgs.data(), kBatch, 0);
        flood_sent += n > 0 ? n : 0;
        std::this_thread::sleep_until(t0 + std::chrono::microseconds(static_cast<long>(sent + kBatch) * 1000000 /
                                                                      kFloodRate));
      }
      flooding = false;
    });
    // The registered nodes talk meanwhile.
    long apps_sent = 0, hellos_sent = 0;
    const long apps_before = counters[0].apps + counters[1].apps;
    for (int tick = 0; flooding; ++tick) {
      socks[0].send_to(to, apps[0]);
      socks[1].send_to(to, apps[1]);
      apps_sent += 2;
      if (tick % 100 == 0) {
        hello(0);
        hello(1);
        hellos_sent += 2;
      }
      std::this_thread::sleep_until(t0 + std::chrono::milliseconds(tick + 1));
    }
    flooder.join();
    const double flood_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = thread_cpu_s(sp_thread) - cpu0;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // late answers
    server.stop();
    sp_thread.join();
    state.counters["relayed_share"] =
        static_cast<double>(counters[0].apps + counters[1].apps - apps_before) / static_cast<double>(apps_sent);
    state.counters["acked_share"] =
        static_cast<double>(counters[0].acks + counters[1].acks - acks_before) / static_cast<double>(hellos_sent);
    state.counters["flood_per_s"] = static_cast<double>(flood_sent) / flood_s;
    state.counters["cpu_us_per_stranger"] = cpu * 1e6 / static_cast<double>(flood_sent);
    state.counters["sp_cpu_share"] = cpu / flood_s;
    // What never reached the super peer (its socket buffer overflowed).
    state.counters["lost_in_kernel"] =
        static_cast<double>(flood_sent + apps_sent + static_cast<long>(hello_counter - 1) -
                            static_cast<long>(server.core().counters().received));
  }
}

BENCHMARK(BM_SealedHelloFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
