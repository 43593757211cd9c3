// Many ports in one host: N virtual adapters (1, 8 and 32), each with its own host device and
// plug-in object, side by side with N bare libserialport loops in the same process.
//
//   scale_bench [--short] [--plugin PATH]    every measurement, printed as Markdown tables
//   scale_bench footprint N [--plugin PATH]  (child) threads and resident memory per port
//
// Idle: every port open and reading, no traffic: the process's CPU against N raw
// sp_blocking_read loops with the same timeout, then how long each port's Close takes.
// Load: every port echoing at its line rate (paced adapters, an echo device on each far end):
// the host's writes leave as SERIAL_CMD_WRITE and come back as READ_DATA, checked byte by byte,
// against N raw write and read loops moving the same bytes. The far end's threads (pacers and
// echo devices) are the same in both and are left out of the CPU figures.
#include <dirent.h>
#include <dlfcn.h>
#include <libserialport.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "cpd/driver/local/serial/serial_protocol.h"
#include "cpd/host/framework/velmar_log.h"
#include "vserial/vserial.h"

namespace bench {
namespace {

std::string gPluginPath = BENCH_PLUGIN_PATH;

constexpr int kMaxPorts = 32;  // the most adapters one vserial rig holds
constexpr uint32_t kIdleTimeoutsMs[] = {1, 20, 500};
constexpr int kBauds[] = {115200, 921600};
// The read timeout under load: what a terminal program typically asks for.
constexpr uint32_t kLoadReadTimeoutMs = 20;
constexpr unsigned kPatternPeriod = 26;  // Pattern(): 'a' to 'z' over and over

enum GoalId { kIdleCpu, kLoadRatio, kLost, kReadThreads, kRssPerPort, kQuietStop, kGoalCount };
struct GoalSpec {
    const char* text;
    const char* unit;
    double limit;  // met when the figure is at most this
};
constexpr GoalSpec kGoals[kGoalCount] = {
    {"32 quiet ports at read timeout 1 ms: whole process CPU", "% of a core", 1.0},
    {"32 ports echoing at line rate: process CPU / 32 raw loops, worse baud", "x", 1.2},
    {"bytes lost or out of order, every load run", "bytes", 0},
    {"read threads per port", "", 1},
    {"resident memory per port, 32 ports", "KiB", 256},
    {"Stop of a quiet port, slowest port at any read timeout", "ms", 10},
};

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

uint64_t ClockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The CPU clock of any thread of this process by its id (Linux encodes per-thread clocks as
// ~tid << 3 | CPUCLOCK_PERTHREAD | CPUCLOCK_SCHED).
uint64_t TidCpuNs(pid_t tid) {
    return ClockNs(static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u));
}

std::set<pid_t> Threads() {
    std::set<pid_t> tids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                tids.insert(static_cast<pid_t>(std::atol(entry->d_name)));
            }
        }
        closedir(dir);
    }
    return tids;
}

double ResidentKiB() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024;
}

// The rig's own threads (line pacers, echo devices): the far end of every line, whose CPU the
// figures leave out.
class FarEnd {
  public:
    void Add(const std::set<pid_t>& before, const std::set<pid_t>& after) {
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(mTids));
    }
    uint64_t CpuNs() const {
        uint64_t total = 0;
        for (pid_t tid : mTids) {
            total += TidCpuNs(tid);
        }
        return total;
    }

  private:
    std::vector<pid_t> mTids;
};
FarEnd gFarEnd;

uint64_t NearCpuNs() {
    return ClockNs(CLOCK_PROCESS_CPUTIME_ID) - gFarEnd.CpuNs();
}

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

std::unique_ptr<cpd::CpdPacket> ReadTimeoutPacket(uint32_t ms) {
    const uint32_t timeouts[5] = {0, 0, ms, 0, 0};
    return SetConfigPacket(cpd::DRIVER_SET_TIMEOUTS_TO_USER, timeouts, sizeof(timeouts));
}

