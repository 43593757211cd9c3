// Benchmarks of the serial redirection plug-in on virtual serial adapters with the real
// libserialport, each path side by side with the bare libserialport loop it wraps.
//
//   cpd_bench [--short]              every in-process measurement, printed as Markdown tables
//   cpd_bench scenario read|write N  fixed workload for callgrind (instrumentation toggled
//                                    around the N packets only)
//   cpd_bench rss SECONDS            one redirection pumping; prints its peak resident size
//   cpd_bench bridge HOST_BINARY     cpd-host serve against socat, adapter peer to TCP client
#include <fcntl.h>
#include <libserialport.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/bench_host.h"
#include "bench/bridge.h"
#include "cpd/host/framework/velmar_log.h"
#include "cpd/interface/cpd_log.h"
#include "vserial/vserial.h"

namespace bench {
namespace {

std::string gPluginPath = BENCH_PLUGIN_PATH;

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}
std::string gLogPath;

// kSlowPipe: a pipe whose reader takes 100 kB/s (SlowPipe); kRotated: the file with the
// rotation cpd-host's --log-max-size 1M --log-keep 2 gives.
enum class LogTo { kFile, kSink, kSlowPipe, kRotated };

void DiscardLine(void*, int, const char*, const char*, size_t) {}

uint64_t ClockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// CPU time of every thread of this process, the log writer included.
uint64_t ProcessCpuNs() {
    return ClockNs(CLOCK_PROCESS_CPUTIME_ID);
}

// CPU time of another thread of this process.
uint64_t OtherThreadCpuNs(std::thread& thread) {
    clockid_t clock;
    return pthread_getcpuclockid(thread.native_handle(), &clock) == 0 ? ClockNs(clock) : 0;
}

std::string gPipePath;

void RemoveLogFiles() {
    for (const char* suffix : {"", ".1", ".2", ".3"}) {
        ::unlink((gLogPath + suffix).c_str());
    }
}

void RouteLog(LogTo to) {
    if (to == LogTo::kSink) {
        velmarLogToSink(&DiscardLine, nullptr);
        return;
    }
    if (to == LogTo::kSlowPipe) {
        if (velmarLogToFile(gPipePath.c_str(), 0, 0) != 0) {
            std::fprintf(stderr, "bench: cannot log to %s\n", gPipePath.c_str());
        }
        return;
    }
    // Fresh for each run so the file never grows past one measurement's lines.
    velmarLogOff();
    RemoveLogFiles();
    const size_t maxBytes = to == LogTo::kRotated ? size_t{1} << 20 : 0;
    if (velmarLogToFile(gLogPath.c_str(), maxBytes, to == LogTo::kRotated ? 2 : 0) != 0) {
        std::fprintf(stderr, "bench: cannot log to %s\n", gLogPath.c_str());
    }
}

// A log destination that takes bytes slowly: a FIFO read at 100 kB/s (10 kB every 100 ms)
// until Fast(), which lets the log's remaining lines through before it is switched away.
class SlowPipe {
  public:
    SlowPipe() {
        ::unlink(gPipePath.c_str());
        if (::mkfifo(gPipePath.c_str(), 0600) != 0 ||
            (mFd = ::open(gPipePath.c_str(), O_RDONLY | O_NONBLOCK)) < 0) {
            std::fprintf(stderr, "bench: cannot make %s\n", gPipePath.c_str());
            std::exit(1);
        }
        mThread = std::thread([this] {
            char buffer[10000];
            for (;;) {
                const ssize_t n = ::read(mFd, buffer, sizeof(buffer));
                if (n == 0 && mDone) {
                    return;  // the log closed its end
                }
                if (!mFast) {
                    Sleep(0.1);
                } else if (n <= 0) {
                    pollfd p{mFd, POLLIN, 0};
                    ::poll(&p, 1, 10);
                }
            }
        });
    }
    ~SlowPipe() {
        mDone = true;
        mThread.join();
        ::close(mFd);
        ::unlink(gPipePath.c_str());
    }
    SlowPipe(const SlowPipe&) = delete;
    SlowPipe& operator=(const SlowPipe&) = delete;
    void Fast() { mFast = true; }

