// The plug-in as a Windows host meets it: a DLL loaded with LoadLibrary, its descriptor found
// with GetProcAddress, a driver opened through it and run on the libserialport test double
// (which this program loads under libserialport's DLL name, so the plug-in binds to it).
#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/interface/cpd_driver.h"
#include "cpd/interface/cpd_packet.h"
#include "sp_double.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"

namespace {

using cpd::CpdDriver;
using cpd::CpdDrvModule;
using cpd::CpdPacket;
using cpd::test::LogCapture;
using cpd::test::SentPacket;
using cpd::test::TestDevice;

constexpr const char* kPortName = "COM7";
constexpr const char* kPortDescription = "USB Serial Port (COM7)";
// Hang guards only: everything here normally happens within milliseconds.
constexpr std::chrono::seconds kWait{10};

int CountProcessThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

// The loaded image's extent, from its own PE header.
struct ImageExtent {
    uintptr_t base = 0;
    uintptr_t size = 0;
    bool Contains(const void* p) const {
        const auto address = reinterpret_cast<uintptr_t>(p);
        return address >= base && address < base + size;
    }
};

ImageExtent ExtentOf(HMODULE module) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes + dos->e_lfanew);
    return ImageExtent{reinterpret_cast<uintptr_t>(module), nt->OptionalHeader.SizeOfImage};
}

template <typename T>
T FieldAt(const void* record, size_t offset) {
    T value{};
    std::memcpy(&value, static_cast<const uint8_t*>(record) + offset, sizeof(value));
    return value;
}

class PluginDllTest : public ::testing::Test {
  protected:
    void SetUp() override {
        spd_reset();
        ASSERT_EQ(spd_add_port(kPortName, kPortDescription), 0);
        mThreadsBefore = CountProcessThreads();
        mModule = LoadLibraryA(CPD_PLUGIN_DLL);
        ASSERT_NE(mModule, nullptr) << CPD_PLUGIN_DLL << " error " << GetLastError();
        mDescriptor = reinterpret_cast<const CpdDrvModule*>(
            reinterpret_cast<void*>(GetProcAddress(mModule, "CPD_DRV_MODULE")));
        ASSERT_NE(mDescriptor, nullptr);
    }

    void TearDown() override {
        CloseDriver();
        if (mModule != nullptr) {
            FreeLibrary(mModule);
        }
        spd_reset();
    }

    // Opens a driver on the device, as the host does for each redirected device.
    CpdDriver* Open() {
        mDriver = mDescriptor->open(&mDevice, "");
        return mDriver;
    }

    void CloseDriver() {
        if (mDriver != nullptr) {
            mDriver->Close(true);
            delete mDriver;
            mDriver = nullptr;
        }
    }

    // A remote-side request for this device: header, then the payload words and bytes given.
    std::unique_ptr<CpdPacket> Request(uint16_t cmd, std::initializer_list<uint32_t> words,
                                       const std::string& bytes = std::string()) {
        std::unique_ptr<CpdPacket> packet(new CpdPacket(256));
        packet->SetHeader(static_cast<uint8_t>(mDevice.GetDevId()), cmd, ++mSeq);
        for (uint32_t word : words) {
            packet->AppendU32(&word);
        }
        if (!bytes.empty()) {
            packet->AppendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
        }
        return packet;
    }

    TestDevice mDevice{kPortDescription};
    HMODULE mModule = nullptr;
    const CpdDrvModule* mDescriptor = nullptr;
    CpdDriver* mDriver = nullptr;
    int mThreadsBefore = 0;
    uint32_t mSeq = 100;
};

TEST_F(PluginDllTest, ExportsDescriptorWhosePointersLandInsideTheImage) {
    const ImageExtent image = ExtentOf(mModule);
    EXPECT_TRUE(image.Contains(mDescriptor));
    EXPECT_TRUE(image.Contains(reinterpret_cast<const void*>(mDescriptor->open)));
    EXPECT_TRUE(image.Contains(mDescriptor->name));
    EXPECT_STREQ(mDescriptor->name, "local-serial-redir");
}

TEST_F(PluginDllTest, DescriptorFieldsSitAtTheirOffsets) {
    const void* raw = mDescriptor;
    EXPECT_EQ(FieldAt<void*>(raw, 0), reinterpret_cast<void*>(mDescriptor->open));
    EXPECT_EQ(FieldAt<void*>(raw, 8), nullptr);
    EXPECT_EQ(FieldAt<uint16_t>(raw, 16), 11);
    EXPECT_EQ(FieldAt<uint16_t>(raw, 18), 0xFFFF);
    EXPECT_EQ(FieldAt<uint16_t>(raw, 20), 0xFFFF);
    EXPECT_EQ(FieldAt<uint16_t>(raw, 22), 0);
    EXPECT_EQ(FieldAt<const char*>(raw, 24), mDescriptor->name);
    EXPECT_EQ(FieldAt<int32_t>(raw, 32), -1);
    for (size_t offset = 36; offset < 48; ++offset) {
        EXPECT_EQ(FieldAt<uint8_t>(raw, offset), 0) << "byte " << offset;
    }
}