std::unique_ptr<cpd::CpdPacket> BaudRatePacket(int32_t baud) {
    return SetConfigPacket(cpd::DRIVER_SET_BAUD_RATE_TO_USER, &baud, sizeof(baud));
}

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

std::vector<vserial::Adapter*> gAdapters;

// Returns once no echo of an earlier run is still on its way to the first n ports (all quiet for
// 100 ms, at most 5 s), dropping what comes: bytes that reach a closed port are dropped when it
// opens, but bytes still crossing a paced line would land in the next run.
void Quiesce(int n) {
    std::vector<RawPort> ports;
    for (int i = 0; i < n; ++i) {
        ports.push_back(OpenRaw(gAdapters[i], 0));
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

std::unique_ptr<Plugin> OpenPlugin(ScaleDevice* device) {
    std::unique_ptr<Plugin> plugin = std::make_unique<Plugin>(gPluginPath, device);
    if (!plugin->Ok()) {
        std::exit(1);
    }
    return plugin;
}

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
// port after the other as a host closes them; sorted. Under load each port's writer (its
// delivering thread) pauses first, untimed, so the echo of what it wrote is still coming back.
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
    std::sort(ms.begin(), ms.end());
    return ms;
}

// Milliseconds from one stop request to all raw loops until each had ended; sorted. (Asked one
// at a time, each would add its own wait for the end of a read to the next one's.)
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
    std::sort(ms.begin(), ms.end());
    return ms;
}

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

double Median(const std::vector<double>& sorted) {
    return sorted.empty() ? 0 : sorted[sorted.size() / 2];
}

// "median / max" of sorted figures.
std::string MedianMax(const std::vector<double>& sorted, int decimals) {
    return sorted.empty()
               ? "-"
               : Fixed(Median(sorted), decimals) + " / " + Fixed(sorted.back(), decimals);
}

double CpuShare(uint64_t cpuNs, double seconds) {
    return static_cast<double>(cpuNs) / 1e9 / seconds * 100;
}

struct IdleRun {
    double cpuPercent = 0;
    std::vector<double> stopMs;
};

// One idle run: every port open and reading with the timeout, the plug-in or the raw loops.
IdleRun Idle(bool plugin, int n, uint32_t timeoutMs, double seconds) {
    std::vector<std::unique_ptr<Port>> ports;
    for (int i = 0; i < n; ++i) {
        ports.push_back(std::make_unique<Port>(0));
        Port& port = *ports.back();
        if (plugin) {
            port.device = std::make_unique<ScaleDevice>(gAdapters[i]->Description(), nullptr);
            port.plugin = OpenPlugin(port.device.get());
            port.plugin->Deliver(ReadTimeoutPacket(timeoutMs));
            port.plugin->Deliver(StartReadPacket());
        } else {
            port.raw = OpenRaw(gAdapters[i], 0);
            port.reader = std::thread(RawReadLoop, &port, timeoutMs);
        }
    }
    Sleep(0.3);
    IdleRun run;
    const uint64_t cpu0 = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
    const Clock::time_point t0 = Clock::now();
    Sleep(seconds);
    run.cpuPercent = CpuShare(ClockNs(CLOCK_PROCESS_CPUTIME_ID) - cpu0, Seconds(Clock::now() - t0));
    run.stopMs = plugin ? TimeStops(ports, false) : TimeRawStops(ports);
    return run;
}

struct LoadRun {
    double cpuPercent = 0;       // of one core, the far end left out
    double bytesPerSecond = 0;   // per port, each way
    uint64_t lost = 0;           // sent but never received once the writers paused
    uint64_t misplaced = 0;      // received bytes that were not the next of the stream
    std::vector<double> stopMs;  // each port's stop while its echo still flows
};

// Bytes per write: about 20 ms of the line, a whole number of pattern periods so that every
// write continues the stream where the last one ended.
size_t ChunkFor(int baud) {
    const size_t bytes = static_cast<size_t>(baud) / 10 / 50;
    return std::max<size_t>(1, bytes / kPatternPeriod) * kPatternPeriod;
}

