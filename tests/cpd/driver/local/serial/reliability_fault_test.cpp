// Faults on the line under the built plug-in and the real libserialport: the adapter pulled
// while the pump reads or a write is in flight, a peer that stops reading, and the driver torn
// down while its pump is busy. The driver must keep serving packets, never hang and never crash;
// it reports nothing back, so what it served is read from its log.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
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

// The debug line PktCallback writes for every packet it serves.
std::string Served(uint16_t cmd) {
    return "\"cmd: " + std::to_string(cmd) + " \\n\"";
}

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
TEST_F(LineFault, UnplugWhilePumpReadsIsLoggedOnceLeavesCoreIdleAndLaterPacketsServed) {
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

    EXPECT_EQ(mLog.Count(Served(SERIAL_CMD_SET_CONFIG)), 3u);
    EXPECT_EQ(mLog.Count(Served(SERIAL_CMD_WRITE)), 1u);
    EXPECT_EQ(mLog.Count(Served(SERIAL_CMD_START_READ)), 2u);
    EXPECT_EQ(mLog.Count(kWriteFail), 1u) << "a hung-up line takes no bytes";
    EXPECT_EQ(mLog.Count("readFromSerialPort start"), 1u) << "the pump kept running";
    CloseWithin(kReadTimeout);
    EXPECT_EQ(mLog.Count("readFromSerialPort end"), 1u);
}

TEST_F(LineFault, UnplugDuringWriteFailsThatWriteOnly) {
    OpenAdapter();
    Deliver(Timeouts(kDevId, 100));
    Deliver(StartRead(kDevId));
    // Nobody reads the peer, so a megabyte fills the line and the write waits for its timeout.
    std::thread host([this] { Deliver(Write(kDevId, std::string(1 << 20, 'w'))); });
    ASSERT_TRUE(mLog.WaitFor("cmd:SERIAL_CMD_WRITE len=1048576", kHangGuard));
    mAdapter->Unplug();
    host.join();
    EXPECT_EQ(mLog.Count(kWriteFail), 1u);

    EXPECT_EQ(Deliver(LineControl(kDevId, 2, 0, 7)), 0);
    EXPECT_EQ(Deliver(Write(kDevId, "x")), 0);
    EXPECT_EQ(mLog.Count(Served(SERIAL_CMD_SET_CONFIG)), 2u);
    EXPECT_EQ(mLog.Count(Served(SERIAL_CMD_WRITE)), 2u);
    EXPECT_EQ(mLog.Count(kWriteFail), 2u);
    CloseWithin(std::chrono::milliseconds(100));
}

TEST_F(LineFault, PeerThatStopsReadingFailsEachWriteAndLaterPacketsGoInOrder) {
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

TEST_F(DriverTeardown, DeletingDriverWhilePumpIsInsideReadSendsItsLastBytes) {
    const int threadsBefore = ThreadBaseline();
    OpenAdapter();
    constexpr std::chrono::milliseconds kReadTimeout{1000};
    Deliver(Timeouts(kDevId, kReadTimeout.count()));
    Deliver(StartRead(kDevId));
    ASSERT_TRUE(mLog.WaitFor("readFromSerialPort start", kHangGuard));
    // The pump enters its first read microseconds after that line; the pause only makes sure
    // the read is under way before the bytes come. A default read waits for 4095 bytes, so
    // these few sit in it until its timeout, long after the destructor has raised the stop flag.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PeerSend("last words");

    const auto start = Clock::now();
    delete mDriver.release();  // no Close first: the destructor must stop the pump itself
    EXPECT_LT(Clock::now() - start, kReadTimeout + kHangGuard);
    EXPECT_EQ(mLog.Count("readFromSerialPort end"), 1u);
    EXPECT_EQ(ReadData(mDevice->Sent()), "last words");
    EXPECT_TRUE(ThreadsSettleAt(threadsBefore))
        << ThreadCount() << " threads, " << threadsBefore << " before";
}

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
