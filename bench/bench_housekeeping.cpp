// Housekeeping pass time against the number of manual file:// networks (each
// with 100 nodes and an all-to-all policy), beside reading and parsing the
// same documents alone. The ratio pass ÷ parse is the pass's own overhead
// (deriving the lists, comparing states, applying, notifying). Both run on
// the runtime through block_on and both keep the last result per network, as
// the pass keeps each network's document: the thread hop and the cost of
// holding parsed documents fall on both sides.
#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include "agent/housekeeping.hpp"
#include "data_plane.hpp"
#include "support.hpp"
#include "util/block_on.hpp"

namespace {

using namespace sarvolt;

constexpr int kNodes = 100;

std::string document(const p2p::Identity& me, int network) {
  std::string doc = fmt::format("name = \"net{}\"\nnetwork = \"10.{}.0.0/16\"\n", network, network);
  for (int n = 0; n < kNodes; ++n) {
    const auto pk = n == 0 ? me.pk() : test::identity_from_seed(static_cast<std::uint8_t>(n + 10)).pk();
    doc += fmt::format("[[node]]\npk = \"{}\"\nip = \"10.{}.{}.{}\"\nhostname = \"n{}\"\ngroups = [\"g\"]\n",
                       pk.to_string(), network, n / 200, n % 200 + 1, n);
  }
  return doc + "[[policy]]\nsource_groups = [\"g\"]\ndestination_groups = [\"g\"]\n";
}

struct World {
  explicit World(int networks) : dp(test::DataPlane::Options{.with_tun = false, .with_dns = false}) {
    agent::AgentInner::Parts parts;
    parts.executor = dp.io.get_executor();
    parts.node = dp.nodes[0];
    parts.config_path = (dir / "agent.toml").string();
    inner = std::make_shared<agent::AgentInner>(std::move(parts));
    util::block_on(dp.io.get_executor(), [](World& w, int n) -> boost::asio::awaitable<void> {
      auto st = co_await w.inner->state.write();
      for (int i = 0; i < n; ++i) {
        const auto path = w.dir / fmt::format("net{}.toml", i);
        test::write_file(path, document(w.dp.a, i));
        w.paths.push_back(path.string());
        auto url = *util::Url::parse("file://" + path.string());
        st->config.network.emplace(url, network::Network(url));
      }
    }(*this, networks));
    pass();  // the first pass builds the peers and saves the names
  }
  void pass() { (void)util::block_on(dp.io.get_executor(), agent::housekeeping(*inner)); }

  test::TempDir dir;
  test::DataPlane dp;
  std::shared_ptr<agent::AgentInner> inner;
  std::vector<std::string> paths;
};

void BM_HousekeepingPass(benchmark::State& state) {
  World w(static_cast<int>(state.range(0)));
  for (auto _ : state) w.pass();
  state.counters["networks"] = static_cast<double>(state.range(0));
}

using Parsed = util::Expected<network::NetworkConfig, network::ConfigError>;

boost::asio::awaitable<void> read_and_parse(const std::vector<std::string>& paths, std::vector<Parsed>& kept) {
  for (std::size_t i = 0; i < paths.size(); ++i) {
    auto text = agent::read_document_file(paths[i]);
    kept[i] = network::NetworkConfig::try_from(*text);
    benchmark::DoNotOptimize(kept[i]);
  }
  co_return;
}

void BM_ReadAndParseAlone(benchmark::State& state) {
  World w(static_cast<int>(state.range(0)));
  std::vector<Parsed> kept(w.paths.size(), network::NetworkConfig{});
  for (auto _ : state) util::block_on(w.dp.io.get_executor(), read_and_parse(w.paths, kept));
  state.counters["networks"] = static_cast<double>(state.range(0));
}

BENCHMARK(BM_HousekeepingPass)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAndParseAlone)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
