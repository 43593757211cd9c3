// SerialIO on the real libserialport, against virtual USB adapters whose far end the test holds:
// what the library really does with each request is seen from the line, not from a call log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libserialport.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cpd/driver/local/serial/serial_io.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"
#include "vserial/vserial.h"

namespace cpd {
namespace {

using std::chrono::steady_clock;

// Hang guard for waits on the line; never an expectation on timing.
constexpr std::chrono::milliseconds kHangGuard{10000};

// Checked after every test process: nothing may have reached the machine's own ttys.
class NoRealTtyAccess : public ::testing::Environment {
  public:
    void TearDown() override {
        EXPECT_EQ(vserial::Rig::RealTtyAccesses(), std::vector<std::string>{});
    }
};
[[maybe_unused]] ::testing::Environment* const kNoRealTtyAccess =
    ::testing::AddGlobalTestEnvironment(new NoRealTtyAccess);

vserial::UsbIdentity Ftdi(const std::string& serial) {
    return {0x0403, 0x6001, "FTDI", "FT232R USB UART", serial};
}

// Reads from the peer until `count` bytes came, or (count 0) until it stays quiet for a moment;
// polling, so a missing byte cannot hang the test.
std::vector<uint8_t> PeerRead(int fd, size_t count) {
    std::vector<uint8_t> bytes;
    const auto deadline = steady_clock::now() + kHangGuard;
    uint8_t buf[4096];
    pollfd p{fd, POLLIN, 0};
    while ((count == 0 || bytes.size() < count) && steady_clock::now() < deadline) {
        const ssize_t n = ::poll(&p, 1, 300) > 0 ? ::read(fd, buf, sizeof(buf)) : 0;
        if (n > 0) {
            bytes.insert(bytes.end(), buf, buf + n);
        } else if (count == 0) {
            break;
        }
    }
    return bytes;
}

class SerialIORealTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = vserial::Rig::Create();
        ASSERT_NE(rig, nullptr);
    }

    test::LogCapture log;
    std::unique_ptr<vserial::Rig> rig;
};

using SerialIOSelectionTest = SerialIORealTest;

TEST_F(SerialIOSelectionTest, EqualDescriptionsOpenTheFirstListedPort) {
    vserial::Adapter* a = rig->AddUsbAdapter(Ftdi(""));
    vserial::Adapter* b = rig->AddUsbAdapter(Ftdi(""));
    ASSERT_TRUE(a != nullptr && b != nullptr);
    ASSERT_EQ(a->Description(), b->Description());

    sp_port** list = nullptr;
    ASSERT_EQ(sp_list_ports(&list), SP_OK);
    ASSERT_NE(list[0], nullptr);
    vserial::Adapter* first = sp_get_port_name(list[0]) == a->PortName() ? a : b;
    sp_free_port_list(list);

    test::TestDevice device(a->Description());
    SerialIO io(&device);
    ASSERT_EQ(io.OpenSerialDev(), 0);
    EXPECT_EQ(first->OpenCount(), 1);
    EXPECT_EQ((first == a ? b : a)->OpenCount(), 0);
}

TEST_F(SerialIOSelectionTest, OnlyTheExactDescriptionSelectsAPort) {
    vserial::Adapter* adapter = rig->AddUsbAdapter(Ftdi("A50285BI"));
    ASSERT_NE(adapter, nullptr);
    std::string lower = adapter->Description();
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    ASSERT_NE(lower, adapter->Description());

    for (const std::string& args : {lower, adapter->Description() + " ", std::string()}) {
        SCOPED_TRACE("args [" + args + "]");
        log.Clear();
        test::TestDevice device(args);
        SerialIO io(&device);

        EXPECT_EQ(io.OpenSerialDev(), -1);
        EXPECT_EQ(log.Count("\"sp_open failed\""), 1u);
        EXPECT_EQ(adapter->OpenCount(), 0);
    }
}

