// The firewall's memory and rebuild cost for one network of A and 100 peers
// with 10 000 and 100 000 access rules (2 x 100 node rules and 2 x 4 900 or
// 2 x 49 900 rules of routes through the peers), and for 5 000 nodes
// (2 x 4 999 node rules).
//   Memory   in a fresh child process per round: resident memory (VmRSS)
//            and heap bytes in use above the bare process (runtime, fabric,
//            peers' links towards A and the network document, no agent), at
//            rest after the first apply and at the peak of that apply
//            (VmHWM, reset just before), and the same for a second apply of
//            a changed rule list (one route more). Heap counts the arrays in
//            mappings of their own as well. "per rule" divides the
//            figure at rest by the rule count; "marginal" is the growth from
//            a network without routes (200 rules) to the full one, per rule.
//   Rebuild  first apply on a new agent (the firewall's apply step: tries
//            and peers) against the baseline of deriving the rule tries alone
//            (EffectiveAccessRuleList::routing_tries); ratio = apply / tries,
//            in wall time and in the timing thread's own CPU time (the
//            latter leaves out the time other work on the machine took its
//            CPU away), and the timing thread's minor page faults in each.
//            Then a re-apply over the same rules (every peer reused; median
//            of three), also per rule.
// Environment: SARVOLT_BENCH_ROUNDS (7).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>

#include "agent/inner.hpp"
#include "harness.hpp"
#include "network/config/effective.hpp"
#include "platform/p2p/fabric.hpp"
#include "util/mapped_memory.hpp"

namespace {

namespace asio = boost::asio;
namespace p2p = sarvolt::p2p;
namespace agent = sarvolt::agent;
namespace network = sarvolt::network;
namespace util = sarvolt::util;
using bench::Clock;

constexpr std::uint16_t kMtu = 1500;

int rounds() { return bench::env_int("SARVOLT_BENCH_ROUNDS", 7, 1, 50); }

// A and `peers` peers in 10.0.0.0/16, all allowed to talk to each other, and
// `routes` consecutive /24 routes from 100.64.0.0 on through the peers in turn.
network::NetworkConfig network_config(std::size_t peers, std::size_t routes) {
  const auto& ids = bench::identities(peers + 1);
  network::NetworkConfig cfg;
  cfg.network = *util::Ipv4Net::parse("10.0.0.0/16");
  const network::GroupSet g{"g"};
  for (std::size_t i = 0; i <= peers; ++i)
    cfg.node[ids[i].pk()] = {ids[i].pk(), bench::address_of(i), fmt::format("n{}", i), g};
  cfg.policy.insert({g, g});
  for (std::size_t r = 0; r < routes; ++r) {
    const auto dest = *util::Ipv4Net::create(util::Ipv4Addr((100u << 24 | 64u << 16) + 256u * static_cast<std::uint32_t>(r)), 24);
    cfg.route[dest] = {dest, ids[1 + r % peers].pk(), {}};
  }
  return cfg;
}

network::AgentState desired_state(const network::NetworkConfig& cfg) {
  const auto& me = bench::identities(1)[0].pk();
  network::AgentState s;
  s.ip = {*util::Ipv4Net::parse("10.0.0.1/16"), std::nullopt};
  s.access_rules = {cfg.effective_access_rule_list(me).value(), std::nullopt};
  return s;
}

// Waits (bounded) until the runtime ran everything queued before the call:
// two markers in a row, so work running beside the first one ended too.
bool settle(asio::io_context& io, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = Clock::now() + timeout;
  for (int pass = 0; pass < 2; ++pass) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    asio::post(io, [done] { done->store(true); });
    if (!bench::wait_until([&] { return done->load(); }, deadline)) return false;
  }
  return true;
}

// --- memory ------------------------------------------------------------------------

long status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.starts_with(key)) return std::atol(line.c_str() + key.size());
  return -1;
}

void reset_rss_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
}

