#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "data_plane.hpp"
#include "util/packet.hpp"

namespace sarvolt::test {
namespace {

using util::Ipv4DecodeError;
using util::Ipv4HeaderView;

// One's complement sum of 16-bit words (odd tail padded with zero), folded.
// A block that carries its own correct checksum sums to 0xFFFF.
std::uint16_t folded_sum(std::span<const std::uint8_t> d) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < d.size(); i += 2) {
    const std::uint32_t hi = d[i];
    const std::uint32_t lo = i + 1 < d.size() ? d[i + 1] : 0;
    sum += (hi << 8) | lo;
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

Ipv4HeaderView view(const Bytes& p) {
  auto h = Ipv4HeaderView::decode(p);
  EXPECT_TRUE(h.has_value());
  return *h;
}

// Checks every field of an ICMP destination-unreachable reply to `orig`.
void expect_icmp_reply(const util::IcmpBuffer& out, std::size_t len, const Bytes& orig, std::uint8_t code,
                       std::uint16_t word2, std::size_t quoted) {
  ASSERT_EQ(len, 28 + quoted);
  const std::uint8_t* b = out.data();
  EXPECT_EQ(b[0], 0x45);
  EXPECT_EQ(b[1], 0x00);
  EXPECT_EQ(std::size_t{be16(b + 2)}, 28 + quoted);
  EXPECT_EQ(be16(b + 4), 0);       // identification
  EXPECT_EQ(be16(b + 6), 0x4000);  // DF, no MF, offset 0
  EXPECT_EQ(b[8], 64);
  EXPECT_EQ(b[9], 1);
  EXPECT_EQ(std::vector<std::uint8_t>(b + 12, b + 16), std::vector<std::uint8_t>(orig.begin() + 16, orig.begin() + 20));
  EXPECT_EQ(std::vector<std::uint8_t>(b + 16, b + 20), std::vector<std::uint8_t>(orig.begin() + 12, orig.begin() + 16));
  EXPECT_EQ(folded_sum({b, 20}), 0xFFFF) << "IPv4 header checksum";
  EXPECT_NE(be16(b + 10), 0);

  const std::uint8_t* icmp = b + 20;
  EXPECT_EQ(icmp[0], 3);
  EXPECT_EQ(icmp[1], code);
  EXPECT_EQ(icmp[4], 0);
  EXPECT_EQ(icmp[5], 0);
  EXPECT_EQ(be16(icmp + 6), word2);
  EXPECT_EQ(std::vector<std::uint8_t>(icmp + 8, icmp + 8 + quoted),
            std::vector<std::uint8_t>(orig.begin(), orig.begin() + static_cast<std::ptrdiff_t>(quoted)));
  EXPECT_EQ(folded_sum({icmp, 8 + quoted}), 0xFFFF) << "ICMP checksum";
}

TEST(IcmpReply, LargeDfPacketQuotesHeaderAndEightBytes) {
  const auto p = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .payload = 1480, .dont_fragment = true});
  ASSERT_EQ(p.size(), 1500u);
  const auto h = view(p);
  util::IcmpBuffer out;
  out.fill(0xEE);
  expect_icmp_reply(out, util::build_icmp_host_unreachable(h, out), p, 1, 0, 28);
  out.fill(0xEE);
  const std::size_t len = util::build_icmp_fragmentation_needed(h, 1280, out);
  expect_icmp_reply(out, len, p, 4, 1280, 28);
  EXPECT_EQ(len, 56u);
  EXPECT_EQ(out[26], 0x05);  // 1280 big-endian
  EXPECT_EQ(out[27], 0x00);
  out[40] ^= 0x01;  // the check above notices a changed byte
  EXPECT_NE(folded_sum({out.data() + 20, 36}), 0xFFFF);
}

TEST(IcmpReply, ShortPacketsAreQuotedWhole) {
  for (std::size_t size : {24u, 23u, 20u}) {  // 23: odd ICMP length
    SCOPED_TRACE(size);
    const auto p = ipv4_packet({.src = "192.168.7.9", .dst = "10.0.0.1", .payload = size - 20});
    const auto h = view(p);
    util::IcmpBuffer out;
    expect_icmp_reply(out, util::build_icmp_host_unreachable(h, out), p, 1, 0, size);
    expect_icmp_reply(out, util::build_icmp_fragmentation_needed(h, 0xABCD, out), p, 4, 0xABCD, size);
  }
}

