// The built plug-in as the host meets it (the descriptor's fields are checked on the shipping
// DLL): the configuration report on open, packet addressing and the closed state, commands reaching
// the line, and the read pump.
#include <dirent.h>
#include <fcntl.h>
#include <libserialport.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <set>

#include "plugin_host.h"

namespace cpd::test {
namespace {

using PluginStart = PluginHost;

// The report reads the port, so it shows what the previous user left, not the library defaults.
TEST_F(PluginStart, ReportsTheLineAsThePreviousUserLeftIt) {
    Open(mAdapter->Description(), 0x1A5);
    ASSERT_NE(mDriver, nullptr);
    Deliver(BaudRate(0xA5, 57600));
    Deliver(LineControl(0xA5, 2, SP_PARITY_EVEN, 7));
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
    const int expected[9] = {
        57600,
        7,
        SP_PARITY_EVEN,
        2,
        mAdapter->Rts() ? SP_RTS_ON : SP_RTS_OFF,
        SP_CTS_IGNORE,
        mAdapter->Dtr() ? SP_DTR_ON : SP_DTR_OFF,
        SP_DSR_IGNORE,
        (line.xonInput ? SP_XONXOFF_IN : 0) | (line.xonOutput ? SP_XONXOFF_OUT : 0)};
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(report.U32At(4 * i), static_cast<uint32_t>(expected[i])) << "field " << i;
    }
}

// Only the exact description selects a port, and a port that refuses to open is left free;
// the driver serves either way.
TEST_F(PluginStart, MissingPortStillYieldsServingDriver) {
    std::string lower = mAdapter->Description();
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    for (const std::string& args : {lower, mAdapter->Description() + " ", std::string()}) {
        Open(args);
        ASSERT_NE(mDriver, nullptr);
    }
    mAdapter->RefuseOpen(EBUSY);
    OpenAdapter();
    EXPECT_EQ(mLog.Count("OpenSerialDev fail"), 4u);
    EXPECT_EQ(mLog.Count("sp_open failed"), 4u);
    EXPECT_EQ(mAdapter->OpenCount(), 0);
    EXPECT_EQ(Deliver(BaudRate(kDevId, 115200)), 0);
    EXPECT_EQ(Deliver(Write(kDevId, "lost")), 0);
    EXPECT_EQ(mLog.Count("cmd: write fail\\n"), 1u);

    // With no port every read fails at once. Regression: the pump retried at once, millions of
    // Error lines a second on a whole core; one a read timeout is the most it may log.
    Deliver(Timeouts(kDevId, 200));
    EXPECT_EQ(Deliver(StartRead(kDevId)), 0);
    EXPECT_TRUE(mLog.WaitFor("Read failed: Invalid arguments", kHangGuard));
    const size_t failedBefore = mLog.Count("Read failed");
    double seconds = 0;
    EXPECT_LT(ProcessCpuShare(std::chrono::milliseconds(1000), &seconds), 0.05);
    EXPECT_LE(mLog.Count("Read failed") - failedBefore, seconds / 0.2 + 1);
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(mLog.Count("readFromSerialPort end"), 1u);
    EXPECT_TRUE(mDevice->Sent().empty());
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

class PluginDriver : public PluginHostOpen {
  protected:
    CpdRawDriver* Raw() { return static_cast<CpdRawDriver*>(mDriver.get()); }
};

TEST_F(PluginDriver, ServesOnlyPacketsForTheLowByteOfItsDeviceId) {
    EXPECT_EQ(Deliver(BaudRate(kDevId + 1, 115200)), -1);
    EXPECT_EQ(mLog.Count("this packet is other device myDevId: 33, DevId: 34\\n"), 1u);
    EXPECT_EQ(mLog.Count("cmd: 2006 \\n"), 0u) << "the redirection never saw it";

    Open(mAdapter->Description(), 0x321);
    ASSERT_NE(mDriver, nullptr);
    EXPECT_EQ(Deliver(BaudRate(0x03, 1200)), -1);
    EXPECT_EQ(Deliver(BaudRate(0x21, 115200)), 0);
    EXPECT_EQ(mAdapter->Settings()->baud, 115200);
}

TEST_F(PluginDriver, OnlyTheFirstCloseReachesTheRedirection) {
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(mDriver->Close(true), 0);
    EXPECT_EQ(mLog.Count("close\\n"), 2u);
    EXPECT_EQ(mLog.Count("enter \\n"), 1u);
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

TEST_F(PluginDriver, PacketsAfterCloseAreDropped) {
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(Deliver(BaudRate(kDevId, 115200)), 0);
    EXPECT_EQ(mLog.Count("operator not init"), 1u);
    EXPECT_EQ(mLog.Count("cmd: 2006 \\n"), 0u);
}

TEST_F(PluginDriver, DriverObjIsSerialViewSharingTheRedirection) {
    EXPECT_EQ(mDriver->GetTypeName(), "RawDrv");
    uint16_t out = 0;
    EXPECT_EQ(mDriver->HostOp5(3, &out, nullptr), -1);
    EXPECT_EQ(out, 5382);
    std::shared_ptr<DriverObj> obj = Raw()->GetDriverObj();
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->GetTypeName(), "serial");
    EXPECT_FALSE(obj->ObjQuery1());

    // The host's reference keeps the redirection, and so the port, alive past Close.
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(Raw()->GetDriverObj(), nullptr);
    EXPECT_EQ(mAdapter->OpenCount(), 1);
    obj.reset();
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

using PluginCommands = PluginHostOpen;

TEST_F(PluginCommands, WrittenBytesReachPeerInOrder) {
    std::string first;
    for (int i = 0; i < 256; ++i) {
        first.push_back(static_cast<char>(i));  // including those a terminal would act on
    }
    EXPECT_EQ(Deliver(Write(kDevId, first)), 0);
    EXPECT_EQ(Deliver(Write(kDevId, "")), 0);
    EXPECT_EQ(Deliver(Write(kDevId, "next")), 0);
    EXPECT_EQ(PeerReceive(first.size() + 4), first + "next");
    EXPECT_EQ(mLog.Count("cmd: write ok\\n"), 3u);
}

// A setting the device refuses is reported and leaves the line as it was.
TEST_F(PluginCommands, RefusedSettingLeavesTheLineAsItWas) {
    const int baud = mAdapter->Settings()->baud;
    mAdapter->RefuseSettings(true);
    EXPECT_EQ(Deliver(BaudRate(kDevId, 57600)), 0);
    EXPECT_EQ(mLog.Count("\"Error:\" \"sp_set_baudrate failed\""), 1u);
    EXPECT_EQ(mAdapter->Settings()->baud, baud);
    mAdapter->RefuseSettings(false);
    EXPECT_EQ(Deliver(BaudRate(kDevId, 57600)), 0);
    EXPECT_EQ(mAdapter->Settings()->baud, 57600);
}

// Regression: RTS/CTS that an earlier program left on survived the request (libserialport
// leaves CRTSCTS alone), and with CTS low every write then timed out.
TEST_F(PluginCommands, HandshakeRequestSwitchesOffEveryFlowControl) {
    const int earlier = ::open(mAdapter->PortName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(earlier, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(earlier, &settings), 0);
    settings.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(earlier, TCSANOW, &settings), 0);
    ::close(earlier);
    ASSERT_TRUE(mAdapter->Settings()->rtsCts);
    const int32_t handflow[4] = {0x08 /* CTS handshake */, 0x80 /* RTS handshake */, 2048, 512};
    Deliver(SetConfig(kDevId, DRIVER_SET_HANDFLOW_TO_USER, handflow, sizeof(handflow)).Build());
    const vserial::LineSettings line = *mAdapter->Settings();
    EXPECT_FALSE(line.rtsCts || line.xonInput || line.xonOutput);
}

using PluginPump = PluginHostOpen;

std::set<int> TaskIds() {
    std::set<int> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ids.insert(std::atoi(entry->d_name));
            }
        }
        closedir(dir);
    }
    return ids;
}