TEST_F(PluginDllTest, OpenSendsConfigurationReportOfTheDoublesPort) {
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(spd_is_open(kPortName), 1);
    ASSERT_GE(mDevice.WaitForPackets(1, kWait), 1u);
    const SentPacket report = mDevice.Sent()[0];
    EXPECT_EQ(report.Cmd(), cpd::SERIAL_CMD_REDIR_CONFIG);
    ASSERT_EQ(report.PayloadSize(), sizeof(cpd::serial_config));
    const spd_config expected = spd_default_config();
    const int fields[] = {expected.baudrate, expected.bits, expected.parity,
                          expected.stopbits, expected.rts,  expected.cts,
                          expected.dtr,      expected.dsr,  expected.xon_xoff};
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(static_cast<int32_t>(report.U32At(i * 4)), fields[i]) << "field " << i;
    }
}

TEST_F(PluginDllTest, ServesBaudRateAndWriteCommands) {
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(
        mDriver->onEvent(
            Request(cpd::SERIAL_CMD_SET_CONFIG, {cpd::DRIVER_SET_BAUD_RATE_TO_USER, 4, 115200}), 0),
        0);
    spd_config config{};
    ASSERT_EQ(spd_get_port_config(kPortName, &config), 0);
    EXPECT_EQ(config.baudrate, 115200);

    const std::string bytes = "AT+GMR\r\n";
    EXPECT_EQ(mDriver->onEvent(
                  Request(cpd::SERIAL_CMD_WRITE, {static_cast<uint32_t>(bytes.size())}, bytes), 0),
              0);
    EXPECT_EQ(spd::Written(kPortName), bytes);
}

TEST_F(PluginDllTest, ReadPumpForwardsPortBytesToTheRemoteSide) {
    ASSERT_NE(Open(), nullptr);
    ASSERT_GE(mDevice.WaitForPackets(1, kWait), 1u);
    mDevice.ClearSent();
    const std::string bytes = "OK\r\n";
    ASSERT_EQ(spd_push_read(kPortName, bytes.data(), bytes.size()), 0);
    mDriver->onEvent(Request(cpd::SERIAL_CMD_START_READ, {}), 0);

    ASSERT_GE(mDevice.WaitForPackets(1, kWait), 1u);
    const SentPacket data = mDevice.Sent()[0];
    EXPECT_EQ(data.Cmd(), cpd::SERIAL_CMD_READ_DATA);
    ASSERT_EQ(data.PayloadSize(), 4 + bytes.size());
    EXPECT_EQ(data.U32At(0), bytes.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.Payload()) + 4, bytes.size()), bytes);
}

TEST_F(PluginDllTest, CloseAndUnloadLeaveNoThreadRunning) {
    ASSERT_NE(Open(), nullptr);
    mDriver->onEvent(Request(cpd::SERIAL_CMD_START_READ, {}), 0);
    // The driver's looper and the read pump run while the driver is open.
    EXPECT_GE(CountProcessThreads(), mThreadsBefore + 2);

    CloseDriver();
    EXPECT_EQ(spd_is_open(kPortName), 0);
    EXPECT_EQ(CountProcessThreads(), mThreadsBefore);

    ASSERT_TRUE(FreeLibrary(mModule));
    mModule = nullptr;
    EXPECT_EQ(GetModuleHandleA(CPD_PLUGIN_DLL), nullptr);
    EXPECT_EQ(CountProcessThreads(), mThreadsBefore);
}

TEST_F(PluginDllTest, LogLinesNameBareFileNames) {
    LogCapture log;
    ASSERT_NE(Open(), nullptr);
    CloseDriver();
    EXPECT_TRUE(log.Contains("driver_entry.cpp open_serial_redir_drv("));
    EXPECT_TRUE(log.Contains("serial_io.cpp "));
    EXPECT_TRUE(log.Contains("local_serial_redir.cpp "));
    // Neither the build's folders nor a drive path reach a line.
    EXPECT_EQ(log.Count("cpd/driver"), 0u);
    EXPECT_EQ(log.Count("cpd\\driver"), 0u);
    EXPECT_EQ(log.Count(":\\"), 0u);
}

}  // namespace