TEST(IcmpReply, HeaderOptionsAreQuotedWithEightPayloadBytes) {
  auto p = ipv4_packet({.src = "10.0.0.3", .dst = "10.0.0.1", .payload = 60});
  p[0] = 0x46;  // IHL 6: 4 option bytes
  const auto h = view(p);
  util::IcmpBuffer out;
  expect_icmp_reply(out, util::build_icmp_host_unreachable(h, out), p, 1, 0, 32);

  p[0] = 0x4F;  // largest header: the reply fills the buffer
  util::IcmpBuffer big;
  EXPECT_EQ(util::build_icmp_fragmentation_needed(view(p), 576, big), util::kMaxIcmpErrorLen);
}

// A minimal IPv4/UDP packet of `size` bytes with the control magic after the
// UDP header.
Bytes control_packet(std::size_t size, std::uint8_t ihl = 5) {
  Bytes p(size, 0);
  p[0] = static_cast<std::uint8_t>(0x40 | ihl);
  p[9] = 17;
  const std::size_t at = std::size_t{ihl} * 4 + 8;
  for (std::size_t i = 0; i < 4 && at + i < size; ++i) p[at + i] = util::kControlMagic[i];
  return p;
}

TEST(ControlPacket, Table) {
  EXPECT_TRUE(util::is_sarvolt_control_packet(control_packet(32)));
  EXPECT_FALSE(util::is_sarvolt_control_packet(control_packet(31)));
  EXPECT_TRUE(util::is_sarvolt_control_packet(control_packet(200)));

  for (std::size_t n = 0; n < 20; ++n) {
    auto p = control_packet(32);
    p.resize(n);
    EXPECT_FALSE(util::is_sarvolt_control_packet(p)) << n;
  }

  auto v6 = control_packet(48);
  v6[0] = 0x65;
  EXPECT_FALSE(util::is_sarvolt_control_packet(v6));

  for (std::uint8_t ihl = 0; ihl < 5; ++ihl) {
    auto p = control_packet(48);
    p[0] = static_cast<std::uint8_t>(0x40 | ihl);
    p[ihl * 4 + 8] = 0x1E;  // magic where the short header would put it
    p[ihl * 4 + 9] = 0x3F;
    p[ihl * 4 + 10] = 0x50;
    p[ihl * 4 + 11] = 0x01;
    EXPECT_FALSE(util::is_sarvolt_control_packet(p)) << int{ihl};
  }

  EXPECT_TRUE(util::is_sarvolt_control_packet(control_packet(72, 15)));
  EXPECT_FALSE(util::is_sarvolt_control_packet(control_packet(71, 15)));
  auto at28 = control_packet(80, 15);
  std::copy(util::kControlMagic.begin(), util::kControlMagic.end(), at28.begin() + 28);
  at28[68] = 0;
  EXPECT_FALSE(util::is_sarvolt_control_packet(at28));
  EXPECT_FALSE(util::is_sarvolt_control_packet(control_packet(40, 15)));  // shorter than its header

  for (std::uint8_t proto : {6, 1}) {
    auto p = control_packet(32);
    p[9] = proto;
    EXPECT_FALSE(util::is_sarvolt_control_packet(p)) << int{proto};
  }

  auto reversed = control_packet(32);
  std::reverse(reversed.begin() + 28, reversed.end());
  EXPECT_FALSE(util::is_sarvolt_control_packet(reversed));

  auto wrong_len = control_packet(32);
  wrong_len[2] = 0xFF;
  wrong_len[3] = 0xFF;
  EXPECT_TRUE(util::is_sarvolt_control_packet(wrong_len));
  wrong_len[2] = 0;
  wrong_len[3] = 5;
  EXPECT_TRUE(util::is_sarvolt_control_packet(wrong_len));

  auto fragment = control_packet(32);
  fragment[6] = 0x21;  // MF, offset 0x123
  fragment[7] = 0x23;
  EXPECT_TRUE(util::is_sarvolt_control_packet(fragment));
}

