// IPv4 addresses and networks. Ipv4Net keeps the host bits it was given
// (10.0.0.5/24 stays 10.0.0.5/24); network() and trunc() clear them.
#pragma once

#include <fmt/format.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "util/expected.hpp"

namespace sarvolt::util {

namespace detail {
// 64-bit finaliser (splitmix64), so hash tables get well-spread bits.
constexpr std::size_t mix_hash(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<std::size_t>(x);
}
}  // namespace detail

class Ipv4Addr {
 public:
  // Longest text form: "255.255.255.255".
  static constexpr std::size_t kMaxTextLen = 15;

  constexpr Ipv4Addr() noexcept = default;
  // From the address as a host-order integer (1.2.3.4 is 0x01020304).
  constexpr explicit Ipv4Addr(std::uint32_t host_order) noexcept : v_(host_order) {}

  static constexpr Ipv4Addr from_octets(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                        std::uint8_t d) noexcept {
    return Ipv4Addr((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) |
                    (std::uint32_t{c} << 8) | std::uint32_t{d});
  }

  // Strict dotted quad: four decimal parts 0..255, no leading zeros, nothing else.
  static Expected<Ipv4Addr, std::string> parse(std::string_view text);

  constexpr std::array<std::uint8_t, 4> octets() const noexcept {
    return {static_cast<std::uint8_t>(v_ >> 24), static_cast<std::uint8_t>(v_ >> 16),
            static_cast<std::uint8_t>(v_ >> 8), static_cast<std::uint8_t>(v_)};
  }
  constexpr std::uint32_t to_u32() const noexcept { return v_; }

  constexpr bool is_unspecified() const noexcept { return v_ == 0; }
  constexpr bool is_broadcast() const noexcept { return v_ == 0xffff'ffffU; }
  constexpr bool is_multicast() const noexcept { return (v_ >> 28) == 0xe; }  // 224.0.0.0/4

  // Writes the dotted quad (at most kMaxTextLen chars, no terminator); returns the end.
  char* to_chars(char* out) const noexcept;
  std::string to_string() const;

  friend constexpr bool operator==(Ipv4Addr, Ipv4Addr) noexcept = default;
  friend constexpr std::strong_ordering operator<=>(Ipv4Addr, Ipv4Addr) noexcept = default;

 private:
  std::uint32_t v_ = 0;
};

class Ipv4Net {
 public:
  // Longest text form: "255.255.255.255/32".
  static constexpr std::size_t kMaxTextLen = 18;

  // 0.0.0.0/32: the unspecified host, so a default value matches nothing real.
  constexpr Ipv4Net() noexcept = default;

  // Fails with "invalid prefix length" unless prefix_len <= 32.
  static Expected<Ipv4Net, std::string> create(Ipv4Addr addr, unsigned prefix_len);
  // A /32 network holding one address.
  static constexpr Ipv4Net host(Ipv4Addr addr) noexcept { return Ipv4Net(addr, 32); }
  // "a.b.c.d/len"; the "/len" part is required, host bits are kept.
  static Expected<Ipv4Net, std::string> parse(std::string_view text);

  constexpr Ipv4Addr addr() const noexcept { return addr_; }
  constexpr std::uint8_t prefix_len() const noexcept { return len_; }

  constexpr Ipv4Addr netmask() const noexcept { return Ipv4Addr(mask_bits()); }
  constexpr Ipv4Addr hostmask() const noexcept { return Ipv4Addr(~mask_bits()); }
  constexpr Ipv4Addr network() const noexcept { return Ipv4Addr(addr_.to_u32() & mask_bits()); }
  constexpr Ipv4Addr broadcast() const noexcept {
    return Ipv4Addr(addr_.to_u32() | ~mask_bits());
  }
  // Same prefix length with the host bits cleared.
  constexpr Ipv4Net trunc() const noexcept { return Ipv4Net(network(), len_); }

  constexpr bool contains(Ipv4Addr a) const noexcept {
    return ((a.to_u32() ^ addr_.to_u32()) & mask_bits()) == 0;
  }
  // True if the whole of other lies inside this network.
  constexpr bool contains(const Ipv4Net& other) const noexcept {
    return other.len_ >= len_ && contains(other.addr_);
  }

  // Writes "a.b.c.d/len" (at most kMaxTextLen chars); returns the end.
  char* to_chars(char* out) const noexcept;
  std::string to_string() const;

  // Ordered by (address as stored, prefix length).
  friend constexpr bool operator==(const Ipv4Net&, const Ipv4Net&) noexcept = default;
  friend constexpr std::strong_ordering operator<=>(const Ipv4Net&,
                                                    const Ipv4Net&) noexcept = default;

 private:
  constexpr Ipv4Net(Ipv4Addr addr, std::uint8_t len) noexcept : addr_(addr), len_(len) {}
  // 64-bit shift so that /0 does not shift a 32-bit value by 32.
  constexpr std::uint32_t mask_bits() const noexcept {
    return static_cast<std::uint32_t>(~std::uint64_t{0} << (32 - len_));
  }

  Ipv4Addr addr_{};
  std::uint8_t len_ = 32;
};

std::ostream& operator<<(std::ostream& os, Ipv4Addr a);
std::ostream& operator<<(std::ostream& os, const Ipv4Net& n);

inline std::size_t hash_value(Ipv4Addr a) noexcept { return detail::mix_hash(a.to_u32()); }
inline std::size_t hash_value(const Ipv4Net& n) noexcept {
  return detail::mix_hash((std::uint64_t{n.addr().to_u32()} << 8) | n.prefix_len());
}

}  // namespace sarvolt::util

template <>
struct std::hash<sarvolt::util::Ipv4Addr> {
  std::size_t operator()(sarvolt::util::Ipv4Addr a) const noexcept {
    return sarvolt::util::hash_value(a);
  }
};

template <>
struct std::hash<sarvolt::util::Ipv4Net> {
  std::size_t operator()(const sarvolt::util::Ipv4Net& n) const noexcept {
    return sarvolt::util::hash_value(n);
  }
};

template <>
struct fmt::formatter<sarvolt::util::Ipv4Addr> : fmt::formatter<fmt::string_view> {
  template <class Ctx>
  auto format(sarvolt::util::Ipv4Addr a, Ctx& ctx) const {
    char buf[sarvolt::util::Ipv4Addr::kMaxTextLen];
    const char* end = a.to_chars(buf);
    return fmt::formatter<fmt::string_view>::format(
        fmt::string_view(buf, static_cast<std::size_t>(end - buf)), ctx);
  }
};

template <>
struct fmt::formatter<sarvolt::util::Ipv4Net> : fmt::formatter<fmt::string_view> {
  template <class Ctx>
  auto format(const sarvolt::util::Ipv4Net& n, Ctx& ctx) const {
    char buf[sarvolt::util::Ipv4Net::kMaxTextLen];
    const char* end = n.to_chars(buf);
    return fmt::formatter<fmt::string_view>::format(
        fmt::string_view(buf, static_cast<std::size_t>(end - buf)), ctx);
  }
};
