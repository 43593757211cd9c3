// The host side of the benchmarks: a device whose SendPacket only counts (and, for latency runs,
// time-stamps) the data packets, the plug-in loaded by path exactly as a host loads it, and the
// remote side's request packets.
//
// Threads: the benchmark's main thread opens, feeds and closes the plug-in; SendPacket runs on
// the plug-in's read thread. Non-copyable owners throughout.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cpd/interface/cpd_device.h"
#include "cpd/interface/cpd_driver.h"
#include "cpd/interface/cpd_packet.h"

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr int kDevId = 0x21;

// Time stamps of arrivals, announced to one waiting thread (latency runs).
class Arrivals {
  public:
    Arrivals() = default;
    Arrivals(const Arrivals&) = delete;
    Arrivals& operator=(const Arrivals&) = delete;

    void Stamp();
    // Waits until `count` arrivals were stamped (false after `limit`); gives the latest stamp.
    bool Wait(uint64_t count, std::chrono::milliseconds limit, Clock::time_point* at);

  private:
    std::mutex mMutex;  // guards mCount and mLatest; pairs with mCond
    std::condition_variable mCond;
    uint64_t mCount = 0;
    Clock::time_point mLatest{};
};

class BenchDevice : public cpd::CpdDevice {
  public:
    explicit BenchDevice(std::string portDescription);
    BenchDevice(const BenchDevice&) = delete;
    BenchDevice& operator=(const BenchDevice&) = delete;
    ~BenchDevice() = default;

    std::shared_ptr<cpd::CpdDeviceDesc> GetDeviceDesc() override { return mDesc; }
    int GetDevId() override { return kDevId; }
    int GetDevIdHigh() override { return 0; }
    void* GetBus() override { return this; }
    // Read thread. Counts the data bytes of SERIAL_CMD_READ_DATA packets and records the
    // sending thread's allocation count; with time stamps on, also the arrival time.
    int SendPacket(std::unique_ptr<cpd::CpdPacket> packet, int arg) override;

    uint64_t DataBytes() const { return mDataBytes.load(std::memory_order_relaxed); }
    uint64_t DataPackets() const { return mDataPackets.load(std::memory_order_acquire); }
    // Allocations the read thread had made when it sent its latest data packet.
    uint64_t SenderAllocations() const {
        return mSenderAllocations.load(std::memory_order_relaxed);
    }
    // CPU time the read thread had used when it sent its latest data packet.
    uint64_t SenderCpuNs() const { return mSenderCpuNs.load(std::memory_order_relaxed); }

    // With stamps on, each data packet's arrival is time-stamped and announced (Arrivals).
    void StampArrivals(bool on) { mStamp = on; }
    Arrivals& Stamps() { return mArrivals; }

  private:
    std::shared_ptr<cpd::CpdDeviceDesc> mDesc;
    std::atomic<uint64_t> mDataBytes{0};
    std::atomic<uint64_t> mDataPackets{0};
    std::atomic<uint64_t> mSenderAllocations{0};
    std::atomic<uint64_t> mSenderCpuNs{0};
    std::atomic<bool> mStamp{false};
    Arrivals mArrivals;
};

// The plug-in opened on one device: dlopen by path, CPD_DRV_MODULE, its open function; the
// destructor runs Close, deletes the driver and unloads the library, as a host does. A plug-in
// that cannot be opened ends the benchmark (exit 1): no figure means anything without it.
class Plugin {
  public:
    Plugin(const std::string& path, cpd::CpdDevice* device);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    int Deliver(std::unique_ptr<cpd::CpdPacket> packet) {
        return mDriver->onEvent(std::move(packet), 0);
    }
    // The host's Close alone (the destructor still deletes the driver and unloads).
    int Close() { return mDriver->Close(true); }

  private:
    void* mLibrary = nullptr;
    cpd::CpdDriver* mDriver = nullptr;
};

// Remote-side requests, addressed to kDevId.
std::unique_ptr<cpd::CpdPacket> StartReadPacket();
std::unique_ptr<cpd::CpdPacket> ReadLengthPacket(uint64_t length);
std::unique_ptr<cpd::CpdPacket> WritePacket(const uint8_t* data, uint32_t length);
// SERIAL_CMD_SET_CONFIG carrying one request: msgType, len and `len` bytes of data.
std::unique_ptr<cpd::CpdPacket> SetConfigPacket(uint32_t msgType, const void* data, uint32_t len);
// The read timeout alone (the other timeouts 0), and the baud rate.
std::unique_ptr<cpd::CpdPacket> ReadTimeoutPacket(uint32_t ms);
std::unique_ptr<cpd::CpdPacket> BaudRatePacket(int32_t baud);

// Bytes that mean nothing to a terminal line discipline (no XON/XOFF, no line ends).
std::vector<uint8_t> Pattern(size_t length);

double Seconds(Clock::duration d);
void Sleep(double seconds);
// CPU time of the calling thread: unlike wall time, barely moved by other load on the machine.
uint64_t ThreadCpuNs();
// CPU time of every thread of this process, the log writer included.
uint64_t ProcessCpuNs();
// CPU time of another thread of this process.
uint64_t OtherThreadCpuNs(std::thread& thread);
// CPU time of any thread of this process by its kernel id (as /proc/self/task lists them).
uint64_t TidCpuNs(pid_t tid);

}  // namespace bench