// Destruction says goodbye alike whether the port was never opened, refused or open, and
// closes only what it opened.
TEST_F(SerialIOSelectionTest, RefusedOpenLeavesThePortFreeAndDestructionClosesOnlyWhatOpened) {
    vserial::Adapter* adapter = rig->AddUsbAdapter(Ftdi("A50285BI"));
    ASSERT_NE(adapter, nullptr);
    test::TestDevice device(adapter->Description());
    { SerialIO neverOpened(&device); }
    adapter->RefuseOpen(EBUSY);
    {
        SerialIO io(&device);
        EXPECT_EQ(io.OpenSerialDev(), -1);
    }
    EXPECT_EQ(log.Count("\"sp_open failed\""), 1u);
    EXPECT_EQ(log.Count("\"Error:\""), 1u);
    EXPECT_EQ(log.Count(R"("mLibusbEventThread exit\n")"), 2u);
    EXPECT_EQ(log.Count("\"end\""), 2u);
    EXPECT_EQ(adapter->OpenCount(), 0);

    adapter->RefuseOpen(0);
    {
        SerialIO io(&device);
        EXPECT_EQ(io.OpenSerialDev(), 0);
        EXPECT_EQ(adapter->OpenCount(), 1);
    }
    EXPECT_EQ(adapter->OpenCount(), 0);
}

class SerialIOOpenTest : public SerialIORealTest {
  protected:
    void SetUp() override {
        SerialIORealTest::SetUp();
        adapter = rig->AddUsbAdapter(Ftdi("A50285BI"));
        ASSERT_NE(adapter, nullptr);
        device = std::make_unique<test::TestDevice>(adapter->Description());
        io = std::make_unique<SerialIO>(device.get());
        ASSERT_EQ(io->OpenSerialDev(), 0);
        before = *adapter->Settings();
        eventsBefore = adapter->LineEvents().size();
        log.Clear();
    }
    std::vector<vserial::LineEvent> NewLineEvents() {
        auto events = adapter->LineEvents();
        events.erase(events.begin(), events.begin() + static_cast<long>(eventsBefore));
        return events;
    }
    bool LineUnchanged() {
        const vserial::LineSettings now = *adapter->Settings();
        return now.baud == before.baud && now.dataBits == before.dataBits &&
               now.parity == before.parity && now.stopBits == before.stopBits &&
               now.xonOutput == before.xonOutput && now.xonInput == before.xonInput &&
               now.rtsCts == before.rtsCts && NewLineEvents().empty();
    }

    vserial::Adapter* adapter = nullptr;
    std::unique_ptr<test::TestDevice> device;
    std::unique_ptr<SerialIO> io;
    vserial::LineSettings before;
    size_t eventsBefore = 0;
};

TEST_F(SerialIOOpenTest, RequestsReachTheLineAndAreLogged) {
    const uint32_t baud = 115200;
    EXPECT_EQ(io->SetConfig(DRIVER_SET_BAUD_RATE_TO_USER, sizeof(baud), &baud), 0);
    EXPECT_EQ(adapter->Settings()->baud, 115200);
    EXPECT_EQ(log.Count("\"set baudrate:115200\""), 1u);
    serial_config config{};
    ASSERT_EQ(io->GetSerialConfig(&config), 0);
    EXPECT_EQ(config.baudrate, 115200);

    const uint8_t lineControl[3] = {1, 2, 7};  // StopBits (a count), Parity even, WordLength
    EXPECT_EQ(io->SetConfig(DRIVER_SET_LINE_CONTROL_TO_USER, sizeof(lineControl), lineControl), 0);
    EXPECT_EQ(adapter->Settings()->dataBits, 7);
    EXPECT_EQ(adapter->Settings()->parity, vserial::Parity::kEven);
    EXPECT_EQ(adapter->Settings()->stopBits, 1);
    EXPECT_EQ(log.Count("\"set line control:WordLength[7] Parity[2] StopBits[1]\""), 1u);

    // A fresh usb-serial line obeys XON/XOFF, so "off" is a visible change. Regression: RTS/CTS
    // that an earlier program left on survived the request (libserialport leaves CRTSCTS alone).
    ASSERT_TRUE(before.xonOutput);
    const int earlier = ::open(adapter->PortName().c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    ASSERT_EQ(tcgetattr(earlier, &settings), 0);
    settings.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(earlier, TCSANOW, &settings), 0);
    ::close(earlier);
    ASSERT_TRUE(adapter->Settings()->rtsCts);
    const int32_t handflow[4] = {0x08 /* SERIAL_CTS_HANDSHAKE */, 0x80 /* SERIAL_RTS_HANDSHAKE */,
                                 2048, 512};
    EXPECT_EQ(io->SetConfig(DRIVER_SET_HANDFLOW_TO_USER, sizeof(handflow), handflow), 0);
    EXPECT_FALSE(adapter->Settings()->rtsCts);
    EXPECT_FALSE(adapter->Settings()->xonOutput);
    EXPECT_FALSE(adapter->Settings()->xonInput);
    // The limits print in the reverse of their record order.
    EXPECT_EQ(log.Count("\"DRIVER_SET_HANDFLOW_TO_USER:ControlHandShake[8] FlowReplace[128] "
                        "XoffLimit[512] XonLimit[2048]\""),
              1u);

    EXPECT_EQ(io->SetConfig(DRIVER_CLR_DTR_TO_USER, 0, nullptr), 0);
    const std::vector<vserial::LineEvent> pulse{{vserial::ModemLine::kDtr, false},
                                                {vserial::ModemLine::kDtr, true}};
    EXPECT_EQ(NewLineEvents(), pulse);
    EXPECT_TRUE(adapter->Dtr());
    EXPECT_EQ(log.Count("\"Error:\""), 0u);
}

