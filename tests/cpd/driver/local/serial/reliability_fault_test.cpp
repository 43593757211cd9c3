// Faults on the line under the built plug-in and the real libserialport: the adapter pulled
// while the pump reads, a peer that stops reading, and the driver closed while data flows. The
// driver must keep serving packets, never hang and never crash; it reports nothing back, so what it
// served is read from its log.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plugin_host.h"
#include "reliability_support.h"

namespace cpd::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kWriteFail = "\"cmd: write fail\\n\"";

// Index of the first log line at or after `from` that contains `needle`; -1 if none.
long LineIndex(const std::vector<LogLine>& lines, const std::string& needle, long from = 0) {
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
        if (lines[i].text.find(needle) != std::string::npos) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

class LineFault : public PluginHost {
  protected:
    // Close must come back within one read timeout (the pump's last read) plus a margin.
    void CloseWithin(std::chrono::milliseconds readTimeout) {
        const auto start = Clock::now();
        EXPECT_EQ(mDriver->Close(false), 0);
        EXPECT_LT(Clock::now() - start, readTimeout + kHangGuard);
        mDriver.reset();
    }
    bool WaitForData(const std::string& bytes) {
        return WaitUntil(
            [&] { return ReadData(mDevice->Sent()).find(bytes) != std::string::npos; });
    }
};

// Regression: libserialport polls a hung-up tty until each read times out, so the pump used a
// whole core, silently, until Close.
TEST_F(LineFault, UnplugDuringAReadIdlesThePumpWithOneLogLine) {
    constexpr std::chrono::milliseconds kReadTimeout{200};
    OpenAdapter();
    Deliver(Timeouts(kDevId, kReadTimeout.count()));
    Deliver(StartRead(kDevId));
    PeerSend("before");
    ASSERT_TRUE(WaitForData("before"));

    mAdapter->Unplug();
    EXPECT_LT(ProcessCpuShare(std::chrono::milliseconds(1500)), 0.05);
    EXPECT_EQ(mLog.Count("serial port gone"), 1u);
    EXPECT_EQ(mLog.Count("Read failed"), 0u);
    EXPECT_EQ(Deliver(BaudRate(kDevId, 19200)), 0);
    EXPECT_EQ(Deliver(Write(kDevId, "after")), 0);
    EXPECT_EQ(Deliver(ReadLength(kDevId, 16)), 0);
    EXPECT_EQ(Deliver(StartRead(kDevId)), 0);

    EXPECT_EQ(mLog.Count("\"cmd: 2006 \\n\""), 3u) << "every SET_CONFIG served";
    EXPECT_EQ(mLog.Count(kWriteFail), 1u) << "a hung-up line takes no bytes";
    EXPECT_EQ(mLog.Count("readFromSerialPort start"), 1u) << "the pump kept running";
    CloseWithin(kReadTimeout);
    EXPECT_EQ(mLog.Count("readFromSerialPort end"), 1u);
}

// Each write fails; the packets after them are served, in order.
TEST_F(LineFault, StalledPeerFailsWritesWithoutHoldingUpLaterPackets) {
    OpenAdapter();
    Deliver(Timeouts(kDevId, 50));
    // The first write fills the line; every later one finds no room at all.
    Deliver(Write(kDevId, std::string(1 << 20, 'a')));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Deliver(Write(kDevId, std::string(4096, 'b'))), 0);
    }
    EXPECT_EQ(mLog.Count(kWriteFail), 4u);

    Deliver(BaudRate(kDevId, 57600));
    Deliver(StartRead(kDevId));
    PeerSend("still served");
    ASSERT_TRUE(WaitForData("still served"));
    ASSERT_TRUE(mAdapter->Settings().has_value());
    EXPECT_EQ(mAdapter->Settings()->baud, 57600);

    const std::vector<LogLine> lines = mLog.Lines();
    const long baud = LineIndex(lines, "set baudrate:57600");
    ASSERT_GE(baud, 0);
    EXPECT_EQ(LineIndex(lines, "cmd: write fail", baud), -1) << "a write failed after the baud";
    EXPECT_GT(LineIndex(lines, "readFromSerialPort start", baud), baud);
    CloseWithin(std::chrono::milliseconds(50));
}

class DriverTeardown : public LineFault {};

TEST_F(DriverTeardown, CloseRightAfterLastDeliveredPacketWhileEchoFlows) {
    const int threadsBefore = ThreadBaseline();
    vserial::EchoDevice echo(*mAdapter);
    OpenAdapter();
    // A fresh tty obeys XON/XOFF until the remote's handflow request turns it off; random
    // bytes include both.
    const uint32_t noFlowControl[4] = {0, 0, 0, 0};
    Deliver(SetConfig(kDevId, DRIVER_SET_HANDFLOW_TO_USER, noFlowControl, 16).Build());
    Deliver(Timeouts(kDevId, 5));
    Deliver(ReadLength(kDevId, 64));
    Deliver(StartRead(kDevId));

    // The host's delivering thread sends writes and settings up to the last moment; the calling
    // thread closes the moment the last onEvent has returned, with echoed bytes still arriving.
    std::string written;
    std::thread delivering([&] {
        std::mt19937 random(7);
        for (int i = 0; i < 400; ++i) {
            std::string chunk(1 + random() % 300, '\0');
            for (char& c : chunk) {
                c = static_cast<char>(random());
            }
            Deliver(Write(kDevId, chunk));
            written += chunk;
            if (i % 50 == 0) {
                Deliver(ReadLength(kDevId, 1 + random() % 5000));
            }
        }
    });
    delivering.join();
    CloseWithin(std::chrono::milliseconds(5));

    const std::vector<SentPacket> sent = mDevice->Sent();
    const std::string echoed = ReadData(sent);
    EXPECT_EQ(written.compare(0, echoed.size(), echoed), 0) << "echo is a prefix of the writes";
    uint32_t expectedSeq = 1;
    for (const SentPacket& p : sent) {
        EXPECT_EQ(p.Seq(), expectedSeq++);
    }
    EXPECT_EQ(mLog.Count(kWriteFail), 0u);
    EXPECT_TRUE(ThreadsSettleAt(threadsBefore + 1)) << "only the echo thread remains";
}

}  // namespace
}  // namespace cpd::test