  private:
    int mFd = -1;
    std::atomic<bool> mFast{false};
    std::atomic<bool> mDone{false};
    std::thread mThread;
};

// The device end of an adapter: floods it with the pattern or drains what the port writes, on
// its own thread, until destroyed. The fd is switched to non-blocking while in use so that the
// thread notices the end within one poll interval.
class Peer {
  public:
    enum class Mode { kFlood, kDrain };
    Peer(int fd, Mode mode) : mFd(fd), mFlags(::fcntl(fd, F_GETFL)) {
        ::fcntl(fd, F_SETFL, mFlags | O_NONBLOCK);
        mThread = std::thread([this, mode] { mode == Mode::kFlood ? Flood() : Drain(); });
    }
    ~Peer() {
        mStop = true;
        mThread.join();
        ::fcntl(mFd, F_SETFL, mFlags);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    uint64_t CpuNs() { return OtherThreadCpuNs(mThread); }

  private:
    void Flood() {
        const std::vector<uint8_t> pattern = Pattern(4096);
        while (!mStop) {
            if (::write(mFd, pattern.data(), pattern.size()) < 0) {
                if (errno != EAGAIN) {
                    return;
                }
                pollfd p{mFd, POLLOUT, 0};
                ::poll(&p, 1, 50);
            }
        }
    }
    void Drain() {
        uint8_t buffer[65536];
        while (!mStop) {
            if (::read(mFd, buffer, sizeof(buffer)) < 0) {
                if (errno != EAGAIN) {
                    return;
                }
                pollfd p{mFd, POLLIN, 0};
                ::poll(&p, 1, 50);
            }
        }
    }

    int mFd;
    int mFlags;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// A port opened straight through libserialport, as the plug-in opens it.
class RawPort {
  public:
    explicit RawPort(const std::string& name) {
        if (sp_get_port_by_name(name.c_str(), &mPort) != SP_OK ||
            sp_open(mPort, SP_MODE_READ_WRITE) != SP_OK) {
            std::fprintf(stderr, "bench: cannot open %s\n", name.c_str());
            std::exit(1);
        }
    }
    ~RawPort() {
        sp_close(mPort);
        sp_free_port(mPort);
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;
    sp_port* get() const { return mPort; }

  private:
    sp_port* mPort = nullptr;
};

struct Rate {
    double bytesPerSecond = 0;
    double bytesPerPacket = 0;
    double cpuNsPerByte = 0;      // CPU time of the reading or writing thread
    double hostCpuNsPerByte = 0;  // every thread but the adapter's far end (log writer too)
    double allocsPerPacket = -1;  // -1: not measured
    double logWritten = -1;       // share of the log's lines in the file, not dropped; -1: not
                                  // measured
};

constexpr double kWarmup = 0.2;

// Lines in the log file now (the notices left out) and the lines the notices say were dropped.
struct LogTally {
    double written = 0;
    double dropped = 0;
    double Share() const { return written + dropped > 0 ? written / (written + dropped) : 1; }
};

LogTally TallyLogFile() {
    velmarLogFlush();
    LogTally tally;
    FILE* file = std::fopen(gLogPath.c_str(), "r");
    char line[4096];
    while (file != nullptr && std::fgets(line, sizeof(line), file) != nullptr) {
        const char* notice = std::strstr(line, " log lines dropped");
        if (notice == nullptr) {
            tally.written += 1;
            continue;
        }
        const char* count = notice;
        while (count > line && count[-1] >= '0' && count[-1] <= '9') {
            --count;
        }
        tally.dropped += std::atof(count);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return tally;
}

// Leaves the line empty both ways, so one measurement never sees another's leftover bytes.
void Quiesce(vserial::Adapter* adapter) {
    {
        RawPort port(adapter->PortName());
        sp_flush(port.get(), SP_BUF_BOTH);
    }
    const int fd = adapter->PeerFd();
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    uint8_t buffer[4096];
    while (::read(fd, buffer, sizeof(buffer)) > 0) {
    }
    ::fcntl(fd, F_SETFL, flags);
}

Rate RawRead(vserial::Adapter* adapter, double seconds) {
    Quiesce(adapter);
    RawPort port(adapter->PortName());
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> cpu{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<uint8_t> buffer(4096);
        while (!stop) {
            const int n = sp_blocking_read(port.get(), buffer.data(), 4095, 500);
            if (n > 0) {
                bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                reads.fetch_add(1, std::memory_order_relaxed);
                cpu.store(ThreadCpuNs(), std::memory_order_relaxed);
            }
        }
    });
    Rate rate;
    {
        Peer peer(adapter->PeerFd(), Peer::Mode::kFlood);
        Sleep(kWarmup);
        const uint64_t b0 = bytes;
        const uint64_t r0 = reads;
        const uint64_t c0 = cpu;
        const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
        const Clock::time_point t0 = Clock::now();
        Sleep(seconds);
        const uint64_t b1 = bytes;
        const uint64_t r1 = reads;
        const uint64_t c1 = cpu;
        const uint64_t h1 = ProcessCpuNs() - peer.CpuNs();
        const double elapsed = Seconds(Clock::now() - t0);
        rate.bytesPerSecond = static_cast<double>(b1 - b0) / elapsed;
        rate.bytesPerPacket = static_cast<double>(b1 - b0) / static_cast<double>(r1 - r0);
        rate.cpuNsPerByte = static_cast<double>(c1 - c0) / static_cast<double>(b1 - b0);
        rate.hostCpuNsPerByte = static_cast<double>(h1 - h0) / static_cast<double>(b1 - b0);
    }
    stop = true;
    reader.join();
    return rate;
}

Rate PluginRead(vserial::Adapter* adapter, double seconds, LogTo log) {
    Quiesce(adapter);
    std::unique_ptr<SlowPipe> pipe;
    if (log == LogTo::kSlowPipe) {
        pipe = std::make_unique<SlowPipe>();
    }
    RouteLog(log);
    BenchDevice device(adapter->Description());
    Rate rate;
    {
        Plugin plugin(gPluginPath, &device);
        if (!plugin.Ok()) {
            std::exit(1);
        }
        plugin.Deliver(StartReadPacket());
        Peer peer(adapter->PeerFd(), Peer::Mode::kFlood);
        Sleep(kWarmup);
        const uint64_t b0 = device.DataBytes();
        const uint64_t p0 = device.DataPackets();
        const uint64_t a0 = device.SenderAllocations();
        const uint64_t c0 = device.SenderCpuNs();
        const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
        const Clock::time_point t0 = Clock::now();
        Sleep(seconds);
        const uint64_t b1 = device.DataBytes();
        const uint64_t p1 = device.DataPackets();
        const uint64_t a1 = device.SenderAllocations();
        const uint64_t c1 = device.SenderCpuNs();
        const uint64_t h1 = ProcessCpuNs() - peer.CpuNs();
        const double elapsed = Seconds(Clock::now() - t0);
        const double packets = static_cast<double>(p1 - p0);
        rate.bytesPerSecond = static_cast<double>(b1 - b0) / elapsed;
        rate.bytesPerPacket = static_cast<double>(b1 - b0) / packets;
        rate.allocsPerPacket = static_cast<double>(a1 - a0) / packets;
        rate.cpuNsPerByte = static_cast<double>(c1 - c0) / static_cast<double>(b1 - b0);
        rate.hostCpuNsPerByte = static_cast<double>(h1 - h0) / static_cast<double>(b1 - b0);
    }
    if (log == LogTo::kFile) {
        rate.logWritten = TallyLogFile().Share();
    }
    if (pipe != nullptr) {
        pipe->Fast();
    }
    if (log != LogTo::kRotated) {
        RouteLog(LogTo::kFile);
    }
    return rate;
}

Rate RawWrite(vserial::Adapter* adapter, uint32_t size, double seconds) {
    Quiesce(adapter);
    RawPort port(adapter->PortName());
    Peer peer(adapter->PeerFd(), Peer::Mode::kDrain);
    const std::vector<uint8_t> data = Pattern(size);
    uint64_t writes = 0;
    const uint64_t c0 = ThreadCpuNs();
    const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
    const Clock::time_point t0 = Clock::now();
    Clock::time_point now = t0;
    while (Seconds(now - t0) < seconds) {
        for (int i = 0; i < 64; ++i) {
            if (sp_blocking_write(port.get(), data.data(), size, 500) == static_cast<int>(size)) {
                ++writes;
            }
        }
        now = Clock::now();
    }
    Rate rate;
    rate.bytesPerSecond = static_cast<double>(writes * size) / Seconds(now - t0);
    rate.bytesPerPacket = size;
    rate.cpuNsPerByte =
        static_cast<double>(ThreadCpuNs() - c0) / static_cast<double>(writes * size);
    rate.hostCpuNsPerByte = static_cast<double>(ProcessCpuNs() - peer.CpuNs() - h0) /
                            static_cast<double>(writes * size);
    return rate;
}

// Writes go through onEvent from the benchmark's thread, as the host's delivering thread would
// call it. Packets are built in batches outside the timed part: their making is the host's cost.
Rate PluginWrite(vserial::Adapter* adapter, uint32_t size, double seconds, LogTo log) {
    Quiesce(adapter);
    RouteLog(log);
    BenchDevice device(adapter->Description());
    Rate rate;
    {
        Plugin plugin(gPluginPath, &device);
        if (!plugin.Ok()) {
            std::exit(1);
        }
        Peer peer(adapter->PeerFd(), Peer::Mode::kDrain);
        const std::vector<uint8_t> data = Pattern(size);
        const size_t batch = std::max<size_t>(32, (256u * 1024u) / size);
        std::vector<std::unique_ptr<cpd::CpdPacket>> packets;
        Clock::duration busy{};
        uint64_t delivered = 0;
        uint64_t allocations = 0;
        uint64_t cpu = 0;
        // Every thread's CPU over the whole loop but the far end's and this thread's while it
        // builds packets: the log writer goes on writing while the next batch is built.
        uint64_t building = 0;
        const uint64_t h0 = ProcessCpuNs() - peer.CpuNs();
        while (Seconds(busy) < seconds) {
            const uint64_t b0 = ThreadCpuNs();
            for (size_t i = 0; i < batch; ++i) {
                packets.push_back(WritePacket(data.data(), size));
            }
            building += ThreadCpuNs() - b0;
            const uint64_t a0 = ThreadAllocations();
            const uint64_t c0 = ThreadCpuNs();
            const Clock::time_point t0 = Clock::now();
            for (auto& packet : packets) {
                plugin.Deliver(std::move(packet));
            }
            busy += Clock::now() - t0;
            cpu += ThreadCpuNs() - c0;
            allocations += ThreadAllocations() - a0;
            delivered += packets.size();
            packets.clear();
        }
        rate.bytesPerSecond = static_cast<double>(delivered * size) / Seconds(busy);
        rate.bytesPerPacket = size;
        rate.allocsPerPacket = static_cast<double>(allocations) / static_cast<double>(delivered);
        rate.cpuNsPerByte = static_cast<double>(cpu) / static_cast<double>(delivered * size);
        velmarLogFlush();  // the writer's share of this run's lines
        rate.hostCpuNsPerByte = static_cast<double>(ProcessCpuNs() - peer.CpuNs() - h0 - building) /
                                static_cast<double>(delivered * size);
    }
    if (log == LogTo::kFile) {
        rate.logWritten = TallyLogFile().Share();
    }
    RouteLog(LogTo::kFile);
    return rate;
}

struct Latency {
    double p50us = 0;
    double p99us = 0;
};

Latency Percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Latency l;
    if (!samples.empty()) {
        l.p50us = samples[samples.size() / 2] * 1e6;
        l.p99us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)] * 1e6;
    }
    return l;
}

// One byte at a time from an idle line: the peer writes it, the reader stamps its arrival.
Latency Measure(int peerFd, int samples, Arrivals& arrivals) {
    std::vector<double> values;
    for (int i = 0; i < samples; ++i) {
        Sleep(200e-6);
        const Clock::time_point t0 = Clock::now();
        const char byte = 'x';
        if (::write(peerFd, &byte, 1) != 1) {
            break;
        }
        Clock::time_point t1;
        if (!arrivals.Wait(static_cast<uint64_t>(i) + 1, std::chrono::milliseconds(2000), &t1)) {
            std::fprintf(stderr, "bench: byte %d never arrived\n", i);
            break;
        }
        values.push_back(Seconds(t1 - t0));
    }
    return Percentiles(values);
}

Latency RawLatency(vserial::Adapter* adapter, int samples) {
    Quiesce(adapter);
    RawPort port(adapter->PortName());
    Arrivals arrivals;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t byte = 0;
        while (!stop) {
            if (sp_blocking_read(port.get(), &byte, 1, 500) == 1) {
                arrivals.Stamp();
            }
        }
    });
    const Latency l = Measure(adapter->PeerFd(), samples, arrivals);
    stop = true;
    reader.join();
    return l;
}