TEST(Ipv4Decode, ErrorsInOrder) {
  using K = Ipv4DecodeError::Kind;
  std::set<std::string> texts;
  for (std::uint8_t b0 : {0x45, 0x60, 0x00, 0x4F}) {
    Bytes p(19, 0);
    p[0] = b0;
    auto r = Ipv4HeaderView::decode(p);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, K::TooShort) << int{b0};
    texts.insert(r.error().to_string());
  }
  EXPECT_EQ(texts.size(), 1u);
  EXPECT_FALSE(Ipv4HeaderView::decode(Bytes{}).has_value());

  for (std::uint8_t b0 : {0x65, 0x55, 0x60}) {
    Bytes p(40, 0);
    p[0] = b0;
    auto r = Ipv4HeaderView::decode(p);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, K::NotIpv4) << int{b0};
    if (b0 == 0x65) texts.insert(r.error().to_string());
  }

  Bytes bad_ihl(20, 0);
  bad_ihl[0] = 0x44;
  auto r = Ipv4HeaderView::decode(bad_ihl);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, K::BadIhl);
  texts.insert(r.error().to_string());

  Bytes short_hdr(20, 0);
  short_hdr[0] = 0x46;
  r = Ipv4HeaderView::decode(short_hdr);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, K::ShorterThanHeader);
  texts.insert(r.error().to_string());

  short_hdr.resize(24);
  ASSERT_TRUE(Ipv4HeaderView::decode(short_hdr).has_value());
  EXPECT_EQ(Ipv4HeaderView::decode(short_hdr)->header_len(), 24u);

  EXPECT_EQ(texts.size(), 4u);
  for (const auto& t : texts) EXPECT_FALSE(t.empty());
}

TEST(Ipv4Decode, Fields) {
  const auto p = ipv4_packet({.src = "10.1.2.3", .dst = "10.4.5.6", .protocol = 6, .payload = 30,
                              .dont_fragment = true, .fragment_offset = 0x1ABC, .more_fragments = true});
  const auto h = view(p);
  EXPECT_EQ(h.source(), ip("10.1.2.3"));
  EXPECT_EQ(h.destination(), ip("10.4.5.6"));
  EXPECT_EQ(h.protocol(), 6);
  EXPECT_EQ(h.total_len(), 50);
  EXPECT_TRUE(h.dont_fragment());
  EXPECT_TRUE(h.more_fragments());
  EXPECT_EQ(h.fragment_offset(), 0x1ABC);
  EXPECT_EQ(h.ttl(), 64);
}

Bytes icmp_packet(std::uint8_t type) {
  auto p = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .protocol = 1, .payload = 16});
  p[20] = type;
  p[21] = 0;
  return p;
}

TEST(IcmpGuard, NoErrorForErrorsFragmentsAndNonUnicast) {
  for (std::uint8_t type : {3, 11, 5, 4, 12, 42, 255}) {
    const auto p = icmp_packet(type);
    EXPECT_FALSE(util::may_answer_with_icmp_error(view(p))) << int{type};
  }
  auto truncated = ipv4_packet({.protocol = 1, .payload = 0});
  EXPECT_FALSE(util::may_answer_with_icmp_error(view(truncated)));

  const auto later_fragment = ipv4_packet({.fragment_offset = 185});
  EXPECT_FALSE(util::may_answer_with_icmp_error(view(later_fragment)));
  const auto last_fragment = ipv4_packet({.fragment_offset = 1, .more_fragments = true});
  EXPECT_FALSE(util::may_answer_with_icmp_error(view(last_fragment)));

  for (const char* src : {"0.0.0.0", "255.255.255.255", "224.0.0.1", "239.255.255.250"}) {
    const auto p = ipv4_packet({.src = src, .dst = "10.0.0.2"});
    EXPECT_FALSE(util::may_answer_with_icmp_error(view(p))) << src;
  }
  for (const char* dst : {"255.255.255.255", "224.0.0.251", "239.1.2.3"}) {
    const auto p = ipv4_packet({.src = "10.0.0.1", .dst = dst});
    EXPECT_FALSE(util::may_answer_with_icmp_error(view(p))) << dst;
  }
}

TEST(IcmpGuard, OrdinaryPacketsMayBeAnswered) {
  EXPECT_TRUE(util::may_answer_with_icmp_error(view(icmp_packet(8))));
  EXPECT_TRUE(util::may_answer_with_icmp_error(view(icmp_packet(0))));
  EXPECT_TRUE(util::may_answer_with_icmp_error(view(ipv4_packet({.protocol = 17}))));
  EXPECT_TRUE(util::may_answer_with_icmp_error(view(ipv4_packet({.protocol = 6}))));
  EXPECT_TRUE(util::may_answer_with_icmp_error(view(ipv4_packet({.dont_fragment = true}))));
  const auto first_fragment = ipv4_packet({.payload = 1000, .more_fragments = true});
  EXPECT_TRUE(util::may_answer_with_icmp_error(view(first_fragment)));
  EXPECT_TRUE(util::may_answer_with_icmp_error(view(ipv4_packet({.src = "223.255.255.254", .dst = "1.1.1.1"}))));
}

}  // namespace
}  // namespace sarvolt::test
