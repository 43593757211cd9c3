// The echo rig and its idle and load runs: per-port streams checked byte by byte, the plug-in or
// raw libserialport loops on each port, and the timed stops.
#include "bench/echo_rig.h"

#include <libserialport.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#include "bench/bench_host.h"
#include "bench/process_stats.h"
#include "cpd/driver/local/serial/serial_protocol.h"

namespace bench {
namespace {

constexpr unsigned kPatternPeriod = 26;  // Pattern(): 'a' to 'z' over and over

// One direction of one port's echo as its receiver sees it: every byte checked against the
// periodic pattern and counted; the writer keeps at most a window in flight, so a run drains
// quickly and no buffer grows.
class Stream {
  public:
    explicit Stream(uint64_t window) : mWindow(window) {}
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Receiving thread only.
    void Received(const uint8_t* data, size_t n) {
        uint64_t at = mReceived.load(std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i, ++at) {
            mMisplaced += data[i] != static_cast<uint8_t>('a' + at % kPatternPeriod);
        }
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mReceived.store(at, std::memory_order_relaxed);
        }
        mCond.notify_all();
    }
    // Writing thread: false once it should end; parks meanwhile while paused.
    bool WaitForRoom() {
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;) {
            mParked = mPaused;
            mCond.notify_all();
            if (mQuit) {
                return false;
            }
            const uint64_t received = mReceived.load(std::memory_order_relaxed);
            if (!mPaused && (mSent <= received || mSent - received < mWindow)) {
                return true;
            }
            mCond.wait(lock);
        }
    }
    void Sent(size_t n) {
        std::lock_guard<std::mutex> lock(mMutex);
        mSent += n;
    }
    // Returns once the writer has finished its write and waits.
    void Pause() {
        std::unique_lock<std::mutex> lock(mMutex);
        mPaused = true;
        mCond.notify_all();
        mCond.wait(lock, [this] { return mParked || mQuit; });
    }
    void Resume() {
        std::lock_guard<std::mutex> lock(mMutex);
        mPaused = false;
        mCond.notify_all();
    }
    void Quit() {
        std::lock_guard<std::mutex> lock(mMutex);
        mQuit = true;
        mCond.notify_all();
    }
    uint64_t SentBytes() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSent;
    }
    uint64_t ReceivedBytes() const { return mReceived.load(std::memory_order_relaxed); }
    uint64_t Misplaced() const { return mMisplaced.load(std::memory_order_relaxed); }

  private:
    const uint64_t mWindow;
    std::mutex mMutex;  // guards mSent and the flags; pairs with mCond
    std::condition_variable mCond;
    uint64_t mSent = 0;
    bool mPaused = false;
    bool mParked = false;
    bool mQuit = false;
    std::atomic<uint64_t> mReceived{0};  // written under mMutex, read without it
    std::atomic<uint64_t> mMisplaced{0};
};

// The host device of one port: READ_DATA bytes go to the port's stream, if it has one.
class ScaleDevice : public BenchDevice {
  public:
    ScaleDevice(const std::string& description, Stream* stream)
        : BenchDevice(description), mStream(stream) {}

    int SendPacket(std::unique_ptr<cpd::CpdPacket> packet, int) override {
        if (mStream != nullptr && packet != nullptr &&
            packet->GetCmd() == cpd::SERIAL_CMD_READ_DATA && packet->GetPayloadLen() > 4) {
            mStream->Received(packet->GetPayload() + 4,
                              static_cast<size_t>(packet->GetPayloadLen() - 4));
        }
        return 0;
    }

  private:
    Stream* mStream;
};

struct PortCloser {
    void operator()(sp_port* port) const {
        sp_close(port);
        sp_free_port(port);
    }
};
using RawPort = std::unique_ptr<sp_port, PortCloser>;

RawPort OpenRaw(const vserial::Adapter* adapter, int baud) {
    sp_port* port = nullptr;
    if (sp_get_port_by_name(adapter->PortName().c_str(), &port) != SP_OK ||
        sp_open(port, SP_MODE_READ_WRITE) != SP_OK) {
        std::fprintf(stderr, "scale_bench: cannot open %s\n", adapter->PortName().c_str());
        std::exit(1);
    }
    if (baud > 0) {
        sp_set_baudrate(port, baud);
    }
    return RawPort(port);
}

// One port of a run: the plug-in with its device, or a raw port with its reading thread.
struct Port {
    explicit Port(uint64_t window) : stream(window) {}
    Stream stream;
    std::unique_ptr<ScaleDevice> device;
    std::unique_ptr<Plugin> plugin;
    RawPort raw;
    std::atomic<bool> stopReading{false};
    std::thread reader;
    std::thread writer;
};