Latency PluginLatency(vserial::Adapter* adapter, int samples) {
    Quiesce(adapter);
    RouteLog(LogTo::kFile);
    BenchDevice device(adapter->Description());
    device.StampArrivals(true);
    Plugin plugin(gPluginPath, &device);
    if (!plugin.Ok()) {
        std::exit(1);
    }
    plugin.Deliver(ReadLengthPacket(1));
    plugin.Deliver(StartReadPacket());
    Sleep(0.05);
    return Measure(adapter->PeerFd(), samples, device.Stamps());
}

struct LogCost {
    double linesPerSecond1 = 0;
    double linesPerSecond4 = 0;
    double kept1 = 0;  // share of the lines that reached the file (the rest were dropped)
    double kept4 = 0;
    double prefixedNs = 0;
    double prefixedAllocs = 0;
    double dumpNs = 0;
    double dumpAllocs = 0;
};

double LogLines(int threads, int linesPerThread) {
    std::vector<std::thread> workers;
    const Clock::time_point t0 = Clock::now();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([linesPerThread] {
            for (int i = 0; i < linesPerThread; ++i) {
                CPD_LOGD("bench line %d\n", i);
            }
        });
    }
    for (std::thread& w : workers) {
        w.join();
    }
    return threads * static_cast<double>(linesPerThread) / Seconds(Clock::now() - t0);
}

