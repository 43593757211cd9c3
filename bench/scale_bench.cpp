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
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "bench/echo_rig.h"
#include "bench/goals.h"
#include "bench/process_stats.h"
#include "bench/report.h"
#include "cpd/host/framework/velmar_log.h"
#include "vserial/vserial.h"

namespace bench {
namespace {

std::string gPluginPath = BENCH_PLUGIN_PATH;

constexpr uint32_t kIdleTimeoutsMs[] = {1, 20, 500};
constexpr int kBauds[] = {115200, 921600};

// How long RunAll measures, and on how many ports (the last count is the one the goals name).
struct Plan {
    explicit Plan(bool quick)
        : sizes(quick ? std::vector<int>{1, kMaxPorts} : std::vector<int>{1, 8, kMaxPorts}),
          idleSeconds(quick ? 0.5 : 5.0),
          rawIdleSeconds(quick ? 0.3 : 2.0),
          loadSeconds(quick ? 0.5 : 2.0),
          loadReps(quick ? 1 : 3) {}
    const std::vector<int> sizes;
    const double idleSeconds;
    const double rawIdleSeconds;
    const double loadSeconds;
    const int loadReps;
};

void PrintPreamble() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) {
        std::printf("Load average at start: %.2f %.2f %.2f (nproc %u)\n\n", load[0], load[1],
                    load[2], std::thread::hardware_concurrency());
    }
}

// "median / max".
std::string MedianMax(const std::vector<double>& values, int decimals) {
    if (values.empty()) {
        return "-";
    }
    const Spread s = Summarize(values);
    return Fixed(s.median, decimals) + " / " + Fixed(s.max, decimals);
}

// ---- footprint ------------------------------------------------------------------------------

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
    const size_t threads0 = ThreadIds().size();
    const double kib0 = ResidentKiB();
    std::vector<std::unique_ptr<BenchDevice>> devices;
    std::vector<std::unique_ptr<Plugin>> plugins;
    for (vserial::Adapter* adapter : adapters) {
        devices.push_back(std::make_unique<BenchDevice>(adapter->Description()));
        plugins.push_back(std::make_unique<Plugin>(gPluginPath, devices.back().get()));
        plugins.back()->Deliver(ReadTimeoutPacket(1));
    }
    const size_t threads1 = ThreadIds().size();
    for (std::unique_ptr<Plugin>& plugin : plugins) {
        plugin->Deliver(StartReadPacket());
    }
    Sleep(0.3);
    const size_t threads2 = ThreadIds().size();
    const double kib = ResidentKiB() - kib0;
    std::printf("%.2f %.2f %.1f\n", static_cast<double>(threads1 - threads0) / n,
                static_cast<double>(threads2 - threads1) / n, kib / n);
    plugins.clear();
    dlclose(library);
    return 0;
}

struct Footprint {
    int ports = 0;
    double threadsOpen = 0;
    double readThreads = 0;
    double kib = 0;
};

// RunFootprint(n) in a child process of this binary.
Footprint ChildFootprint(int n) {
    char self[4096];
    const ssize_t len = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    Footprint f;
    f.ports = n;
    if (len <= 0) {
        return f;
    }
    self[len] = '\0';
    const std::string command = "'" + std::string(self) + "' footprint " + std::to_string(n) +
                                " --plugin '" + gPluginPath + "'";
    if (FILE* child = ::popen(command.c_str(), "r")) {
        if (std::fscanf(child, "%lf %lf %lf", &f.threadsOpen, &f.readThreads, &f.kib) != 3) {
            f = Footprint{n};
        }
        ::pclose(child);
    }
    return f;
}

// One Footprint per entry of plan.sizes.
std::vector<Footprint> MeasureFootprints(const Plan& plan) {
    std::vector<Footprint> rows;
    for (int n : plan.sizes) {
        rows.push_back(ChildFootprint(n));
    }
    return rows;
}

void PrintFootprints(const std::vector<Footprint>& rows) {
    std::printf("#### Footprint (a fresh process per row)\n\n");
    std::printf(
        "| ports | threads per port, opened | read threads per port, started | "
        "resident memory per port (KiB) |\n|---|---|---|---|\n");
    for (const Footprint& f : rows) {
        std::printf("| %d | %.2f | %.2f | %.1f |\n", f.ports, f.threadsOpen, f.readThreads, f.kib);
    }
    std::fflush(stdout);
}

