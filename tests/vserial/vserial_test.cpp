// The virtual adapters seen through the real libserialport.
#include <gtest/gtest.h>
#include <libserialport.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "vserial/vserial.h"

namespace vserial {
void PrintTo(const LineEvent& e, std::ostream* os) {
    *os << (e.line == ModemLine::kDtr ? "DTR" : "RTS") << (e.level ? "+" : "-");
}
}  // namespace vserial

namespace {

// libserialport returns byte counts in its sp_return type: read them as the ints they are (a
// reference to an sp_return holding a count is out of the enum's range).
int Count(sp_return result) {
    return static_cast<int>(result);
}

using vserial::Adapter;
using vserial::LineEvent;
using vserial::ModemLine;
using vserial::Rig;

std::map<std::string, std::string> ListedDescriptions() {
    std::map<std::string, std::string> listed;
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) == SP_OK) {
        for (int i = 0; ports[i] != nullptr; ++i) {
            listed[sp_get_port_name(ports[i])] = sp_get_port_description(ports[i]);
        }
        sp_free_port_list(ports);
    }
    return listed;
}

// Every test must leave the machine's own ttys alone, whatever it did.
class VserialTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(mRig, nullptr); }
    void TearDown() override {
        mRig.reset();
        EXPECT_EQ(Rig::RealTtyAccesses().size(), mAccessesBefore);
    }

    size_t mAccessesBefore = Rig::RealTtyAccesses().size();
    std::unique_ptr<Rig> mRig = Rig::Create();
};

TEST_F(VserialTest, ListsOnlyAdaptersWithTheDescriptionsTheLibraryReports) {
    const std::pair<vserial::UsbIdentity, std::string> usb[] = {
        {{0x0403, 0x6001, "FTDI", "FT232R USB UART", "A50285BI"}, "FT232R USB UART - A50285BI"},
        {{0x10c4, 0xea60, "Silicon Labs", "CP2102", {}}, "CP2102"},
        {{0x1a86, 0x7523, {}, {}, {}}, "ttyUSB2"},
        {{0x067b, 0x2303, {}, "PL2303", ""}, "PL2303"},
        {{0x0403, 0x6015, {}, std::string(140, 'p'), "S9"}, std::string(127, 'p')},
    };
    std::map<std::string, std::string> expected;
    for (const auto& [identity, description] : usb) {
        Adapter* adapter = mRig->AddUsbAdapter(identity);
        ASSERT_NE(adapter, nullptr);
        EXPECT_EQ(adapter->Description(), description);
        expected[adapter->PortName()] = description;
    }
    Adapter* uart = mRig->AddOnboardUart();
    ASSERT_NE(uart, nullptr);
    expected[uart->PortName()] = "ttyAMA0";
    EXPECT_EQ(ListedDescriptions(), expected);

    // The machine's own ports are hidden even from a caller that names them.
    sp_port* port = nullptr;
    EXPECT_EQ(sp_get_port_by_name("/dev/ttyS0", &port), SP_ERR_ARG);
    struct stat st;
    EXPECT_EQ(lstat("/dev/ttyS0", &st), -1);
    EXPECT_EQ(errno, ENOENT);
}

// The guard every test's teardown relies on.
TEST(VserialRig, NotesTtyPathsThatReachTheRealLibc) {
    const size_t before = Rig::RealTtyAccesses().size();
    struct stat st;
    // Only a name that cannot exist: no real tty is touched even here.
    EXPECT_EQ(lstat("/sys/class/tty/vserial-no-such-tty", &st), -1);
    ASSERT_EQ(Rig::RealTtyAccesses().size(), before + 1);
    EXPECT_EQ(Rig::RealTtyAccesses().back(), "/sys/class/tty/vserial-no-such-tty");
}

TEST(VserialRig, AllowsOneRigAtATime) {
    auto first = Rig::Create();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Rig::Create(), nullptr);
    first.reset();
    EXPECT_NE(Rig::Create(), nullptr);
}

class VserialPort : public VserialTest {
  protected:
    void SetUp() override {
        VserialTest::SetUp();
        mAdapter = mRig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "FT232R", "A1"});
        ASSERT_NE(mAdapter, nullptr);
        ASSERT_EQ(sp_get_port_by_name(mAdapter->PortName().c_str(), &mPort), SP_OK);
        ASSERT_EQ(sp_open(mPort, SP_MODE_READ_WRITE), SP_OK);
    }
    void TearDown() override {
        ClosePort();
        VserialTest::TearDown();
    }
    void ClosePort() {
        if (mPort != nullptr) {
            sp_close(mPort);
            sp_free_port(mPort);
            mPort = nullptr;
        }
    }

    // What the library reads back from the port: baud, bits, stop bits, parity, XON/XOFF.
    std::vector<int> ReadConfig() {
        sp_port_config* config = nullptr;
        int baud = -1, bits = -1, stopBits = -1;
        sp_parity parity = SP_PARITY_INVALID;
        sp_xonxoff xonXoff = SP_XONXOFF_INVALID;
        EXPECT_EQ(sp_new_config(&config), SP_OK);
        EXPECT_EQ(sp_get_config(mPort, config), SP_OK);
        sp_get_config_baudrate(config, &baud);
        sp_get_config_bits(config, &bits);
        sp_get_config_stopbits(config, &stopBits);
        sp_get_config_parity(config, &parity);
        sp_get_config_xon_xoff(config, &xonXoff);
        sp_free_config(config);
        return {baud, bits, stopBits, parity, xonXoff};
    }

    Adapter* mAdapter = nullptr;
    sp_port* mPort = nullptr;
};

