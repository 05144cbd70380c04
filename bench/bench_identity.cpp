// Proof-of-work cost: single-core SHA-256 rate over the 36-byte pow input,
// whole-identity generation, and the projected time at difficulty 24.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

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

}  // namespace

BENCHMARK_MAIN();
