// IPv4 packet helpers for the data plane: a header view with the decode
// errors the drivers log, the overlay control-packet test, the Internet
// checksum, and builders of the two ICMP errors we send (host unreachable,
// fragmentation needed) and of UDP packets into caller buffers, with the RFC 1122 guard that
// keeps us from answering packets that must never get an ICMP error.
// Nothing here allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "util/expected.hpp"
#include "util/ipv4.hpp"

namespace sarvolt::util {

inline std::uint16_t load_be16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline void store_be16(std::uint8_t* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

struct Ipv4DecodeError {
  enum class Kind { TooShort, NotIpv4, BadIhl, ShorterThanHeader };
  Kind kind;
  std::size_t len = 0;         // bytes present
  std::size_t required = 0;    // bytes required (TooShort, ShorterThanHeader)
  std::uint8_t value = 0;      // version (NotIpv4) or IHL (BadIhl)
  std::string to_string() const;
};

// A decoded IPv4 header over borrowed bytes (the whole packet).
class Ipv4HeaderView {
 public:
  // Tests in this order: fewer than 20 bytes, version != 4, IHL < 5,
  // fewer bytes than IHL * 4.
  static Expected<Ipv4HeaderView, Ipv4DecodeError> decode(std::span<const std::uint8_t> packet) noexcept {
    using K = Ipv4DecodeError::Kind;
    const std::size_t len = packet.size();
    if (len < 20) return Unexpected(Ipv4DecodeError{K::TooShort, len, 20, 0});
    const std::uint8_t version = packet[0] >> 4;
    if (version != 4) return Unexpected(Ipv4DecodeError{K::NotIpv4, len, 0, version});
    const std::uint8_t ihl = packet[0] & 0x0F;
    if (ihl < 5) return Unexpected(Ipv4DecodeError{K::BadIhl, len, 0, ihl});
    const std::size_t header = std::size_t{ihl} * 4u;
    if (len < header) return Unexpected(Ipv4DecodeError{K::ShorterThanHeader, len, header, ihl});
    return Ipv4HeaderView(packet);
  }

  std::span<const std::uint8_t> packet() const noexcept { return p_; }
  std::size_t header_len() const noexcept { return static_cast<std::size_t>(p_[0] & 0x0F) * 4; }
  std::uint16_t total_len() const noexcept { return be16(2); }
  bool dont_fragment() const noexcept { return (p_[6] & 0x40) != 0; }
  bool more_fragments() const noexcept { return (p_[6] & 0x20) != 0; }
  std::uint16_t fragment_offset() const noexcept { return be16(6) & 0x1FFF; }
  bool is_fragment() const noexcept { return more_fragments() || fragment_offset() != 0; }
  std::uint8_t ttl() const noexcept { return p_[8]; }
  std::uint8_t protocol() const noexcept { return p_[9]; }
  Ipv4Addr source() const noexcept { return addr(12); }
  Ipv4Addr destination() const noexcept { return addr(16); }

 private:
  explicit Ipv4HeaderView(std::span<const std::uint8_t> p) noexcept : p_(p) {}
  std::uint16_t be16(std::size_t i) const noexcept { return load_be16(p_.data() + i); }
  Ipv4Addr addr(std::size_t i) const noexcept {
    return Ipv4Addr::from_octets(p_[i], p_[i + 1], p_[i + 2], p_[i + 3]);
  }
  std::span<const std::uint8_t> p_;
};

inline constexpr std::array<std::uint8_t, 4> kControlMagic = {0x1E, 0x3F, 0x50, 0x01};

// The UDP payload after an IPv4 header of `h` bytes starts with the magic.
inline bool carries_control_magic(std::span<const std::uint8_t> p, std::size_t h, std::uint8_t protocol) noexcept {
  if (protocol != 17 || p.size() < h + 12) return false;
  const std::uint8_t* m = p.data() + h + 8;
  return m[0] == kControlMagic[0] && m[1] == kControlMagic[1] && m[2] == kControlMagic[2] && m[3] == kControlMagic[3];
}

// True for an IPv4/UDP packet whose payload starts with the overlay's
// control magic. Reads only the version, IHL, protocol and the magic.
inline bool is_sarvolt_control_packet(std::span<const std::uint8_t> p) noexcept {
  if (p.size() < 20 || (p[0] >> 4) != 4 || (p[0] & 0x0F) < 5) return false;
  return carries_control_magic(p, static_cast<std::size_t>(p[0] & 0x0F) * 4, p[9]);
}

// The same test on a decoded header, whose version and IHL were checked.
inline bool is_sarvolt_control_packet(const Ipv4HeaderView& hdr) noexcept {
  return carries_control_magic(hdr.packet(), hdr.header_len(), hdr.protocol());
}

// One's complement sum folded to 16 bits, complemented.
std::uint16_t internet_checksum(std::span<const std::uint8_t> data, std::uint32_t initial = 0) noexcept;

// RFC 1122 3.2.2: no ICMP error in reply to an ICMP error message, a
// non-first fragment, a packet whose source does not name a single host
// (0.0.0.0, 127/8, multicast, 240/4) or whose destination is broadcast,
// multicast or the directed broadcast of one of `local_networks`.
bool may_answer_with_icmp_error(const Ipv4HeaderView& hdr, std::span<const Ipv4Net> local_networks = {}) noexcept;

// Largest ICMP error we build: 20 (IPv4) + 8 (ICMP) + 60 + 8 quoted.
inline constexpr std::size_t kMaxIcmpErrorLen = 96;
using IcmpBuffer = std::array<std::uint8_t, kMaxIcmpErrorLen>;

// Type 3 code 1, from the packet's destination to its source, quoting its
// header and first 8 payload bytes. Returns the reply's length.
std::size_t build_icmp_host_unreachable(const Ipv4HeaderView& hdr, IcmpBuffer& out) noexcept;
// Type 3 code 4 with the next-hop MTU.
std::size_t build_icmp_fragmentation_needed(const Ipv4HeaderView& hdr, std::uint16_t mtu, IcmpBuffer& out) noexcept;

// An IPv4/UDP packet (DF set, TTL 64, id 0, both checksums; a UDP checksum
// of 0 is sent as 0xFFFF) into `out`, which holds at least 28 bytes more
// than the payload; the payload is at most 65507 bytes. Returns its length.
std::size_t build_udp_packet(Ipv4Addr src, std::uint16_t src_port, Ipv4Addr dst, std::uint16_t dst_port,
                             std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) noexcept;

}  // namespace sarvolt::util
