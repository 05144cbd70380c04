// Overlay DNS answers with 10 and 10 000 host names in the catalog, for
// pre-encoded A queries of known names (EDNS 1232, round-robin over at most
// 1 024 names spread over the catalog). Every row ends in the same IPv4/UDP
// reply packet.
//   BM_Agent    respond() into a reused buffer, then build_reply_packet():
//               the agent's whole answer path.
//   BM_Direct   baseline: a hand-written encoder that looks the name up in
//               the same catalog and writes the same bytes without any
//               check, then the same build_reply_packet().
//   BM_Ldns     reference: ldns decodes the query and encodes the same
//               response, then build_reply_packet().
// The fixture checks that BM_Direct writes exactly the agent's bytes.
// Time is per query; the counter allocs/query counts heap allocations on
// this thread (the reply packet is one). The closing summary gives medians over the
// repetitions with [min - max], and the ratio agent / baseline time (per
// repetition range in brackets); the goal is at most 2.
#include <benchmark/benchmark.h>
// Before ldns, which otherwise defines bool, true and false as macros.
#include <stdbool.h>
#include <ldns/ldns.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "main.hpp"
#include "agent/dns/message.hpp"
#include "agent/dns/server.hpp"

// --- allocation counter --------------------------------------------------------------

namespace {
thread_local std::uint64_t t_allocs = 0;
void* counted_alloc(std::size_t n) {
  ++t_allocs;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace dns = sarvolt::agent::dns;
using sarvolt::util::Ipv4Addr;
using Bytes = std::vector<std::uint8_t>;

const Ipv4Addr kServer = Ipv4Addr::from_octets(10, 1, 255, 254);
const Ipv4Addr kClient = Ipv4Addr::from_octets(10, 1, 0, 2);
constexpr std::uint16_t kClientPort = 40000;
constexpr std::uint16_t kPayload = 1232;

struct Query {
  Bytes wire;
};

struct Fixture {
  std::shared_ptr<const dns::Catalog> catalog;
  std::vector<Query> queries;
  std::vector<ldns_pkt*> responses;  // the agent's answers, decoded, for the ldns row
};

Bytes encode_query(const std::string& name, std::uint16_t id) {
  ldns_pkt* p = ldns_pkt_query_new(ldns_dname_new_frm_str(name.c_str()), LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, LDNS_RD);
  ldns_pkt_set_id(p, id);
  ldns_pkt_set_edns_udp_size(p, kPayload);
  std::uint8_t* buf = nullptr;
  std::size_t n = 0;
  if (ldns_pkt2wire(&buf, p, &n) != LDNS_STATUS_OK) std::abort();
  Bytes out(buf, buf + n);
  std::free(buf);
  ldns_pkt_free(p);
  return out;
}

// The baseline: the answer to `q` from the same catalog, written straight
// out with no checks: the question name's end, one catalog lookup, the header,
// the question copied, the A records pointing at it and the OPT record.
std::size_t direct_answer(const dns::Catalog& catalog, const Query& q, std::uint8_t* out) {
  const std::uint8_t* w = q.wire.data();
  std::size_t end = 12;
  while (w[end] != 0) end += w[end] + std::size_t{1};
  const auto host = catalog.find(std::string_view(reinterpret_cast<const char*>(w + 12), end + 1 - 12));
  const std::size_t count = host->addrs.size();
  out[0] = w[0];
  out[1] = w[1];
  const std::uint8_t header[] = {0x85, 0x00, 0, 1, static_cast<std::uint8_t>(count >> 8),
                                 static_cast<std::uint8_t>(count), 0, 0, 0, 1};
  std::memcpy(out + 2, header, sizeof header);
  const std::size_t question = end + 5 - 12;
  std::memcpy(out + 12, w + 12, question);
  std::uint8_t* p = out + 12 + question;
  for (const Ipv4Addr addr : host->addrs) {
    static constexpr std::uint8_t kAnswer[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, dns::kRecordTtl, 0, 4};
    std::memcpy(p, kAnswer, sizeof kAnswer);
    const auto octets = addr.octets();
    std::memcpy(p + sizeof kAnswer, octets.data(), 4);
    p += sizeof kAnswer + 4;
  }
  static constexpr std::uint8_t kOpt[] = {0, 0, 41, kPayload >> 8, kPayload & 0xFF, 0, 0, 0, 0, 0, 0};
  std::memcpy(p, kOpt, sizeof kOpt);
  return static_cast<std::size_t>(p + sizeof kOpt - out);
}

// Built once per size and kept for the whole run.
const Fixture& fixture(std::size_t hosts) {
  static std::map<std::size_t, Fixture> all;
  auto [it, fresh] = all.try_emplace(hosts);
  Fixture& f = it->second;
  if (!fresh) return f;
  const auto url = *sarvolt::util::Url::parse("https://bench.example/");
  sarvolt::network::NetworkMap nets;
  auto& net = nets.try_emplace(url, sarvolt::network::Network(url)).first->second;
  sarvolt::network::HostnameList list;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < hosts; ++i) {
    names.push_back("host-" + std::to_string(i));
    list.names.emplace(Ipv4Addr(0x0A010000u + static_cast<std::uint32_t>(i) + 1), names.back());
  }
  net.desired.hostnames = sarvolt::network::AppliedStatus<sarvolt::network::HostnameList>::value(std::move(list));
  f.catalog = dns::Catalog::build(nets);
  const std::size_t n = std::min<std::size_t>(hosts, 1024);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t h = i * hosts / n;
    Query q;
    q.wire = encode_query(names[h] + ".sarvolt.zz.", static_cast<std::uint16_t>(i));
    const auto reply = dns::respond(*f.catalog, q.wire, kClient, kClientPort);
    std::array<std::uint8_t, 512> direct{};
    const std::size_t len = direct_answer(*f.catalog, q, direct.data());
    if (!reply || *reply != Bytes(direct.begin(), direct.begin() + static_cast<std::ptrdiff_t>(len))) {
      std::fprintf(stderr, "baseline bytes differ from the agent's for %s\n", names[h].c_str());
      std::abort();
    }
    ldns_pkt* p = nullptr;
    if (ldns_wire2pkt(&p, reply->data(), reply->size()) != LDNS_STATUS_OK || ldns_pkt_ancount(p) != 1) std::abort();
    f.responses.push_back(p);
    f.queries.push_back(std::move(q));
  }
  return f;
}

