// The benchmark's Markdown output: a figure's median and range over the repetitions, a plug-in
// path paired with the raw loop run next to it, and the rows of the throughput tables.
#pragma once

#include <string>
#include <vector>

#include "bench/line_paths.h"

namespace bench {

// "1.23" with `decimals` places.
std::string Fixed(double value, int decimals);

// Median and range of one figure over the repetitions.
struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
};

Spread Summarize(std::vector<double> values);
// "1.23 (1.10-1.40)": median (min-max).
std::string Cell(const Spread& s, int decimals);

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
void PrintRow(const std::string& lead, const Paired& p, double unitBytes, bool isRaw);

}  // namespace bench
