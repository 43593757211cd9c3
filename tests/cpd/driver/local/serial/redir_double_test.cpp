// The redirection over the libserialport test double, where the tests need what a real line
// cannot give on demand: the exact count and timeout of each read, a read held open while the
// pump is stopped, and tens of thousands of reads in a second.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpd/driver/local/serial/local_serial_redir.h"
#include "serial_packets.h"
#include "sp_double.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"

namespace cpd::test {
namespace {

constexpr uint8_t kId = 0x21;
constexpr const char* kPort = "ttyFAKE0";
constexpr const char* kDescription = "Fake USB UART";

std::string ReadCall(uint64_t count, uint32_t timeout) {
    return "sp_blocking_read(" + std::to_string(count) + "," + std::to_string(timeout) + ")";
}

class RedirOnDouble : public ::testing::Test {
  protected:
    void SetUp() override {
        spd_reset();
        ASSERT_EQ(spd_add_port(kPort, kDescription), 0);
        mRedir = std::make_shared<LocalSerialRedir>(&mDevice);
        ASSERT_EQ(mRedir->Init(), 0);
    }
    void TearDown() override {
        mRedir.reset();
        spd_reset();
    }

    // Stop logs "stop\n" just before it raises the flag; a short pause lets it get there, so the
    // read answered next is the pump's last. Without it the test still holds, only slower: the
    // pump would start one more read and Stop would wait out its timeout.
    static void SettleStop() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    void Deliver(std::unique_ptr<CpdPacket> packet) { mRedir->EventHandle(std::move(packet), 7); }
    bool WaitForCall(const std::string& call) {
        return WaitUntil([&] { return spd_count_calls(call.c_str()) > 0; });
    }

