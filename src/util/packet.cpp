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

Expected<Ipv4HeaderView, Ipv4DecodeError> Ipv4HeaderView::decode(std::span<const std::uint8_t> p) noexcept {
  using K = Ipv4DecodeError::Kind;
  if (p.size() < 20) return Unexpected(Ipv4DecodeError{K::TooShort, p.size(), 20, 0});
  const std::uint8_t version = p[0] >> 4;
  if (version != 4) return Unexpected(Ipv4DecodeError{K::NotIpv4, p.size(), 0, version});
  const std::uint8_t ihl = p[0] & 0x0F;
  if (ihl < 5) return Unexpected(Ipv4DecodeError{K::BadIhl, p.size(), 0, ihl});
  if (p.size() < std::size_t{ihl} * 4u)
    return Unexpected(Ipv4DecodeError{K::ShorterThanHeader, p.size(), std::size_t{ihl} * 4u, ihl});
  return Ipv4HeaderView(p);
}

bool is_sarvolt_control_packet(std::span<const std::uint8_t> p) noexcept {
  if (p.size() < 20) return false;
  if ((p[0] >> 4) != 4 || (p[0] & 0x0F) < 5) return false;
  const std::size_t h = static_cast<std::size_t>(p[0] & 0x0F) * 4;
  if (p.size() < h) return false;
  if (p[9] != 17 || p.size() < h + 12) return false;
  return std::equal(kControlMagic.begin(), kControlMagic.end(), p.begin() + static_cast<std::ptrdiff_t>(h + 8));
}

std::uint16_t internet_checksum(std::span<const std::uint8_t> data, std::uint32_t initial) noexcept {
  std::uint64_t sum = initial;
  std::size_t i = 0;
  for (; i + 1 < data.size(); i += 2) sum += static_cast<std::uint32_t>((data[i] << 8) | data[i + 1]);
  if (i < data.size()) sum += static_cast<std::uint32_t>(data[i] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

bool may_answer_with_icmp_error(const Ipv4HeaderView& hdr) noexcept {
  if (hdr.fragment_offset() != 0) return false;
  const Ipv4Addr src = hdr.source(), dst = hdr.destination();
  if (src.is_unspecified() || src.is_broadcast() || src.is_multicast()) return false;
  if (dst.is_broadcast() || dst.is_multicast()) return false;
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

void put16(std::uint8_t* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

std::size_t build_icmp_error(const Ipv4HeaderView& hdr, std::uint8_t code, std::uint16_t word2,
                             IcmpBuffer& out) noexcept {
  const auto p = hdr.packet();
  const std::size_t quoted = std::min(p.size(), hdr.header_len() + 8);
  const std::size_t total = 28 + quoted;
  std::uint8_t* b = out.data();
  std::memset(b, 0, 28);
  b[0] = 0x45;
  put16(b + 2, static_cast<std::uint16_t>(total));
  b[6] = 0x40;  // don't fragment
  b[8] = 64;
  b[9] = 1;
  std::memcpy(b + 12, p.data() + 16, 4);  // from the packet's destination
  std::memcpy(b + 16, p.data() + 12, 4);  // to its source
  put16(b + 10, internet_checksum({b, 20}));
  std::uint8_t* icmp = b + 20;
  icmp[0] = 3;
  icmp[1] = code;
  put16(icmp + 6, word2);
  std::memcpy(icmp + 8, p.data(), quoted);
  put16(icmp + 2, internet_checksum({icmp, 8 + quoted}));
  return total;
}

}  // namespace

std::size_t build_icmp_host_unreachable(const Ipv4HeaderView& hdr, IcmpBuffer& out) noexcept {
  return build_icmp_error(hdr, 1, 0, out);
}

std::size_t build_icmp_fragmentation_needed(const Ipv4HeaderView& hdr, std::uint16_t mtu, IcmpBuffer& out) noexcept {
  return build_icmp_error(hdr, 4, mtu, out);
}

}  // namespace sarvolt::util
