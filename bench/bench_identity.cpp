// Proof-of-work cost: single-core SHA-256 rate over the 36-byte pow input
// (libsodium, OpenSSL's EVP interface from a saved state that has taken the
// key, a plain midstate copied by value, and the generator's own step),
// whole-identity generation, and the projected time at difficulty 24. The
// reference for generation is the machine's all-core rate of the plain
// midstate loop (OpenSSL's SHA256_CTX copied by value for every nonce, every
// core hashing fresh nonces), measured in the same process right before each
// round: a search for difficulty d should take 2^d / that rate. Rows BM_GenerateVsRate/d: the mean time per identity
// over a batch, divided by 2^d / rate ("time_ratio", noisy: the tries needed
// are geometric), and the time per nonce actually tried divided by 1 / rate
// ("per_try_ratio": the search's own overhead). Both are generation /
// baseline time; the summary gives medians over SARVOLT_BENCH_ROUNDS (5).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include "main.hpp"
#include "platform/p2p/identity.hpp"

namespace {

using sarvolt::p2p::Identity;
using sarvolt::p2p::Pow;
using sarvolt::p2p::PubKey;

unsigned cores() { return std::max(1u, std::thread::hardware_concurrency()); }

PubKey some_key() {
  std::array<std::uint8_t, PubKey::kSize> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
  return PubKey(bytes);
}

void put_be32(std::uint8_t* out, std::uint32_t v) {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

// Rate counters shared by the hashing benchmarks: per-core rate, core count,
// and the mean time of a difficulty-24 search on every core.
void report_rate(benchmark::State& state, double seconds) {
  const double rate = static_cast<double>(state.iterations()) / seconds;
  state.counters["hashes_per_s_core"] = rate;
  state.counters["cores"] = cores();
  state.counters["d24_expected_s"] = std::ldexp(1.0, 24) / (rate * cores());
}

// What pow_difficulty hashes: 32 key bytes then the nonce, fresh each time.
void BM_Sha256Full36(benchmark::State& state) {
  std::uint8_t input[36];
  std::memcpy(input, some_key().bytes().data(), 32);
  std::uint8_t digest[crypto_hash_sha256_BYTES];
  std::uint32_t nonce = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    put_be32(input + 32, nonce++);
    crypto_hash_sha256(digest, input, sizeof input);
    benchmark::DoNotOptimize(digest);
  }
  report_rate(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
BENCHMARK(BM_Sha256Full36);

// The same hash from a state that has already absorbed the key.
void BM_Sha256PrefixState(benchmark::State& state) {
  crypto_hash_sha256_state prefix;
  crypto_hash_sha256_init(&prefix);
  crypto_hash_sha256_update(&prefix, some_key().bytes().data(), 32);
  std::uint8_t tail[4];
  std::uint8_t digest[crypto_hash_sha256_BYTES];
  std::uint32_t nonce = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    crypto_hash_sha256_state s = prefix;
    put_be32(tail, nonce++);
    crypto_hash_sha256_update(&s, tail, sizeof tail);
    crypto_hash_sha256_final(&s, digest);
    benchmark::DoNotOptimize(digest);
  }
  report_rate(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
BENCHMARK(BM_Sha256PrefixState);

// OpenSSL: a context that has taken the key, copied for every nonce.
class EvpPrefix {
 public:
  EvpPrefix() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), base_(EVP_MD_CTX_new()), work_(EVP_MD_CTX_new()) {
    if (!md_ || !base_ || !work_ || EVP_DigestInit_ex2(base_, md_, nullptr) != 1 ||
        EVP_DigestUpdate(base_, some_key().bytes().data(), 32) != 1)
      throw std::runtime_error("OpenSSL SHA-256 unavailable");
  }
  ~EvpPrefix() {
    EVP_MD_CTX_free(work_);
    EVP_MD_CTX_free(base_);
    EVP_MD_free(md_);
  }
  EvpPrefix(const EvpPrefix&) = delete;
  EvpPrefix& operator=(const EvpPrefix&) = delete;

  void hash(std::uint32_t nonce, std::uint8_t* digest) {
    std::uint8_t tail[4];
    put_be32(tail, nonce);
    unsigned len = 0;
    if (EVP_MD_CTX_copy_ex(work_, base_) != 1 || EVP_DigestUpdate(work_, tail, sizeof tail) != 1 ||
        EVP_DigestFinal_ex(work_, digest, &len) != 1)
      throw std::runtime_error("OpenSSL SHA-256 failed");
  }

 private:
  EVP_MD* md_;
  EVP_MD_CTX* base_;
  EVP_MD_CTX* work_;
};

// One hash per iteration, nonce after nonce, with `Prefix`'s state after the key.
template <class Prefix>
void hash_nonces(benchmark::State& state) {
  Prefix prefix;
  std::uint8_t digest[32];
  std::uint32_t nonce = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    prefix.hash(nonce++, digest);
    benchmark::DoNotOptimize(digest);
  }
  report_rate(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void BM_OpenSslSha256PrefixState(benchmark::State& state) { hash_nonces<EvpPrefix>(state); }
BENCHMARK(BM_OpenSslSha256PrefixState);

// The plain midstate: OpenSSL's low-level context after the key, copied by
// value for every nonce (deprecated interface, still the leanest one).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
class PlainMidstate {
 public:
  PlainMidstate() {
    SHA256_Init(&base_);
    SHA256_Update(&base_, some_key().bytes().data(), 32);
  }
  void hash(std::uint32_t nonce, std::uint8_t* digest) {
    std::uint8_t tail[4];
    put_be32(tail, nonce);
    SHA256_CTX work = base_;
    SHA256_Update(&work, tail, sizeof tail);
    SHA256_Final(digest, &work);
  }

 private:
  SHA256_CTX base_;
};
#pragma GCC diagnostic pop

void BM_PlainMidstate(benchmark::State& state) { hash_nonces<PlainMidstate>(state); }
BENCHMARK(BM_PlainMidstate);

// The generator's own step (one compression, no copy of a context).
void BM_PowHasherStep(benchmark::State& state) {
  sarvolt::p2p::PowHasher hasher(some_key());
  std::uint32_t nonce = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) benchmark::DoNotOptimize(hasher.difficulty(nonce++));
  report_rate(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
BENCHMARK(BM_PowHasherStep);

// Hashes per second of every core at once, each hashing its own nonces.
double all_core_rate(std::chrono::milliseconds duration) {
  const unsigned n = cores();
  std::atomic<bool> stop{false};
  std::vector<std::uint64_t> counts(n, 0);
  std::vector<std::thread> pool;
  const auto t0 = std::chrono::steady_clock::now();
  for (unsigned t = 0; t < n; ++t)
    pool.emplace_back([&, t] {
      PlainMidstate prefix;
      std::uint8_t digest[32];
      std::uint64_t done = 0;
      std::uint8_t sink = 0;
      for (std::uint32_t nonce = t; !stop.load(std::memory_order_relaxed); nonce += n) {
        prefix.hash(nonce, digest);
        sink ^= digest[0];
        ++done;
      }
      benchmark::DoNotOptimize(sink);
      counts[t] = done;
    });
  std::this_thread::sleep_for(duration);
  stop = true;
  for (auto& th : pool) th.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::uint64_t total = 0;
  for (auto c : counts) total += c;
  return static_cast<double>(total) / seconds;
}

struct GenerateSample {
  double rate = 0, mean_s = 0, expected_s = 0, per_try_ratio = 0;
};
std::map<int, std::vector<GenerateSample>> g_generate;

// A batch of identities at difficulty d, each right after a slice of the
// all-core rate, so that load from elsewhere on the machine hits the
// generation and its baseline alike.
void BM_GenerateVsRate(benchmark::State& state) {
  const auto difficulty = static_cast<std::uint8_t>(state.range(0));
  const int batch = static_cast<int>(state.range(1));
  GenerateSample s;
  for (auto _ : state) {
    double seconds = 0, expected = 0, tried = 0, tried_at_rate = 0, rates = 0;
    for (int i = 0; i < batch; ++i) {
      const double rate = all_core_rate(std::chrono::milliseconds(40));
      const auto t0 = std::chrono::steady_clock::now();
      auto id = Identity::generate(difficulty);
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (!id || id->difficulty() < difficulty) {
        state.SkipWithError("generation failed");
        return;
      }
      // Nonces are dealt out in turn, so about this many were tried.
      const double n = static_cast<double>(static_cast<std::uint32_t>(id->pow().value())) + cores();
      seconds += t;
      expected += std::ldexp(1.0, difficulty) / rate;
      tried += n;
      tried_at_rate += n / rate;
      rates += rate;
    }
    s.rate = rates / batch;
    s.mean_s = seconds / batch;
    s.expected_s = expected / batch;
    s.per_try_ratio = seconds / tried_at_rate;
    state.counters["nonces_tried"] = tried / batch;
  }
  state.counters["all_core_hashes_per_s"] = s.rate;
  state.counters["mean_ms"] = s.mean_s * 1e3;
  state.counters["expected_ms"] = s.expected_s * 1e3;
  state.counters["time_ratio"] = s.mean_s / s.expected_s;
  state.counters["per_try_ratio"] = s.per_try_ratio;
  g_generate[difficulty].push_back(s);
}

void BM_PowDifficulty(benchmark::State& state) {
  const PubKey pk = some_key();
  std::int32_t nonce = 0;
  for (auto _ : state) benchmark::DoNotOptimize(sarvolt::p2p::pow_difficulty(pk, Pow(nonce++)));
}
BENCHMARK(BM_PowDifficulty);

void BM_Generate(benchmark::State& state) {
  const auto difficulty = static_cast<std::uint8_t>(state.range(0));
  for (auto _ : state) {
    auto id = Identity::generate(difficulty);
    if (!id || id->difficulty() < difficulty) state.SkipWithError("generation failed");
    benchmark::DoNotOptimize(id);
  }
  state.counters["cores"] = cores();
}
BENCHMARK(BM_Generate)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(BM_Generate)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

int rounds() {
  const char* v = std::getenv("SARVOLT_BENCH_ROUNDS");
  const int n = v ? std::atoi(v) : 5;
  return n >= 1 && n <= 50 ? n : 5;
}

struct Median {
  double median, min, max;
};
Median summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

void print_summary() {
  if (g_generate.empty()) return;
  std::printf("\nGeneration against 2^d / all-core rate (plain SHA-256 midstate loop on %u cores), ratios = generation /\n"
              "baseline time; median [min..max] over rounds.\n", cores());
  std::printf("%-4s %-26s %-24s %-24s %-20s %s\n", "d", "all-core rate M/s", "mean ms per identity", "2^d / rate ms",
              "time_ratio", "per_try_ratio");
  for (const auto& [d, samples] : g_generate) {
    std::vector<double> rate, mean, expected, ratio, per_try;
    for (const auto& s : samples) {
      rate.push_back(s.rate / 1e6);
      mean.push_back(s.mean_s * 1e3);
      expected.push_back(s.expected_s * 1e3);
      ratio.push_back(s.mean_s / s.expected_s);
      per_try.push_back(s.per_try_ratio);
    }
    auto cell = [](const std::vector<double>& v) {
      const auto m = summarise(v);
      return fmt::format("{:.2f} [{:.2f}..{:.2f}]", m.median, m.min, m.max);
    };
    std::printf("%-4d %-26s %-24s %-24s %-20s %s\n", d, cell(rate).c_str(), cell(mean).c_str(),
                cell(expected).c_str(), cell(ratio).c_str(), cell(per_try).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Batches of a few seconds each at this machine's rate.
  for (int r = 1; r <= rounds(); ++r)
    for (const auto& [d, batch] : {std::pair<int, int>{20, 40}, {22, 16}})
      benchmark::RegisterBenchmark(fmt::format("BM_GenerateVsRate/round:{}", r).c_str(), BM_GenerateVsRate)
          ->Args({d, batch})
          ->ArgNames({"d", "batch"})
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
  return bench::run_main(argc, argv, print_summary);
}
