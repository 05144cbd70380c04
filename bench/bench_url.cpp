// Parsing 10 000 configuration URLs of mixed forms (http/https hosts with
// ports, user info, dot segments, IPv4 and IPv6 hosts, file URLs, controller
// UUIDs, a few non-ASCII host names): util::Url::parse beside Boost.URL's
// parse_uri of the same texts. Times are per batch of 10 000.
#include <benchmark/benchmark.h>

#include <boost/url/parse.hpp>
#include <fmt/format.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/url.hpp"

namespace {

std::vector<std::string> make_urls() {
  std::vector<std::string> urls;
  urls.reserve(10000);
  std::uint32_t x = 12345;
  auto next = [&x] { return x = x * 1103515245u + 12345u; };
  for (int i = 0; i < 10000; ++i) {
    const std::uint32_t r = next() >> 8;
    switch (i % 10) {
      case 0: urls.push_back(fmt::format("http://host{}.example.com:{}/a/b/../c/./n{}.toml", r % 997, 1024 + r % 6000, i)); break;
      case 1: urls.push_back(fmt::format("https://user:pw@Config{}.Example.ORG/path/%2e%2E/net.toml?rev={}#top", r % 500, i)); break;
      case 2: urls.push_back(fmt::format("http://10.{}.{}.{}:8080/networks/{}.toml", r % 256, (r >> 8) % 256, (r >> 16) % 256, i)); break;
      case 3: urls.push_back(fmt::format("https://[2001:db8:0:0:{:x}::{:x}]:443/n.toml", r % 65536, i)); break;
      case 4: urls.push_back(fmt::format("file:///etc/sarvolt/networks/net-{}.toml", i)); break;
      case 5: urls.push_back(fmt::format("controller://{:08x}-1d4e-4a52-9a8e-2b8f7d1c{:04x}", r, i % 65536)); break;
      case 6: urls.push_back(fmt::format("https://networks.example.net/team/{}/./current/../network.toml", i)); break;
      case 7: urls.push_back(fmt::format("http://192.168.{}.{}/n.toml?token=abc{}", r % 256, (r >> 8) % 256, i)); break;
      case 8: urls.push_back(fmt::format("file://localhost/var/lib/sarvolt/{}/net.toml", i)); break;
      case 9:
        urls.push_back(i % 50 == 9 ? fmt::format("https://fa\xC3\x9F-{}.example/n.toml", i)
                                   : fmt::format("https://api.example.com/v1/networks/{}?format=toml", i));
        break;
    }
  }
  return urls;
}

const std::vector<std::string>& urls() {
  static const std::vector<std::string> u = make_urls();
  return u;
}

void BM_UrlParse(benchmark::State& state) {
  const auto& in = urls();
  std::size_t ok = 0;
  for (auto _ : state) {
    ok = 0;
    for (const auto& s : in) {
      auto u = sarvolt::util::Url::parse(s);
      ok += u ? 1 : 0;
      benchmark::DoNotOptimize(u);
    }
  }
  if (ok != in.size()) throw std::runtime_error("a benchmark URL did not parse");
  state.counters["parsed"] = static_cast<double>(ok);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_UrlParse)->Unit(benchmark::kMicrosecond);

void BM_BoostParseUri(benchmark::State& state) {
  const auto& in = urls();
  std::size_t ok = 0;
  for (auto _ : state) {
    ok = 0;
    for (const auto& s : in) {
      auto u = boost::urls::parse_uri(s);
      ok += u ? 1 : 0;
      benchmark::DoNotOptimize(u);
    }
  }
  state.counters["parsed"] = static_cast<double>(ok);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_BoostParseUri)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
