#include "cpd/interface/cpd_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace cpd {
namespace {

const char kTooLarge[] = "payload size larger than packet size\n";

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

// Runs `op` and returns what it printed.
std::string Printed(const std::function<void()>& op) {
    testing::internal::CaptureStdout();
    op();
    return testing::internal::GetCapturedStdout();
}

TEST(PacketWrite, GrowthPastCapacityKeepsContentAndGrowsInWholeSteps) {
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

// A received packet's counts come from the remote side: no read may leave the block, which
// FromWire sizes to the bytes exactly. An oversized string count is consumed with the refusal.
TEST(PacketRead, ReadsPastTheBlockAreRefused) {
    const uint32_t counts[] = {0xFFFFFFFFu /* must not wrap the bound check */, 2000, 1};
    for (uint32_t n : counts) {
        CpdPacket source(64);
        ASSERT_EQ(source.AppendU32(&n), 0);
        std::unique_ptr<CpdPacket> packet = CpdPacket::FromWire(source.Data(), source.Length());
        std::string text = "kept";
        int result = 0;
        EXPECT_EQ(Printed([&] { result = packet->ReadString(text); }), kTooLarge) << n;
        EXPECT_EQ(result, -1);
        EXPECT_EQ(text, "kept");
        EXPECT_EQ(packet->GetPayloadLen(), 0u);
        EXPECT_EQ(packet->ReadU32(&n), -1);
        EXPECT_EQ(packet->GetPayload(), packet->Data() + 20);
    }
}

}  // namespace
}  // namespace cpd