TEST_F(SerialIOOpenTest, RefusedBaudRateIsReportedAndOtherRequestsLeaveTheLineAlone) {
    adapter->RefuseSettings(true);
    const uint32_t baud = 115200;
    EXPECT_EQ(io->SetConfig(DRIVER_SET_BAUD_RATE_TO_USER, sizeof(baud), &baud), -1);
    EXPECT_EQ(log.Count("\"sp_set_baudrate failed\""), 1u);
    EXPECT_EQ(log.Count("\"Error:\""), 1u);
    adapter->RefuseSettings(false);
    log.Clear();

    const uint32_t data[5] = {115200, 0, 0, 0, 0};
    for (uint32_t code : {0u, 1027u, static_cast<uint32_t>(DRIVER_SET_TIMEOUTS_TO_USER)}) {
        EXPECT_EQ(io->SetConfig(code, sizeof(data), data), 0) << code;
    }
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(LineUnchanged());

    // Purge must not flush: the remote side's purge would otherwise lose bytes in flight.
    const std::vector<uint8_t> inbound{'p', 'i', 'n', 'g'}, outbound{'p', 'o', 'n', 'g'};
    ASSERT_EQ(::write(adapter->PeerFd(), inbound.data(), 4), 4);
    ASSERT_EQ(io->WriteBlocking(outbound.data(), 4, 500), 0);

    EXPECT_EQ(io->SetConfig(DRIVER_SERIAL_PURGE_TO_USER, 0, nullptr), 0);

    EXPECT_TRUE(LineUnchanged());
    EXPECT_EQ(PeerRead(adapter->PeerFd(), 4), outbound);
    std::vector<uint8_t> got(4);
    EXPECT_EQ(io->ReadBlocking(got.data(), 4, 2000), 4);
    EXPECT_EQ(got, inbound);
    EXPECT_EQ(io->ReadBlocking(got.data(), 4, 50), 0) << "a quiet port times out empty";
    EXPECT_EQ(log.Count("\"DRIVER_SERIAL_PURGE_TO_USER\""), 1u);
}

TEST_F(SerialIOOpenTest, WriteToStalledPeerReportsHowMuchLeft) {
    // Far more than the line buffers, with nobody reading: the write must time out part-way.
    const std::vector<uint8_t> bytes(4 << 20, 0x55);

    EXPECT_EQ(io->WriteBlocking(bytes.data(), bytes.size(), 200), -1);

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string marker = "\"Error:\" \"sp_blocking_write failed ";
    const size_t at = lines[0].text.find(marker);
    ASSERT_NE(at, std::string::npos) << lines[0].text;
    const long written = std::stol(lines[0].text.substr(at + marker.size()));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<long>(bytes.size()));
    EXPECT_EQ(PeerRead(adapter->PeerFd(), 0).size(), static_cast<size_t>(written));
}

}  // namespace
}  // namespace cpd