LogCost MeasureLog(int lines) {
    RouteLog(LogTo::kFile);
    LogCost cost;
    cost.linesPerSecond1 = LogLines(1, lines);
    cost.kept1 = TallyLogFile().written / lines;
    RouteLog(LogTo::kFile);
    cost.linesPerSecond4 = LogLines(4, lines / 4);
    cost.kept4 = TallyLogFile().written / (lines / 4 * 4);

    RouteLog(LogTo::kFile);
    BenchDevice device("bench log device");
    cpd::CpdDevice* mDevice = &device;  // the name the prefixed statements read
    uint64_t a0 = ThreadAllocations();
    uint64_t c0 = ThreadCpuNs();
    for (int i = 0; i < lines; ++i) {
        CPD_DEV_LOGD("Read:%d", i);
    }
    cost.prefixedNs = static_cast<double>(ThreadCpuNs() - c0) / lines;
    cost.prefixedAllocs = static_cast<double>(ThreadAllocations() - a0) / lines;

    RouteLog(LogTo::kFile);
    const std::vector<uint8_t> data = Pattern(4095);
    const int dumps = lines / 4;
    a0 = ThreadAllocations();
    c0 = ThreadCpuNs();
    for (int i = 0; i < dumps; ++i) {
        cpd::memDataPrint(data.data(), 4095);
    }
    cost.dumpNs = static_cast<double>(ThreadCpuNs() - c0) / dumps;
    cost.dumpAllocs = static_cast<double>(ThreadAllocations() - a0) / dumps;
    RouteLog(LogTo::kFile);
    return cost;
}

