// SerialIO on the real libserialport, against virtual USB adapters whose far end the test holds:
// what the library really does with each request is seen from the line, not from a call log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libserialport.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpd/driver/local/serial/serial_io.h"
#include "cpd/interface/cpd_log.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"
#include "vserial/vserial.h"

namespace cpd {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Hang guard for waits on the line; never an expectation on timing.
constexpr milliseconds kHangGuard{10000};

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
    vserial::UsbIdentity identity;
    identity.manufacturer = "FTDI";
    identity.product = "FT232R USB UART";
    identity.serial = serial;
    return identity;
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    return bytes;
}

// Reads `count` bytes from a blocking fd, polling so a missing byte cannot hang the test.
std::vector<uint8_t> ReadExactly(int fd, size_t count) {
    std::vector<uint8_t> bytes;
    const auto deadline = steady_clock::now() + kHangGuard;
    uint8_t buf[4096];
    while (bytes.size() < count && steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd, buf, std::min(sizeof(buf), count - bytes.size()));
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buf, buf + n);
    }
    return bytes;
}

// Everything the fd has to give until it stays quiet for a moment.
size_t Drain(int fd) {
    size_t total = 0;
    uint8_t buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 300) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    return total;
}

bool WriteAll(int fd, const void* data, size_t len) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (len > 0) {
        const ssize_t n = ::write(fd, bytes, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

class SerialIORealTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig = vserial::Rig::Create();
        ASSERT_NE(rig, nullptr);
    }

    vserial::Adapter* AddAdapter(const vserial::UsbIdentity& identity) {
        vserial::Adapter* adapter = rig->AddUsbAdapter(identity);
        EXPECT_NE(adapter, nullptr);
        return adapter;
    }

    size_t Errors() {
        const auto lines = log.Lines();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const auto& l) {
            return l.level == logging::kLevelError;
        }));
    }

    test::LogCapture log;
    std::unique_ptr<vserial::Rig> rig;
};

// ---- selection and lifetime
// ----------------------------------------------------------------------

using SerialIOSelectionTest = SerialIORealTest;

TEST_F(SerialIOSelectionTest, EqualDescriptionsOpenTheFirstListedPort) {
    vserial::Adapter* a = AddAdapter(Ftdi(""));
    vserial::Adapter* b = AddAdapter(Ftdi(""));
    ASSERT_EQ(a->Description(), b->Description());

    sp_port** list = nullptr;
    ASSERT_EQ(sp_list_ports(&list), SP_OK);
    ASSERT_NE(list[0], nullptr);
    const std::string firstListed = sp_get_port_name(list[0]);
    sp_free_port_list(list);
    vserial::Adapter* first = firstListed == a->PortName() ? a : b;
    vserial::Adapter* second = first == a ? b : a;
    ASSERT_EQ(first->PortName(), firstListed);

    test::TestDevice device(a->Description());
    SerialIO io(&device);
    ASSERT_EQ(io.OpenSerialDev(), 0);
    EXPECT_EQ(first->OpenCount(), 1);
    EXPECT_EQ(second->OpenCount(), 0);
}

