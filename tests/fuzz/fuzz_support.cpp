#include "fuzz_support.hpp"

#include <sodium.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/log.hpp"

namespace sarvolt::fuzz {

void fail(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n==FUZZ CHECK FAILED== %s:%d: %s\n%s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

void init_logging() {
  static const bool done = [] {
    const char* env = std::getenv("SARVOLT_FUZZ_LOG");
    if (env == nullptr || std::strcmp(env, "off") != 0) log::set_level(spdlog::level::trace);
    return true;
  }();
  (void)done;
}

p2p::Identity identity_from_seed(std::uint8_t seed_byte) {
  if (sodium_init() < 0) std::abort();
  std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
  seed.fill(seed_byte);
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> pk;
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> sk;
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  return p2p::Identity(p2p::SecKey(sk), p2p::Pow(0));
}

std::uint16_t ones_sum(std::span<const std::uint8_t> data, std::uint64_t initial) {
  // Bytes at even offsets weigh 256, bytes at odd offsets 1; the end-around
  // carry is taken by reducing modulo 0xFFFF (keeping 0xFFFF for a non-zero
  // multiple).
  std::uint64_t hi = 0, lo = 0;
  for (std::size_t i = 0; i < data.size(); ++i) (i % 2 == 0 ? hi : lo) += data[i];
  const std::uint64_t total = hi * 256 + lo + initial;
  if (total == 0) return 0;
  const std::uint64_t r = total % 0xFFFF;
  return static_cast<std::uint16_t>(r == 0 ? 0xFFFF : r);
}

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

}  // namespace sarvolt::fuzz
