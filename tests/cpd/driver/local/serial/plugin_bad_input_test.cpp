// Malformed packets from the remote side or the host: each is refused with an Error line, never
// read past the bytes it carries, and the driver serves the next packet as usual.
#include <limits>
#include <ostream>

#include "plugin_host.h"

namespace cpd::test {
namespace {

constexpr uint8_t kId = 0x21;

struct BadPacket {
    const char* name;
    std::vector<uint8_t> wire;  // complete wire bytes, header included
    const char* error;          // text of the Error line expected
};

void PrintTo(const BadPacket& bad, std::ostream* os) {
    *os << bad.name;
}

std::vector<uint8_t> Wire(const PacketBuilder& builder) {
    std::unique_ptr<CpdPacket> packet = builder.Build();
    return std::vector<uint8_t>(packet->Data(), packet->Data() + packet->Length());
}

PacketBuilder ConfigHead(uint32_t msgType, uint32_t len) {
    PacketBuilder builder(kId, SERIAL_CMD_SET_CONFIG);
    builder.U32(msgType).U32(len);
    return builder;
}

std::vector<BadPacket> BadPackets() {
    std::vector<BadPacket> cases;
    const uint32_t huge = std::numeric_limits<uint32_t>::max();
    cases.push_back({"SetConfigEmpty", Wire(PacketBuilder(kId, SERIAL_CMD_SET_CONFIG)),
                     "SERIAL_CMD_SET_CONFIG dropped"});
    cases.push_back({"SetConfigMsgTypeOnly",
                     Wire(PacketBuilder(kId, SERIAL_CMD_SET_CONFIG).U32(1025)),
                     "SERIAL_CMD_SET_CONFIG dropped"});
    cases.push_back(
        {"WriteEmpty", Wire(PacketBuilder(kId, SERIAL_CMD_WRITE)), "SERIAL_CMD_WRITE dropped"});
    cases.push_back({"WriteShortLength", Wire(PacketBuilder(kId, SERIAL_CMD_WRITE).Bytes("ab")),
                     "SERIAL_CMD_WRITE dropped"});
    cases.push_back({"WriteLenBeyondData",
                     Wire(PacketBuilder(kId, SERIAL_CMD_WRITE).U32(9).Bytes("abc")),
                     "SERIAL_CMD_WRITE dropped: len=9"});
    cases.push_back({"WriteLenNear4G",
                     Wire(PacketBuilder(kId, SERIAL_CMD_WRITE).U32(huge - 2).Bytes("abc")),
                     "SERIAL_CMD_WRITE dropped"});
    // Every request whose len claims more than the packet carries, and a len near 2^32.
    for (uint32_t msgType : {1025u, 1026u, 1028u, 1030u, 1036u, 1038u, 1039u, 4242u}) {
        cases.push_back({"LenBeyondData", Wire(ConfigHead(msgType, 16).U32(7)),
                         "SERIAL_CMD_SET_CONFIG dropped: len=16"});
        cases.push_back(
            {"LenNear4G", Wire(ConfigHead(msgType, huge).U32(7)), "SERIAL_CMD_SET_CONFIG dropped"});
    }
    // Requests whose data is shorter than their record.
    cases.push_back({"BaudRateShort", Wire(ConfigHead(1025, 2).Bytes("\x01\x02")),
                     "baud rate request too short"});
    cases.push_back({"TimeoutsShort", Wire(ConfigHead(1026, 12).U32(1).U32(2).U32(3)),
                     "DRIVER_SET_TIMEOUTS_TO_USER dropped"});
    cases.push_back({"LineControlShort", Wire(ConfigHead(1028, 2).Bytes("\x01\x02")),
                     "line control request too short"});
    cases.push_back(
        {"HandflowShort", Wire(ConfigHead(1036, 8).U32(1).U32(2)), "handflow request too short"});
    cases.push_back(
        {"ReadLengthShort", Wire(ConfigHead(1039, 4).U32(10)), "SET_READ_LENGTH dropped"});
    // The header claims more bytes than arrived: only what arrived may be read.
    cases.push_back(
        {"LengthFieldLiesWrite",
         PacketBuilder(kId, SERIAL_CMD_WRITE).U32(200).Bytes("abc").WireWithLength(4096),
         "SERIAL_CMD_WRITE dropped: len=200"});
    cases.push_back({"LengthFieldLiesConfig", ConfigHead(1025, 64).U32(9600).WireWithLength(huge),
                     "SERIAL_CMD_SET_CONFIG dropped: len=64"});
    return cases;
}

class PluginBadInput : public PluginHost, public ::testing::WithParamInterface<BadPacket> {
  protected:
    void SetUp() override {
        PluginHost::SetUp();
        if (!HasFatalFailure()) {
            OpenAdapter();
        }
    }

