// Benchmarks of the serial redirection plug-in on virtual serial adapters with the real
// libserialport, each path side by side with the bare libserialport loop it wraps.
//
//   cpd_bench [--short]              every in-process measurement, printed as Markdown tables
//   cpd_bench scenario read|write N  fixed workload for callgrind (instrumentation toggled
//                                    around the N packets only)
//   cpd_bench rss SECONDS            one redirection pumping; prints its peak resident size
//   cpd_bench bridge HOST_BINARY     cpd-host serve against socat, adapter peer to TCP client
#include <sys/resource.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "bench/bridge.h"
#include "bench/goals.h"
#include "bench/line_paths.h"
#include "bench/log_setup.h"
#include "bench/report.h"
#include "cpd/host/framework/velmar_log.h"
#include "vserial/vserial.h"

namespace bench {
namespace {

// How long RunAll measures. Every figure is the median of `reps` repetitions; within a
// repetition each plug-in path runs right after the raw loop it is compared with, so load that
// comes and goes on the machine falls on both.
struct Plan {
    explicit Plan(bool quick)
        : quick(quick),
          readSeconds(quick ? 0.3 : 2.0),
          writeSeconds(quick ? 0.2 : 1.0),
          samples(quick ? 100 : 400),
          floodSeconds(quick ? 2.0 : 20.0),
          logLines(quick ? 20000 : 200000),
          rssSeconds(quick ? 0.5 : 2.0) {}
    const bool quick;
    const int reps = 5;
    const double readSeconds;
    const double writeSeconds;
    const int samples;  // per repetition
    const double floodSeconds;
    const int logLines;
    const double rssSeconds;
};

// The adapter the plug-in opens and the one the raw loops use.
struct Adapters {
    vserial::Adapter* plugged = nullptr;
    vserial::Adapter* raw = nullptr;
};

void PrintPreamble(const Plan& plan) {
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
        plan.reps);
}

// ---- read pump ----------------------------------------------------------------------------

const struct {
    const char* name;
    LogTo log;
} kReadPaths[] = {{"plug-in, log to file", LogTo::kFile},
                  {"plug-in, log to discarding sink", LogTo::kSink},
                  {"plug-in, log to a pipe read at 100 kB/s", LogTo::kSlowPipe}};

// One Paired per entry of kReadPaths.
std::vector<Paired> MeasureReads(const Plan& plan, const Adapters& adapters) {
    std::vector<Paired> reads(std::size(kReadPaths));
    for (int r = 0; r < plan.reps; ++r) {
        for (size_t p = 0; p < std::size(kReadPaths); ++p) {
            reads[p].raw.push_back(RawRead(adapters.raw, plan.readSeconds));
            reads[p].path.push_back(
                PluginRead(adapters.plugged, plan.readSeconds, kReadPaths[p].log));
        }
    }
    return reads;
}

void PrintReads(const std::vector<Paired>& reads) {
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
    for (size_t p = 0; p < std::size(kReadPaths); ++p) {
        PrintRow(kReadPaths[p].name, reads[p], 4096, false);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// ---- write path ---------------------------------------------------------------------------

struct WriteSize {
    uint32_t size;
    Paired file;  // log to file
    Paired sink;  // log to a discarding sink
};

std::vector<WriteSize> MeasureWrites(const Plan& plan, const Adapters& adapters) {
    std::vector<WriteSize> sizes;
    for (uint32_t size : {64u, 1024u, 4096u}) {
        WriteSize w{size, {}, {}};
        for (int r = 0; r < plan.reps; ++r) {
            w.file.raw.push_back(RawWrite(adapters.raw, size, plan.writeSeconds));
            w.file.path.push_back(
                PluginWrite(adapters.plugged, size, plan.writeSeconds, LogTo::kFile));
            w.sink.raw.push_back(RawWrite(adapters.raw, size, plan.writeSeconds));
            w.sink.path.push_back(
                PluginWrite(adapters.plugged, size, plan.writeSeconds, LogTo::kSink));
        }
        sizes.push_back(std::move(w));
    }
    return sizes;
}

void PrintWrites(const std::vector<WriteSize>& sizes) {
    std::printf("### Write path (SERIAL_CMD_WRITE through onEvent, draining peer)\n\n");
    std::printf(
        "| size | path | MB/s | time vs raw | caller CPU us per write | caller CPU vs raw | "
        "process CPU us per write | process CPU vs raw | allocs/write | log lines written |\n");
    std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const WriteSize& w : sizes) {
        Paired rawWrites;
        rawWrites.path = w.file.raw;
        rawWrites.path.insert(rawWrites.path.end(), w.sink.raw.begin(), w.sink.raw.end());
        const std::string lead = std::to_string(w.size) + " B | ";
        PrintRow(lead + "raw sp_blocking_write", rawWrites, w.size, true);
        PrintRow(lead + "plug-in, log to file", w.file, w.size, false);
        PrintRow(lead + "plug-in, log to sink", w.sink, w.size, false);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// ---- one-byte latency ---------------------------------------------------------------------

struct Latencies {
    std::vector<double> rawP50;
    std::vector<double> rawP99;
    std::vector<double> plugP50;
    std::vector<double> plugP99;
    std::vector<double> ratios;  // plug-in p50 / raw p50 per repetition

    Spread Ratio() const { return Summarize(ratios); }
};

Latencies MeasureLatencies(const Plan& plan, const Adapters& adapters) {
    Latencies l;
    for (int r = 0; r < plan.reps; ++r) {
        const Latency rawL = RawLatency(adapters.raw, plan.samples);
        const Latency plugL = PluginLatency(adapters.plugged, plan.samples);
        l.rawP50.push_back(rawL.p50us);
        l.rawP99.push_back(rawL.p99us);
        l.plugP50.push_back(plugL.p50us);
        l.plugP99.push_back(plugL.p99us);
        l.ratios.push_back(plugL.p50us / rawL.p50us);
    }
    return l;
}

void PrintLatencies(const Plan& plan, const Latencies& l) {
    std::printf(
        "### Latency (read length 1, peer write to arrival, %d samples per repetition, log to "
        "file)\n\n",
        plan.samples);
    std::printf("| path | p50 us | p99 us | p50 vs raw |\n|---|---:|---:|---:|\n");
    std::printf("| raw 1-byte sp_blocking_read | %s | %s | 1.00 |\n",
                Cell(Summarize(l.rawP50), 1).c_str(), Cell(Summarize(l.rawP99), 1).c_str());
    std::printf("| plug-in to SendPacket | %s | %s | %s |\n\n",
                Cell(Summarize(l.plugP50), 1).c_str(), Cell(Summarize(l.plugP99), 1).c_str(),
                Cell(l.Ratio(), 2).c_str());
    std::fflush(stdout);
}

// ---- bounded log --------------------------------------------------------------------------

struct BoundedLog {
    Rate flood;
    uint64_t onDisk = 0;  // bytes of the log and its rotated copies
    int files = 0;

    double MiB() const { return static_cast<double>(onDisk) / (1 << 20); }
};

// The read pump floods the log (two lines per packet) into a file rotated at 1 MiB with two
// old files kept, as cpd-host --log-max-size 1M --log-keep 2 does.
BoundedLog MeasureBoundedLog(const Plan& plan, const Adapters& adapters) {
    BoundedLog b;
    b.flood = PluginRead(adapters.plugged, plan.floodSeconds, LogTo::kRotated);
    b.onDisk = LogBytesOnDisk(&b.files);
    RouteLog(LogTo::kFile);
    return b;
}

void PrintBoundedLog(const Plan& plan, const BoundedLog& b) {
    std::printf("### Bounded log (read pump flooding for %.0f s, log rotated at 1 MiB, 2 kept)\n\n",
                plan.floodSeconds);
    std::printf("| measure | value |\n|---|---:|\n");
    std::printf("| data pumped | %.0f MB |\n", b.flood.bytesPerSecond * plan.floodSeconds / 1e6);
    std::printf("| log files on disk | %d |\n| log bytes on disk | %.2f MiB |\n\n", b.files,
                b.MiB());
}

// ---- the log function and memory ------------------------------------------------------------

void PrintLogCost(const LogCost& log) {
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
}

void PrintMemory(double rssKiB) {
    std::printf("### Memory\n\n| measure | value |\n|---|---:|\n");
    std::printf("| peak RSS, benchmark host with one redirection pumping | %.0f KiB |\n\n", rssKiB);
}

// ---- the whole report -----------------------------------------------------------------------

int RunAll(bool quick) {
    const Plan plan(quick);
    Adapters adapters;
    std::unique_ptr<vserial::Rig> rig = MakeRig(&adapters.plugged, &adapters.raw);
    RouteLog(LogTo::kFile);
    PrintPreamble(plan);
    GoalSheet goals(kPluginGoals);

    const std::vector<Paired> reads = MeasureReads(plan, adapters);
    PrintReads(reads);
    const Spread fileRead = reads[0].TimeRatio();
    goals.Record(kReadToFile, fileRead.median, Cell(fileRead, 2));
    const Spread slowRead = reads[2].TimeRatio();
    goals.Record(kReadToSlowPipe, slowRead.median, Cell(slowRead, 2));

    const std::vector<WriteSize> writes = MeasureWrites(plan, adapters);
    PrintWrites(writes);
    // Measured with the lines the log kept: a log that dropped more would look faster.
    const Paired& small = writes[0].file;
    const Spread time = small.TimeRatio();
    const Spread written = small.Of([](const Rate& r) { return r.logWritten * 100; });
    goals.Record(kWrite64Time, time.median,
                 Cell(time, 2) + ", " + Fixed(written.median, 1) + " % of log lines written");
    const Spread cpu = small.HostCpuRatio();
    goals.Record(kWrite64ProcessCpu, cpu.median, Cell(cpu, 2));

    const Latencies latencies = MeasureLatencies(plan, adapters);
    PrintLatencies(plan, latencies);
    goals.Record(kLatencyP50, latencies.Ratio().median, Cell(latencies.Ratio(), 2));

    const BoundedLog bounded = MeasureBoundedLog(plan, adapters);
    PrintBoundedLog(plan, bounded);
    goals.Record(kBoundedLogMiB, bounded.MiB(),
                 Fixed(bounded.MiB(), 2) + " MiB in " + std::to_string(bounded.files) + " files");

    PrintLogCost(MeasureLog(plan.logLines));
    rig.reset();
    PrintMemory(ChildPeakRssKiB(plan.rssSeconds));

    goals.Print("Against the goals (log to file unless said)");
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
    Plugin plugin(PluginPath(), &device);
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
        Plugin plugin(PluginPath(), &device);
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
    bench::SetLogFiles(::getpid());
    int result = 2;
    if (!args.empty() && args[0] == "scenario" && args.size() >= 3) {
        result = bench::RunScenario(args[1], std::atoi(args[2].c_str()));
    } else if (!args.empty() && args[0] == "rss" && args.size() >= 2) {
        if (args.size() >= 3) {
            bench::SetPluginPath(args[2]);
        }
        result = bench::RunRss(std::atof(args[1].c_str()));
    } else if (!args.empty() && args[0] == "bridge" && args.size() >= 2) {
        result = bench::RunBridge(args[1], bench::PluginPath(),
                                  args.size() >= 3 && args[2] == "--short");
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
