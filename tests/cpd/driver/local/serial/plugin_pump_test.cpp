// The read pump as the remote side sees it: the peer's bytes come back as data packets, split by
// the read length, numbered after the report, and not lost when the driver closes mid-read.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "plugin_host.h"

namespace cpd::test {
namespace {

class PluginPump : public PluginHost {
  protected:
    void SetUp() override {
        PluginHost::SetUp();
        if (!HasFatalFailure()) {
            OpenAdapter();
        }
    }

    // Waits for `count` data packets and returns them.
    std::vector<SentPacket> WaitForData(size_t count) {
        mDevice->WaitForPackets(count + 1, kPatience);  // +1: the configuration report
        return PacketsOfCmd(SERIAL_CMD_READ_DATA);
    }

    static std::string DataOf(const SentPacket& p) {
        return std::string(reinterpret_cast<const char*>(p.Payload()) + 4, p.U32At(0));
    }
};

TEST_F(PluginPump, PeerBytesComeBackAsReadData) {
    Deliver(Timeouts(kDevId, 50));
    Deliver(StartRead(kDevId));
    PeerSend(std::string("ab\0\xFF", 4));

    const std::vector<SentPacket> data = WaitForData(1);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].Header().devId, kDevId);
    EXPECT_EQ(data[0].Seq(), 2u) << "numbered after the configuration report";
    EXPECT_EQ(data[0].U32At(0), 4u);
    EXPECT_EQ(data[0].Header().length, 24u);
    EXPECT_EQ(data[0].bytes.size(), 24u);
    EXPECT_EQ(DataOf(data[0]), std::string("ab\0\xFF", 4));
    EXPECT_EQ(data[0].arg, -1);
}

TEST_F(PluginPump, ReadLengthSplitsWaitingBytes) {
    std::string waiting;
    for (int i = 0; i < 25; ++i) {
        waiting.push_back(static_cast<char>('A' + i));
    }
    PeerSend(waiting);
    Deliver(ReadLength(kDevId, 10));
    Deliver(Timeouts(kDevId, 50));
    Deliver(StartRead(kDevId));

    const std::vector<SentPacket> data = WaitForData(3);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0].U32At(0), 10u);
    EXPECT_EQ(data[1].U32At(0), 10u);
    EXPECT_EQ(data[2].U32At(0), 5u);
    EXPECT_EQ(DataOf(data[0]) + DataOf(data[1]) + DataOf(data[2]), waiting);
    EXPECT_EQ(data[0].Seq(), 2u);
    EXPECT_EQ(data[1].Seq(), 3u);
    EXPECT_EQ(data[2].Seq(), 4u);
}

TEST_F(PluginPump, SecondStartReadStartsNoSecondPump) {
    Deliver(Timeouts(kDevId, 50));
    Deliver(StartRead(kDevId));
    Deliver(StartRead(kDevId));
    PeerSend("x");
    ASSERT_EQ(WaitForData(1).size(), 1u);
    EXPECT_EQ(mLog.Count("readFromSerialPort start"), 1u);
}

TEST_F(PluginPump, CloseDuringBlockedReadSendsWhatThatReadGot) {
    // The read wants 10 bytes and gets 3, so it sits out its whole timeout.
    Deliver(ReadLength(kDevId, 10));
    Deliver(Timeouts(kDevId, 1000));

    // The line's input queue shows when the bytes have landed and when the pump's read took
    // them; only then is Close certain to find the read in progress.
    const int line = open(mAdapter->PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    auto waitQueued = [line](int wanted) {
        int queued = -1;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while ((ioctl(line, FIONREAD, &queued) != 0 || queued != wanted) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return queued == wanted;
    };
    PeerSend("abc");
    const bool landed = waitQueued(3);
    Deliver(StartRead(kDevId));
    const bool taken = waitQueued(0);
    close(line);
    ASSERT_TRUE(landed);
    ASSERT_TRUE(taken);
    ASSERT_TRUE(PacketsOfCmd(SERIAL_CMD_READ_DATA).empty());

    EXPECT_EQ(mDriver->Close(false), 0);
    const std::vector<SentPacket> data = PacketsOfCmd(SERIAL_CMD_READ_DATA);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(DataOf(data[0]), "abc");
    EXPECT_EQ(mLog.Count("readFromSerialPort end"), 1u);
}

TEST_F(PluginPump, DestroyingDriverStopsPumpBeforeReleasingPort) {
    Deliver(Timeouts(kDevId, 50));
    Deliver(StartRead(kDevId));
    ASSERT_TRUE(mLog.WaitFor("readFromSerialPort start", kPatience));

    delete mDriver.release();  // no Close: the host may drop a running driver

    const std::vector<LogLine> lines = mLog.Lines();
    auto indexOf = [&](const std::string& needle) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].text.find(needle) != std::string::npos) {
                return static_cast<long>(i);
            }
        }
        return -1L;
    };
    const long pumpEnd = indexOf("readFromSerialPort end");
    const long portReleased = indexOf("mLibusbEventThread exit");
    ASSERT_GE(pumpEnd, 0);
    ASSERT_GE(portReleased, 0);
    EXPECT_LT(pumpEnd, portReleased);
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

TEST_F(PluginPump, UnpluggedAdapterFailsWritesAndStillCloses) {
    Deliver(Timeouts(kDevId, 50));
    Deliver(StartRead(kDevId));
    ASSERT_TRUE(mLog.WaitFor("readFromSerialPort start", kPatience));
    mAdapter->Unplug();
    EXPECT_EQ(Deliver(Write(kDevId, "gone")), 0);
    EXPECT_EQ(mLog.Count("cmd: write fail\\n"), 1u);
    EXPECT_EQ(mDriver->Close(false), 0);
    EXPECT_EQ(mLog.Count("readFromSerialPort end"), 1u);
}

}  // namespace
}  // namespace cpd::test
