// The virtual adapters seen through the real libserialport.
#include <dirent.h>
#include <gtest/gtest.h>
#include <libserialport.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>

#include "vserial/vserial.h"

namespace vserial {
void PrintTo(const LineEvent& e, std::ostream* os) {
    *os << (e.line == ModemLine::kDtr ? "DTR" : "RTS") << (e.level ? "+" : "-");
}
}  // namespace vserial

namespace {

using namespace std::string_literals;
using vserial::Adapter;
using vserial::LineEvent;
using vserial::ModemLine;
using vserial::Parity;
using vserial::Rig;
using vserial::UsbIdentity;

constexpr unsigned kHangGuardMs = 5000;

// Reads exactly n bytes from the peer side, or fewer if the hang guard runs out.
std::string ReadPeer(int fd, size_t n) {
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kHangGuardMs) <= 0) {
            break;
        }
        char buf[256];
        ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// libserialport 0.1.1 returns byte counts through its enum return type; take them as int before
// anything stores them as the enum (UBSan rejects out-of-range enum loads).
int Count(sp_return result) {
    return static_cast<int>(result);
}

std::map<std::string, std::string> ListedDescriptions() {
    std::map<std::string, std::string> listed;
    sp_port** ports = nullptr;
    if (sp_list_ports(&ports) != SP_OK) {
        return listed;
    }
    for (int i = 0; ports[i] != nullptr; ++i) {
        listed[sp_get_port_name(ports[i])] = sp_get_port_description(ports[i]);
    }
    sp_free_port_list(ports);
    return listed;
}

// Every test must leave the machine's own ttys alone, whatever it did.
class VserialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mAccessesBefore = Rig::RealTtyAccesses().size();
        mRig = Rig::Create();
        ASSERT_NE(mRig, nullptr);
    }
    void TearDown() override {
        mRig.reset();
        EXPECT_EQ(Rig::RealTtyAccesses().size(), mAccessesBefore);
    }

    size_t mAccessesBefore = 0;
    std::unique_ptr<Rig> mRig;
};

// ---- listing ------------------------------------------------------------------------------------

using VserialListing = VserialTest;

TEST_F(VserialListing, ListsOnlyAdaptersWithTheDescriptionsTheLibraryReports) {
    Adapter* full = mRig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "FT232R USB UART", "A50285BI"});
    Adapter* productOnly = mRig->AddUsbAdapter({0x10c4, 0xea60, "Silicon Labs", "CP2102", {}});
    Adapter* bare = mRig->AddUsbAdapter({0x1a86, 0x7523, {}, {}, {}});
    Adapter* emptySerial = mRig->AddUsbAdapter({0x067b, 0x2303, {}, "PL2303", ""});
    Adapter* longName = mRig->AddUsbAdapter({0x0403, 0x6015, {}, std::string(140, 'p'), "S9"});
    Adapter* uart = mRig->AddOnboardUart();
    for (Adapter* a : {full, productOnly, bare, emptySerial, longName, uart}) {
        ASSERT_NE(a, nullptr);
    }
    EXPECT_EQ(full->Description(), "FT232R USB UART - A50285BI");
    EXPECT_EQ(productOnly->Description(), "CP2102");
    EXPECT_EQ(bare->Description(), "ttyUSB2");
    EXPECT_EQ(emptySerial->Description(), "PL2303");
    EXPECT_EQ(longName->Description(), std::string(127, 'p'));
    EXPECT_EQ(uart->Description(), "ttyAMA0");

    std::map<std::string, std::string> expected;
    for (Adapter* a : {full, productOnly, bare, emptySerial, longName, uart}) {
        expected[a->PortName()] = a->Description();
    }
    EXPECT_EQ(ListedDescriptions(), expected);
}

