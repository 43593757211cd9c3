#include "cpd/interface/cpd_packet.h"

#include <gtest/gtest.h>

#include <cstring>
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

CpdPacketHeader HeaderOf(const CpdPacket& packet) {
    CpdPacketHeader header{};
    std::memcpy(&header, packet.Data(), sizeof(header));
    return header;
}

// Construction and appends -------------------------------------------------------------------

class PacketWrite : public testing::Test {};

TEST_F(PacketWrite, TinyCapacityIsRaisedToAnEmptyHeaderOnlyPacket) {
    for (uint64_t capacity : {0u, 10u}) {
        CpdPacket packet(capacity);
        EXPECT_EQ(packet.Capacity(), 16u);
        EXPECT_EQ(packet.Length(), 16u);
        EXPECT_EQ(packet.GetPayloadLen(), 0u);
        const CpdPacketHeader header = HeaderOf(packet);
        EXPECT_EQ(header.magic, 0x27);
        EXPECT_EQ(header.bigEndian, HostIsBigEndian());

        const uint32_t value = 1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(packet.AppendU32(&value), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooLarge);
        EXPECT_EQ(packet.Length(), 16u);
    }
}

TEST_F(PacketWrite, AppendsAddTheirSizeToLength) {
    CpdPacket packet(1024);
    for (uint32_t i = 0; i < 9; ++i) {
        ASSERT_EQ(packet.AppendU32(&i), 0);
    }
    EXPECT_EQ(packet.Length(), 52u);
    EXPECT_EQ(packet.GetPayloadLen(), 36u);
}

TEST_F(PacketWrite, StringItemIsCountThenTextWithItsZero) {
    // 24 bytes leave exactly the 8 that "abc" needs.
    CpdPacket packet(24);
    ASSERT_EQ(packet.AppendString("abc"), 0);
    ASSERT_EQ(packet.Length(), 24u);
    const uint8_t* payload = packet.Data() + kCpdPacketHeaderSize;
    uint32_t count = 0;
    std::memcpy(&count, payload, 4);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::memcmp(payload + 4, "abc", 4), 0);

    CpdPacket tooSmall(23);
    testing::internal::CaptureStdout();
    EXPECT_EQ(tooSmall.AppendString("abc"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooLarge);
    EXPECT_EQ(tooSmall.Length(), 16u);
}