// CPU ns per query of every repetition, by "row/names" (the machine may be
// shared: CPU time leaves out the time the thread did not run).
std::map<std::string, std::vector<double>> g_ns;

template <class Body>
void run(benchmark::State& state, Body body) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const std::size_t n = f.queries.size();
  std::size_t i = 0;
  const std::uint64_t allocs0 = t_allocs;
  for (auto _ : state) {
    body(f, i);
    if (++i == n) i = 0;
  }
  const auto iters = static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs/query"] = static_cast<double>(t_allocs - allocs0) / iters;
}

void BM_Agent(benchmark::State& state) {
  Bytes scratch;
  run(state, [&scratch](const Fixture& f, std::size_t i) {
    const auto reply = dns::respond(*f.catalog, f.queries[i].wire, kClient, kClientPort, scratch);
    auto packet = dns::build_reply_packet(kServer, 53, kClient, kClientPort, *reply);
    benchmark::DoNotOptimize(packet.data());
  });
}

void BM_Direct(benchmark::State& state) {
  run(state, [](const Fixture& f, std::size_t i) {
    std::array<std::uint8_t, 512> buf;
    const std::size_t len = direct_answer(*f.catalog, f.queries[i], buf.data());
    auto packet = dns::build_reply_packet(kServer, 53, kClient, kClientPort, std::span(buf.data(), len));
    benchmark::DoNotOptimize(packet.data());
  });
}

void BM_Ldns(benchmark::State& state) {
  run(state, [](const Fixture& f, std::size_t i) {
    ldns_pkt* p = nullptr;
    const Bytes& q = f.queries[i].wire;
    if (ldns_wire2pkt(&p, q.data(), q.size()) != LDNS_STATUS_OK) std::abort();
    benchmark::DoNotOptimize(p);
    ldns_pkt_free(p);
    std::uint8_t* buf = nullptr;
    std::size_t len = 0;
    if (ldns_pkt2wire(&buf, f.responses[i], &len) != LDNS_STATUS_OK) std::abort();
    auto packet = dns::build_reply_packet(kServer, 53, kClient, kClientPort, std::span(buf, len));
    benchmark::DoNotOptimize(packet.data());
    std::free(buf);
  });
}

