#include <gtest/gtest.h>

#include "data_plane.hpp"
#include "support.hpp"
#include "util/packet.hpp"

namespace sarvolt::test {
namespace {

TEST(DataPlane, RoutedPacketReachesItsPeerAndRepliesComeBack) {
  DataPlane dp;
  dp.join();
  const auto out = ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.2"});
  dp.tun_write(out);
  auto sent = dp.sent_to(dp.b.pk(), 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], out);

  const auto in = ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1", .fill = 0x11});
  dp.from_peer(dp.b.pk(), in);
  auto got = dp.tun_read();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, in);
}

TEST(DataPlane, UnroutedPacketGetsHostUnreachable) {
  DataPlane dp;
  dp.join();
  dp.tun_write(ipv4_packet({.src = "10.0.0.1", .dst = "10.0.0.9"}));
  auto reply = dp.tun_read();
  ASSERT_TRUE(reply);
  ASSERT_GE(reply->size(), 28u);
  EXPECT_EQ((*reply)[20], 3);
  EXPECT_EQ((*reply)[21], 1);
}

TEST(DataPlane, SpoofedSourceIsDroppedWithAWarning) {
  LogCapture logs;
  DataPlane dp;
  dp.join();
  dp.from_peer(dp.c.pk(), ipv4_packet({.src = "10.0.0.2", .dst = "10.0.0.1"}));
  dp.from_peer(dp.c.pk(), ipv4_packet({.src = "10.0.0.3", .dst = "10.0.0.1", .fill = 0x33}));
  auto got = dp.tun_read();
  ASSERT_TRUE(got);
  EXPECT_EQ((*got)[25], 0x33);
  EXPECT_EQ(logs.count("Security violation: packet source mismatch - received from peer " + dp.c.pk().to_string()),
            1u);
}

}  // namespace
}  // namespace sarvolt::test