TEST_F(VserialListing, ReportsUsbIdentityAndTransport) {
    Adapter* usb = mRig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "FT232R", "A1"});
    Adapter* uart = mRig->AddOnboardUart();
    ASSERT_NE(usb, nullptr);
    ASSERT_NE(uart, nullptr);

    sp_port* port = nullptr;
    ASSERT_EQ(sp_get_port_by_name(usb->PortName().c_str(), &port), SP_OK);
    int vid = 0;
    int pid = 0;
    EXPECT_EQ(sp_get_port_transport(port), SP_TRANSPORT_USB);
    EXPECT_EQ(sp_get_port_usb_vid_pid(port, &vid, &pid), SP_OK);
    EXPECT_EQ(vid, 0x0403);
    EXPECT_EQ(pid, 0x6001);
    EXPECT_STREQ(sp_get_port_usb_manufacturer(port), "FTDI");
    sp_free_port(port);

    ASSERT_EQ(sp_get_port_by_name(uart->PortName().c_str(), &port), SP_OK);
    EXPECT_EQ(sp_get_port_transport(port), SP_TRANSPORT_NATIVE);
    sp_free_port(port);
}

TEST_F(VserialListing, HidesTheMachinesOwnTtys) {
    ASSERT_NE(mRig->AddUsbAdapter({}), nullptr);
    sp_port* port = nullptr;
    EXPECT_EQ(sp_get_port_by_name("/dev/ttyS0", &port), SP_ERR_ARG);

    struct stat st;
    EXPECT_EQ(lstat("/dev/ttyS0", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(stat("/dev/ttyUSB0", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    std::set<std::string> entries;
    DIR* dir = opendir("/sys/class/tty");
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            entries.insert(e->d_name);
        }
    }
    closedir(dir);
    EXPECT_EQ(entries, (std::set<std::string>{"console", "ptmx", "tty", "ttyUSB0"}));
}

TEST_F(VserialListing, UnpluggedAdapterLeavesTheList) {
    Adapter* gone = mRig->AddUsbAdapter({0x0403, 0x6001, {}, "Gone", {}});
    Adapter* kept = mRig->AddUsbAdapter({0x0403, 0x6001, {}, "Kept", {}});
    ASSERT_NE(gone, nullptr);
    ASSERT_NE(kept, nullptr);
    gone->Unplug();

    EXPECT_EQ(ListedDescriptions(), (std::map<std::string, std::string>{{"/dev/ttyUSB1", "Kept"}}));
    sp_port* port = nullptr;
    EXPECT_EQ(sp_get_port_by_name("/dev/ttyUSB0", &port), SP_ERR_ARG);
}

TEST(VserialRecorder, NotesTtyPathsThatReachTheRealLibc) {
    size_t before = Rig::RealTtyAccesses().size();
    struct stat st;
    // Only a name that cannot exist: no real tty is touched even here.
    EXPECT_EQ(lstat("/sys/class/tty/vserial-no-such-tty", &st), -1);
    std::vector<std::string> after = Rig::RealTtyAccesses();
    ASSERT_EQ(after.size(), before + 1);
    EXPECT_EQ(after.back(), "/sys/class/tty/vserial-no-such-tty");
}

TEST(VserialRig, AllowsOneRigAtATime) {
    auto first = Rig::Create();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Rig::Create(), nullptr);
    first.reset();
    EXPECT_NE(Rig::Create(), nullptr);
}

// ---- an open port -------------------------------------------------------------------------------

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
        if (mPort != nullptr) {
            sp_close(mPort);
            sp_free_port(mPort);
        }
        VserialTest::TearDown();
    }

    // What the library reads back from the port.
    struct Config {
        int baud = 0;
        int bits = 0;
        int stopBits = 0;
        sp_parity parity = SP_PARITY_INVALID;
        sp_xonxoff xonXoff = SP_XONXOFF_INVALID;
    };
    Config ReadConfig() {
        Config c;
        sp_port_config* config = nullptr;
        EXPECT_EQ(sp_new_config(&config), SP_OK);
        EXPECT_EQ(sp_get_config(mPort, config), SP_OK);
        sp_get_config_baudrate(config, &c.baud);
        sp_get_config_bits(config, &c.bits);
        sp_get_config_stopbits(config, &c.stopBits);
        sp_get_config_parity(config, &c.parity);
        sp_get_config_xon_xoff(config, &c.xonXoff);
        sp_free_config(config);
        return c;
    }

    Adapter* mAdapter = nullptr;
    sp_port* mPort = nullptr;
};