// Times the thread gave up or lost the CPU: a thread that sleeps through has none.
long ContextSwitches(int tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    long total = 0;
    for (std::string key; status >> key;) {
        long value = 0;
        if ((key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") &&
            status >> value) {
            total += value;
        }
    }
    return total;
}

// A quiet port costs nothing at any read timeout: the pump sleeps until bytes come, still
// carries them when they do, and Stop wakes it at once. Regression: the pump turned once per
// read timeout (1.5% of a core at 1 ms), and Stop waited out the timeout in progress.
TEST_F(PluginPump, QuietPortPumpSleepsUntilBytesOrStopWakeIt) {
    Deliver(Timeouts(kDevId, 1));
    const std::set<int> before = TaskIds();
    Deliver(StartRead(kDevId));
    ASSERT_TRUE(mLog.WaitFor("readFromSerialPort start", kHangGuard));
    std::vector<int> pump;
    const std::set<int> after = TaskIds();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(pump));
    ASSERT_EQ(pump.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into its wait
    const long switches = ContextSwitches(pump[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // 300 turns at 1 ms
    EXPECT_LE(ContextSwitches(pump[0]) - switches, 2) << "the pump turned on a quiet port";

    PeerSend("wake");
    ASSERT_TRUE(WaitUntil([&] { return ReadData(mDevice->Sent()) == "wake"; }));
    Deliver(Timeouts(kDevId, 4000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mDriver->Close(false), 0);
    // Far below the 4 s a pump waiting out its read timeout would keep Close.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
}

TEST_F(PluginPump, WaitingBytesComeBackInReadLengthPacketsNumberedAfterTheReport) {
    const std::string waiting = std::string("ab\0\xFF", 4) + "CDEFGHIJKLMNOPQRSTUVW";
    PeerSend(waiting);
    Deliver(ReadLength(kDevId, 10));
    Deliver(Timeouts(kDevId, 50));
    // A purge must not flush: the bytes already waiting still come back.
    Deliver(SetConfig(kDevId, DRIVER_SERIAL_PURGE_TO_USER, nullptr, 0).Build());
    Deliver(StartRead(kDevId));
    Deliver(StartRead(kDevId));  // a second one starts no second pump

    mDevice->WaitForPackets(4, kHangGuard);
    const std::vector<SentPacket> data = PacketsOfCmd(SERIAL_CMD_READ_DATA);
    ASSERT_EQ(data.size(), 3u);
    std::string got;
    for (size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i].Header().devId, kDevId);
        EXPECT_EQ(data[i].Seq(), i + 2) << "numbered after the configuration report";
        EXPECT_EQ(data[i].U32At(0), i < 2 ? 10u : 5u);
        EXPECT_EQ(data[i].Header().length, 20u + data[i].U32At(0));
        EXPECT_EQ(data[i].arg, -1);
        got.append(reinterpret_cast<const char*>(data[i].Payload()) + 4, data[i].U32At(0));
    }
    EXPECT_EQ(got, waiting);
    EXPECT_EQ(mLog.Count("readFromSerialPort start"), 1u);
}

TEST_F(PluginPump, DestroyingDriverStopsPumpBeforeReleasingPort) {
    Deliver(Timeouts(kDevId, 50));
    Deliver(StartRead(kDevId));
    ASSERT_TRUE(mLog.WaitFor("readFromSerialPort start", kHangGuard));

    delete mDriver.release();  // no Close: the host may drop a running driver

    const std::vector<LogLine> lines = mLog.Lines();
    auto at = [&](const std::string& needle) {
        return std::find_if(lines.begin(), lines.end(), [&](const LogLine& line) {
            return line.text.find(needle) != std::string::npos;
        });
    };
    ASSERT_NE(at("readFromSerialPort end"), lines.end());
    EXPECT_LT(at("readFromSerialPort end"), at("mLibusbEventThread exit"));
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

}  // namespace
}  // namespace cpd::test
