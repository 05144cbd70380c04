// Bounded memory under load: an agent core with 100 peers and about 10 000
// access rules is flooded with 100 000 DNS queries through its TUN device and
// 100 000 spoofed and oversized datagrams from its peers. Reports resident
// memory before, at the peak and after the flood, each above the process as
// it stood before any agent existed (a process that only linked the library).
// Goal: the flood adds at most 2 MB at its peak and memory returns to its
// level before the flood.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <fmt/format.h>

#include "data_plane.hpp"

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

}  // namespace

BENCHMARK_MAIN();