// A fresh port reads like an unconfigured USB serial port; settings a pty cannot hold (odd
// rates, 7 bits, parity) read back as set and do not stick once undone.
TEST_F(VserialPort, ReadsBackSettingsAPtyCannotHold) {
    EXPECT_EQ(ReadConfig(), (std::vector<int>{9600, 8, 1, SP_PARITY_INVALID, SP_XONXOFF_OUT}));
    EXPECT_EQ(mAdapter->OpenCount(), 1);
    ASSERT_EQ(sp_set_bits(mPort, 7), SP_OK);
    ASSERT_EQ(sp_set_parity(mPort, SP_PARITY_EVEN), SP_OK);
    ASSERT_EQ(sp_set_stopbits(mPort, 2), SP_OK);
    ASSERT_EQ(sp_set_baudrate(mPort, 250000), SP_OK);
    ASSERT_EQ(sp_set_xon_xoff(mPort, SP_XONXOFF_INOUT), SP_OK);
    EXPECT_EQ(ReadConfig(), (std::vector<int>{250000, 7, 2, SP_PARITY_EVEN, SP_XONXOFF_INOUT}));

    ASSERT_EQ(sp_set_baudrate(mPort, 115200), SP_OK);
    ASSERT_EQ(sp_set_parity(mPort, SP_PARITY_ODD), SP_OK);
    ASSERT_EQ(sp_set_bits(mPort, 8), SP_OK);
    EXPECT_EQ(ReadConfig(), (std::vector<int>{115200, 8, 2, SP_PARITY_ODD, SP_XONXOFF_INOUT}));
}

TEST_F(VserialPort, RecordsModemLineChangesInOrder) {
    EXPECT_TRUE(mAdapter->Dtr() && mAdapter->Rts());
    ASSERT_EQ(sp_set_dtr(mPort, SP_DTR_OFF), SP_OK);
    EXPECT_FALSE(mAdapter->Dtr());
    ASSERT_EQ(sp_set_baudrate(mPort, 19200), SP_OK);  // re-applies the lines, changes none
    ASSERT_EQ(sp_set_dtr(mPort, SP_DTR_ON), SP_OK);
    ClosePort();
    // Opening raises both lines (libserialport then only re-applies them); the last close drops
    // both because HUPCL is set.
    const std::vector<LineEvent> expected = {
        {ModemLine::kDtr, true}, {ModemLine::kRts, true},  {ModemLine::kDtr, false},
        {ModemLine::kDtr, true}, {ModemLine::kDtr, false}, {ModemLine::kRts, false},
    };
    EXPECT_EQ(mAdapter->LineEvents(), expected);
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

// The tty rule: what the port did not read is gone once its last user has closed it.
TEST_F(VserialPort, LastCloseDropsUnreadInput) {
    ASSERT_EQ(write(mAdapter->PeerFd(), "stale", 5), 5);
    for (int i = 0; i < 1000 && Count(sp_input_waiting(mPort)) < 5; ++i) {
        usleep(1000);
    }
    ASSERT_EQ(Count(sp_input_waiting(mPort)), 5);
    sp_close(mPort);
    ASSERT_EQ(sp_open(mPort, SP_MODE_READ_WRITE), SP_OK);
    ASSERT_EQ(write(mAdapter->PeerFd(), "fresh", 5), 5);
    char got[8] = {};
    EXPECT_EQ(Count(sp_blocking_read(mPort, got, 5, 5000)), 5);
    EXPECT_STREQ(got, "fresh");
}

// Both directions at once on a paced 8E2 line: 12 bits a byte, so 1920 bytes take 1.2 s at
// 19200 baud whatever the load (a load only makes them later).
TEST_F(VserialTest, PacedLineTakesTheWireTime) {
    Adapter* adapter =
        mRig->AddUsbAdapter({0x0403, 0x6001, {}, "Paced", {}}, vserial::Pacing::kLineRate);
    ASSERT_NE(adapter, nullptr);
    sp_port* port = nullptr;
    ASSERT_EQ(sp_get_port_by_name(adapter->PortName().c_str(), &port), SP_OK);
    ASSERT_EQ(sp_open(port, SP_MODE_READ_WRITE), SP_OK);
    ASSERT_EQ(sp_set_baudrate(port, 19200), SP_OK);
    ASSERT_EQ(sp_set_parity(port, SP_PARITY_EVEN), SP_OK);
    ASSERT_EQ(sp_set_stopbits(port, 2), SP_OK);
    std::string bytes(1920, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>('a' + i % 26);  // no XON/XOFF bytes: the port obeys them
    }

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(write(adapter->PeerFd(), bytes.data(), bytes.size()), 1920);
    ASSERT_EQ(Count(sp_blocking_write(port, bytes.data(), bytes.size(), 1000)), 1920);
    std::string atPort(bytes.size(), '\0');
    EXPECT_EQ(Count(sp_blocking_read(port, atPort.data(), atPort.size(), 10000)), 1920);
    std::string atPeer;
    while (atPeer.size() < bytes.size()) {
        char buf[2048];
        const ssize_t n = read(adapter->PeerFd(), buf, sizeof buf);
        ASSERT_GT(n, 0);
        atPeer.append(buf, static_cast<size_t>(n));
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took.count(), 1.19) << "faster than the wire";
    EXPECT_EQ(atPort, bytes);
    EXPECT_EQ(atPeer, bytes);
    sp_close(port);
    sp_free_port(port);
}

}  // namespace