double ChildPeakRssKiB(double seconds) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return 0;
    }
    self[n] = '\0';
    const std::string command =
        "'" + std::string(self) + "' rss " + std::to_string(seconds) + " '" + gPluginPath + "'";
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        return 0;
    }
    double kib = 0;
    if (std::fscanf(child, "%lf", &kib) != 1) {
        kib = 0;
    }
    ::pclose(child);
    return kib;
}

std::unique_ptr<vserial::Rig> MakeRig(vserial::Adapter** plugged, vserial::Adapter** raw) {
    std::unique_ptr<vserial::Rig> rig = vserial::Rig::Create();
    if (rig == nullptr) {
        std::exit(1);
    }
    *plugged = rig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "Bench Plugged", "BP1"});
    if (raw != nullptr) {
        *raw = rig->AddUsbAdapter({0x0403, 0x6001, "FTDI", "Bench Raw", "BR1"});
    }
    if (*plugged == nullptr || (raw != nullptr && *raw == nullptr)) {
        std::exit(1);
    }
    return rig;
}

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// Median and range of one figure over the repetitions.
struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
};

Spread Summarize(std::vector<double> values) {
    Spread s;
    if (!values.empty()) {
        std::sort(values.begin(), values.end());
        s.median = values[values.size() / 2];
        s.min = values.front();
        s.max = values.back();
    }
    return s;
}

// "1.23 (1.10-1.40)": median (min-max).
std::string Cell(const Spread& s, int decimals) {
    char text[96];
    std::snprintf(text, sizeof(text), "%.*f (%.*f-%.*f)", decimals, s.median, decimals, s.min,
                  decimals, s.max);
    return text;
}

// One path's repetitions next to the raw loop's repetitions made just before each of them.
struct Paired {
    std::vector<Rate> raw;
    std::vector<Rate> path;

    template <typename Figure>
    Spread Of(Figure figure) const {
        std::vector<double> values;
        for (const Rate& r : path) {
            values.push_back(figure(r));
        }
        return Summarize(values);
    }
    // plug-in / raw per repetition: higher is worse.
    template <typename Figure>
    Spread Ratio(Figure figure) const {
        std::vector<double> values;
        for (size_t i = 0; i < path.size() && i < raw.size(); ++i) {
            values.push_back(figure(path[i]) / figure(raw[i]));
        }
        return Summarize(values);
    }
    Spread TimeRatio() const {
        return Ratio([](const Rate& r) { return 1 / r.bytesPerSecond; });
    }
    Spread CpuRatio() const {
        return Ratio([](const Rate& r) { return r.cpuNsPerByte; });
    }
    Spread HostCpuRatio() const {
        return Ratio([](const Rate& r) { return r.hostCpuNsPerByte; });
    }
};

// One table row: MB/s, time vs raw, calling thread's CPU per unit and vs raw, the whole
// process's CPU per unit and vs raw, allocations, the share of log lines written (not dropped).
void PrintRow(const std::string& lead, const Paired& p, double unitBytes, bool isRaw) {
    const Spread mb = p.Of([](const Rate& r) { return r.bytesPerSecond / 1e6; });
    const Spread cpu = p.Of([&](const Rate& r) { return r.cpuNsPerByte * unitBytes / 1000; });
    const Spread host = p.Of([&](const Rate& r) { return r.hostCpuNsPerByte * unitBytes / 1000; });
    const Spread allocs = p.Of([](const Rate& r) { return r.allocsPerPacket; });
    const Spread written = p.Of([](const Rate& r) { return r.logWritten * 100; });
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", lead.c_str(),
                Cell(mb, 1).c_str(), isRaw ? "1.00" : Cell(p.TimeRatio(), 2).c_str(),
                Cell(cpu, 1).c_str(), isRaw ? "1.00" : Cell(p.CpuRatio(), 2).c_str(),
                Cell(host, 1).c_str(), isRaw ? "1.00" : Cell(p.HostCpuRatio(), 2).c_str(),
                isRaw || allocs.median < 0 ? "-" : Fixed(allocs.median, 1).c_str(),
                isRaw || written.median < 0 ? "-" : (Cell(written, 1) + " %").c_str());
}