TEST_F(SerialIOSelectionTest, OnlyTheExactDescriptionSelectsAPort) {
    vserial::Adapter* adapter = AddAdapter(Ftdi("A50285BI"));
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

TEST_F(SerialIOSelectionTest, NoAdaptersAtAllFailsTheOpen) {
    test::TestDevice device("FT232R USB UART");
    SerialIO io(&device);

    EXPECT_EQ(io.OpenSerialDev(), -1);
    EXPECT_EQ(log.Count("\"sp_open failed\""), 1u);
    EXPECT_EQ(Errors(), 1u);
}

TEST_F(SerialIOSelectionTest, RefusedOpenFailsAndLeavesThePortFree) {
    vserial::Adapter* adapter = AddAdapter(Ftdi("A50285BI"));
    adapter->RefuseOpen(EBUSY);
    test::TestDevice device(adapter->Description());
    {
        SerialIO io(&device);
        EXPECT_EQ(io.OpenSerialDev(), -1);
        EXPECT_EQ(log.Count("\"sp_open failed\""), 1u);
        log.Clear();
    }
    // The failed object's destruction says goodbye like any other and releases nothing twice.
    EXPECT_EQ(log.Count(R"("mLibusbEventThread exit\n")"), 1u);
    EXPECT_EQ(log.Count("\"end\""), 1u);
    EXPECT_EQ(Errors(), 0u);
    EXPECT_EQ(adapter->OpenCount(), 0);

    adapter->RefuseOpen(0);
    SerialIO retry(&device);
    EXPECT_EQ(retry.OpenSerialDev(), 0);
    EXPECT_EQ(adapter->OpenCount(), 1);
}

TEST_F(SerialIOSelectionTest, DestructionClosesOnlyWhatWasOpened) {
    vserial::Adapter* adapter = AddAdapter(Ftdi("A50285BI"));
    test::TestDevice device(adapter->Description());

    { SerialIO neverOpened(&device); }
    EXPECT_EQ(log.Count(R"("mLibusbEventThread exit\n")"), 1u);
    EXPECT_EQ(log.Count("\"end\""), 1u);
    EXPECT_EQ(Errors(), 0u);

    {
        SerialIO io(&device);
        ASSERT_EQ(io.OpenSerialDev(), 0);
        EXPECT_EQ(adapter->OpenCount(), 1);
    }
    EXPECT_EQ(adapter->OpenCount(), 0);
}

// ---- on an open port
// -----------------------------------------------------------------------------

class SerialIOOpenPortTest : public SerialIORealTest {
  protected:
    void SetUp() override {
        SerialIORealTest::SetUp();
        adapter = AddAdapter(Ftdi("A50285BI"));
        ASSERT_NE(adapter, nullptr);
        device = std::make_unique<test::TestDevice>(adapter->Description());
        io = std::make_unique<SerialIO>(device.get());
        ASSERT_EQ(io->OpenSerialDev(), 0);
        before = *adapter->Settings();
        eventsBefore = adapter->LineEvents().size();
        log.Clear();
    }
    void TearDown() override {
        io.reset();
        device.reset();
    }

    int SetBaud(uint32_t baud) {
        return io->SetConfig(DRIVER_SET_BAUD_RATE_TO_USER, sizeof(baud), &baud);
    }
    std::vector<vserial::LineEvent> NewLineEvents() {
        auto events = adapter->LineEvents();
        events.erase(events.begin(), events.begin() + static_cast<long>(eventsBefore));
        return events;
    }

    vserial::Adapter* adapter = nullptr;
    std::unique_ptr<test::TestDevice> device;
    std::unique_ptr<SerialIO> io;
    vserial::LineSettings before;
    size_t eventsBefore = 0;
};

bool SameLine(const vserial::LineSettings& a, const vserial::LineSettings& b) {
    return a.baud == b.baud && a.dataBits == b.dataBits && a.parity == b.parity &&
           a.stopBits == b.stopBits && a.xonOutput == b.xonOutput && a.xonInput == b.xonInput &&
           a.rtsCts == b.rtsCts;
}

using SerialIOConfigReadTest = SerialIOOpenPortTest;

TEST_F(SerialIOConfigReadTest, ReportsTheLineAsTheAdapterHasIt) {
    serial_config config{};
    ASSERT_EQ(io->GetSerialConfig(&config), 0);

    EXPECT_EQ(config.baudrate, before.baud);
    EXPECT_EQ(config.bits, before.dataBits);
    EXPECT_EQ(config.stopbits, before.stopBits);
    EXPECT_EQ(config.baudrate, 9600);
    EXPECT_EQ(config.bits, 8);
    // libserialport cannot tell "no parity" from "parity not checked" without IGNPAR, which a
    // fresh port lacks, and reports it as invalid; the value is passed on as it comes.
    EXPECT_EQ(config.parity, SP_PARITY_INVALID);
    EXPECT_EQ(config.stopbits, 1);
    EXPECT_EQ(config.xon_xoff, before.xonInput ? SP_XONXOFF_INOUT : SP_XONXOFF_OUT);
    EXPECT_EQ(log.Count(R"("Baudrate: 9600, data bits: 8, parity: -1, stop bits: 1\n")"), 1u);
    EXPECT_EQ(Errors(), 0u);
}

using SerialIOSetConfigTest = SerialIOOpenPortTest;

TEST_F(SerialIOSetConfigTest, BaudRateReachesTheLine) {
    EXPECT_EQ(SetBaud(115200), 0);

    EXPECT_EQ(adapter->Settings()->baud, 115200);
    EXPECT_EQ(log.Count("\"set baudrate:115200\""), 1u);
    serial_config config{};
    ASSERT_EQ(io->GetSerialConfig(&config), 0);
    EXPECT_EQ(config.baudrate, 115200);
}

TEST_F(SerialIOSetConfigTest, RefusedBaudRateIsReportedAndLeavesTheOldRate) {
    adapter->RefuseSettings(true);

    EXPECT_EQ(SetBaud(115200), -1);

    EXPECT_EQ(adapter->Settings()->baud, before.baud);
    EXPECT_EQ(log.Count("\"sp_set_baudrate failed\""), 1u);
    EXPECT_EQ(Errors(), 1u);
}

TEST_F(SerialIOSetConfigTest, SevenBitsEvenParityReachTheLine) {
    const uint8_t lineControl[3] = {1, 2, 7};  // StopBits (a count), Parity even, WordLength

    EXPECT_EQ(io->SetConfig(DRIVER_SET_LINE_CONTROL_TO_USER, sizeof(lineControl), lineControl), 0);

    const auto now = *adapter->Settings();
    EXPECT_EQ(now.dataBits, 7);
    EXPECT_EQ(now.parity, vserial::Parity::kEven);
    EXPECT_EQ(now.stopBits, 1);
    EXPECT_EQ(log.Count("\"set line control:WordLength[7] Parity[2] StopBits[1]\""), 1u);
}

TEST_F(SerialIOSetConfigTest, ClearDtrDropsThenRaisesIt) {
    EXPECT_EQ(io->SetConfig(DRIVER_CLR_DTR_TO_USER, 0, nullptr), 0);

    const std::vector<vserial::LineEvent> expected{{vserial::ModemLine::kDtr, false},
                                                   {vserial::ModemLine::kDtr, true}};
    EXPECT_EQ(NewLineEvents(), expected);
    EXPECT_TRUE(adapter->Dtr());
}

TEST_F(SerialIOSetConfigTest, HandshakeRequestSwitchesFlowControlOff) {
    // A fresh usb-serial line obeys XON/XOFF, so "off" is a visible change.
    ASSERT_TRUE(before.xonOutput);
    const int32_t handflow[4] = {0x08 /* SERIAL_CTS_HANDSHAKE */, 0x80 /* SERIAL_RTS_HANDSHAKE */,
                                 2048, 512};

    EXPECT_EQ(io->SetConfig(DRIVER_SET_HANDFLOW_TO_USER, sizeof(handflow), handflow), 0);

    const auto now = *adapter->Settings();
    EXPECT_FALSE(now.rtsCts);
    EXPECT_FALSE(now.xonOutput);
    EXPECT_FALSE(now.xonInput);
    // The limits print in the reverse of their record order.
    EXPECT_EQ(log.Count("\"DRIVER_SET_HANDFLOW_TO_USER:ControlHandShake[8] FlowReplace[128] "
                        "XoffLimit[512] XonLimit[2048]\""),
              1u);
}

TEST_F(SerialIOSetConfigTest, PurgeKeepsQueuedBytesAndSettings) {
    const std::vector<uint8_t> inbound{'p', 'i', 'n', 'g'};
    const std::vector<uint8_t> outbound{'p', 'o', 'n', 'g'};
    ASSERT_TRUE(WriteAll(adapter->PeerFd(), inbound.data(), inbound.size()));
    ASSERT_EQ(io->WriteBlocking(outbound.data(), outbound.size(), 500), 0);

    EXPECT_EQ(io->SetConfig(DRIVER_SERIAL_PURGE_TO_USER, 0, nullptr), 0);

    EXPECT_TRUE(SameLine(*adapter->Settings(), before));
    EXPECT_EQ(ReadExactly(adapter->PeerFd(), outbound.size()), outbound);
    std::vector<uint8_t> got(inbound.size());
    EXPECT_EQ(io->ReadBlocking(got.data(), got.size(), 2000), static_cast<int>(inbound.size()));
    EXPECT_EQ(got, inbound);
    EXPECT_EQ(log.Count("\"DRIVER_SERIAL_PURGE_TO_USER\""), 1u);
}

TEST_F(SerialIOSetConfigTest, UnknownRequestChangesNothingSilently) {
    const uint32_t data[5] = {115200, 0, 0, 0, 0};
    for (uint32_t code : {0u, 1027u, static_cast<uint32_t>(DRIVER_SET_TIMEOUTS_TO_USER)}) {
        EXPECT_EQ(io->SetConfig(code, sizeof(data), data), 0) << code;
    }

    EXPECT_TRUE(SameLine(*adapter->Settings(), before));
    EXPECT_TRUE(NewLineEvents().empty());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(SerialIOSetConfigTest, ShortRecordIsRefusedWithoutTouchingThePort) {
    const uint8_t data[16] = {0x00, 0xc2, 0x01, 0x00, 7, 2};
    const struct {
        uint32_t code;
        uint32_t len;
    } requests[] = {{DRIVER_SET_BAUD_RATE_TO_USER, 3},
                    {DRIVER_SET_LINE_CONTROL_TO_USER, 2},
                    {DRIVER_SET_HANDFLOW_TO_USER, 15}};
    for (const auto& request : requests) {
        SCOPED_TRACE(request.code);
        log.Clear();
        EXPECT_EQ(io->SetConfig(request.code, request.len, data), -1);
        EXPECT_EQ(Errors(), 1u);
        EXPECT_EQ(log.Lines().size(), 1u);
    }

    EXPECT_TRUE(SameLine(*adapter->Settings(), before));
}

// ---- data transfer
// -------------------------------------------------------------------------------

using SerialIOTransferTest = SerialIOOpenPortTest;

TEST_F(SerialIOTransferTest, WrittenBytesArriveUnchanged) {
    // Every byte value, including the ones a terminal would translate or act on.
    const std::vector<uint8_t> bytes = Pattern(4096);

    EXPECT_EQ(io->WriteBlocking(bytes.data(), bytes.size(), 500), 0);

    EXPECT_EQ(ReadExactly(adapter->PeerFd(), bytes.size()), bytes);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(SerialIOTransferTest, WriteToStalledPeerReportsHowMuchLeft) {
    // Far more than the line buffers, with nobody reading: the write must time out part-way.
    const std::vector<uint8_t> bytes = Pattern(4 << 20);

    EXPECT_EQ(io->WriteBlocking(bytes.data(), bytes.size(), 200), -1);

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, logging::kLevelError);
    const std::string marker = "\"sp_blocking_write failed ";
    const size_t at = lines[0].text.find(marker);
    ASSERT_NE(at, std::string::npos) << lines[0].text;
    const long written = std::stol(lines[0].text.substr(at + marker.size()));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<long>(bytes.size()));
    EXPECT_EQ(Drain(adapter->PeerFd()), static_cast<size_t>(written));
}

TEST_F(SerialIOTransferTest, ReadOnQuietPortTimesOutEmpty) {
    uint8_t buf[64];
    EXPECT_EQ(io->ReadBlocking(buf, sizeof(buf), 50), 0);
}

TEST_F(SerialIOTransferTest, BlockingReadRunsBesideWritesAndSettingChanges) {
    // The echo sends every byte back; XON/XOFF must be off first or an echoed XOFF stalls the
    // port's own output.
    const int32_t noHandshake[4] = {0, 0, 0, 0};
    ASSERT_EQ(io->SetConfig(DRIVER_SET_HANDFLOW_TO_USER, sizeof(noHandshake), noHandshake), 0);
    vserial::EchoDevice echo(*adapter);

    const std::vector<uint8_t> sent = Pattern(64 * 1024);
    std::vector<uint8_t> received;
    std::atomic<bool> readFailed{false};
    std::thread reader([&] {
        const auto deadline = steady_clock::now() + kHangGuard;
        std::vector<uint8_t> buf(4095);
        while (received.size() < sent.size() && steady_clock::now() < deadline) {
            const int n = io->ReadBlocking(buf.data(), buf.size(), 50);
            if (n < 0) {
                readFailed = true;
                return;
            }
            received.insert(received.end(), buf.begin(), buf.begin() + n);
        }
    });

    const size_t chunk = 1024;
    for (size_t offset = 0; offset < sent.size(); offset += chunk) {
        // No ASSERT here: the reader must still be joined.
        if (io->WriteBlocking(sent.data() + offset, chunk, 2000) != 0) {
            ADD_FAILURE() << "write failed at " << offset;
            break;
        }
        EXPECT_EQ(SetBaud((offset / chunk) % 2 == 0 ? 115200 : 57600), 0);
        if (offset % (8 * chunk) == 0) {
            io->SetConfig(DRIVER_CLR_DTR_TO_USER, 0, nullptr);
        }
    }
    reader.join();

    EXPECT_FALSE(readFailed);
    EXPECT_EQ(received, sent);
    EXPECT_EQ(adapter->Settings()->baud, 57600);
    EXPECT_EQ(Errors(), 0u);
}

}  // namespace
}  // namespace cpd
