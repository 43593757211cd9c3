// Fixture base of the plug-in suites: a virtual USB adapter, the built plug-in loaded by path,
// a host device whose selection text names the adapter, and the driver the plug-in opened for it.
// Everything runs on the test thread except the driver's read pump.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpd/host/program/plugin_loader.h"
#include "serial_packets.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_device.h"
#include "vserial/vserial.h"

namespace cpd::test {

// Share of one core the whole process used over `span` (at least a second for a stable
// figure) while the calling thread slept; printed, so a run shows the figure. The span really
// slept goes to *seconds.
inline double ProcessCpuShare(std::chrono::milliseconds span, double* seconds = nullptr) {
    const auto cpuSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const double before = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const double share = (cpuSeconds() - before) / elapsed.count();
    std::printf("process CPU: %.4f of a core over %.2f s\n", share, elapsed.count());
    if (seconds != nullptr) {
        *seconds = elapsed.count();
    }
    return share;
}

// Closes, then deletes through the virtual destructor, in the host's order.
using host::DriverPtr;

class PluginHost : public ::testing::Test {
  protected:
    static constexpr int kDevId = 0x21;

    void SetUp() override {
        mRig = vserial::Rig::Create();
        ASSERT_NE(mRig, nullptr);
        mAdapter = mRig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "FT232R USB UART", "A10K1"});
        ASSERT_NE(mAdapter, nullptr);
        std::string error;
        mPlugin = host::Plugin::Load(CPD_SERIAL_PLUGIN, &error);
        ASSERT_NE(mPlugin, nullptr) << error;
    }

    // Opens a driver whose device selects `args`; the driver may be null only if open failed.
    // A driver already open is deleted first, before the device it uses.
    void Open(const std::string& args, int devId = kDevId) {
        mDriver.reset();
        TestDevice::Identity identity;
        identity.devId = devId;
        mDevice = std::make_unique<TestDevice>(args, "virtual serial device", identity);
        mDriver = mPlugin->OpenDriver(mDevice.get(), "serial");
    }
    void OpenAdapter() {
        Open(mAdapter->Description());
        ASSERT_NE(mDriver, nullptr);
    }

    int Deliver(std::unique_ptr<CpdPacket> packet, int arg = 7) {
        return mDriver->onEvent(std::move(packet), arg);
    }

    std::vector<SentPacket> PacketsOfCmd(uint16_t cmd) {
        std::vector<SentPacket> out = mDevice->Sent();
        out.erase(std::remove_if(out.begin(), out.end(),
                                 [cmd](const SentPacket& p) { return p.Cmd() != cmd; }),
                  out.end());
        return out;
    }

    // Bytes the peer receives within the hang guard, until `count` arrived.
    std::string PeerReceive(size_t count) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{mAdapter->PeerFd(), POLLIN, 0};
            char buf[4096];
            const ssize_t n =
                poll(&pfd, 1, 50) == 1 ? read(mAdapter->PeerFd(), buf, sizeof buf) : 0;
            got.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
        return got;
    }
    void PeerSend(const std::string& bytes) {
        ASSERT_EQ(write(mAdapter->PeerFd(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Members are destroyed bottom-up: the driver goes before the device, the log capture, the
    // plug-in's code and the adapters it uses.
    std::unique_ptr<vserial::Rig> mRig;
    vserial::Adapter* mAdapter = nullptr;
    std::unique_ptr<host::Plugin> mPlugin;
    LogCapture mLog;
    std::unique_ptr<TestDevice> mDevice;
    DriverPtr mDriver;
};

// The same with a driver already open on the adapter.
class PluginHostOpen : public PluginHost {
  protected:
    void SetUp() override {
        PluginHost::SetUp();
        if (!HasFatalFailure()) {
            OpenAdapter();
        }
    }
};

}  // namespace cpd::test