struct Goal {
    std::string name;
    std::string figure;
    bool met;
};

int RunAll(bool quick) {
    // Every figure is the median of kReps repetitions; within a repetition each plug-in path
    // runs right after the raw loop it is compared with, so load that comes and goes on the
    // machine falls on both.
    const int reps = 5;
    const double readSeconds = quick ? 0.3 : 2.0;
    const double writeSeconds = quick ? 0.2 : 1.0;
    const int samples = quick ? 100 : 400;  // per repetition

    vserial::Adapter* plugged = nullptr;
    vserial::Adapter* raw = nullptr;
    std::unique_ptr<vserial::Rig> rig = MakeRig(&plugged, &raw);
    RouteLog(LogTo::kFile);
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) {
        std::printf("Load average at start: %.2f %.2f %.2f (nproc %u)\n\n", load[0], load[1],
                    load[2], std::thread::hardware_concurrency());
    }
    std::printf(
        "Each figure: median (min-max) of %d interleaved repetitions. Ratios are plug-in / raw "
        "for time per byte and for CPU per byte: higher is worse. \"Process CPU\" is every "
        "thread of the benchmark process but the adapter's far end: the plug-in's threads and "
        "the log writer included.\n\n",
        reps);
    std::vector<Goal> goals;

    const struct {
        const char* name;
        LogTo log;
    } readPaths[] = {{"plug-in, log to file", LogTo::kFile},
                     {"plug-in, log to discarding sink", LogTo::kSink},
                     {"plug-in, log to a pipe read at 100 kB/s", LogTo::kSlowPipe}};
    std::vector<Paired> reads(std::size(readPaths));
    for (int r = 0; r < reps; ++r) {
        for (size_t p = 0; p < std::size(readPaths); ++p) {
            reads[p].raw.push_back(RawRead(raw, readSeconds));
            reads[p].path.push_back(PluginRead(plugged, readSeconds, readPaths[p].log));
        }
    }
    std::printf("### Read pump (flooding peer, 4095-byte reads, 500 ms timeout)\n\n");
    std::printf(
        "| path | MB/s | time vs raw | reader CPU us per 4 KiB | reader CPU vs raw | process CPU "
        "us per 4 KiB | process CPU vs raw | allocs/packet | log lines written |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    Paired rawReads;
    for (const Paired& p : reads) {
        rawReads.path.insert(rawReads.path.end(), p.raw.begin(), p.raw.end());
    }
    PrintRow("raw sp_blocking_read loop", rawReads, 4096, true);
    for (size_t p = 0; p < std::size(readPaths); ++p) {
        PrintRow(readPaths[p].name, reads[p], 4096, false);
    }
    std::printf("\n");
    std::fflush(stdout);
    const Spread fileRead = reads[0].TimeRatio();
    goals.push_back({"read pump, log to file: throughput >= 0.9x raw (time ratio <= 1.11)",
                     Cell(fileRead, 2), fileRead.median <= 1 / 0.9});
    const Spread slowRead = reads[2].TimeRatio();
    goals.push_back({"read pump, log to a pipe read at 100 kB/s: throughput >= 0.9x raw",
                     Cell(slowRead, 2), slowRead.median <= 1 / 0.9});

    std::printf("### Write path (SERIAL_CMD_WRITE through onEvent, draining peer)\n\n");
    std::printf(
        "| size | path | MB/s | time vs raw | caller CPU us per write | caller CPU vs raw | "
        "process CPU us per write | process CPU vs raw | allocs/write | log lines written |\n");
    std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (uint32_t size : {64u, 1024u, 4096u}) {
        Paired file;
        Paired sink;
        for (int r = 0; r < reps; ++r) {
            file.raw.push_back(RawWrite(raw, size, writeSeconds));
            file.path.push_back(PluginWrite(plugged, size, writeSeconds, LogTo::kFile));
            sink.raw.push_back(RawWrite(raw, size, writeSeconds));
            sink.path.push_back(PluginWrite(plugged, size, writeSeconds, LogTo::kSink));
        }
        Paired rawWrites;
        rawWrites.path = file.raw;
        rawWrites.path.insert(rawWrites.path.end(), sink.raw.begin(), sink.raw.end());
        const std::string lead = std::to_string(size) + " B | ";
        PrintRow(lead + "raw sp_blocking_write", rawWrites, size, true);
        PrintRow(lead + "plug-in, log to file", file, size, false);
        PrintRow(lead + "plug-in, log to sink", sink, size, false);
        std::fflush(stdout);
        if (size == 64) {
            // Measured with the lines the log kept: a log that dropped more would look faster.
            const Spread time = file.TimeRatio();
            const Spread written = file.Of([](const Rate& r) { return r.logWritten * 100; });
            goals.push_back(
                {"64-byte writes, log to file: throughput >= 0.7x raw (time ratio "
                 "<= 1.43)",
                 Cell(time, 2) + ", " + Fixed(written.median, 1) + " % of log lines written",
                 time.median <= 1 / 0.7});
            const Spread cpu = file.HostCpuRatio();
            goals.push_back({"64-byte writes, log to file: process CPU per write <= 2.0x raw",
                             Cell(cpu, 2), cpu.median <= 2.0});
        }
    }
    std::printf("\n");

    std::vector<double> rawP50;
    std::vector<double> rawP99;
    std::vector<double> plugP50;
    std::vector<double> plugP99;
    std::vector<double> ratios;
    for (int r = 0; r < reps; ++r) {
        const Latency rawL = RawLatency(raw, samples);
        const Latency plugL = PluginLatency(plugged, samples);
        rawP50.push_back(rawL.p50us);
        rawP99.push_back(rawL.p99us);
        plugP50.push_back(plugL.p50us);
        plugP99.push_back(plugL.p99us);
        ratios.push_back(plugL.p50us / rawL.p50us);
    }
    std::printf(
        "### Latency (read length 1, peer write to arrival, %d samples per repetition, log to "
        "file)\n\n",
        samples);
    std::printf("| path | p50 us | p99 us | p50 vs raw |\n|---|---:|---:|---:|\n");
    std::printf("| raw 1-byte sp_blocking_read | %s | %s | 1.00 |\n",
                Cell(Summarize(rawP50), 1).c_str(), Cell(Summarize(rawP99), 1).c_str());
    const Spread latency = Summarize(ratios);
    std::printf("| plug-in to SendPacket | %s | %s | %s |\n\n", Cell(Summarize(plugP50), 1).c_str(),
                Cell(Summarize(plugP99), 1).c_str(), Cell(latency, 2).c_str());
    goals.push_back({"1-byte latency p50 <= 1.15x raw", Cell(latency, 2), latency.median <= 1.15});
    std::fflush(stdout);

    // The read pump floods the log (two lines per packet) into a file rotated at 1 MiB with
    // two old files kept, as cpd-host --log-max-size 1M --log-keep 2 does.
    const double floodSeconds = quick ? 2.0 : 20.0;
    const Rate flood = PluginRead(plugged, floodSeconds, LogTo::kRotated);
    velmarLogFlush();
    uint64_t onDisk = 0;
    int files = 0;
    for (const char* suffix : {"", ".1", ".2", ".3"}) {
        struct stat st {};
        if (::stat((gLogPath + suffix).c_str(), &st) == 0) {
            onDisk += static_cast<uint64_t>(st.st_size);
            ++files;
        }
    }
    RouteLog(LogTo::kFile);
    std::printf("### Bounded log (read pump flooding for %.0f s, log rotated at 1 MiB, 2 kept)\n\n",
                floodSeconds);
    std::printf("| measure | value |\n|---|---:|\n");
    std::printf("| data pumped | %.0f MB |\n", flood.bytesPerSecond * floodSeconds / 1e6);
    std::printf("| log files on disk | %d |\n| log bytes on disk | %.2f MiB |\n\n", files,
                static_cast<double>(onDisk) / (1 << 20));
    goals.push_back({"flood with rotation at 1 MiB, 2 kept: at most 3 MiB of log",
                     Fixed(static_cast<double>(onDisk) / (1 << 20), 2) + " MiB in " +
                         std::to_string(files) + " files",
                     onDisk <= 3u << 20});

    const LogCost log = MeasureLog(quick ? 20000 : 200000);
    std::printf("### Log function (velmarLogPrint to a file)\n\n| measure | value |\n|---|---:|\n");
    std::printf("| lines/s offered in a tight loop, 1 thread | %s (%.0f %% written) |\n",
                Fixed(log.linesPerSecond1, 0).c_str(), log.kept1 * 100);
    std::printf("| lines/s offered, 4 threads (total) | %s (%.0f %% written) |\n",
                Fixed(log.linesPerSecond4, 0).c_str(), log.kept4 * 100);
    std::printf("| one prefixed Debug line (caller's CPU) | %.0f ns, %.1f allocs |\n",
                log.prefixedNs, log.prefixedAllocs);
    std::printf("| one 4095-byte memDataPrint (caller's CPU) | %.0f ns, %.1f allocs |\n\n",
                log.dumpNs, log.dumpAllocs);
    std::fflush(stdout);

    rig.reset();
    const double rss = ChildPeakRssKiB(quick ? 0.5 : 2.0);
    std::printf("### Memory\n\n| measure | value |\n|---|---:|\n");
    std::printf("| peak RSS, benchmark host with one redirection pumping | %.0f KiB |\n\n", rss);

    std::printf("### Against the goals (log to file unless said)\n\n| goal | figure | met |\n");
    std::printf("|---|---:|---|\n");
    for (const Goal& g : goals) {
        std::printf("| %s | %s | %s |\n", g.name.c_str(), g.figure.c_str(), g.met ? "yes" : "no");
    }
    std::printf("\n");
    return 0;
}

