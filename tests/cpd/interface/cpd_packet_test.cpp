// The packet record's writes and growth.
#include "cpd/interface/cpd_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace cpd {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

TEST(PacketWrite, GrowsPastCapacityInWholeStepsKeepingItsContent) {
    CpdPacket packet(1024);
    ASSERT_EQ(packet.SetHeader(0x21, 0x0105, 77), 0);
    const std::vector<uint8_t> first = Pattern(1000, 3);
    const std::vector<uint8_t> second = Pattern(1000, 90);
    ASSERT_EQ(packet.AppendBytes(first.data(), 1000), 0);
    ASSERT_EQ(packet.AppendBytes(second.data(), 1000), 0);
    EXPECT_EQ(packet.Capacity(), 1024u + kCpdPacketGrowStep);
    EXPECT_EQ(packet.Length(), 2016u);
    EXPECT_EQ(packet.GetSeq(), 77u);
    EXPECT_EQ(std::memcmp(packet.GetPayload(), first.data(), 1000), 0);
    EXPECT_EQ(std::memcmp(packet.GetPayload() + 1000, second.data(), 1000), 0);

    // A big packet whose second item needs two steps at once.
    CpdPacket big(0x30000);
    const std::vector<uint8_t> fill = Pattern(0x30000 - 16, 5);
    ASSERT_EQ(big.AppendBytes(fill.data(), static_cast<uint32_t>(fill.size())), 0);
    ASSERT_EQ(big.AppendBytes(fill.data(), static_cast<uint32_t>(fill.size())), 0);
    EXPECT_EQ(big.Capacity(), 0x30000u + 2 * kCpdPacketGrowStep);
    EXPECT_EQ(std::memcmp(big.GetPayload() + fill.size(), fill.data(), fill.size()), 0);
}

}  // namespace
}  // namespace cpd
