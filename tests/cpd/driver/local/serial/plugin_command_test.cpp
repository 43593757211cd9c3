// The remote side's commands arriving through the host: settings reach the adapter, writes reach
// the peer, failures and unknown commands leave the driver serving the next packet.
#include "plugin_host.h"

namespace cpd::test {
namespace {

class PluginCommands : public PluginHost {
  protected:
    void SetUp() override {
        PluginHost::SetUp();
        if (!HasFatalFailure()) {
            OpenAdapter();
        }
    }
};

TEST_F(PluginCommands, BaudRateRequestReachesAdapter) {
    EXPECT_EQ(Deliver(BaudRate(kDevId, 115200)), 0);
    EXPECT_EQ(mAdapter->Settings()->baud, 115200);
    EXPECT_EQ(Deliver(BaudRate(kDevId, 1200)), 0);
    EXPECT_EQ(mAdapter->Settings()->baud, 1200);
}

TEST_F(PluginCommands, LineControlSetsWordLengthParityAndStopBits) {
    Deliver(LineControl(kDevId, 2, 1, 7));
    vserial::LineSettings line = *mAdapter->Settings();
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parity, vserial::Parity::kOdd);
    EXPECT_EQ(line.stopBits, 2);

    // A word length the port refuses must not keep the other two from being applied.
    Deliver(LineControl(kDevId, 1, 2, 9));
    line = *mAdapter->Settings();
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parity, vserial::Parity::kEven);
    EXPECT_EQ(line.stopBits, 1);
}

TEST_F(PluginCommands, ClearDtrPulsesLineAndLeavesItRaised) {
    const size_t before = mAdapter->LineEvents().size();
    Deliver(Request(kDevId, DRIVER_CLR_DTR_TO_USER));
    const std::vector<vserial::LineEvent> events = mAdapter->LineEvents();
    ASSERT_EQ(events.size(), before + 2);
    EXPECT_EQ(events[before], (vserial::LineEvent{vserial::ModemLine::kDtr, false}));
    EXPECT_EQ(events[before + 1], (vserial::LineEvent{vserial::ModemLine::kDtr, true}));
    EXPECT_TRUE(mAdapter->Dtr());
}

TEST_F(PluginCommands, HandflowRequestTurnsFlowControlOff) {
    ASSERT_TRUE(mAdapter->Settings()->xonOutput);  // the adapter starts with XON/XOFF output
    const int32_t handflow[4] = {0x01, 0x40, 2048, 512};
    Deliver(SetConfig(kDevId, DRIVER_SET_HANDFLOW_TO_USER, handflow, sizeof(handflow)).Build());
    const vserial::LineSettings line = *mAdapter->Settings();
    EXPECT_FALSE(line.xonOutput);
    EXPECT_FALSE(line.xonInput);
    EXPECT_FALSE(line.rtsCts);
}

TEST_F(PluginCommands, PurgeAndUnknownRequestsLeavePortAsItWas) {
    const vserial::LineSettings before = *mAdapter->Settings();
    const size_t events = mAdapter->LineEvents().size();
    Deliver(Request(kDevId, DRIVER_SERIAL_PURGE_TO_USER));
    const uint32_t junk = 0xDEADBEEF;
    Deliver(SetConfig(kDevId, 0x407, &junk, sizeof(junk)).Build());
    const vserial::LineSettings after = *mAdapter->Settings();
    EXPECT_EQ(after.baud, before.baud);
    EXPECT_EQ(after.dataBits, before.dataBits);
    EXPECT_EQ(after.parity, before.parity);
    EXPECT_EQ(after.stopBits, before.stopBits);
    EXPECT_EQ(after.xonOutput, before.xonOutput);
    EXPECT_EQ(mAdapter->LineEvents().size(), events);
    EXPECT_EQ(mLog.Count("\"Error:\""), 0u);
}

TEST_F(PluginCommands, WrittenBytesReachPeerInOrder) {
    const std::string first("hello\0\xFF\r\n", 9);
    const std::string second(300, '\x55');
    EXPECT_EQ(Deliver(Write(kDevId, first)), 0);
    EXPECT_EQ(Deliver(Write(kDevId, second)), 0);
    EXPECT_EQ(Deliver(Write(kDevId, "")), 0);
    EXPECT_EQ(PeerReceive(first.size() + second.size()), first + second);
    EXPECT_EQ(mLog.Count("cmd: write ok\\n"), 3u);
}

TEST_F(PluginCommands, WriteToStalledPeerFailsAndNextPacketIsServed) {
    // The peer reads nothing, so the line's buffers fill long before 64 KiB have left.
    EXPECT_EQ(Deliver(Write(kDevId, std::string(64 * 1024, 'x'))), 0);
    EXPECT_EQ(mLog.Count("cmd: write fail\\n"), 1u);

    Deliver(BaudRate(kDevId, 38400));
    EXPECT_EQ(mAdapter->Settings()->baud, 38400);
    EXPECT_EQ(mDevice->Sent().size(), 1u) << "no command is answered";
}

TEST_F(PluginCommands, UnknownCommandsAreOnlyLogged) {
    const vserial::LineSettings before = *mAdapter->Settings();
    for (uint16_t cmd :
         {uint16_t{SERIAL_CMD_REDIR_CONFIG}, uint16_t{SERIAL_CMD_READ_DATA}, uint16_t{1234}}) {
        PacketBuilder packet(kDevId, cmd);
        packet.U32(DRIVER_SET_BAUD_RATE_TO_USER).U32(4).U32(300);
        EXPECT_EQ(Deliver(packet.Build()), 0);
        EXPECT_EQ(mLog.Count("cmd: " + std::to_string(cmd) + " \\n"), 1u);
    }
    EXPECT_EQ(mAdapter->Settings()->baud, before.baud);
    EXPECT_EQ(mDevice->Sent().size(), 1u);
    EXPECT_EQ(mLog.Count("readFromSerialPort start"), 0u);
}

}  // namespace
}  // namespace cpd::test