// Fixed workloads for callgrind. The benchmark's own threads wait by polling a counter so that
// the read thread's cost is the plug-in's road alone (no wake-up of a waiter per packet).
bool WaitPackets(const BenchDevice& device, uint64_t count) {
    for (int i = 0; i < 20000 && device.DataPackets() < count; ++i) {
        Sleep(0.001);
    }
    return device.DataPackets() >= count;
}

void WriteFully(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n <= 0) {
            return;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
}

int RunScenario(const std::string& kind, int count) {
    vserial::Adapter* plugged = nullptr;
    std::unique_ptr<vserial::Rig> rig = MakeRig(&plugged, nullptr);
    RouteLog(LogTo::kFile);
    BenchDevice device(plugged->Description());
    Plugin plugin(gPluginPath, &device);
    if (!plugin.Ok()) {
        return 1;
    }
    if (kind == "read") {
        plugin.Deliver(StartReadPacket());
        const std::vector<uint8_t> chunk = Pattern(4095);
        WriteFully(plugged->PeerFd(), chunk.data(), chunk.size());
        WaitPackets(device, 1);
        const uint64_t b0 = device.DataBytes();
        CALLGRIND_START_INSTRUMENTATION;
        for (int i = 0; i < count; ++i) {
            WriteFully(plugged->PeerFd(), chunk.data(), chunk.size());
            if (!WaitPackets(device, static_cast<uint64_t>(i) + 2)) {
                break;
            }
        }
        CALLGRIND_STOP_INSTRUMENTATION;
        std::printf("read packets %llu bytes %llu\n",
                    static_cast<unsigned long long>(device.DataPackets() - 1),
                    static_cast<unsigned long long>(device.DataBytes() - b0));
        return 0;
    }
    Peer peer(plugged->PeerFd(), Peer::Mode::kDrain);
    const std::vector<uint8_t> data = Pattern(64);
    std::vector<std::unique_ptr<cpd::CpdPacket>> packets;
    for (int i = 0; i <= count; ++i) {
        packets.push_back(WritePacket(data.data(), 64));
    }
    plugin.Deliver(std::move(packets[0]));
    CALLGRIND_START_INSTRUMENTATION;
    for (int i = 1; i <= count; ++i) {
        plugin.Deliver(std::move(packets[static_cast<size_t>(i)]));
    }
    Sleep(0.3);  // the log writer formats and writes these lines inside the count
    CALLGRIND_STOP_INSTRUMENTATION;
    std::printf("write packets %d\n", count);
    return 0;
}

