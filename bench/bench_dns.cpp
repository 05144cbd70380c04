// Overlay DNS answers: queries per second through respond() and
// build_reply_packet() with 10 and 10 000 host names in the catalog
// (pre-encoded A queries for known names, round-robin), beside a bare ldns
// decode of the same queries plus encode of the same responses.
#include <benchmark/benchmark.h>
// Before ldns, which otherwise defines bool, true and false as macros.
#include <stdbool.h>
#include <ldns/ldns.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/dns/server.hpp"

namespace {

namespace dns = sarvolt::agent::dns;
using sarvolt::util::Ipv4Addr;
using Bytes = std::vector<std::uint8_t>;

const Ipv4Addr kServer = Ipv4Addr::from_octets(10, 1, 255, 254);
const Ipv4Addr kClient = Ipv4Addr::from_octets(10, 1, 0, 2);

struct Fixture {
  std::shared_ptr<const dns::Catalog> catalog;
  std::vector<Bytes> queries;
  std::vector<ldns_pkt*> responses;  // our answers, decoded, for the baseline
};

Bytes encode_query(const std::string& name, std::uint16_t id) {
  ldns_pkt* p = ldns_pkt_query_new(ldns_dname_new_frm_str(name.c_str()), LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, LDNS_RD);
  ldns_pkt_set_id(p, id);
  std::uint8_t* buf = nullptr;
  std::size_t n = 0;
  if (ldns_pkt2wire(&buf, p, &n) != LDNS_STATUS_OK) std::abort();
  Bytes out(buf, buf + n);
  std::free(buf);
  ldns_pkt_free(p);
  return out;
}

// Built once per size and kept for the whole run.
const Fixture& fixture(std::size_t hosts) {
  static std::map<std::size_t, Fixture> all;
  auto [it, fresh] = all.try_emplace(hosts);
  Fixture& f = it->second;
  if (!fresh) return f;
  const auto url = *sarvolt::util::Url::parse("https://bench.example/");
  sarvolt::agent::NetworkMap nets;
  auto& net = nets.try_emplace(url, sarvolt::network::Network(url)).first->second;
  sarvolt::network::HostnameList list;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < hosts; ++i) {
    names.push_back("host-" + std::to_string(i));
    list.names.emplace(Ipv4Addr(0x0A010000u + static_cast<std::uint32_t>(i) + 1), names.back());
  }
  net.desired.hostnames = sarvolt::network::AppliedStatus<sarvolt::network::HostnameList>::value(std::move(list));
  f.catalog = dns::Catalog::build(nets);
  // At most 1024 distinct queries, spread over the whole catalog.
  const std::size_t n = std::min<std::size_t>(hosts, 1024);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t h = i * hosts / n;
    f.queries.push_back(encode_query(names[h] + ".sarvolt.zz.", static_cast<std::uint16_t>(i)));
    const auto reply = dns::respond(*f.catalog, f.queries.back(), kClient, 40000);
    ldns_pkt* p = nullptr;
    if (!reply || ldns_wire2pkt(&p, reply->data(), reply->size()) != LDNS_STATUS_OK || ldns_pkt_ancount(p) != 1)
      std::abort();
    f.responses.push_back(p);
  }
  return f;
}

std::map<std::string, double> g_qps;  // "respond/10" -> queries per second of the last run

template <class Body>
void run(benchmark::State& state, const std::string& key, Body body) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const std::size_t n = f.queries.size();
  std::size_t i = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    body(f, i);
    if (++i == n) i = 0;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  state.SetItemsProcessed(state.iterations());
  if (took.count() > 0) g_qps[key + "/" + std::to_string(state.range(0))] = state.iterations() / took.count();
}

void BM_Respond(benchmark::State& state) {
  run(state, "respond", [](const Fixture& f, std::size_t i) {
    auto reply = dns::respond(*f.catalog, f.queries[i], kClient, 40000);
    auto packet = dns::build_reply_packet(kServer, 53, kClient, 40000, *reply);
    benchmark::DoNotOptimize(packet.data());
  });
}

void BM_LdnsBaseline(benchmark::State& state) {
  run(state, "ldns", [](const Fixture& f, std::size_t i) {
    ldns_pkt* p = nullptr;
    if (ldns_wire2pkt(&p, f.queries[i].data(), f.queries[i].size()) != LDNS_STATUS_OK) std::abort();
    benchmark::DoNotOptimize(p);
    ldns_pkt_free(p);
    std::uint8_t* buf = nullptr;
    std::size_t len = 0;
    if (ldns_pkt2wire(&buf, f.responses[i], &len) != LDNS_STATUS_OK) std::abort();
    benchmark::DoNotOptimize(buf);
    std::free(buf);
  });
}

BENCHMARK(BM_Respond)->Arg(10)->Arg(10000)->MinTime(2.0);
BENCHMARK(BM_LdnsBaseline)->Arg(10)->Arg(10000)->MinTime(2.0);

void print_summary() {
  std::printf("\n%-14s %14s %16s %10s\n", "catalog names", "respond q/s", "ldns dec+enc /s", "ratio");
  for (const int hosts : {10, 10000}) {
    const auto r = g_qps.find("respond/" + std::to_string(hosts));
    const auto b = g_qps.find("ldns/" + std::to_string(hosts));
    if (r == g_qps.end() || b == g_qps.end()) continue;
    std::printf("%-14d %14.0f %16.0f %10.2f\n", hosts, r->second, b->second, b->second / r->second);
  }
  std::printf("(ratio: respond time per query over bare ldns decode+encode time)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  print_summary();
  benchmark::Shutdown();
  return 0;
}
