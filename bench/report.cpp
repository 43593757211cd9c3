// Markdown cells and rows of the benchmark's throughput tables.
#include "bench/report.h"

#include <algorithm>
#include <cstdio>

namespace bench {

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

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

std::string Cell(const Spread& s, int decimals) {
    char text[96];
    std::snprintf(text, sizeof(text), "%.*f (%.*f-%.*f)", decimals, s.median, decimals, s.min,
                  decimals, s.max);
    return text;
}

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

}  // namespace bench