    // The driver still serves: a baud rate change takes effect.
    void ExpectStillServing() {
        EXPECT_EQ(Deliver(BaudRate(kId, 19200)), 0);
        EXPECT_EQ(mAdapter->Settings()->baud, 19200);
    }
};

TEST_P(PluginBadInput, RefusedWithErrorAndNextPacketServed) {
    const BadPacket& bad = GetParam();
    const int baudBefore = mAdapter->Settings()->baud;
    EXPECT_EQ(Deliver(CpdPacket::FromWire(bad.wire.data(), bad.wire.size())), 0);
    bool reported = false;
    for (const LogLine& line : mLog.Lines()) {
        if (line.level == 7 && line.text.find(bad.error) != std::string::npos) {
            reported = true;
        }
    }
    EXPECT_TRUE(reported) << "no Error line with: " << bad.error;
    EXPECT_EQ(mAdapter->Settings()->baud, baudBefore);
    ExpectStillServing();
}

INSTANTIATE_TEST_SUITE_P(Packets, PluginBadInput, ::testing::ValuesIn(BadPackets()),
                         [](const ::testing::TestParamInfo<BadPacket>& info) {
                             return std::string(info.param.name) + "_" + std::to_string(info.index);
                         });

using PluginOddPackets = PluginHost;

TEST_F(PluginOddPackets, PacketWithoutBufferIsHarmless) {
    Open(mAdapter->Description(), 0x100);  // low byte 0: such a packet passes the address check
    ASSERT_NE(mDriver, nullptr);
    std::unique_ptr<CpdPacket> hollow = BaudRate(0, 300);
    hollow->TakeBuffer();
    EXPECT_EQ(Deliver(std::move(hollow)), 0);
    EXPECT_EQ(Deliver(nullptr), 0);
    EXPECT_EQ(Deliver(BaudRate(0, 19200)), 0);
    EXPECT_EQ(mAdapter->Settings()->baud, 19200);
}

TEST_F(PluginOddPackets, PacketWithoutBufferIsRefusedByOtherDevices) {
    OpenAdapter();
    std::unique_ptr<CpdPacket> hollow = BaudRate(kDevId, 300);
    hollow->TakeBuffer();
    EXPECT_EQ(Deliver(std::move(hollow)), -1);
    EXPECT_EQ(Deliver(nullptr), -1);
    EXPECT_EQ(mLog.Count("DevId: 0\\n"), 2u);
}

TEST_F(PluginOddPackets, HeaderLengthBelowHeaderSizeCarriesNothing) {
    OpenAdapter();
    const std::vector<uint8_t> wire =
        PacketBuilder(kDevId, SERIAL_CMD_WRITE).U32(3).Bytes("abc").WireWithLength(4);
    EXPECT_EQ(Deliver(CpdPacket::FromWire(wire.data(), wire.size())), 0);
    EXPECT_EQ(mLog.Count("SERIAL_CMD_WRITE dropped"), 1u);
    EXPECT_EQ(mLog.Count("cmd: write ok\\n"), 0u);
}

}  // namespace
}  // namespace cpd::test