TEST_F(VserialPort, FreshPortReadsLikeAnUnconfiguredUsbSerialPort) {
    Config c = ReadConfig();
    EXPECT_EQ(c.baud, 9600);
    EXPECT_EQ(c.bits, 8);
    EXPECT_EQ(c.stopBits, 1);
    EXPECT_EQ(c.parity, SP_PARITY_INVALID);
    EXPECT_EQ(c.xonXoff, SP_XONXOFF_OUT);
    EXPECT_EQ(mAdapter->OpenCount(), 1);
    EXPECT_TRUE(mAdapter->Dtr());
    EXPECT_TRUE(mAdapter->Rts());
}

TEST_F(VserialPort, AppliesSettingsAPtyCannotHold) {
    ASSERT_EQ(sp_set_bits(mPort, 7), SP_OK);
    ASSERT_EQ(sp_set_parity(mPort, SP_PARITY_EVEN), SP_OK);
    ASSERT_EQ(sp_set_stopbits(mPort, 2), SP_OK);
    ASSERT_EQ(sp_set_baudrate(mPort, 250000), SP_OK);
    ASSERT_EQ(sp_set_xon_xoff(mPort, SP_XONXOFF_INOUT), SP_OK);

    Config c = ReadConfig();
    EXPECT_EQ(c.baud, 250000);
    EXPECT_EQ(c.bits, 7);
    EXPECT_EQ(c.stopBits, 2);
    EXPECT_EQ(c.parity, SP_PARITY_EVEN);
    EXPECT_EQ(c.xonXoff, SP_XONXOFF_INOUT);

    auto s = mAdapter->Settings();
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->baud, 250000);
    EXPECT_EQ(s->dataBits, 7);
    EXPECT_EQ(s->parity, Parity::kEven);
    EXPECT_EQ(s->stopBits, 2);
    EXPECT_TRUE(s->xonOutput);
    EXPECT_TRUE(s->xonInput);

    // Back to a standard rate and no parity: the kept bits must not stick.
    ASSERT_EQ(sp_set_baudrate(mPort, 115200), SP_OK);
    ASSERT_EQ(sp_set_parity(mPort, SP_PARITY_ODD), SP_OK);
    ASSERT_EQ(sp_set_bits(mPort, 8), SP_OK);
    s = mAdapter->Settings();
    EXPECT_EQ(s->baud, 115200);
    EXPECT_EQ(s->dataBits, 8);
    EXPECT_EQ(s->parity, Parity::kOdd);
}

TEST_F(VserialPort, RecordsModemLineChangesInOrder) {
    ASSERT_EQ(sp_set_dtr(mPort, SP_DTR_OFF), SP_OK);
    EXPECT_FALSE(mAdapter->Dtr());
    ASSERT_EQ(sp_set_baudrate(mPort, 19200), SP_OK);  // re-applies the lines, changes none
    ASSERT_EQ(sp_set_dtr(mPort, SP_DTR_ON), SP_OK);
    sp_close(mPort);
    sp_free_port(mPort);
    mPort = nullptr;

    // Opening raises both lines (libserialport then only re-applies them); the last close drops
    // both because HUPCL is set.
    std::vector<LineEvent> expected = {
        {ModemLine::kDtr, true}, {ModemLine::kRts, true},  {ModemLine::kDtr, false},
        {ModemLine::kDtr, true}, {ModemLine::kDtr, false}, {ModemLine::kRts, false},
    };
    EXPECT_EQ(mAdapter->LineEvents(), expected);
    EXPECT_EQ(mAdapter->OpenCount(), 0);
}

TEST_F(VserialPort, CarriesBytesBothWays) {
    const std::string out = "to the peer\r\n\x00\xff"s;
    ASSERT_EQ(Count(sp_blocking_write(mPort, out.data(), out.size(), kHangGuardMs)),
              static_cast<int>(out.size()));
    EXPECT_EQ(ReadPeer(mAdapter->PeerFd(), out.size()), out);

    const std::string in = "from the peer\n";
    ASSERT_EQ(write(mAdapter->PeerFd(), in.data(), in.size()), static_cast<ssize_t>(in.size()));
    char buf[64] = {};
    ASSERT_EQ(Count(sp_blocking_read(mPort, buf, in.size(), kHangGuardMs)),
              static_cast<int>(in.size()));
    EXPECT_EQ(std::string(buf, in.size()), in);
}

