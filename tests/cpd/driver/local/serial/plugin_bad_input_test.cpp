// Malformed packets from the remote side or the host: each is refused with an Error line, never
// read past the bytes it carries, and the driver serves the next packet as usual.
#include <limits>

#include "plugin_host.h"

namespace cpd::test {
namespace {

constexpr uint8_t kId = 0x21;

PacketBuilder Config(uint32_t msgType, uint32_t len) {
    return std::move(PacketBuilder(kId, SERIAL_CMD_SET_CONFIG).U32(msgType).U32(len));
}

PacketBuilder WritePacket(uint32_t len, const std::string& data) {
    return std::move(PacketBuilder(kId, SERIAL_CMD_WRITE).U32(len).Bytes(data));
}

using PluginBadInput = PluginHostOpen;

TEST_F(PluginBadInput, EachCostsOnlyItsErrorLine) {
    const uint32_t huge = std::numeric_limits<uint32_t>::max();
    const struct {
        std::vector<uint8_t> wire;  // complete wire bytes, header included
        const char* error;          // text of the Error line expected
    } cases[] = {
        {PacketBuilder(kId, SERIAL_CMD_SET_CONFIG).U32(1025).Wire(),
         "SERIAL_CMD_SET_CONFIG dropped"},
        {PacketBuilder(kId, SERIAL_CMD_WRITE).Bytes("ab").Wire(), "SERIAL_CMD_WRITE dropped"},
        {WritePacket(9, "abc").Wire(), "SERIAL_CMD_WRITE dropped: len=9"},
        {WritePacket(huge - 2, "abc").Wire(), "SERIAL_CMD_WRITE dropped"},
        // A len that claims more than the packet carries, checked before any request is served.
        {Config(1025, 16).U32(7).Wire(), "SET_CONFIG dropped: len=16"},
        {Config(4242, huge).U32(7).Wire(), "SET_CONFIG dropped"},
        // Requests whose data is shorter than their record.
        {Config(1025, 2).Bytes("\x01\x02").Wire(), "baud rate request too short"},
        {Config(1026, 12).U32(1).U32(2).U32(3).Wire(), "DRIVER_SET_TIMEOUTS_TO_USER dropped"},
        {Config(1028, 2).Bytes("\x01\x02").Wire(), "line control request too short"},
        {Config(1036, 8).U32(1).U32(2).Wire(), "handflow request too short"},
        {Config(1039, 4).U32(10).Wire(), "SET_READ_LENGTH dropped"},
        // The header's length field disagrees with what arrived: only what arrived may be read.
        {WritePacket(200, "abc").Wire(4096), "SERIAL_CMD_WRITE dropped: len=200"},
        {Config(1025, 64).U32(9600).Wire(huge), "SERIAL_CMD_SET_CONFIG dropped: len=64"},
        {WritePacket(3, "abc").Wire(4), "SERIAL_CMD_WRITE dropped"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.error);
        mLog.Clear();
        const int baudBefore = mAdapter->Settings()->baud;
        EXPECT_EQ(Deliver(CpdPacket::FromWire(bad.wire.data(), bad.wire.size())), 0);
        EXPECT_EQ(mLog.Count("\"Error:\""), 1u);
        EXPECT_EQ(mLog.Count(bad.error), 1u);
        EXPECT_EQ(mLog.Count("cmd: write ok\\n"), 0u);
        EXPECT_EQ(mAdapter->Settings()->baud, baudBefore);

        EXPECT_EQ(Deliver(BaudRate(kId, baudBefore == 19200 ? 38400 : 19200)), 0);
        EXPECT_NE(mAdapter->Settings()->baud, baudBefore);
    }
}

}  // namespace
}  // namespace cpd::test