    LogCapture mLog;
    TestDevice mDevice{kDescription};
    std::shared_ptr<LocalSerialRedir> mRedir;
};

// The refused values arrive before the pump starts, so its first read shows the timeout in
// effect (refusing 4095 was once off by one).
TEST_F(RedirOnDouble, ReadTimeoutAcceptsOneTo4094Only) {
    Deliver(Timeouts(kId, 4094));
    for (uint32_t refused : {0u, 4095u, 0x80000000u, 0xFFFFFFFFu}) {
        Deliver(Timeouts(kId, refused));
    }
    Deliver(StartRead(kId));
    ASSERT_TRUE(WaitUntil([] { return spd_count_calls("sp_blocking_read") > 0; }));
    EXPECT_EQ(spd::Calls("sp_blocking_read").front(), ReadCall(4095, 4094));
    Deliver(Timeouts(kId, 1));
    ASSERT_TRUE(WaitForCall(ReadCall(4095, 1)));
    mRedir->Stop();

    for (const std::string& call : spd::Calls("sp_blocking_read")) {
        EXPECT_TRUE(call == ReadCall(4095, 4094) || call == ReadCall(4095, 1)) << call;
    }
    EXPECT_EQ(spd_count_calls("sp_set_"), 0u) << "timeouts are never applied to the port";
}

// A huge read length stays within the buffer; zero means the default.
TEST_F(RedirOnDouble, ReadLengthStaysWithinTheBuffer) {
    Deliver(Timeouts(kId, 5));
    Deliver(StartRead(kId));
    ASSERT_TRUE(WaitForCall(ReadCall(4095, 5)));
    Deliver(ReadLength(kId, uint64_t{1} << 40));
    ASSERT_TRUE(WaitForCall(ReadCall(LocalSerialRedir::kReadBufferSize, 5)));
    Deliver(ReadLength(kId, 0));
    ASSERT_TRUE(WaitForCall(ReadCall(4095, 5)));
}

TEST_F(RedirOnDouble, RestartedPumpKeepsLengthAndTimeout) {
    Deliver(Timeouts(kId, 5));
    Deliver(ReadLength(kId, 3));
    Deliver(StartRead(kId));
    ASSERT_TRUE(WaitForCall(ReadCall(3, 5)));
    mRedir->Stop();
    spd_clear_calls();

    Deliver(StartRead(kId));
    ASSERT_TRUE(WaitUntil([] { return spd_count_calls("sp_blocking_read") > 0; }));
    EXPECT_EQ(spd::Calls().front(), ReadCall(3, 5));
    EXPECT_EQ(mLog.Count("readFromSerialPort start"), 2u);
}

// Stop waits for the read in progress and sends what it got; a START_READ arriving meanwhile
// waits for that pump to end and then starts a fresh one.
TEST_F(RedirOnDouble, StartReadDuringStopWaitsForTheBlockedReadThenStartsAFreshPump) {
    spd_set_read_wait_cap(4000);
    Deliver(Timeouts(kId, 4000));
    Deliver(StartRead(kId));
    ASSERT_TRUE(WaitForCall(ReadCall(4095, 4000)));

    std::thread stopper([this] { mRedir->Stop(); });
    ASSERT_TRUE(mLog.WaitFor("stop\\n", kHangGuard));
    SettleStop();
    std::thread starter([this] { Deliver(StartRead(kId)); });
    ASSERT_TRUE(WaitUntil([this] { return mLog.Count("cmd: 2008 \\n") == 2; }));
    SettleStop();                     // the second START_READ is now waiting for the join
    spd_push_read(kPort, "late", 4);  // answers the read that is still waiting
    stopper.join();
    starter.join();

    EXPECT_TRUE(WaitUntil([this] { return mLog.Count("readFromSerialPort start") == 2; }));
    spd_push_read(kPort, "y", 1);
    EXPECT_TRUE(WaitUntil([this] { return ReadData(mDevice.Sent()) == "latey"; }))
        << ReadData(mDevice.Sent());
}

// Regression: START_READ before Init started a pump without a port object (SIGSEGV).
TEST_F(RedirOnDouble, CommandsBeforeInitAreDropped) {
    LocalSerialRedir fresh(&mDevice);
    spd_clear_calls();
    fresh.EventHandle(StartRead(kId), 7);
    fresh.EventHandle(Write(kId, "x"), 7);
    fresh.EventHandle(BaudRate(kId, 19200), 7);
    fresh.PktCallback(7, nullptr);
    fresh.Stop();
    EXPECT_EQ(mLog.Count("SERIAL_CMD_START_READ dropped: no serial port"), 1u);
    EXPECT_EQ(mLog.Count("SERIAL_CMD_WRITE dropped: no serial port"), 1u);
    EXPECT_EQ(mLog.Count("packet dropped"), 1u);
    EXPECT_EQ(mLog.Count("readFromSerialPort start"), 0u);
    EXPECT_EQ(spd_count_calls("sp_"), 0u);
}

// The frame names the function that logs: the messages of a served command name PktCallback.
TEST_F(RedirOnDouble, CommandMessagesAreLoggedByPktCallback) {
    Deliver(Timeouts(kId, 100));
    Deliver(ReadLength(kId, 8));
    Deliver(Write(kId, "ok"));
    spd_set_write_limit(1);
    Deliver(Write(kId, "no"));
    for (const char* message :
         {"cmd:SERIAL_CMD_SET_CONFIG msgType[", "SET_READ_LENGTH:8",
          "set timeout: ", "cmd:SERIAL_CMD_WRITE len=2", "cmd: write ok", "cmd: write fail"}) {
        const std::vector<LogLine> lines = mLog.Lines();
        const auto logged = std::find_if(lines.begin(), lines.end(), [&](const LogLine& line) {
            return line.text.find(message) != std::string::npos;
        });
        ASSERT_NE(logged, lines.end()) << message;
        EXPECT_NE(logged->text.find(" PktCallback("), std::string::npos) << logged->text;
    }
}

TEST_F(RedirOnDouble, SequenceWrapsToZeroAfter65535) {
    velmarLogOff();  // two log lines per read would dominate the run
    std::string bytes(65536, 'z');
    bytes.back() = 'w';
    spd_push_read(kPort, bytes.data(), bytes.size());
    Deliver(ReadLength(kId, 1));
    Deliver(StartRead(kId));
    // A generous guard: sanitizer builds take a few seconds for these reads.
    ASSERT_EQ(mDevice.WaitForPackets(65537, std::chrono::seconds(60)), 65537u);
    mRedir->Stop();

    const std::vector<SentPacket> sent = mDevice.Sent();
    EXPECT_EQ(sent[0].Seq(), 1u);  // the report
    EXPECT_EQ(sent[65534].Seq(), 65535u);
    EXPECT_EQ(sent[65535].Seq(), 0u);
    EXPECT_EQ(sent[65536].Seq(), 1u);
    EXPECT_EQ(sent[65536].Payload()[4], 'w');
}

}  // namespace
}  // namespace cpd::test
