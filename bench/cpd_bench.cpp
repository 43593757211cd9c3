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
#include <sys/resource.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
std::string gLogPath;

enum class LogTo { kFile, kSink };

void DiscardLine(void*, int, const char*, const char*, size_t) {}

void RouteLog(LogTo to) {
    if (to == LogTo::kSink) {
        velmarLogToSink(&DiscardLine, nullptr);
        return;
    }
    // Truncated for each run so the file never grows past one measurement's lines.
    const int fd = ::open(gLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
    }
    if (velmarLogToFile(gLogPath.c_str(), 0, 0) != 0) {
        std::fprintf(stderr, "bench: cannot log to %s\n", gLogPath.c_str());
    }
}

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

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
    double allocsPerPacket = -1;  // -1: not measured
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

Rate MedianRate(const std::vector<Rate>& runs) {
    std::vector<double> rates;
    for (const Rate& r : runs) {
        rates.push_back(r.bytesPerSecond);
    }
    const double median = Median(rates);
    for (const Rate& r : runs) {
        if (r.bytesPerSecond == median) {
            return r;
        }
    }
    return Rate{};
}

constexpr double kWarmup = 0.2;

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
        const Clock::time_point t0 = Clock::now();
        Sleep(seconds);
        const uint64_t b1 = bytes;
        const uint64_t r1 = reads;
        const uint64_t c1 = cpu;
        const double elapsed = Seconds(Clock::now() - t0);
        rate.bytesPerSecond = static_cast<double>(b1 - b0) / elapsed;
        rate.bytesPerPacket = static_cast<double>(b1 - b0) / static_cast<double>(r1 - r0);
        rate.cpuNsPerByte = static_cast<double>(c1 - c0) / static_cast<double>(b1 - b0);
    }
    stop = true;
    reader.join();
    return rate;
}

Rate PluginRead(vserial::Adapter* adapter, double seconds, LogTo log) {
    Quiesce(adapter);
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
        const Clock::time_point t0 = Clock::now();
        Sleep(seconds);
        const uint64_t b1 = device.DataBytes();
        const uint64_t p1 = device.DataPackets();
        const uint64_t a1 = device.SenderAllocations();
        const uint64_t c1 = device.SenderCpuNs();
        const double elapsed = Seconds(Clock::now() - t0);
        const double packets = static_cast<double>(p1 - p0);
        rate.bytesPerSecond = static_cast<double>(b1 - b0) / elapsed;
        rate.bytesPerPacket = static_cast<double>(b1 - b0) / packets;
        rate.allocsPerPacket = static_cast<double>(a1 - a0) / packets;
        rate.cpuNsPerByte = static_cast<double>(c1 - c0) / static_cast<double>(b1 - b0);
    }
    RouteLog(LogTo::kFile);
    return rate;
}

