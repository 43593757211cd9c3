// The benchmark's host side: the counting device, the plug-in loaded by path, request packets.
#include "bench/bench_host.h"

#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "bench/alloc_count.h"
#include "cpd/driver/local/serial/serial_protocol.h"

namespace bench {

namespace {

class BenchDeviceDesc : public cpd::CpdDeviceDesc {
  public:
    explicit BenchDeviceDesc(std::string args) : mArgs(std::move(args)) {}
    std::string GetDescription() override { return mArgs; }
    int GetVid() override { return 0x0403; }
    int GetPid() override { return 0x6001; }
    int GetCid() override { return 1; }
    std::string GetArgs() override { return mArgs; }

  private:
    std::string mArgs;
};

std::unique_ptr<cpd::CpdPacket> Request(uint16_t cmd, const void* payload, uint32_t length) {
    static std::atomic<uint32_t> seq{0};
    std::unique_ptr<cpd::CpdPacket> packet(new cpd::CpdPacket(length + 64));
    packet->SetHeader(kDevId, cmd, ++seq);
    packet->AppendBytes(payload, length);
    return packet;
}

}  // namespace

BenchDevice::BenchDevice(std::string portDescription)
    : mDesc(std::make_shared<BenchDeviceDesc>(std::move(portDescription))) {}

int BenchDevice::SendPacket(std::unique_ptr<cpd::CpdPacket> packet, int arg) {
    (void)arg;
    if (packet == nullptr || packet->GetCmd() != cpd::SERIAL_CMD_READ_DATA) {
        return 0;
    }
    const uint64_t payload = packet->GetPayloadLen();
    if (payload >= 4) {
        mDataBytes.fetch_add(payload - 4, std::memory_order_relaxed);
    }
    mSenderAllocations.store(ThreadAllocations(), std::memory_order_relaxed);
    mSenderCpuNs.store(ThreadCpuNs(), std::memory_order_relaxed);
    if (mStamp.load(std::memory_order_relaxed)) {
        mArrivals.Stamp();
    }
    mDataPackets.fetch_add(1, std::memory_order_release);
    return 0;
}

void Arrivals::Stamp() {
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mLatest = now;
        ++mCount;
    }
    mCond.notify_all();
}

bool Arrivals::Wait(uint64_t count, std::chrono::milliseconds limit, Clock::time_point* at) {
    std::unique_lock<std::mutex> lock(mMutex);
    const bool arrived = mCond.wait_for(lock, limit, [&] { return mCount >= count; });
    *at = mLatest;
    return arrived;
}

Plugin::Plugin(const std::string& path, cpd::CpdDevice* device) {
    mLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (mLibrary == nullptr) {
        std::fprintf(stderr, "bench: %s\n", dlerror());
        std::exit(1);
    }
    const auto* module = static_cast<const cpd::CpdDrvModule*>(dlsym(mLibrary, "CPD_DRV_MODULE"));
    if (module == nullptr || module->open == nullptr) {
        std::fprintf(stderr, "bench: %s has no CPD_DRV_MODULE\n", path.c_str());
        std::exit(1);
    }
    mDriver = module->open(device, device->GetDeviceDesc()->GetArgs());
    if (mDriver == nullptr) {
        std::fprintf(stderr, "bench: %s opened no driver\n", path.c_str());
        std::exit(1);
    }
}

Plugin::~Plugin() {
    mDriver->Close(true);
    delete mDriver;
    dlclose(mLibrary);
}

std::unique_ptr<cpd::CpdPacket> StartReadPacket() {
    return Request(cpd::SERIAL_CMD_START_READ, nullptr, 0);
}

std::unique_ptr<cpd::CpdPacket> ReadLengthPacket(uint64_t length) {
    uint8_t payload[16];
    const uint32_t msgType = cpd::SET_READ_LENGTH;
    const uint32_t len = sizeof(length);
    std::memcpy(payload, &msgType, 4);
    std::memcpy(payload + 4, &len, 4);
    std::memcpy(payload + 8, &length, 8);
    return Request(cpd::SERIAL_CMD_SET_CONFIG, payload, sizeof(payload));
}

std::unique_ptr<cpd::CpdPacket> WritePacket(const uint8_t* data, uint32_t length) {
    std::vector<uint8_t> payload(length + 4);
    std::memcpy(payload.data(), &length, 4);
    std::memcpy(payload.data() + 4, data, length);
    return Request(cpd::SERIAL_CMD_WRITE, payload.data(), static_cast<uint32_t>(payload.size()));
}

std::unique_ptr<cpd::CpdPacket> SetConfigPacket(uint32_t msgType, const void* data, uint32_t len) {
    std::vector<uint8_t> payload(8 + len);
    std::memcpy(payload.data(), &msgType, 4);
    std::memcpy(payload.data() + 4, &len, 4);
    if (len > 0) {
        std::memcpy(payload.data() + 8, data, len);
    }
    return Request(cpd::SERIAL_CMD_SET_CONFIG, payload.data(),
                   static_cast<uint32_t>(payload.size()));
}

std::unique_ptr<cpd::CpdPacket> ReadTimeoutPacket(uint32_t ms) {
    const uint32_t timeouts[5] = {0, 0, ms, 0, 0};
    return SetConfigPacket(cpd::DRIVER_SET_TIMEOUTS_TO_USER, timeouts, sizeof(timeouts));
}

std::unique_ptr<cpd::CpdPacket> BaudRatePacket(int32_t baud) {
    return SetConfigPacket(cpd::DRIVER_SET_BAUD_RATE_TO_USER, &baud, sizeof(baud));
}

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>('a' + i % 26);
    }
    return bytes;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

namespace {

uint64_t ClockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

uint64_t ThreadCpuNs() {
    return ClockNs(CLOCK_THREAD_CPUTIME_ID);
}

uint64_t ProcessCpuNs() {
    return ClockNs(CLOCK_PROCESS_CPUTIME_ID);
}

uint64_t OtherThreadCpuNs(std::thread& thread) {
    clockid_t clock;
    return pthread_getcpuclockid(thread.native_handle(), &clock) == 0 ? ClockNs(clock) : 0;
}

// Linux encodes a thread's CPU clock as ~tid << 3 | CPUCLOCK_PERTHREAD | CPUCLOCK_SCHED.
uint64_t TidCpuNs(pid_t tid) {
    return ClockNs(static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u));
}

}  // namespace bench
