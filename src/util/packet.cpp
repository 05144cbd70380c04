#include "util/packet.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace sarvolt::util {

std::string Ipv4DecodeError::to_string() const {
  switch (kind) {
    case Kind::TooShort:
    case Kind::ShorterThanHeader:
      return fmt::format(
          "not enough data to decode the IPv4 header: {} byte(s) required, but only {} byte(s) present",
          required, len);
    case Kind::NotIpv4:
      return fmt::format("unexpected IP version {} (expected 4)", value);
    case Kind::BadIhl:
      return fmt::format("IPv4 header length (IHL) {} is below the minimum of 5", value);
  }
  return {};
}

std::uint16_t internet_checksum(std::span<const std::uint8_t> data, std::uint32_t initial) noexcept {
  std::uint64_t sum = initial;
  std::size_t i = 0;
  for (; i + 1 < data.size(); i += 2) sum += static_cast<std::uint32_t>((data[i] << 8) | data[i + 1]);
  if (i < data.size()) sum += static_cast<std::uint32_t>(data[i] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

bool may_answer_with_icmp_error(const Ipv4HeaderView& hdr, std::span<const Ipv4Net> local_networks) noexcept {
  if (hdr.fragment_offset() != 0) return false;
  const Ipv4Addr src = hdr.source(), dst = hdr.destination();
  // The source must name a single host: not 0.0.0.0, loopback (127/8),
  // multicast (224/4) or the reserved block (240/4, the broadcast with it).
  const std::uint32_t top = src.to_u32() >> 24;
  if (src.is_unspecified() || top == 127 || src.is_multicast() || top >= 240) return false;
  if (dst.is_broadcast() || dst.is_multicast()) return false;
  for (const auto& net : local_networks)
    if (net.prefix_len() < 31 && dst == net.broadcast()) return false;  // a directed broadcast
  if (hdr.protocol() == 1) {
    const auto p = hdr.packet();
    const std::size_t h = hdr.header_len();
    // Only echo, timestamp and information messages (and their replies) may
    // be answered; unknown or truncated ICMP counts as an error message.
    if (p.size() <= h) return false;
    switch (p[h]) {
      case 0: case 8: case 13: case 14: case 15: case 16: case 17: case 18:
        return true;
      default:
        return false;
    }
  }
  return true;
}

namespace {

// A 20-byte IPv4 header without options: DF set, TTL 64, id 0, checksum.
void write_ipv4_header(std::uint8_t* b, Ipv4Addr src, Ipv4Addr dst, std::uint8_t protocol,
                       std::size_t total) noexcept {
  std::memset(b, 0, 20);
  b[0] = 0x45;
  store_be16(b + 2, static_cast<std::uint16_t>(total));
  b[6] = 0x40;  // don't fragment
  b[8] = 64;
  b[9] = protocol;
  const auto s = src.octets(), d = dst.octets();
  std::memcpy(b + 12, s.data(), 4);
  std::memcpy(b + 16, d.data(), 4);
  store_be16(b + 10, internet_checksum({b, 20}));
}

std::size_t build_icmp_error(const Ipv4HeaderView& hdr, std::uint8_t code, std::uint16_t word2,
                             IcmpBuffer& out) noexcept {
  const auto p = hdr.packet();
  const std::size_t quoted = std::min(p.size(), hdr.header_len() + 8);
  const std::size_t total = 28 + quoted;
  std::uint8_t* b = out.data();
  // From the packet's destination to its source.
  write_ipv4_header(b, hdr.destination(), hdr.source(), 1, total);
  std::uint8_t* icmp = b + 20;
  std::memset(icmp, 0, 8);
  icmp[0] = 3;
  icmp[1] = code;
  store_be16(icmp + 6, word2);
  std::memcpy(icmp + 8, p.data(), quoted);
  store_be16(icmp + 2, internet_checksum({icmp, 8 + quoted}));
  return total;
}

}  // namespace

std::size_t build_icmp_host_unreachable(const Ipv4HeaderView& hdr, IcmpBuffer& out) noexcept {
  return build_icmp_error(hdr, 1, 0, out);
}

std::size_t build_icmp_fragmentation_needed(const Ipv4HeaderView& hdr, std::uint16_t mtu, IcmpBuffer& out) noexcept {
  return build_icmp_error(hdr, 4, mtu, out);
}

std::size_t build_udp_packet(Ipv4Addr src, std::uint16_t src_port, Ipv4Addr dst, std::uint16_t dst_port,
                             std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) noexcept {
  const std::size_t udp_len = 8 + payload.size();
  std::uint8_t* b = out.data();
  write_ipv4_header(b, src, dst, 17, 20 + udp_len);
  std::uint8_t* u = b + 20;
  store_be16(u, src_port);
  store_be16(u + 2, dst_port);
  store_be16(u + 4, static_cast<std::uint16_t>(udp_len));
  store_be16(u + 6, 0);
  if (!payload.empty()) std::memcpy(u + 8, payload.data(), payload.size());
  const std::uint32_t sa = src.to_u32(), da = dst.to_u32();
  const std::uint32_t pseudo = (sa >> 16) + (sa & 0xFFFF) + (da >> 16) + (da & 0xFFFF) + 17 + udp_len;
  const std::uint16_t sum = internet_checksum({u, udp_len}, pseudo);
  store_be16(u + 6, sum == 0 ? 0xFFFF : sum);
  return 20 + udp_len;
}

}  // namespace sarvolt::util
