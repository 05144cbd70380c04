// Status report of an agent core with 100 node peers (in-memory fabric) and
// 10 networks of 10 peers each:
//   CollectAndRender  status_report() run from a host thread on the agent's
//                     runtime and waited for, as the export does: super peers,
//                     transmit trie walk, two State read locks, rendering
//   Render            to_string_with_secrets(false) of the same Status alone
// Each runs 7 repetitions of 2000 reports; the summary gives the median time per report with
// the range and the ratio collect+render ÷ render.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main.hpp"
#include "agent/status.hpp"
#include "data_plane.hpp"
#include "util/block_on.hpp"

namespace {

namespace agent = sarvolt::agent;
namespace network = sarvolt::network;
using sarvolt::test::DataPlane;

constexpr int kNetworks = 10;
constexpr int kPeersPerNetwork = 10;

struct Fixture {
  Fixture() : dp(DataPlane::Options{.with_tun = false, .with_dns = false}) {
    const network::GroupSet groups{"g"};
    for (int k = 0; k < kNetworks; ++k) {
      network::NetworkConfig cfg;
      const int o = k + 1;  // 10.o.0.0/24
      cfg.network = sarvolt::test::net(fmt::format("10.{}.0.0/24", o).c_str());
      cfg.node[dp.a.pk()] = {dp.a.pk(), sarvolt::test::ip(fmt::format("10.{}.0.1", o).c_str()), "a", groups};
      for (int i = 0; i < kPeersPerNetwork; ++i) {
        const auto id = sarvolt::test::identity_from_seed(static_cast<std::uint8_t>(10 + k * kPeersPerNetwork + i));
        cfg.node[id.pk()] = {id.pk(), sarvolt::test::ip(fmt::format("10.{}.0.{}", o, i + 2).c_str()),
                             fmt::format("n{}", k * kPeersPerNetwork + i), groups};
      }
      cfg.policy.insert({groups, groups});
      const auto url = *sarvolt::util::Url::parse(fmt::format("https://user:pw@nets.example/n{}.toml", k));
      auto& n = dp.networks.try_emplace(url, network::Network(url, false, fmt::format("net {}", k))).first->second;
      n.desired.ip = {sarvolt::test::net(fmt::format("10.{}.0.1/24", o).c_str()), std::nullopt};
      n.desired.access_rules = {cfg.effective_access_rule_list(dp.a.pk()).value(), std::nullopt};
      n.desired.hostnames = {cfg.hostnames(dp.a.pk()), std::nullopt};
    }
    dp.apply();
    sarvolt::util::block_on(dp.io.get_executor(), [](DataPlane& d) -> boost::asio::awaitable<void> {
      auto st = co_await d.agent->state.write();
      st->config.network = d.networks;
    }(dp));
    status.emplace(sarvolt::util::block_on(dp.io.get_executor(), agent::Status::from_agent(*dp.agent)));
    if (status->node_peers.size() != kNetworks * kPeersPerNetwork || status->networks.size() != kNetworks) std::abort();
  }
  DataPlane dp;
  std::optional<agent::Status> status;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

std::map<std::string, std::vector<double>> g_us;  // name -> µs per report, one per repetition
std::size_t g_bytes = 0;

template <class Body>
void run(benchmark::State& state, const char* name, Body body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::string text = body();
    g_bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
  if (state.iterations() > 0) g_us[name].push_back(took.count() / static_cast<double>(state.iterations()));
}

void BM_CollectAndRender(benchmark::State& state) {
  auto& f = fixture();
  run(state, "collect+render",
      [&] { return sarvolt::util::block_on(f.dp.io.get_executor(), agent::status_report(*f.dp.agent)); });
}

void BM_Render(benchmark::State& state) {
  auto& f = fixture();
  run(state, "render", [&] { return f.status->to_string_with_secrets(false); });
}

void stats(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000)->Repetitions(7)->ReportAggregatesOnly(true);
  b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
  b->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
}

BENCHMARK(BM_CollectAndRender)->Apply(stats);
BENCHMARK(BM_Render)->Apply(stats);

struct Summary {
  double median = 0, min = 0, max = 0;
};

std::optional<Summary> summary(const std::string& name) {
  auto it = g_us.find(name);
  if (it == g_us.end() || it->second.empty()) return std::nullopt;
  auto v = it->second;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return Summary{n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

void print_summary() {
  const auto both = summary("collect+render");
  const auto render = summary("render");
  std::printf("\nstatus report, %d node peers, %d networks (%zu bytes of text)\n", kNetworks * kPeersPerNetwork,
              kNetworks, g_bytes);
  std::printf("%-16s %12s %22s %6s\n", "row", "median µs", "range µs", "reps");
  for (const auto& [name, s] : {std::pair{"collect+render", both}, std::pair{"render", render}})
    if (s) std::printf("%-16s %12.1f %10.1f .. %8.1f %6zu\n", name, s->median, s->min, s->max, g_us[name].size());
  if (both && render && render->median > 0)
    std::printf("ratio (collect+render ÷ render, medians): %.2f\n", both->median / render->median);
}

}  // namespace

int main(int argc, char** argv) {
  return bench::run_main(argc, argv, print_summary);
}
