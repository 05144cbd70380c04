// What the fuzz targets share: the entry points around one function, a
// reader that takes typed values off the input (zeros once it runs dry),
// checks that report and abort, quiet logging at TRACE (every log line is
// formatted, none is printed), test identities from a seed byte and an
// Internet checksum written apart from the one under test.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/p2p/identity.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::fuzz {

[[noreturn]] void fail(const char* file, int line, const char* condition, const std::string& detail);

#define FUZZ_CHECK(cond, ...)                                                               \
  do {                                                                                      \
    if (!(cond)) ::sarvolt::fuzz::fail(__FILE__, __LINE__, #cond, std::string{__VA_ARGS__}); \
  } while (0)

// Sets every log target to TRACE over the (empty) shared sink, once; with
// SARVOLT_FUZZ_LOG=off the loggers stay off.
void init_logging();

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data, size) {}

  bool empty() const noexcept { return data_.empty(); }
  std::uint8_t u8() noexcept {
    if (data_.empty()) return 0;
    const std::uint8_t v = data_[0];
    data_ = data_.subspan(1);
    return v;
  }
  std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
  std::uint32_t u32() noexcept { return std::uint32_t{u16()} << 16 | u16(); }
  bool flag() noexcept { return u8() & 1; }
  // Up to n bytes (fewer when the input runs dry).
  std::span<const std::uint8_t> bytes(std::size_t n) noexcept {
    auto out = data_.first(std::min(n, data_.size()));
    data_ = data_.subspan(out.size());
    return out;
  }
  std::span<const std::uint8_t> rest() noexcept { return bytes(data_.size()); }
  std::string_view text() noexcept {
    const auto r = rest();
    return {reinterpret_cast<const char*>(r.data()), r.size()};
  }

 private:
  std::span<const std::uint8_t> data_;
};

// Defines the libFuzzer entry points; the body that follows gets the input
// as `Reader& in`.
#define SARVOLT_FUZZ_TARGET                                                                                   \
  static void fuzz_one(::sarvolt::fuzz::Reader& in);                                                          \
  extern "C" int LLVMFuzzerInitialize(int*, char***) { return ::sarvolt::fuzz::init_logging(), 0; }            \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {                         \
    ::sarvolt::fuzz::Reader in(data, size);                                                                   \
    return fuzz_one(in), 0;                                                                                   \
  }                                                                                                           \
  static void fuzz_one(::sarvolt::fuzz::Reader& in)

// A fixed Ed25519 identity per seed byte, proof of work 0.
p2p::Identity identity_from_seed(std::uint8_t seed);

// One's complement sum of the 16-bit big-endian words of `data` (an odd last
// byte padded with zero), plus `initial`, folded to 16 bits. A block that
// carries its own correct checksum sums to 0xFFFF.
std::uint16_t ones_sum(std::span<const std::uint8_t> data, std::uint64_t initial = 0);

std::string hex(std::span<const std::uint8_t> bytes);

// The big-endian number in n bytes at p.
inline std::uint64_t be(const std::uint8_t* p, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}
inline util::Ipv4Addr addr_at(const std::uint8_t* p) { return util::Ipv4Addr(static_cast<std::uint32_t>(be(p, 4))); }

}  // namespace sarvolt::fuzz
