// The goals the benchmarks hold the product to: one table per benchmark, here, which
// BENCHMARKS.md quotes. A goal is met when its figure (the one its text names: a median over the
// repetitions, a ratio, a slowest case; higher is worse) is at most its limit.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Goal {
    const char* text;  // as the report's goal table names it
    double limit;
};

// cpd_bench: the plug-in against the bare libserialport loops, log to file unless said.
enum PluginGoal : size_t {
    kReadToFile,
    kReadToSlowPipe,
    kWrite64Time,
    kWrite64ProcessCpu,
    kLatencyP50,
    kBoundedLogMiB,
    kPluginGoalCount
};
inline constexpr Goal kPluginGoals[kPluginGoalCount] = {
    {"read pump, log to file: throughput >= 0.9x raw (time ratio <= 1.11)", 1 / 0.9},
    {"read pump, log to a pipe read at 100 kB/s: throughput >= 0.9x raw", 1 / 0.9},
    {"64-byte writes, log to file: throughput >= 0.7x raw (time ratio <= 1.43)", 1 / 0.7},
    {"64-byte writes, log to file: process CPU per write <= 2.0x raw", 2.0},
    {"1-byte latency p50 <= 1.15x raw", 1.15},
    {"flood with rotation at 1 MiB, 2 kept: at most 3 MiB of log", 3.0},
};

// scale_bench: many ports in one process, the plug-in's log off.
enum ScaleGoal : size_t {
    kIdleCpu,
    kLoadCpuRatio,
    kLostBytes,
    kReadThreads,
    kResidentPerPort,
    kQuietStop,
    kScaleGoalCount
};
inline constexpr Goal kScaleGoals[kScaleGoalCount] = {
    {"32 quiet ports at read timeout 1 ms: whole process CPU <= 1 % of a core", 1.0},
    {"32 ports echoing at line rate, worse baud: process CPU <= 1.2x 32 raw loops", 1.2},
    {"no byte lost or out of order, every load run", 0},
    {"at most one read thread per port", 1},
    {"resident memory per port, 32 ports: <= 256 KiB", 256},
    {"Stop of a quiet port, slowest port at any read timeout: <= 10 ms", 10},
};

// One report's goals and the figures measured for them, printed as its last table.
class GoalSheet {
  public:
    template <size_t N>
    explicit GoalSheet(const Goal (&goals)[N]) : mGoals(goals, goals + N), mFigures(N) {}

    // Goal `goal`'s figure: `value` decides whether it is met, `shown` is what the table says.
    void Record(size_t goal, double value, std::string shown);
    // A heading of `level` (3: "### <title>") and a "| goal | figure | met |" row per goal, in
    // the table's order.
    void Print(const char* title, int level = 3) const;

  private:
    struct Figure {
        double value;
        std::string shown;
    };
    std::vector<Goal> mGoals;
    std::vector<std::optional<Figure>> mFigures;
};

}  // namespace bench