struct MemorySample {
  std::size_t rules = 0;
  double rest_rss_mb = 0, peak_rss_mb = 0, rest_heap_mb = 0, peak_heap_mb = 0;
  double re_peak_rss_mb = 0, re_peak_heap_mb = 0, re_rest_rss_mb = 0;
  bool ok = false;
};

// Arrays in mappings of their own count as heap too.
void note_mapping(std::ptrdiff_t bytes) noexcept {
  const std::int64_t live = bench::g_live_bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  std::int64_t peak = bench::g_peak_bytes.load(std::memory_order_relaxed);
  while (live > peak && !bench::g_peak_bytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

// Runs in a child process: everything measured is this process's own.
MemorySample measure_memory(std::size_t peers, std::size_t routes) {
  MemorySample out;
  util::set_mapping_observer(note_mapping);
  bench::Runtime rt(2, true, "agent");
  auto fabric = std::make_shared<p2p::Fabric>(64);
  const auto& ids = bench::identities(peers + 1);
  auto node_a = fabric->add_node(ids[0]);
  std::vector<std::shared_ptr<p2p::MemoryNode>> nodes;
  std::vector<p2p::NodePeerRef> remote_links;  // their queues exist before the agent's links
  for (std::size_t i = 1; i <= peers; ++i) {
    nodes.push_back(fabric->add_node(ids[i]));
    remote_links.push_back(nodes.back()->initiate(ids[0].pk()).value());
  }
  auto cfg = network_config(peers, routes);
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return out;
  auto tun = util::AsyncTun::create(rt.io.get_executor(), fds[0]).value();
  settle(rt.io);
  ::malloc_trim(0);
  const long rss0 = status_kib("VmRSS");
  const std::int64_t heap0 = bench::g_live_bytes.load();
  auto mb = [](double kib) { return kib / 1024.0; };
  auto heap_mb = [](std::int64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); };

  agent::AgentInner::Parts parts;
  parts.executor = rt.io.get_executor();
  parts.node = node_a;
  parts.platform->tun_device = std::move(tun);
  parts.tun_mtu = kMtu;
  auto inner = std::make_shared<agent::AgentInner>(std::move(parts));
  network::NetworkMap networks;
  {
    network::Network n(*util::Url::parse("file:///bench.toml"));
    n.desired = desired_state(cfg);
    out.rules = n.desired.access_rules.applied->rules.size();
    networks.emplace(n.config_url, std::move(n));
  }
  auto apply = [&] {
    auto done = asio::co_spawn(rt.io, inner->apply_desired_state(networks), asio::use_future);
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return false;
    done.get();
    return settle(rt.io);
  };

  reset_rss_peak();
  bench::reset_peak();
  if (!apply()) return out;
  out.peak_rss_mb = mb(static_cast<double>(status_kib("VmHWM") - rss0));
  out.peak_heap_mb = heap_mb(bench::g_peak_bytes.load() - heap0);
  out.rest_rss_mb = mb(static_cast<double>(status_kib("VmRSS") - rss0));
  out.rest_heap_mb = heap_mb(bench::g_live_bytes.load() - heap0);

  // One route more: every rule list of the network is derived again.
  const auto dest = *util::Ipv4Net::parse("100.127.255.0/24");
  cfg.route[dest] = {dest, ids[1].pk(), {}};
  networks.begin()->second.desired = desired_state(cfg);
  reset_rss_peak();
  bench::reset_peak();
  if (!apply()) return out;
  out.re_peak_rss_mb = mb(static_cast<double>(status_kib("VmHWM") - rss0));
  out.re_peak_heap_mb = heap_mb(bench::g_peak_bytes.load() - heap0);
  out.re_rest_rss_mb = mb(static_cast<double>(status_kib("VmRSS") - rss0));
  out.ok = true;
  // Exits without tearing down: the parent reads the pipe.
  return out;
}

MemorySample in_child(std::size_t peers, std::size_t routes) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const MemorySample s = measure_memory(peers, routes);
    (void)!::write(pipe_fds[1], &s, sizeof s);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  MemorySample s;
  const bool got = pid > 0 && ::read(pipe_fds[0], &s, sizeof s) == static_cast<ssize_t>(sizeof s);
  ::close(pipe_fds[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return got ? s : MemorySample{};
}

std::map<std::size_t, std::vector<MemorySample>> g_memory;  // by routes

void BM_Memory(benchmark::State& state) {
  const auto routes = static_cast<std::size_t>(state.range(0));
  MemorySample s;
  for (auto _ : state) s = in_child(100, routes);
  if (!s.ok) {
    state.SkipWithError("child failed");
    return;
  }
  state.counters["rules"] = static_cast<double>(s.rules);
  state.counters["rest_rss_MB"] = s.rest_rss_mb;
  state.counters["peak_rss_MB"] = s.peak_rss_mb;
  state.counters["rest_heap_MB"] = s.rest_heap_mb;
  state.counters["peak_heap_MB"] = s.peak_heap_mb;
  state.counters["reapply_peak_rss_MB"] = s.re_peak_rss_mb;
  state.counters["reapply_peak_heap_MB"] = s.re_peak_heap_mb;
  state.counters["bytes_per_rule"] = s.rest_rss_mb * 1024 * 1024 / static_cast<double>(s.rules);
  g_memory[routes].push_back(s);
}

// --- rebuild --------------------------------------------------------------------------

struct RebuildWorld {
  RebuildWorld(std::size_t peers, std::size_t routes) : rt(2, true, "agent") {
    const auto& ids = bench::identities(peers + 1);
    fabric = std::make_shared<p2p::Fabric>(4);  // many queues: keep them small
    node_a = fabric->add_node(ids[0]);
    proto = std::make_unique<network::Network>(*util::Url::parse("file:///bench.toml"));
    proto->desired = desired_state(network_config(peers, routes));
    proto->current.ip = proto->desired.ip;  // as the network interface's apply leaves it
  }
  std::shared_ptr<agent::AgentInner> make_agent() {
    agent::AgentInner::Parts parts;
    parts.executor = rt.io.get_executor();
    parts.node = node_a;
    parts.tun_mtu = kMtu;
    return std::make_shared<agent::AgentInner>(std::move(parts));
  }
  network::NetworkMap fresh_networks() const {
    network::NetworkMap m;
    m.emplace(proto->config_url, *proto);
    return m;
  }
  const network::EffectiveAccessRuleList& rules() const { return *proto->desired.access_rules.applied; }

  bench::Runtime rt;
  std::shared_ptr<p2p::Fabric> fabric;
  std::shared_ptr<p2p::MemoryNode> node_a;
  std::unique_ptr<network::Network> proto;
};

RebuildWorld& world(std::size_t peers, std::size_t routes) {
  static std::map<std::pair<std::size_t, std::size_t>, std::unique_ptr<RebuildWorld>> worlds;
  auto& w = worlds[{peers, routes}];
  if (!w) w = std::make_unique<RebuildWorld>(peers, routes);
  return *w;
}

struct RebuildSample {
  double tries_ms = 0, apply_ms = 0, reapply_ms = 0;
  double tries_cpu_ms = 0, apply_cpu_ms = 0;  // the timing thread's own CPU time
  double tries_faults = 0, apply_faults = 0;  // the timing thread's minor page faults
};
std::map<std::pair<std::size_t, std::size_t>, std::vector<RebuildSample>> g_rebuild;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double thread_cpu_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double thread_faults() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_minflt);
}