void RawReadLoop(Port* port, uint32_t timeoutMs) {
    std::vector<uint8_t> buffer(4096);
    while (!port->stopReading.load(std::memory_order_relaxed)) {
        const int n = sp_blocking_read(port->raw.get(), buffer.data(), 4095, timeoutMs);
        if (n > 0) {
            port->stream.Received(buffer.data(), static_cast<size_t>(n));
        }
    }
}

// Milliseconds each port's stop took (the plug-in's Close, or a raw loop's flag and join), one
// port after the other as a host closes them. Under load each port's writer (its delivering
// thread) pauses first, untimed, so the echo of what it wrote is still coming back.
std::vector<double> TimeStops(std::vector<std::unique_ptr<Port>>& ports, bool underLoad) {
    std::vector<double> ms;
    for (std::unique_ptr<Port>& port : ports) {
        if (underLoad) {
            port->stream.Pause();
        }
        const Clock::time_point start = Clock::now();
        if (port->plugin != nullptr) {
            port->plugin->Close();
        } else {
            port->stopReading = true;
            port->reader.join();
        }
        ms.push_back(Seconds(Clock::now() - start) * 1000);
    }
    return ms;
}

// Milliseconds from one stop request to all raw loops until each had ended. (Asked one at a
// time, each would add its own wait for the end of a read to the next one's.)
std::vector<double> TimeRawStops(std::vector<std::unique_ptr<Port>>& ports) {
    const Clock::time_point start = Clock::now();
    for (std::unique_ptr<Port>& port : ports) {
        port->stopReading = true;
    }
    std::vector<double> ms;
    for (std::unique_ptr<Port>& port : ports) {
        port->reader.join();
        ms.push_back(Seconds(Clock::now() - start) * 1000);
    }
    return ms;
}

double CpuShare(uint64_t cpuNs, double seconds) {
    return static_cast<double>(cpuNs) / 1e9 / seconds * 100;
}

// The process's CPU but the far end's threads.
uint64_t NearCpuNs(const std::vector<pid_t>& farEnd) {
    const uint64_t process = ProcessCpuNs();
    uint64_t far = 0;
    for (pid_t tid : farEnd) {
        far += TidCpuNs(tid);
    }
    return process - far;
}

// Bytes per write: about 20 ms of the line, a whole number of pattern periods so that every
// write continues the stream where the last one ended.
size_t ChunkFor(int baud) {
    const size_t bytes = static_cast<size_t>(baud) / 10 / 50;
    return std::max<size_t>(1, bytes / kPatternPeriod) * kPatternPeriod;
}

// The measured window of a load run, the check that nothing was lost, then the stops under load.
LoadRun MeasureLoad(std::vector<std::unique_ptr<Port>>& ports, double seconds,
                    const std::vector<pid_t>& farEnd) {
    const auto received = [&] {
        uint64_t total = 0;
        for (std::unique_ptr<Port>& port : ports) {
            total += port->stream.ReceivedBytes();
        }
        return total;
    };
    Sleep(std::min(0.5, seconds));  // the lines fill and the pumps reach their pace
    LoadRun run;
    const uint64_t bytes0 = received();
    const uint64_t cpu0 = NearCpuNs(farEnd);
    const Clock::time_point t0 = Clock::now();
    Sleep(seconds);
    const uint64_t cpu1 = NearCpuNs(farEnd);
    const double elapsed = Seconds(Clock::now() - t0);
    run.cpuPercent = CpuShare(cpu1 - cpu0, elapsed);
    run.bytesPerSecond =
        static_cast<double>(received() - bytes0) / elapsed / static_cast<double>(ports.size());

    for (std::unique_ptr<Port>& port : ports) {
        port->stream.Pause();
    }
    const Clock::time_point drainLimit = Clock::now() + std::chrono::seconds(3);
    for (std::unique_ptr<Port>& port : ports) {
        while (port->stream.ReceivedBytes() < port->stream.SentBytes() &&
               Clock::now() < drainLimit) {
            Sleep(0.005);
        }
        const uint64_t sent = port->stream.SentBytes();
        const uint64_t got = port->stream.ReceivedBytes();
        // More than was sent can only be bytes of another run: out of order too.
        run.lost += sent > got ? sent - got : 0;
        run.misplaced += got > sent ? got - sent : 0;
    }
    // Traffic again, then each port stopped in turn while its echo is still coming back.
    for (std::unique_ptr<Port>& port : ports) {
        port->stream.Resume();
    }
    Sleep(0.3);
    run.stopMs = TimeStops(ports, true);
    for (std::unique_ptr<Port>& port : ports) {
        port->stream.Quit();
        port->writer.join();
        run.misplaced += port->stream.Misplaced();
    }
    return run;
}

}  // namespace