TEST_F(PacketWrite, ItemLargerThanWholePayloadCapacityIsRefusedEvenThoughGrowthCouldFitIt) {
    CpdPacket packet(64);
    const std::vector<uint8_t> bytes = Pattern(49, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(packet.AppendBytes(bytes.data(), 49), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooLarge);
    EXPECT_EQ(packet.Capacity(), 64u);
    EXPECT_EQ(packet.AppendBytes(bytes.data(), 48), 0);
    EXPECT_EQ(packet.Length(), 64u);
}

TEST_F(PacketWrite, GrowthPastCapacityKeepsContentAndGrowsInWholeSteps) {
    CpdPacket packet(1024);
    ASSERT_EQ(packet.SetHeader(0x21, 0x0105, 77), 0);
    const std::vector<uint8_t> first = Pattern(1000, 3);
    const std::vector<uint8_t> second = Pattern(1000, 90);
    ASSERT_EQ(packet.AppendBytes(first.data(), 1000), 0);
    ASSERT_EQ(packet.AppendBytes(second.data(), 1000), 0);
    EXPECT_EQ(packet.Capacity(), 1024u + kCpdPacketGrowStep);
    EXPECT_EQ(packet.Length(), 2016u);
    EXPECT_EQ(packet.GetSeq(), 77u);
    EXPECT_EQ(packet.GetCmd(), 0x0105);
    const uint8_t* payload = packet.GetPayload();
    EXPECT_EQ(std::memcmp(payload, first.data(), 1000), 0);
    EXPECT_EQ(std::memcmp(payload + 1000, second.data(), 1000), 0);

    // A big packet whose second item needs two steps at once.
    CpdPacket big(0x30000);
    const std::vector<uint8_t> fill = Pattern(0x30000 - 16, 5);
    ASSERT_EQ(big.AppendBytes(fill.data(), static_cast<uint32_t>(fill.size())), 0);
    ASSERT_EQ(big.AppendBytes(fill.data(), static_cast<uint32_t>(fill.size())), 0);
    EXPECT_EQ(big.Capacity(), 0x30000u + 2 * kCpdPacketGrowStep);
    EXPECT_EQ(std::memcmp(big.GetPayload() + fill.size(), fill.data(), fill.size()), 0);
}

TEST_F(PacketWrite, SetHeaderKeepsLengthAndPayload) {
    CpdPacket packet(64);
    const uint32_t value = 0xCAFEF00D;
    ASSERT_EQ(packet.AppendU32(&value), 0);
    ASSERT_EQ(packet.SetHeader(0x42, 0x0203, 0x01020304), 0);
    EXPECT_EQ(packet.Length(), 20u);
    EXPECT_EQ(packet.GetDevId(), 0x42);
    EXPECT_EQ(packet.GetCmd(), 0x0203);
    EXPECT_EQ(packet.GetSeq(), 0x01020304u);
    uint32_t read = 0;
    ASSERT_EQ(packet.ReadU32(&read), 0);
    EXPECT_EQ(read, value);
}

// Reads ---------------------------------------------------------------------------------------

class PacketRead : public testing::Test {};

TEST_F(PacketRead, BigEndianWriterIsSwappedByReadsButNotByHeaderGetters) {
    if (HostIsBigEndian() != 0) {
        GTEST_SKIP() << "needs a little-endian host";
    }
    const uint8_t wire[] = {
        0x27, 0x05, 0x01, 0x02,  // magic, devId, cmd 0x0102 big-endian
        0x00, 0x00, 0x00, 0x09,  // seq 9 big-endian
        0x00, 0x00, 0x00, 0x14,  // length 20 big-endian
        0x01, 0x00, 0x00, 0x00,  // bigEndian
        0x11, 0x22, 0x33, 0x44,  // payload: 0x11223344
    };
    std::unique_ptr<CpdPacket> packet = CpdPacket::FromWire(wire, sizeof(wire));
    ASSERT_NE(packet, nullptr);
    EXPECT_TRUE(packet->WrittenBigEndian());
    EXPECT_EQ(packet->Length(), 20u);
    EXPECT_EQ(packet->GetDevId(), 0x05);
    EXPECT_EQ(packet->GetCmd(), 0x0201);
    EXPECT_EQ(packet->GetSeq(), 0x09000000u);
    uint32_t value = 0;
    ASSERT_EQ(packet->ReadU32(&value), 0);
    EXPECT_EQ(value, 0x11223344u);
}

TEST_F(PacketRead, StringWithEmbeddedZeroEndsAtTheZeroButConsumesTheWholeItem) {
    CpdPacket packet(64);
    const uint32_t n = 6;
    const uint32_t after = 0xAABBCCDD;
    ASSERT_EQ(packet.AppendU32(&n), 0);
    ASSERT_EQ(packet.AppendBytes("ab\0cd", 6), 0);
    ASSERT_EQ(packet.AppendU32(&after), 0);

    std::string text = "old";
    ASSERT_EQ(packet.ReadString(text), 0);
    EXPECT_EQ(text, "ab");
    uint32_t value = 0;
    ASSERT_EQ(packet.ReadU32(&value), 0);
    EXPECT_EQ(value, after);
    EXPECT_EQ(packet.GetPayloadLen(), 0u);
}

TEST_F(PacketRead, StringLongerThanTheRestOfCapacityIsRefusedAfterConsumingItsCount) {
    CpdPacket packet(64);
    const uint32_t n = 2000;
    ASSERT_EQ(packet.AppendU32(&n), 0);
    std::string text = "kept";
    testing::internal::CaptureStdout();
    EXPECT_EQ(packet.ReadString(text), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooLarge);
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(packet.GetPayloadLen(), 0u);

    // A count near 2^32 must not wrap the bound check.
    CpdPacket huge(64);
    const uint32_t wrapping = 0xFFFFFFFFu;
    ASSERT_EQ(huge.AppendU32(&wrapping), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(huge.ReadString(text), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooLarge);
}

TEST_F(PacketRead, ReadsStopAtCapacityWithoutLeavingTheBlock) {
    // FromWire sizes the block to the bytes exactly, so a read past them would leave the block.
    CpdPacket source(64);
    const uint32_t a = 1;
    const uint32_t b = 2;
    ASSERT_EQ(source.AppendU32(&a), 0);
    ASSERT_EQ(source.AppendU32(&b), 0);
    std::unique_ptr<CpdPacket> packet = CpdPacket::FromWire(source.Data(), source.Length());
    ASSERT_NE(packet, nullptr);
    ASSERT_EQ(packet->Capacity(), 24u);

    uint32_t value = 0;
    ASSERT_EQ(packet->ReadU32(&value), 0);
    ASSERT_EQ(packet->ReadU32(&value), 0);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(packet->ReadU32(&value), -1);
    std::string text;
    EXPECT_EQ(packet->ReadString(text), -1);
    EXPECT_EQ(packet->GetPayloadLen(), 0u);
    EXPECT_EQ(packet->GetPayload(), packet->Data() + 24);

    // The last four bytes hold a count of 1: the count fits but its one byte would not.
    CpdPacket tight(64);
    const uint32_t one = 1;
    ASSERT_EQ(tight.AppendU32(&one), 0);
    std::unique_ptr<CpdPacket> exact = CpdPacket::FromWire(tight.Data(), tight.Length());
    testing::internal::CaptureStdout();
    EXPECT_EQ(exact->ReadString(text), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTooLarge);
}

// Host extras -----------------------------------------------------------------------------------

class PacketHandOver : public testing::Test {};

TEST_F(PacketHandOver, FromWireRebuildsAnEqualPacket) {
    CpdPacket original(1024);
    ASSERT_EQ(original.SetHeader(0x21, 0x0105, 4242), 0);
    const uint32_t value = 0x01020304;
    ASSERT_EQ(original.AppendU32(&value), 0);
    ASSERT_EQ(original.AppendString("hello"), 0);
    ASSERT_EQ(original.AppendBytes("xyz", 3), 0);

    std::unique_ptr<CpdPacket> copy = CpdPacket::FromWire(original.Data(), original.Length());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Length(), original.Length());
    EXPECT_EQ(std::memcmp(copy->Data(), original.Data(), original.Length()), 0);
    EXPECT_EQ(copy->GetDevId(), 0x21);
    EXPECT_EQ(copy->GetCmd(), 0x0105);
    EXPECT_EQ(copy->GetSeq(), 4242u);
    uint32_t read = 0;
    std::string text;
    ASSERT_EQ(copy->ReadU32(&read), 0);
    ASSERT_EQ(copy->ReadString(text), 0);
    EXPECT_EQ(read, value);
    EXPECT_EQ(text, "hello");
    ASSERT_EQ(copy->GetPayloadLen(), 3u);
    EXPECT_EQ(std::memcmp(copy->GetPayload(), "xyz", 3), 0);

    EXPECT_EQ(CpdPacket::FromWire(original.Data(), 15), nullptr);
    EXPECT_EQ(CpdPacket::FromWire(nullptr, 32), nullptr);
}

// Appends never print "please init header first" here: a packet with a buffer always has its
// header initialised, and one without a buffer refuses silently before that check.
TEST_F(PacketHandOver, PacketWithoutBufferRefusesEverythingSilently) {
    CpdPacket packet(64);
    ASSERT_EQ(packet.SetHeader(0x21, 3, 9), 0);
    std::unique_ptr<CpdPacketBuffer> buffer = packet.TakeBuffer();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->capacity, 64u);
    EXPECT_EQ(buffer->data[0], 0x27);

    const uint32_t value = 1;
    uint32_t out = 0;
    std::string text;
    testing::internal::CaptureStdout();
    EXPECT_EQ(packet.SetHeader(0x21, 3, 9), -1);
    EXPECT_EQ(packet.AppendU32(&value), -1);
    EXPECT_EQ(packet.AppendBytes("ab", 2), -1);
    EXPECT_EQ(packet.AppendString("ab"), -1);
    EXPECT_EQ(packet.ReadU32(&out), -1);
    EXPECT_EQ(packet.ReadString(text), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(packet.GetDevId(), 0);
    EXPECT_EQ(packet.GetCmd(), 0);
    EXPECT_EQ(packet.GetSeq(), 0u);
    EXPECT_EQ(packet.GetPayload(), nullptr);
    EXPECT_EQ(packet.GetPayloadLen(), 0u);
    EXPECT_EQ(packet.Capacity(), 0u);
    EXPECT_EQ(packet.Length(), 0u);
    EXPECT_EQ(packet.Data(), nullptr);
}

}  // namespace
}  // namespace cpd