// One round: the rule tries alone (median of three), then a first apply.
void BM_Rebuild(benchmark::State& state) {
  const auto peers = static_cast<std::size_t>(state.range(0));
  const auto routes = static_cast<std::size_t>(state.range(1));
  auto& w = world(peers, routes);
  RebuildSample s;
  for (auto _ : state) {
    std::vector<double> tries, tries_cpu, tries_faults;
    for (int i = 0; i < 3; ++i) {
      const double f0 = thread_faults();
      const double c0 = thread_cpu_ms();
      const auto t0 = Clock::now();
      auto t = w.rules().routing_tries();
      benchmark::DoNotOptimize(t);
      tries.push_back(ms_since(t0));
      tries_cpu.push_back(thread_cpu_ms() - c0);
      tries_faults.push_back(thread_faults() - f0);
    }
    s.tries_ms = bench::summarise(tries).median;
    s.tries_cpu_ms = bench::summarise(tries_cpu).median;
    s.tries_faults = bench::summarise(tries_faults).median;

    auto inner = w.make_agent();
    auto networks = w.fresh_networks();
    const double f0 = thread_faults();
    const double c0 = thread_cpu_ms();
    const auto t0 = Clock::now();
    inner->firewall->apply_desired_state(*inner->data_plane, networks);
    s.apply_ms = ms_since(t0);
    s.apply_cpu_ms = thread_cpu_ms() - c0;
    s.apply_faults = thread_faults() - f0;
    const auto& published = inner->firewall->tries()->peers;
    std::vector<std::weak_ptr<agent::NodePeer>> peer_refs(published.begin(), published.end());
    if (peer_refs.size() != peers || !settle(w.rt.io)) {
      state.SkipWithError("unexpected peers, or their drivers did not start");
      static std::vector<std::shared_ptr<agent::AgentInner>> parked;  // never released mid-start
      parked.push_back(std::move(inner));
      return;
    }
    std::vector<double> again;
    for (int i = 0; i < 3; ++i) {
      const auto t1 = Clock::now();
      inner->firewall->update_tries(*inner->data_plane, networks);
      again.push_back(ms_since(t1));
    }
    s.reapply_ms = bench::summarise(again).median;
    // Release every peer and await their drivers' end, so that no teardown
    // runs beside the next round's timing.
    const auto ctx = inner->data_plane;
    inner.reset();
    networks.clear();
    const bool gone = bench::wait_until(
                          [&] {
                            for (const auto& p : peer_refs)
                              if (!p.expired()) return false;
                            return true;
                          },
                          Clock::now() + std::chrono::seconds(10)) &&
                      ctx->tasks.wait_for(std::chrono::seconds(10));
    if (!gone) {
      state.SkipWithError("peer drivers did not end");
      return;
    }
  }
  state.counters["rules"] = static_cast<double>(w.rules().rules.size());
  state.counters["tries_ms"] = s.tries_ms;
  state.counters["apply_ms"] = s.apply_ms;
  state.counters["apply_div_tries"] = s.apply_ms / s.tries_ms;
  state.counters["apply_div_tries_cpu"] = s.apply_cpu_ms / s.tries_cpu_ms;
  state.counters["reapply_ms"] = s.reapply_ms;
  state.counters["tries_minflt"] = s.tries_faults;
  state.counters["apply_minflt"] = s.apply_faults;
  g_rebuild[{peers, routes}].push_back(s);
}

