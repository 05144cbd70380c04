// The controller step on a list of N networks (10, 100, 1 000), each a /24
// with three nodes and one policy, in steady state (the agent already holds
// every listed network, so each run replaces every slot):
//   BM_ParseList       reading the list document alone (the baseline)
//   BM_ParseAndMerge   reading it, keying it by "controller://<id>" and
//                      merging it into the agent's networks: what the step
//                      adds to the parse, without the transport
//   BM_FetchAndMerge   the whole step through the test controller on
//                      127.0.0.1: HMAC-signed GET, answer, decode, parse,
//                      keying and merge (the controller is a Python server,
//                      so the transport dominates)
// Times are per list; 7 repetitions, median with min and max.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <future>

#include <fmt/format.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "agent/controller_sync.hpp"
#include "data_plane.hpp"
#include "http_fixture.hpp"

namespace {

namespace asio = boost::asio;
using namespace sarvolt;

constexpr const char* kSecret = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";

std::string list_document(std::size_t n, const p2p::PubKey& me) {
  const auto b = test::identity_from_seed(2).pk(), c = test::identity_from_seed(3).pk();
  std::string doc;
  for (std::size_t i = 0; i < n; ++i) {
    const auto net = fmt::format("10.{}.{}", i / 256, i % 256);
    doc += fmt::format(
        "[[network]]\nid = \"{:08x}-1d4e-4a52-9a8e-2b8f7d1c{:04x}\"\nname = \"network {}\"\nnetwork = \"{}.0/24\"\n",
        0x5eed0000 + i, i % 65536, i, net);
    int host = 1;
    for (const auto& pk : {me, b, c})
      doc += fmt::format("[[network.node]]\npk = \"{}\"\nip = \"{}.{}\"\nhostname = \"n{}\"\ngroups = [\"g\"]\n", pk,
                         net, host, host),
          ++host;
    doc += "[[network.policy]]\nsource_groups = [\"g\"]\ndestination_groups = [\"g\"]\n";
  }
  return doc;
}

template <class T>
T run_on(asio::io_context& io, asio::awaitable<T> aw) {
  return asio::co_spawn(io, std::move(aw), asio::use_future).get();
}

// An agent core (in-memory node, no DNS) whose configuration points at the
// test controller, which serves the list of `n` networks; one merge has run.
struct Rig {
  explicit Rig(std::size_t n)
      : dp(test::DataPlane::Options{.with_tun = false, .with_dns = false}),
        controller(kSecret),
        document(list_document(n, dp.a.pk())) {
    controller.serve(dp.a.pk().to_string(), document);
    auto setup = [&]() -> asio::awaitable<void> {
      auto st = co_await dp.agent->state.write();
      st->config.controller.emplace();
      st->config.controller->url = controller.base_url();
      st->config.controller->shared_secret = kSecret;
    };
    run_on(dp.io, setup());
    if (!sync() || networks() != n) throw std::runtime_error("the first merge did not add every network");
  }
  bool sync() {
    auto step = [&]() -> asio::awaitable<bool> {
      auto st = co_await dp.agent->state.write();
      co_await agent::sync_controller_networks(*dp.agent, *st, std::nullopt);
      co_return st->config.controller->status.kind() == agent::ControllerConnectionStatus::Kind::Ok;
    };
    return run_on(dp.io, step());
  }
  bool merge(agent::ControllerNetworks listed) {
    // Named, not a temporary inside the co_await expression: GCC 12 may
    // destroy such a temporary twice.
    util::Expected<agent::ControllerFetchOutcome, core::Error> fetched{
        agent::ControllerFetchOutcome{agent::ControllerFetchOutcome::Networks{std::move(listed)}}};
    auto step = [&]() -> asio::awaitable<bool> {
      auto st = co_await dp.agent->state.write();
      co_return co_await agent::merge_controller_networks(*dp.agent, *st, std::move(fetched));
    };
    return run_on(dp.io, step());
  }
  std::size_t networks() {
    std::size_t n = 0;
    auto count = [&]() -> asio::awaitable<void> { n = (co_await dp.agent->state.read())->config.network.size(); };
    run_on(dp.io, count());
    return n;
  }

  test::DataPlane dp;
  test::TestController controller;
  std::string document;
};

void stats(benchmark::internal::Benchmark* b) {
  b->ArgName("networks")->Arg(10)->Arg(100)->Arg(1000);
  b->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
  b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
  b->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
}

void BM_ParseList(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto doc = list_document(n, test::identity_from_seed(1).pk());
  for (auto _ : state) {
    auto list = network::read_multi_network_config(doc);
    if (!list || list->network.size() != n) return state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(list);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_ParseList)->Apply(stats);

void BM_ParseAndMerge(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Rig rig(n);
  for (auto _ : state) {
    auto list = network::read_multi_network_config(rig.document);
    if (!list) return state.SkipWithError("parse failed");
    auto keyed = agent::key_controller_networks(std::move(*list));
    if (!keyed || rig.merge(std::move(*keyed))) return state.SkipWithError("the steady-state merge changed something");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_ParseAndMerge)->Apply(stats);

void BM_FetchAndMerge(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Rig rig(n);
  for (auto _ : state)
    if (!rig.sync()) return state.SkipWithError("the controller step failed");
  if (rig.networks() != n) state.SkipWithError("networks lost");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_FetchAndMerge)->Apply(stats);

}  // namespace

BENCHMARK_MAIN();