TEST_F(VserialPort, RefusedSettingsFailTheCall) {
    mAdapter->RefuseSettings(true);
    EXPECT_NE(sp_set_baudrate(mPort, 57600), SP_OK);
    EXPECT_NE(sp_set_bits(mPort, 7), SP_OK);
    mAdapter->RefuseSettings(false);
    EXPECT_EQ(sp_set_baudrate(mPort, 57600), SP_OK);
    EXPECT_EQ(mAdapter->Settings()->baud, 57600);
}

TEST_F(VserialPort, UnplugHangsUpTheOpenPort) {
    mAdapter->Unplug();
    EXPECT_FALSE(mAdapter->Plugged());
    EXPECT_FALSE(mAdapter->Settings().has_value());

    char buf[8];
    EXPECT_EQ(Count(sp_blocking_read(mPort, buf, sizeof buf, 50)), 0);
    EXPECT_LT(Count(sp_blocking_write(mPort, "x", 1, 50)), 0);
    EXPECT_NE(sp_set_dtr(mPort, SP_DTR_OFF), SP_OK);
    EXPECT_EQ(read(mAdapter->PeerFd(), buf, sizeof buf), 0);

    sp_port* again = nullptr;
    EXPECT_EQ(sp_get_port_by_name(mAdapter->PortName().c_str(), &again), SP_ERR_ARG);
}

TEST_F(VserialPort, EchoDeviceSendsBackWhatItReceives) {
    vserial::EchoDevice echo(*mAdapter);
    const std::string msg(3000, 'e');
    ASSERT_EQ(Count(sp_blocking_write(mPort, msg.data(), msg.size(), kHangGuardMs)),
              static_cast<int>(msg.size()));
    std::string back(msg.size(), '\0');
    ASSERT_EQ(Count(sp_blocking_read(mPort, back.data(), back.size(), kHangGuardMs)),
              static_cast<int>(msg.size()));
    EXPECT_EQ(back, msg);
    // Unplugging with the echo running must stop it rather than hang.
    mAdapter->Unplug();
}

TEST_F(VserialPort, EchoDeviceStopsWhileThePortIsNotReading) {
    vserial::EchoDevice echo(*mAdapter);
    // Write until both directions are full: the echo thread is then stuck waiting to write back
    // to a port that never reads, and its destructor must still end it.
    const std::string chunk(4096, 'w');
    size_t total = 0;
    for (int idle = 0; idle < 20 && total < (4u << 20);) {
        int n = Count(sp_nonblocking_write(mPort, chunk.data(), chunk.size()));
        if (n > 0) {
            total += static_cast<size_t>(n);
            idle = 0;
        } else {
            ++idle;
            usleep(10 * 1000);
        }
    }
    EXPECT_LT(total, 4u << 20) << "the pty never filled up";
}

// ---- opening ------------------------------------------------------------------------------------

using VserialOpen = VserialTest;

TEST_F(VserialOpen, RefusedOpenReportsTheGivenErrno) {
    Adapter* adapter = mRig->AddUsbAdapter({});
    ASSERT_NE(adapter, nullptr);
    adapter->RefuseOpen(EBUSY);
    sp_port* port = nullptr;
    ASSERT_EQ(sp_get_port_by_name(adapter->PortName().c_str(), &port), SP_OK);
    EXPECT_EQ(sp_open(port, SP_MODE_READ_WRITE), SP_ERR_FAIL);
    EXPECT_EQ(sp_last_error_code(), EBUSY);
    EXPECT_EQ(adapter->OpenCount(), 0);

    adapter->RefuseOpen(0);
    EXPECT_EQ(sp_open(port, SP_MODE_READ_WRITE), SP_OK);
    sp_close(port);
    sp_free_port(port);
}

}  // namespace