// ---- idle -----------------------------------------------------------------------------------

struct IdleRow {
    int ports;
    uint32_t timeoutMs;
    IdleRun raw;
    IdleRun plugin;
};

// A row per port count and read timeout, the raw loops right before the plug-in.
std::vector<IdleRow> MeasureIdle(const Plan& plan, EchoRig& rig) {
    std::vector<IdleRow> rows;
    for (int n : plan.sizes) {
        for (uint32_t timeoutMs : kIdleTimeoutsMs) {
            IdleRow row{n, timeoutMs, rig.Idle(false, n, timeoutMs, plan.rawIdleSeconds), {}};
            row.plugin = rig.Idle(true, n, timeoutMs, plan.idleSeconds);
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

void PrintIdle(const Plan& plan, const std::vector<IdleRow>& rows) {
    std::printf(
        "\n#### Idle: ports open and reading, no traffic (process CPU over %.1f s; raw "
        "loops over %.1f s)\n\n",
        plan.idleSeconds, plan.rawIdleSeconds);
    std::printf(
        "| ports | read timeout (ms) | plug-in CPU (%% of a core) | raw sp_blocking_read "
        "loops (%% of a core) | plug-in / raw | plug-in Stop, median / max (ms) | raw "
        "loop stop, median / max (ms) |\n|---|---|---|---|---|---|---|\n");
    for (const IdleRow& r : rows) {
        std::printf("| %d | %u | %s | %s | %s | %s | %s |\n", r.ports, r.timeoutMs,
                    Fixed(r.plugin.cpuPercent, 3).c_str(), Fixed(r.raw.cpuPercent, 2).c_str(),
                    Fixed(r.plugin.cpuPercent / r.raw.cpuPercent, 3).c_str(),
                    MedianMax(r.plugin.stopMs, 2).c_str(), MedianMax(r.raw.stopMs, 2).c_str());
    }
    std::fflush(stdout);
}

// The most ports quiet at the shortest read timeout, and the slowest quiet Stop of any row.
void RecordIdleGoals(const std::vector<IdleRow>& rows, GoalSheet* goals) {
    double slowestStop = 0;
    for (const IdleRow& r : rows) {
        if (r.ports == kMaxPorts && r.timeoutMs == 1) {
            goals->Record(kIdleCpu, r.plugin.cpuPercent,
                          Fixed(r.plugin.cpuPercent, 3) + " % of a core");
        }
        slowestStop = std::max(slowestStop, Summarize(r.plugin.stopMs).max);
    }
    goals->Record(kQuietStop, slowestStop, Fixed(slowestStop, 2) + " ms");
}

// ---- load -----------------------------------------------------------------------------------

struct LoadRow {
    int ports;
    int baud;
    // One run per repetition, the raw loops right before the plug-in so that load coming and
    // going on the machine falls on both; ratios are taken within a repetition.
    std::vector<LoadRun> raw;
    std::vector<LoadRun> plugin;

    Spread CpuRatio() const {
        std::vector<double> ratios;
        for (size_t i = 0; i < plugin.size() && i < raw.size(); ++i) {
            ratios.push_back(plugin[i].cpuPercent / raw[i].cpuPercent);
        }
        return Summarize(ratios);
    }
    // Over both paths and every repetition.
    uint64_t Total(uint64_t LoadRun::*count) const {
        uint64_t total = 0;
        for (const std::vector<LoadRun>* runs : {&plugin, &raw}) {
            for (const LoadRun& run : *runs) {
                total += run.*count;
            }
        }
        return total;
    }
};

double Median(const std::vector<LoadRun>& runs, double LoadRun::*figure) {
    std::vector<double> values;
    for (const LoadRun& run : runs) {
        values.push_back(run.*figure);
    }
    return Summarize(values).median;
}

// Every port's stop in every repetition.
std::vector<double> Stops(const std::vector<LoadRun>& runs) {
    std::vector<double> ms;
    for (const LoadRun& run : runs) {
        ms.insert(ms.end(), run.stopMs.begin(), run.stopMs.end());
    }
    return ms;
}

std::vector<LoadRow> MeasureLoad(const Plan& plan, EchoRig& rig) {
    std::vector<LoadRow> rows;
    for (int n : plan.sizes) {
        for (int baud : kBauds) {
            LoadRow row{n, baud, {}, {}};
            for (int rep = 0; rep < plan.loadReps; ++rep) {
                row.raw.push_back(rig.Load(false, n, baud, plan.loadSeconds));
                row.plugin.push_back(rig.Load(true, n, baud, plan.loadSeconds));
            }
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

void PrintLoad(const Plan& plan, const std::vector<LoadRow>& rows) {
    std::printf(
        "\n#### Load: every port echoing at its line rate, both directions (medians of %d "
        "repetitions, CPU over %.1f s each, the far end left out; read timeout %u ms)\n\n",
        plan.loadReps, plan.loadSeconds, kLoadReadTimeoutMs);
    std::printf(
        "| ports | baud | bytes/s per port each way, plug-in / raw | plug-in CPU (%% of a "
        "core) | raw loops CPU (%% of a core) | plug-in / raw (min-max) | lost / out of order | "
        "plug-in Stop under load, median / max (ms) | raw loop stop, median / max (ms) "
        "|\n|---|---|---|---|---|---|---|---|---|\n");
    for (const LoadRow& r : rows) {
        std::printf("| %d | %d | %s / %s | %s | %s | %s | %llu / %llu | %s | %s |\n", r.ports,
                    r.baud, Fixed(Median(r.plugin, &LoadRun::bytesPerSecond), 0).c_str(),
                    Fixed(Median(r.raw, &LoadRun::bytesPerSecond), 0).c_str(),
                    Fixed(Median(r.plugin, &LoadRun::cpuPercent), 1).c_str(),
                    Fixed(Median(r.raw, &LoadRun::cpuPercent), 1).c_str(),
                    Cell(r.CpuRatio(), 2).c_str(),
                    static_cast<unsigned long long>(r.Total(&LoadRun::lost)),
                    static_cast<unsigned long long>(r.Total(&LoadRun::misplaced)),
                    MedianMax(Stops(r.plugin), 1).c_str(), MedianMax(Stops(r.raw), 1).c_str());
    }
    std::fflush(stdout);
}

// The worse baud's ratio with the most ports, and every byte lost or misplaced in any run.
void RecordLoadGoals(const std::vector<LoadRow>& rows, GoalSheet* goals) {
    const LoadRow* worst = nullptr;
    uint64_t faults = 0;
    for (const LoadRow& r : rows) {
        if (r.ports == kMaxPorts &&
            (worst == nullptr || r.CpuRatio().median > worst->CpuRatio().median)) {
            worst = &r;
        }
        faults += r.Total(&LoadRun::lost) + r.Total(&LoadRun::misplaced);
    }
    if (worst != nullptr) {
        goals->Record(kLoadCpuRatio, worst->CpuRatio().median,
                      Cell(worst->CpuRatio(), 2) + " at " + std::to_string(worst->baud) + " baud");
    }
    goals->Record(kLostBytes, static_cast<double>(faults), std::to_string(faults) + " bytes");
}

// ---- the whole report -----------------------------------------------------------------------

int RunAll(bool quick) {
    const Plan plan(quick);
    PrintPreamble();
    velmarLogOff();  // as cpd-host term runs the plug-in unless asked for a log
    std::unique_ptr<EchoRig> rig = EchoRig::Create(gPluginPath);
    if (rig == nullptr) {
        return 1;
    }
    GoalSheet goals(kScaleGoals);

    const std::vector<Footprint> footprints = MeasureFootprints(plan);
    PrintFootprints(footprints);
    const Footprint& most = footprints.back();  // kMaxPorts
    goals.Record(kReadThreads, most.readThreads, Fixed(most.readThreads, 2));
    goals.Record(kResidentPerPort, most.kib, Fixed(most.kib, 1) + " KiB");

    const std::vector<IdleRow> idle = MeasureIdle(plan, *rig);
    PrintIdle(plan, idle);
    RecordIdleGoals(idle, &goals);

    const std::vector<LoadRow> load = MeasureLoad(plan, *rig);
    PrintLoad(plan, load);
    RecordLoadGoals(load, &goals);

    std::printf("\n");
    goals.Print("Goals", 4);
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