Rate RawWrite(vserial::Adapter* adapter, uint32_t size, double seconds) {
    Quiesce(adapter);
    RawPort port(adapter->PortName());
    Peer peer(adapter->PeerFd(), Peer::Mode::kDrain);
    const std::vector<uint8_t> data = Pattern(size);
    uint64_t writes = 0;
    const uint64_t c0 = ThreadCpuNs();
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
        while (Seconds(busy) < seconds) {
            for (size_t i = 0; i < batch; ++i) {
                packets.push_back(WritePacket(data.data(), size));
            }
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
    RouteLog(LogTo::kFile);
    cost.linesPerSecond4 = LogLines(4, lines / 4);

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

std::string Mb(double bytesPerSecond) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", bytesPerSecond / 1e6);
    return text;
}

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

int RunAll(bool quick) {
    const int reps = quick ? 1 : 3;
    const double readSeconds = quick ? 0.3 : 2.0;
    const double writeSeconds = quick ? 0.2 : 1.0;
    const int samples = quick ? 200 : 2000;

    vserial::Adapter* plugged = nullptr;
    vserial::Adapter* raw = nullptr;
    std::unique_ptr<vserial::Rig> rig = MakeRig(&plugged, &raw);
    RouteLog(LogTo::kFile);
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) {
        std::printf("Load average at start: %.2f %.2f %.2f (nproc %u)\n\n", load[0], load[1],
                    load[2], std::thread::hardware_concurrency());
    }

    std::vector<Rate> rawRuns;
    std::vector<Rate> fileRuns;
    std::vector<Rate> sinkRuns;
    for (int r = 0; r < reps; ++r) {
        rawRuns.push_back(RawRead(raw, readSeconds));
        fileRuns.push_back(PluginRead(plugged, readSeconds, LogTo::kFile));
        sinkRuns.push_back(PluginRead(plugged, readSeconds, LogTo::kSink));
    }
    const Rate rawRead = MedianRate(rawRuns);
    const Rate fileRead = MedianRate(fileRuns);
    const Rate sinkRead = MedianRate(sinkRuns);

    std::printf("### Read pump (flooding peer, 4095-byte reads, 500 ms timeout)\n\n");
    std::printf(
        "| path | MB/s | vs raw | reader CPU us per 4 KiB | CPU vs raw | bytes/packet | "
        "allocs/packet |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    const struct {
        const char* name;
        const Rate& rate;
    } readRows[] = {{"raw sp_blocking_read loop", rawRead},
                    {"plug-in, log to file", fileRead},
                    {"plug-in, log to discarding sink", sinkRead}};
    for (const auto& row : readRows) {
        std::printf(
            "| %s | %s | %.2f | %.1f | %.2f | %.0f | %s |\n", row.name,
            Mb(row.rate.bytesPerSecond).c_str(), row.rate.bytesPerSecond / rawRead.bytesPerSecond,
            row.rate.cpuNsPerByte * 4096 / 1000, rawRead.cpuNsPerByte / row.rate.cpuNsPerByte,
            row.rate.bytesPerPacket,
            row.rate.allocsPerPacket < 0 ? "-" : Fixed(row.rate.allocsPerPacket, 1).c_str());
    }
    std::printf("\n");
    std::fflush(stdout);

    std::printf("### Write path (SERIAL_CMD_WRITE through onEvent, draining peer)\n\n");
    std::printf(
        "| size | path | MB/s | vs raw | writer CPU us per write | CPU vs raw | allocs/write |\n");
    std::printf("|---:|---|---:|---:|---:|---:|---:|\n");
    for (uint32_t size : {64u, 1024u, 4096u}) {
        std::vector<Rate> rawW;
        std::vector<Rate> fileW;
        std::vector<Rate> sinkW;
        for (int r = 0; r < reps; ++r) {
            rawW.push_back(RawWrite(raw, size, writeSeconds));
            fileW.push_back(PluginWrite(plugged, size, writeSeconds, LogTo::kFile));
            sinkW.push_back(PluginWrite(plugged, size, writeSeconds, LogTo::kSink));
        }
        const Rate rw = MedianRate(rawW);
        const Rate fw = MedianRate(fileW);
        const Rate sw = MedianRate(sinkW);
        const struct {
            const char* name;
            const Rate& rate;
        } writeRows[] = {{"raw sp_blocking_write", rw},
                         {"plug-in, log to file", fw},
                         {"plug-in, log to sink", sw}};
        for (const auto& row : writeRows) {
            std::printf(
                "| %u B | %s | %s | %.2f | %.1f | %.2f | %s |\n", size, row.name,
                Mb(row.rate.bytesPerSecond).c_str(), row.rate.bytesPerSecond / rw.bytesPerSecond,
                row.rate.cpuNsPerByte * size / 1000, rw.cpuNsPerByte / row.rate.cpuNsPerByte,
                row.rate.allocsPerPacket < 0 ? "-" : Fixed(row.rate.allocsPerPacket, 1).c_str());
        }
        std::fflush(stdout);
    }
    std::printf("\n");

    const Latency rawL = RawLatency(raw, samples);
    const Latency plugL = PluginLatency(plugged, samples);
    std::printf("### Latency (read length 1, peer write to arrival, %d samples, log to file)\n\n",
                samples);
    std::printf("| path | p50 us | p99 us | p50 vs raw |\n|---|---:|---:|---:|\n");
    std::printf("| raw 1-byte sp_blocking_read | %.1f | %.1f | 1.00 |\n", rawL.p50us, rawL.p99us);
    std::printf("| plug-in to SendPacket | %.1f | %.1f | %.2f |\n\n", plugL.p50us, plugL.p99us,
                plugL.p50us / rawL.p50us);
    std::fflush(stdout);

    const LogCost log = MeasureLog(quick ? 20000 : 200000);
    std::printf("### Log function (velmarLogPrint to a file)\n\n| measure | value |\n|---|---:|\n");
    std::printf("| lines/s, 1 thread | %s |\n", Fixed(log.linesPerSecond1, 0).c_str());
    std::printf("| lines/s, 4 threads (total) | %s |\n", Fixed(log.linesPerSecond4, 0).c_str());
    std::printf("| one prefixed Debug line (CPU) | %.0f ns, %.1f allocs |\n", log.prefixedNs,
                log.prefixedAllocs);
    std::printf("| one 4095-byte memDataPrint (CPU) | %.0f ns, %.1f allocs |\n\n", log.dumpNs,
                log.dumpAllocs);
    std::fflush(stdout);

    rig.reset();
    const double rss = ChildPeakRssKiB(quick ? 0.5 : 2.0);
    std::printf("### Memory\n\n| measure | value |\n|---|---:|\n");
    std::printf("| peak RSS, benchmark host with one redirection pumping | %.0f KiB |\n\n", rss);
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
    ::unlink(bench::gLogPath.c_str());
    return result;
}
