#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
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
  for (std::size_t i = 0; i < d.size(); i += 2) sum += (std::uint32_t{d[i]} << 8) | (i + 1 < d.size() ? d[i + 1] : 0);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

Ipv4HeaderView view(const Bytes& p) {
  auto h = Ipv4HeaderView::decode(p);
  EXPECT_TRUE(h.has_value());
  return *h;
}

Bytes with(Bytes p, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), p.begin() + static_cast<std::ptrdiff_t>(at));
  return p;
}

// Checks every byte of an ICMP destination-unreachable reply to `orig`.
void expect_icmp_reply(const util::IcmpBuffer& out, std::size_t len, const Bytes& orig, std::uint8_t code,
                       std::uint16_t word2, std::size_t quoted) {
  ASSERT_EQ(len, 28 + quoted);
  const std::uint8_t* b = out.data();
  EXPECT_EQ(Bytes(b, b + 2), (Bytes{0x45, 0x00}));
  EXPECT_EQ(std::size_t{be16(b + 2)}, 28 + quoted);
  EXPECT_EQ(Bytes(b + 4, b + 10), (Bytes{0, 0, 0x40, 0, 64, 1}));  // id 0, DF, TTL 64, ICMP
  EXPECT_EQ(Bytes(b + 12, b + 16), Bytes(orig.begin() + 16, orig.begin() + 20));  // from its destination
  EXPECT_EQ(Bytes(b + 16, b + 20), Bytes(orig.begin() + 12, orig.begin() + 16));  // to its source
  EXPECT_EQ(folded_sum({b, 20}), 0xFFFF) << "IPv4 header checksum";

  const std::uint8_t* icmp = b + 20;
  EXPECT_EQ(Bytes(icmp, icmp + 2), (Bytes{3, code}));
  EXPECT_EQ(be16(icmp + 4), 0);
  EXPECT_EQ(be16(icmp + 6), word2);
  EXPECT_EQ(Bytes(icmp + 8, icmp + 8 + quoted), Bytes(orig.begin(), orig.begin() + std::ptrdiff_t(quoted)));
  EXPECT_EQ(folded_sum({icmp, 8 + quoted}), 0xFFFF) << "ICMP checksum";
}

TEST(IcmpReply, QuotesTheHeaderAndEightBytesOrTheWholeShortPacket) {
  struct Case {
    std::uint8_t ihl;
    std::size_t size, quoted;
  };
  // 23: odd ICMP length.
  for (const auto [ihl, size, quoted] : {Case{5, 1500, 28}, Case{5, 24, 24}, Case{5, 23, 23}, Case{5, 20, 20},
                                         Case{6, 80, 32}, Case{15, 80, 68}}) {
    SCOPED_TRACE(size);
    auto p = ipv4_packet({.src = "192.168.7.9", .dst = "10.0.0.1", .payload = size - 20, .dont_fragment = true});
    p[0] = static_cast<std::uint8_t>(0x40 | ihl);
    const auto h = view(p);
    util::IcmpBuffer out;
    out.fill(0xEE);
    expect_icmp_reply(out, util::build_icmp_host_unreachable(h, out), p, 1, 0, quoted);
    out.fill(0xEE);
    expect_icmp_reply(out, util::build_icmp_fragmentation_needed(h, 0xABCD, out), p, 4, 0xABCD, quoted);
  }
  EXPECT_EQ(util::kMaxIcmpErrorLen, 28 + 68u);  // the IHL 15 reply fills the buffer
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
  const std::pair<Bytes, bool> cases[] = {
      {control_packet(32), true},
      {control_packet(200), true},
      {control_packet(72, 15), true},
      {control_packet(40, 15), false},  // shorter than its header
      {with(with(control_packet(80, 15), 28, {0x1E, 0x3F, 0x50, 0x01}), 68, {0}), false},  // magic after 20 bytes
      {with(control_packet(48), 0, {0x65}), false},
      {with(control_packet(32), 9, {6}), false},
      {with(control_packet(32), 9, {1}), false},
      {with(control_packet(32), 28, {0x01, 0x50, 0x3F, 0x1E}), false},
      {with(control_packet(32), 2, {0xFF, 0xFF}), true},  // total length is not read
      {with(control_packet(32), 2, {0, 5}), true},
      {with(control_packet(32), 6, {0x21, 0x23}), true},  // nor the fragment fields
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(util::is_sarvolt_control_packet(cases[i].first), cases[i].second) << i;
  // Cuts of valid packets; a read past the cut would find the real bytes.
  const Bytes whole = control_packet(32), big = control_packet(72, 15);
  for (std::size_t n = 0; n < 32; ++n) EXPECT_FALSE(util::is_sarvolt_control_packet(std::span(whole).first(n))) << n;
  EXPECT_FALSE(util::is_sarvolt_control_packet(std::span(big).first(71)));
  for (std::uint8_t ihl = 0; ihl < 5; ++ihl) {  // magic where the short header would put it
    auto p = with(control_packet(48), ihl * 4u + 8, {0x1E, 0x3F, 0x50, 0x01});
    p[0] = static_cast<std::uint8_t>(0x40 | ihl);
    EXPECT_FALSE(util::is_sarvolt_control_packet(p)) << int{ihl};
  }
}

TEST(Ipv4Decode, ErrorsInOrderWithTheirTexts) {
  using K = Ipv4DecodeError::Kind;
  const std::string short_text = "not enough data to decode the IPv4 header: 20 byte(s) required, but only ";
  struct Case {
    Bytes packet;
    K kind;
    std::string text;
  };
  const Case cases[] = {
      {Bytes{}, K::TooShort, short_text + "0 byte(s) present"},
      {with(Bytes(19, 0), 0, {0x45}), K::TooShort, short_text + "19 byte(s) present"},
      {with(Bytes(19, 0), 0, {0x60}), K::TooShort, short_text + "19 byte(s) present"},
      {with(Bytes(19, 0), 0, {0x4F}), K::TooShort, short_text + "19 byte(s) present"},
      {with(Bytes(40, 0), 0, {0x65}), K::NotIpv4, "unexpected IP version 6 (expected 4)"},
      {with(Bytes(40, 0), 0, {0x55}), K::NotIpv4, "unexpected IP version 5 (expected 4)"},
      {with(Bytes(20, 0), 0, {0x44}), K::BadIhl, "IPv4 header length (IHL) 4 is below the minimum of 5"},
      {with(Bytes(20, 0), 0, {0x46}), K::ShorterThanHeader,
       "not enough data to decode the IPv4 header: 24 byte(s) required, but only 20 byte(s) present"},
  };
  for (const auto& c : cases) {
    auto r = Ipv4HeaderView::decode(c.packet);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().kind, c.kind) << c.text;
    EXPECT_EQ(r.error().to_string(), c.text);
  }
  const Bytes options = with(Bytes(24, 0), 0, {0x46});
  EXPECT_EQ(view(options).header_len(), 24u);
}