void register_all() {
  for (int r = 1; r <= rounds(); ++r) {
    for (const std::int64_t routes : {0, 4900, 49900})
      benchmark::RegisterBenchmark(fmt::format("BM_Memory/peers:100/round:{}", r).c_str(), BM_Memory)
          ->Arg(routes)
          ->ArgName("routes")
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
  }
  for (int r = 1; r <= rounds(); ++r)
    for (const auto& [peers, routes] : {std::pair<std::int64_t, std::int64_t>{100, 4900}, {100, 49900}, {4999, 0}})
      benchmark::RegisterBenchmark(fmt::format("BM_Rebuild/round:{}", r).c_str(), BM_Rebuild)
          ->Args({peers, routes})
          ->ArgNames({"peers", "routes"})
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
}

std::string range(const std::vector<double>& v, const char* f = "{:.2f}") {
  const auto s = bench::summarise(v);
  return fmt::format(fmt::runtime(std::string(f) + " [" + f + ".." + f + "]"), s.median, s.min, s.max);
}

void print_summary() {
  std::printf("\nMemory above the bare process, 100 peers; MB = MiB; median [min..max] over rounds.\n");
  std::printf("%-7s %-22s %-22s %-22s %-22s %-22s %-22s %s\n", "rules", "rest RSS MB", "peak RSS MB",
              "rest heap MB", "peak heap MB", "re-apply peak RSS MB", "re-apply peak heap MB", "bytes/rule (rest RSS)");
  const auto full = g_memory.find(4900), none = g_memory.find(0);
  for (const auto& [routes, samples] : g_memory) {
    std::vector<double> rest, peak, heap, hpeak, repeak, rehpeak, per_rule;
    for (const auto& s : samples) {
      rest.push_back(s.rest_rss_mb);
      peak.push_back(s.peak_rss_mb);
      heap.push_back(s.rest_heap_mb);
      hpeak.push_back(s.peak_heap_mb);
      repeak.push_back(s.re_peak_rss_mb);
      rehpeak.push_back(s.re_peak_heap_mb);
      per_rule.push_back(s.rest_rss_mb * 1048576.0 / static_cast<double>(s.rules));
    }
    std::printf("%-7zu %-22s %-22s %-22s %-22s %-22s %-22s %s\n", samples.front().rules, range(rest).c_str(),
                range(peak).c_str(), range(heap).c_str(), range(hpeak).c_str(), range(repeak).c_str(),
                range(rehpeak).c_str(), range(per_rule, "{:.0f}").c_str());
  }
  if (full != g_memory.end() && none != g_memory.end() && !full->second.empty() && !none->second.empty()) {
    const double extra_rules =
        static_cast<double>(full->second.front().rules) - static_cast<double>(none->second.front().rules);
    std::vector<double> rss, heap;
    for (std::size_t i = 0; i < std::min(full->second.size(), none->second.size()); ++i) {
      rss.push_back((full->second[i].rest_rss_mb - none->second[i].rest_rss_mb) * 1048576.0 / extra_rules);
      heap.push_back((full->second[i].rest_heap_mb - none->second[i].rest_heap_mb) * 1048576.0 / extra_rules);
    }
    std::printf("marginal bytes per rule at rest: RSS %s, heap %s\n", range(rss, "{:.0f}").c_str(),
                range(heap, "{:.0f}").c_str());
  }
  std::printf(
      "\nFirst apply against the rule-trie derivation alone; ratio = apply / tries time (wall), and of the\n"
      "timing thread's own CPU time (what it ran, without the time it lost its CPU).\n");
  std::printf("%-22s %-7s %-24s %-24s %-24s %-24s %-24s %-20s %-20s %s\n", "case", "rules", "rule tries ms",
              "first apply ms", "apply / tries", "apply / tries (CPU)", "re-apply ms", "re-apply ns/rule",
              "tries page faults", "apply page faults");
  for (const auto& [key, samples] : g_rebuild) {
    std::vector<double> tries, apply, ratio, cpu_ratio, again, per_rule, tries_faults, apply_faults;
    const auto& w = world(key.first, key.second);
    const auto rules = static_cast<double>(w.rules().rules.size());
    for (const auto& s : samples) {
      tries.push_back(s.tries_ms);
      apply.push_back(s.apply_ms);
      ratio.push_back(s.apply_ms / s.tries_ms);
      cpu_ratio.push_back(s.apply_cpu_ms / s.tries_cpu_ms);
      again.push_back(s.reapply_ms);
      per_rule.push_back(s.reapply_ms * 1e6 / rules);
      tries_faults.push_back(s.tries_faults);
      apply_faults.push_back(s.apply_faults);
    }
    std::printf("%-22s %-7zu %-24s %-24s %-24s %-24s %-24s %-20s %-20s %s\n",
                fmt::format("{} peers, {} routes", key.first, key.second).c_str(), w.rules().rules.size(),
                range(tries).c_str(), range(apply).c_str(), range(ratio).c_str(), range(cpu_ratio).c_str(),
                range(again).c_str(), range(per_rule, "{:.0f}").c_str(), range(tries_faults, "{:.0f}").c_str(),
                range(apply_faults, "{:.0f}").c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::alarm(3600);
  register_all();
  const int rc = bench::run_main(argc, argv, print_summary);
  std::fflush(stdout);
  // The rebuild worlds' runtimes are left to the process exit.
  ::_exit(rc);
}