std::unique_ptr<EchoRig> EchoRig::Create(const std::string& pluginPath) {
    std::unique_ptr<EchoRig> rig(new EchoRig());
    rig->mPluginPath = pluginPath;
    const std::set<pid_t> before = ThreadIds();
    rig->mRig = vserial::Rig::Create();
    if (rig->mRig == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < kMaxPorts; ++i) {
        char serial[8];
        std::snprintf(serial, sizeof(serial), "S%02d", i);
        vserial::Adapter* adapter = rig->mRig->AddUsbAdapter(
            {0x0403, 0x6001, "FTDI", "Scale Port", serial}, vserial::Pacing::kLineRate);
        if (adapter == nullptr) {
            return nullptr;
        }
        rig->mAdapters.push_back(adapter);
        rig->mEchoes.push_back(std::make_unique<vserial::EchoDevice>(*adapter));
    }
    const std::set<pid_t> after = ThreadIds();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(rig->mFarEnd));
    return rig;
}

// Bytes that reach a closed port are dropped when it opens, but bytes still crossing a paced
// line would land in the next run: all quiet for 100 ms (at most 5 s), dropping what comes.
void EchoRig::Quiesce(int n) {
    std::vector<RawPort> ports;
    for (int i = 0; i < n; ++i) {
        ports.push_back(OpenRaw(mAdapters[i], 0));
    }
    std::vector<uint8_t> buffer(4096);
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(5);
    for (bool quiet = false; !quiet && Clock::now() < limit;) {
        Sleep(0.1);
        quiet = true;
        for (RawPort& port : ports) {
            while (sp_nonblocking_read(port.get(), buffer.data(), buffer.size()) > 0) {
                quiet = false;
            }
        }
    }
}

IdleRun EchoRig::Idle(bool plugin, int n, uint32_t timeoutMs, double seconds) {
    std::vector<std::unique_ptr<Port>> ports;
    for (int i = 0; i < n; ++i) {
        ports.push_back(std::make_unique<Port>(0));
        Port& port = *ports.back();
        if (plugin) {
            port.device = std::make_unique<ScaleDevice>(mAdapters[i]->Description(), nullptr);
            port.plugin = std::make_unique<Plugin>(mPluginPath, port.device.get());
            port.plugin->Deliver(ReadTimeoutPacket(timeoutMs));
            port.plugin->Deliver(StartReadPacket());
        } else {
            port.raw = OpenRaw(mAdapters[i], 0);
            port.reader = std::thread(RawReadLoop, &port, timeoutMs);
        }
    }
    Sleep(0.3);
    IdleRun run;
    const uint64_t cpu0 = ProcessCpuNs();
    const Clock::time_point t0 = Clock::now();
    Sleep(seconds);
    run.cpuPercent = CpuShare(ProcessCpuNs() - cpu0, Seconds(Clock::now() - t0));
    run.stopMs = plugin ? TimeStops(ports, false) : TimeRawStops(ports);
    return run;
}

LoadRun EchoRig::Load(bool plugin, int n, int baud, double seconds) {
    Quiesce(n);
    const std::vector<uint8_t> data = Pattern(ChunkFor(baud));
    std::vector<std::unique_ptr<Port>> ports;
    for (int i = 0; i < n; ++i) {
        ports.push_back(std::make_unique<Port>(static_cast<uint64_t>(baud) / 10 / 5));
        Port& port = *ports.back();
        if (plugin) {
            port.device = std::make_unique<ScaleDevice>(mAdapters[i]->Description(), &port.stream);
            port.plugin = std::make_unique<Plugin>(mPluginPath, port.device.get());
            port.plugin->Deliver(BaudRatePacket(baud));
            port.plugin->Deliver(ReadTimeoutPacket(kLoadReadTimeoutMs));
            port.plugin->Deliver(StartReadPacket());
            port.writer = std::thread([&port, &data] {
                while (port.stream.WaitForRoom()) {
                    port.plugin->Deliver(
                        WritePacket(data.data(), static_cast<uint32_t>(data.size())));
                    port.stream.Sent(data.size());
                }
            });
            continue;
        }
        port.raw = OpenRaw(mAdapters[i], baud);
        port.reader = std::thread(RawReadLoop, &port, kLoadReadTimeoutMs);
        port.writer = std::thread([&port, &data] {
            while (port.stream.WaitForRoom()) {
                size_t done = 0;
                for (int n = 0; done < data.size() && n >= 0; done += n > 0 ? n : 0) {
                    n = sp_blocking_write(port.raw.get(), data.data() + done, data.size() - done,
                                          500);
                }
                port.stream.Sent(done);
            }
        });
    }
    return MeasureLoad(ports, seconds, mFarEnd);
}

}  // namespace bench