// The measured window of a load run, the check that nothing was lost, then the stops under load.
LoadRun MeasureLoad(std::vector<std::unique_ptr<Port>>& ports, double seconds) {
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
    const uint64_t cpu0 = NearCpuNs();
    const Clock::time_point t0 = Clock::now();
    Sleep(seconds);
    const uint64_t cpu1 = NearCpuNs();
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

// One load run: the plug-in, each port with its own device and the host's delivering thread
// writing, or the raw loops, each port a writing and a reading thread.
LoadRun Load(bool plugin, int n, int baud, double seconds) {
    const std::vector<uint8_t> data = Pattern(ChunkFor(baud));
    std::vector<std::unique_ptr<Port>> ports;
    for (int i = 0; i < n; ++i) {
        ports.push_back(std::make_unique<Port>(static_cast<uint64_t>(baud) / 10 / 5));
        Port& port = *ports.back();
        if (plugin) {
            port.device = std::make_unique<ScaleDevice>(gAdapters[i]->Description(), &port.stream);
            port.plugin = OpenPlugin(port.device.get());
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
        port.raw = OpenRaw(gAdapters[i], baud);
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
    return MeasureLoad(ports, seconds);
}

// Child process: threads and resident memory that N started redirections add, measured from a
// fresh process so that stacks and heap freed by earlier runs cannot hide them. Prints
// "threads-after-open read-threads KiB", each per port.
int RunFootprint(int n) {
    std::unique_ptr<vserial::Rig> rig = vserial::Rig::Create();
    if (rig == nullptr || n < 1 || n > kMaxPorts) {
        return 1;
    }
    std::vector<vserial::Adapter*> adapters;
    for (int i = 0; i < n; ++i) {
        adapters.push_back(
            rig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "Footprint", "F" + std::to_string(i)}));
        if (adapters.back() == nullptr) {
            return 1;
        }
    }
    velmarLogOff();
    // The library's own pages are the same for one port or many: mapped before counting.
    void* library = dlopen(gPluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return 1;
    }
    const size_t threads0 = Threads().size();
    const double kib0 = ResidentKiB();
    std::vector<std::unique_ptr<ScaleDevice>> devices;
    std::vector<std::unique_ptr<Plugin>> plugins;
    for (vserial::Adapter* adapter : adapters) {
        devices.push_back(std::make_unique<ScaleDevice>(adapter->Description(), nullptr));
        plugins.push_back(OpenPlugin(devices.back().get()));
        plugins.back()->Deliver(ReadTimeoutPacket(1));
    }
    const size_t threads1 = Threads().size();
    for (std::unique_ptr<Plugin>& plugin : plugins) {
        plugin->Deliver(StartReadPacket());
    }
    Sleep(0.3);
    const size_t threads2 = Threads().size();
    const double kib = ResidentKiB() - kib0;
    std::printf("%.2f %.2f %.1f\n", static_cast<double>(threads1 - threads0) / n,
                static_cast<double>(threads2 - threads1) / n, kib / n);
    plugins.clear();
    dlclose(library);
    return 0;
}

struct Footprint {
    double threadsOpen = 0;
    double readThreads = 0;
    double kib = 0;
};

Footprint ChildFootprint(int n) {
    char self[4096];
    const ssize_t len = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    Footprint f;
    if (len <= 0) {
        return f;
    }
    self[len] = '\0';
    const std::string command = "'" + std::string(self) + "' footprint " + std::to_string(n) +
                                " --plugin '" + gPluginPath + "'";
    if (FILE* child = ::popen(command.c_str(), "r")) {
        if (std::fscanf(child, "%lf %lf %lf", &f.threadsOpen, &f.readThreads, &f.kib) != 3) {
            f = Footprint{};
        }
        ::pclose(child);
    }
    return f;
}

int RunAll(bool quick) {
    const std::vector<int> sizes = quick ? std::vector<int>{1, 32} : std::vector<int>{1, 8, 32};
    const double idleSeconds = quick ? 0.5 : 5.0;
    const double rawIdleSeconds = quick ? 0.3 : 2.0;
    const double loadSeconds = quick ? 0.5 : 2.0;
    const int loadReps = quick ? 1 : 3;

    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) {
        std::printf("Load average at start: %.2f %.2f %.2f (nproc %u)\n\n", load[0], load[1],
                    load[2], std::thread::hardware_concurrency());
    }
    velmarLogOff();  // as cpd-host term runs the plug-in unless asked for a log
    const std::set<pid_t> before = Threads();
    std::unique_ptr<vserial::Rig> rig = vserial::Rig::Create();
    if (rig == nullptr) {
        return 1;
    }
    std::vector<std::unique_ptr<vserial::EchoDevice>> echoes;
    for (int i = 0; i < kMaxPorts; ++i) {
        char serial[8];
        std::snprintf(serial, sizeof(serial), "S%02d", i);
        gAdapters.push_back(rig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "Scale Port", serial},
                                               vserial::Pacing::kLineRate));
        if (gAdapters.back() == nullptr) {
            return 1;
        }
        echoes.push_back(std::make_unique<vserial::EchoDevice>(*gAdapters.back()));
    }
    gFarEnd.Add(before, Threads());
    double goal[kGoalCount] = {0, 0, 0, 0, 0, 0};

    std::printf("#### Footprint (a fresh process per row)\n\n");
    std::printf(
        "| ports | threads per port, opened | read threads per port, started | "
        "resident memory per port (KiB) |\n|---|---|---|---|\n");
    for (int n : sizes) {
        const Footprint f = ChildFootprint(n);
        std::printf("| %d | %.2f | %.2f | %.1f |\n", n, f.threadsOpen, f.readThreads, f.kib);
        if (n == kMaxPorts) {
            goal[kReadThreads] = f.readThreads;
            goal[kRssPerPort] = f.kib;
        }
    }

    std::printf(
        "\n#### Idle: ports open and reading, no traffic (process CPU over %.1f s; raw "
        "loops over %.1f s)\n\n",
        idleSeconds, rawIdleSeconds);
    std::printf(
        "| ports | read timeout (ms) | plug-in CPU (%% of a core) | raw sp_blocking_read "
        "loops (%% of a core) | plug-in / raw | plug-in Stop, median / max (ms) | raw "
        "loop stop, median / max (ms) |\n|---|---|---|---|---|---|---|\n");
    for (int n : sizes) {
        for (uint32_t timeoutMs : kIdleTimeoutsMs) {
            const IdleRun raw = Idle(false, n, timeoutMs, rawIdleSeconds);
            const IdleRun plugin = Idle(true, n, timeoutMs, idleSeconds);
            std::printf("| %d | %u | %s | %s | %s | %s | %s |\n", n, timeoutMs,
                        Fixed(plugin.cpuPercent, 3).c_str(), Fixed(raw.cpuPercent, 2).c_str(),
                        Fixed(plugin.cpuPercent / raw.cpuPercent, 3).c_str(),
                        MedianMax(plugin.stopMs, 2).c_str(), MedianMax(raw.stopMs, 2).c_str());
            std::fflush(stdout);
            if (n == kMaxPorts && timeoutMs == 1) {
                goal[kIdleCpu] = plugin.cpuPercent;
            }
            goal[kQuietStop] = std::max(goal[kQuietStop], plugin.stopMs.back());
        }
    }

    std::printf(
        "\n#### Load: every port echoing at its line rate, both directions (medians of %d "
        "repetitions, CPU over %.1f s each, the far end left out; read timeout %u ms)\n\n",
        loadReps, loadSeconds, kLoadReadTimeoutMs);
    std::printf(
        "| ports | baud | bytes/s per port each way, plug-in / raw | plug-in CPU (%% of a "
        "core) | raw loops CPU (%% of a core) | plug-in / raw (min-max) | lost / out of order | "
        "plug-in Stop under load, median / max (ms) | raw loop stop, median / max (ms) "
        "|\n|---|---|---|---|---|---|---|---|---|\n");
    for (int n : sizes) {
        for (int baud : kBauds) {
            // Repetitions, each the raw loops right before the plug-in, so that load coming and
            // going on the machine falls on both; ratios are taken within a repetition.
            std::vector<double> rawCpu, pluginCpu, rawRate, pluginRate, ratios, rawStops,
                pluginStops;
            uint64_t lost = 0;
            uint64_t misplaced = 0;
            for (int rep = 0; rep < loadReps; ++rep) {
                Quiesce(n);
                const LoadRun raw = Load(false, n, baud, loadSeconds);
                Quiesce(n);
                const LoadRun plugin = Load(true, n, baud, loadSeconds);
                rawCpu.push_back(raw.cpuPercent);
                pluginCpu.push_back(plugin.cpuPercent);
                rawRate.push_back(raw.bytesPerSecond);
                pluginRate.push_back(plugin.bytesPerSecond);
                ratios.push_back(plugin.cpuPercent / raw.cpuPercent);
                rawStops.insert(rawStops.end(), raw.stopMs.begin(), raw.stopMs.end());
                pluginStops.insert(pluginStops.end(), plugin.stopMs.begin(), plugin.stopMs.end());
                lost += plugin.lost + raw.lost;
                misplaced += plugin.misplaced + raw.misplaced;
            }
            for (std::vector<double>* v :
                 {&rawCpu, &pluginCpu, &rawRate, &pluginRate, &ratios, &rawStops, &pluginStops}) {
                std::sort(v->begin(), v->end());
            }
            const double ratio = Median(ratios);
            std::printf("| %d | %d | %s / %s | %s | %s | %s | %llu / %llu | %s | %s |\n", n, baud,
                        Fixed(Median(pluginRate), 0).c_str(), Fixed(Median(rawRate), 0).c_str(),
                        Fixed(Median(pluginCpu), 1).c_str(), Fixed(Median(rawCpu), 1).c_str(),
                        (Fixed(ratio, 2) + " (" + Fixed(ratios.front(), 2) + "-" +
                         Fixed(ratios.back(), 2) + ")")
                            .c_str(),
                        static_cast<unsigned long long>(lost),
                        static_cast<unsigned long long>(misplaced),
                        MedianMax(pluginStops, 1).c_str(), MedianMax(rawStops, 1).c_str());
            std::fflush(stdout);
            if (n == kMaxPorts) {
                goal[kLoadRatio] = std::max(goal[kLoadRatio], ratio);
            }
            goal[kLost] += static_cast<double>(lost + misplaced);
        }
    }

    std::printf("\n#### Goals\n\n| goal | limit | measured | met |\n|---|---|---|---|\n");
    for (int i = 0; i < kGoalCount; ++i) {
        std::printf("| %s | %s %s | %s | %s |\n", kGoals[i].text,
                    Fixed(kGoals[i].limit, kGoals[i].limit < 10 ? 1 : 0).c_str(), kGoals[i].unit,
                    Fixed(goal[i], 2).c_str(), goal[i] <= kGoals[i].limit ? "yes" : "NO");
    }
    echoes.clear();
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--plugin") {
            bench::gPluginPath = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
            break;
        }
    }
    if (args.size() == 2 && args[0] == "footprint") {
        return bench::RunFootprint(std::atoi(args[1].c_str()));
    }
    if (args.empty() || (args.size() == 1 && args[0] == "--short")) {
        return bench::RunAll(!args.empty());
    }
    std::fprintf(stderr, "usage: scale_bench [--short] [--plugin PATH] | footprint N\n");
    return 2;
}