// Records each repetition's ns/query for the summary; shows only the
// aggregates when `aggregates_only`.
class Recorder : public benchmark::ConsoleReporter {
 public:
  bool aggregates_only = false;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      const std::string name = r.benchmark_name();
      const auto slash = name.find('/');
      if (slash == std::string::npos || slash < 3) continue;
      // "BM_Agent/10/..." -> "Agent/10"
      const std::string_view key = std::string_view(name).substr(3, name.find('/', slash + 1) - 3);
      g_ns[std::string(key)].push_back(r.GetAdjustedCPUTime());
    }
    std::vector<Run> shown;
    for (const auto& r : runs)
      if (!aggregates_only || r.run_type == Run::RT_Aggregate) shown.push_back(r);
    ConsoleReporter::ReportRuns(shown);
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void print_summary() {
  std::printf("\nCPU ns per query, median over repetitions [min - max]; ratio = agent / other row time\n");
  std::printf("%-7s %-26s %-26s %-26s %-22s %s\n", "names", "Agent", "Direct (baseline)", "Ldns (reference)",
              "agent/direct", "agent/ldns");
  for (const int names : {10, 10000}) {
    const auto row = [names](const char* name) -> const std::vector<double>& {
      char key[32];
      std::snprintf(key, sizeof key, "%s/%d", name, names);
      return g_ns[key];
    };
    const auto& a = row("Agent");
    const auto& d = row("Direct");
    const auto& l = row("Ldns");
    if (a.empty() || d.empty()) continue;
    const auto cell = [](const std::vector<double>& v) {
      if (v.empty()) return std::string("-");
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.1f [%.1f - %.1f]", median(v), *std::min_element(v.begin(), v.end()),
                    *std::max_element(v.begin(), v.end()));
      return std::string(buf);
    };
    std::vector<double> per_rep;
    for (std::size_t k = 0; k < std::min(a.size(), d.size()); ++k) per_rep.push_back(a[k] / d[k]);
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, "%.2f [%.2f - %.2f]", median(a) / median(d),
                  *std::min_element(per_rep.begin(), per_rep.end()), *std::max_element(per_rep.begin(), per_rep.end()));
    std::printf("%-7d %-26s %-26s %-26s %-22s %.2f\n", names, cell(a).c_str(), cell(d).c_str(), cell(l).c_str(), ratio,
                l.empty() ? 0.0 : median(a) / median(l));
  }
  std::printf("(goal: agent / direct at most 2)\n");
}

}  // namespace

BENCHMARK(BM_Agent)->Arg(10)->Arg(10000);
BENCHMARK(BM_Direct)->Arg(10)->Arg(10000);
BENCHMARK(BM_Ldns)->Arg(10)->Arg(10000);

int main(int argc, char** argv) {
  // 7 repetitions of at least 0.5 s unless the command line says otherwise.
  std::vector<char*> args(argv, argv + argc);
  char reps[] = "--benchmark_repetitions=7", min_time[] = "--benchmark_min_time=0.5";
  const auto given = [&](std::string_view flag) {
    return std::any_of(args.begin() + 1, args.end(), [&](const char* a) { return std::string_view(a).starts_with(flag); });
  };
  if (!given("--benchmark_repetitions")) args.insert(args.begin() + 1, reps);
  if (!given("--benchmark_min_time")) args.insert(args.begin() + 1, min_time);
  // The summary needs every repetition: aggregates-only is applied here, to
  // the console, and not passed on.
  Recorder reporter;
  for (const std::string_view flag : {"--benchmark_report_aggregates_only", "--benchmark_display_aggregates_only"}) {
    const auto it = std::find_if(args.begin() + 1, args.end(), [&](const char* a) { return std::string_view(a).starts_with(flag); });
    if (it == args.end()) continue;
    reporter.aggregates_only = !std::string_view(*it).ends_with("=false");
    args.erase(it);
  }
  argc = static_cast<int>(args.size());
  argv = args.data();
  return bench::run_main(argc, argv, print_summary, &reporter);
}