TEST(Ipv4Decode, Fields) {
  const auto p = ipv4_packet({.src = "10.1.2.3", .dst = "10.4.5.6", .protocol = 6, .payload = 30,
                              .dont_fragment = true, .fragment_offset = 0x1ABC, .more_fragments = true});
  const auto h = view(p);
  EXPECT_EQ(h.source(), ip("10.1.2.3"));
  EXPECT_EQ(h.destination(), ip("10.4.5.6"));
  EXPECT_EQ(h.protocol(), 6);
  EXPECT_EQ(h.total_len(), 50);
  EXPECT_TRUE(h.dont_fragment() && h.more_fragments());
  EXPECT_EQ(h.fragment_offset(), 0x1ABC);
  EXPECT_EQ(h.ttl(), 64);
}

Bytes icmp_packet(std::uint8_t type) {
  return with(ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .protocol = 1, .payload = 16}), 20, {type, 0});
}

TEST(IcmpGuard, NeverAnswersErrorsLaterFragmentsOrNonUnicast) {
  std::vector<std::pair<Bytes, bool>> cases = {
      {icmp_packet(8), true},
      {icmp_packet(0), true},
      {ipv4_packet({.protocol = 17}), true},
      {ipv4_packet({.protocol = 6, .dont_fragment = true}), true},
      {ipv4_packet({.payload = 1000, .more_fragments = true}), true},  // first fragment
      {ipv4_packet({.src = "223.255.255.254", .dst = "1.1.1.1"}), true},
      {ipv4_packet({.protocol = 1, .payload = 0}), false},  // truncated ICMP
      {ipv4_packet({.fragment_offset = 185}), false},
      {ipv4_packet({.fragment_offset = 1, .more_fragments = true}), false},
  };
  for (std::uint8_t type : {3, 11, 5, 4, 12, 42, 255}) cases.emplace_back(icmp_packet(type), false);
  for (const char* src : {"0.0.0.0", "255.255.255.255", "224.0.0.1", "239.255.255.250"})
    cases.emplace_back(ipv4_packet({.src = src, .dst = "10.0.0.2"}), false);
  for (const char* dst : {"255.255.255.255", "224.0.0.251", "239.1.2.3"})
    cases.emplace_back(ipv4_packet({.src = "10.0.0.1", .dst = dst}), false);
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(util::may_answer_with_icmp_error(view(cases[i].first)), cases[i].second) << i;
}

}  // namespace
}  // namespace sarvolt::test