int RunRss(double seconds) {
    vserial::Adapter* plugged = nullptr;
    std::unique_ptr<vserial::Rig> rig = MakeRig(&plugged, nullptr);
    RouteLog(LogTo::kFile);
    BenchDevice device(plugged->Description());
    {
        Plugin plugin(gPluginPath, &device);
        if (!plugin.Ok()) {
            return 1;
        }
        plugin.Deliver(StartReadPacket());
        Peer peer(plugged->PeerFd(), Peer::Mode::kFlood);
        Sleep(seconds);
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld\n", usage.ru_maxrss);
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    bench::gLogPath = "/tmp/cpd_bench_" + std::to_string(::getpid()) + ".log";
    bench::gPipePath = "/tmp/cpd_bench_" + std::to_string(::getpid()) + ".fifo";
    int result = 2;
    if (!args.empty() && args[0] == "scenario" && args.size() >= 3) {
        result = bench::RunScenario(args[1], std::atoi(args[2].c_str()));
    } else if (!args.empty() && args[0] == "rss" && args.size() >= 2) {
        if (args.size() >= 3) {
            bench::gPluginPath = args[2];
        }
        result = bench::RunRss(std::atof(args[1].c_str()));
    } else if (!args.empty() && args[0] == "bridge" && args.size() >= 2) {
        result =
            bench::RunBridge(args[1], bench::gPluginPath, args.size() >= 3 && args[2] == "--short");
    } else if (args.empty() || args[0] == "--short") {
        result = bench::RunAll(!args.empty());
    } else {
        std::fprintf(stderr,
                     "usage: cpd_bench [--short] | scenario read|write N | rss SECONDS | "
                     "bridge CPD_HOST [--short]\n");
    }
    velmarLogToStderr();
    bench::RemoveLogFiles();
    return result;
}
