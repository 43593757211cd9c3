// What the host sees when it loads the plug-in and opens a device: the module descriptor, the
// one configuration report, and a driver that keeps serving when its port could not be opened.
#include <libserialport.h>

#include <cstring>

#include "plugin_host.h"

namespace cpd::test {
namespace {

template <typename T>
T At(const unsigned char* bytes, size_t offset) {
    T value{};
    std::memcpy(&value, bytes + offset, sizeof(value));
    return value;
}

using PluginStart = PluginHost;

TEST_F(PluginStart, DescriptorCarriesOpenFunctionNameAndHostFields) {
    const unsigned char* d = mPlugin->ModuleBytes();
    EXPECT_NE(At<void*>(d, 0), nullptr);
    EXPECT_EQ(At<void*>(d, 8), nullptr);
    EXPECT_EQ(At<uint16_t>(d, 16), 11);
    EXPECT_EQ(At<uint16_t>(d, 18), 0xFFFF);
    EXPECT_EQ(At<uint16_t>(d, 20), 0xFFFF);
    EXPECT_EQ(At<uint16_t>(d, 22), 0);
    EXPECT_STREQ(At<const char*>(d, 24), "local-serial-redir");
    EXPECT_EQ(At<int32_t>(d, 32), -1);
    for (size_t offset = 36; offset < 48; ++offset) {
        EXPECT_EQ(d[offset], 0) << "offset " << offset;
    }
}

TEST_F(PluginStart, ReportsAdapterSettingsOnceOnOpen) {
    Open(mAdapter->Description(), 0x1A5);
    ASSERT_NE(mDriver, nullptr);

    const std::vector<SentPacket> sent = mDevice->Sent();
    ASSERT_EQ(sent.size(), 1u);
    const SentPacket& report = sent[0];
    EXPECT_EQ(report.Cmd(), SERIAL_CMD_REDIR_CONFIG);
    EXPECT_EQ(report.Seq(), 1u);
    EXPECT_EQ(report.Header().devId, 0xA5);
    EXPECT_EQ(report.Header().length, 52u);
    EXPECT_EQ(report.bytes.size(), 52u);
    EXPECT_EQ(report.arg, -1);

    const vserial::LineSettings line = *mAdapter->Settings();
    const int xonXoff = (line.xonInput ? SP_XONXOFF_IN : 0) | (line.xonOutput ? SP_XONXOFF_OUT : 0);
    EXPECT_EQ(report.U32At(0), static_cast<uint32_t>(line.baud));
    EXPECT_EQ(report.U32At(4), static_cast<uint32_t>(line.dataBits));
    // Right after open the library cannot tell the parity apart and says -1: all four bytes 0xFF.
    EXPECT_EQ(report.U32At(8), 0xFFFFFFFFu);
    EXPECT_EQ(report.U32At(12), static_cast<uint32_t>(line.stopBits));
    EXPECT_EQ(report.U32At(16), mAdapter->Rts() ? uint32_t{SP_RTS_ON} : uint32_t{SP_RTS_OFF});
    EXPECT_EQ(report.U32At(20), uint32_t{SP_CTS_IGNORE});
    EXPECT_EQ(report.U32At(24), mAdapter->Dtr() ? uint32_t{SP_DTR_ON} : uint32_t{SP_DTR_OFF});
    EXPECT_EQ(report.U32At(28), uint32_t{SP_DSR_IGNORE});
    EXPECT_EQ(report.U32At(32), static_cast<uint32_t>(xonXoff));
}

TEST_F(PluginStart, ReportFollowsSettingsLeftByPreviousUser) {
    OpenAdapter();
    Deliver(BaudRate(kDevId, 57600));
    Deliver(LineControl(kDevId, 2, SP_PARITY_EVEN, 7));
    mDriver.reset();

    Open(mAdapter->Description());
    ASSERT_NE(mDriver, nullptr);
    const std::vector<SentPacket> reports = PacketsOfCmd(SERIAL_CMD_REDIR_CONFIG);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].U32At(0), 57600u);
    EXPECT_EQ(reports[0].U32At(4), 7u);
    EXPECT_EQ(reports[0].U32At(8), uint32_t{SP_PARITY_EVEN});
    EXPECT_EQ(reports[0].U32At(12), 2u);
}

TEST_F(PluginStart, MissingPortStillYieldsServingDriver) {
    Open("no adapter has this description");
    ASSERT_NE(mDriver, nullptr);
    EXPECT_EQ(mLog.Count("OpenSerialDev fail"), 1u);
    EXPECT_TRUE(mDevice->Sent().empty());

    EXPECT_EQ(Deliver(BaudRate(kDevId, 115200)), 0);
    EXPECT_EQ(Deliver(Write(kDevId, "lost")), 0);
    EXPECT_EQ(mLog.Count("cmd: write fail\\n"), 1u);

    // With no port every read fails at once; the pump must still stop when the driver closes.
    EXPECT_EQ(Deliver(StartRead(kDevId)), 0);
    EXPECT_TRUE(mLog.WaitFor("Read failed: Invalid arguments", kPatience));
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(mLog.Count("readFromSerialPort end"), 1u);
    EXPECT_TRUE(mDevice->Sent().empty());
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

TEST_F(PluginStart, RefusedOpenLeavesAdapterClosed) {
    mAdapter->RefuseOpen(EBUSY);
    Open(mAdapter->Description());
    ASSERT_NE(mDriver, nullptr);
    EXPECT_EQ(mLog.Count("OpenSerialDev fail"), 1u);
    EXPECT_TRUE(mDevice->Sent().empty());
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

}  // namespace
}  // namespace cpd::test
