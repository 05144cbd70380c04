// IPv4 decoding and the packet builders. The header view agrees with an
// independent reading of the bytes; the RFC 1122 guard agrees with its rules
// written out here; both ICMP errors (and a UDP packet carrying the input)
// are built into exact-size buffers, so any read or write outside them is
// caught, and their lengths, addresses, quote and checksums (verified with a
// checksum routine of this file's own) are right.
//
// Input: MTU (2 bytes), count of local networks (1 byte, up to 3), each
// network as 4 address bytes and a length byte, then the packet.
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"
#include "util/packet.hpp"

using namespace sarvolt;
using util::Ipv4Addr;
using util::Ipv4Net;

namespace {

bool expect_may_answer(std::span<const std::uint8_t> p, std::span<const Ipv4Net> locals) {
  const std::size_t ihl = static_cast<std::size_t>(p[0] & 15) * 4;
  if (((p[6] & 0x1F) << 8 | p[7]) != 0) return false;  // not the first fragment
  const auto src = static_cast<std::uint32_t>(fuzz::be(p.data() + 12, 4)), dst = static_cast<std::uint32_t>(fuzz::be(p.data() + 16, 4));
  if (src == 0 || (src >> 24) == 127 || (src >> 28) == 0xE || (src >> 28) == 0xF) return false;
  if (dst == 0xFFFFFFFFu || (dst >> 28) == 0xE) return false;
  for (const auto& n : locals)
    if (n.prefix_len() < 31 && dst == (n.addr().to_u32() | 0xFFFFFFFFu >> n.prefix_len())) return false;
  if (p[9] != 1) return true;
  return p.size() > ihl && (p[ihl] == 0 || p[ihl] == 8 || (p[ihl] >= 13 && p[ihl] <= 18));
}

// Built into the shared buffer, then copied to one of its own size.
void check_icmp_error(std::span<const std::uint8_t> p, std::size_t len, const util::IcmpBuffer& buf,
                      std::uint8_t code, std::uint16_t word) {
  const std::size_t quoted = std::min(p.size(), static_cast<std::size_t>(p[0] & 15) * 4 + 8);
  FUZZ_CHECK(len == 28 + quoted && len <= buf.size(), fuzz::hex(p));
  const std::vector<std::uint8_t> e(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(len));
  const auto icmp = std::span(e).subspan(20);
  FUZZ_CHECK(fuzz::be(&e[0], 2) == 0x4500 && fuzz::be(&e[2], 2) == len && fuzz::be(&e[4], 4) == 0x4000 &&
                 e[8] == 64 && e[9] == 1 &&
                 fuzz::ones_sum(std::span(e).first(20)) == 0xFFFF && std::memcmp(&e[12], &p[16], 4) == 0 &&
                 std::memcmp(&e[16], &p[12], 4) == 0 && icmp[0] == 3 && icmp[1] == code && fuzz::be(&icmp[4], 4) == word &&
                 fuzz::ones_sum(icmp) == 0xFFFF && std::memcmp(&icmp[8], p.data(), quoted) == 0,
             "packet " + fuzz::hex(p) + "\nerror " + fuzz::hex(e));
}

}  // namespace

SARVOLT_FUZZ_TARGET {
  const std::uint16_t mtu = in.u16();
  std::vector<Ipv4Net> locals;
  for (unsigned n = in.u8() % 4; n > 0; --n) {
    const Ipv4Addr a(in.u32());
    locals.push_back(*Ipv4Net::create(a, in.u8() % 33u));
  }
  // The packet in a buffer of its own size.
  const auto rest = in.rest();
  const std::vector<std::uint8_t> packet(rest.begin(), rest.end());
  const std::span<const std::uint8_t> p(packet);

  // The control-packet test reads nothing beyond what it needs.
  const std::size_t ihl = p.empty() ? 0 : static_cast<std::size_t>(p[0] & 15) * 4;
  const bool control = p.size() >= 20 && (p[0] >> 4) == 4 && ihl >= 20 && p.size() >= ihl + 12 && p[9] == 17 &&
                       p[ihl + 8] == 0x1E && p[ihl + 9] == 0x3F && p[ihl + 10] == 0x50 && p[ihl + 11] == 0x01;
  FUZZ_CHECK(util::is_sarvolt_control_packet(p) == control, fuzz::hex(p));

  auto hdr = util::Ipv4HeaderView::decode(p);
  const bool decodes = p.size() >= 20 && (p[0] >> 4) == 4 && ihl >= 20 && p.size() >= ihl;
  FUZZ_CHECK(hdr.has_value() == decodes, fuzz::hex(p));
  if (!hdr) {
    (void)hdr.error().to_string();
  } else {
    FUZZ_CHECK(hdr->header_len() == ihl && hdr->total_len() == fuzz::be(&p[2], 2) && hdr->ttl() == p[8] &&
                   hdr->protocol() == p[9] && hdr->dont_fragment() == ((p[6] & 0x40) != 0) &&
                   hdr->more_fragments() == ((p[6] & 0x20) != 0) &&
                   hdr->fragment_offset() == ((p[6] & 0x1F) << 8 | p[7]) &&
                   hdr->source() == fuzz::addr_at(p.data() + 12) && hdr->destination() == fuzz::addr_at(p.data() + 16),
               fuzz::hex(p));
    const bool may = util::may_answer_with_icmp_error(*hdr, locals);
    FUZZ_CHECK(may == expect_may_answer(p, locals), std::string(may ? "answers " : "keeps quiet on ") + fuzz::hex(p));

    // Built whether or not it may be sent: the builders must be sound for
    // any packet the view accepts.
    util::IcmpBuffer buf;
    buf.fill(0xEE);  // so that a byte left unwritten shows
    check_icmp_error(p, util::build_icmp_host_unreachable(*hdr, buf), buf, 1, 0);
    check_icmp_error(p, util::build_icmp_fragmentation_needed(*hdr, mtu, buf), buf, 4, mtu);
  }

  // A UDP packet carrying the input, into a buffer of exactly its size.
  if (p.size() <= 65507) {
    const Ipv4Addr src(mtu * 65537u), dst(~(mtu * 65537u));
    std::vector<std::uint8_t> udp(28 + p.size());
    FUZZ_CHECK(util::build_udp_packet(src, mtu, dst, 53, p, udp) == udp.size());
    // The pseudo header: both addresses, the protocol and the UDP length.
    const std::uint64_t pseudo = fuzz::ones_sum(std::span(udp).subspan(12, 8), 17 + udp.size() - 20);
    FUZZ_CHECK(fuzz::ones_sum(std::span(udp).first(20)) == 0xFFFF && fuzz::be(&udp[2], 2) == udp.size() &&
                   fuzz::be(&udp[24], 2) == udp.size() - 20 && fuzz::ones_sum(std::span(udp).subspan(20), pseudo) == 0xFFFF &&
                   (udp[26] | udp[27]) != 0 && fuzz::addr_at(&udp[12]) == src && fuzz::addr_at(&udp[16]) == dst &&
                   std::equal(p.begin(), p.end(), udp.begin() + 28),
               "UDP packet " + fuzz::hex(udp));
  }
}
