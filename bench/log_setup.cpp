// Log destinations for the measurements, the tally of lines written, the log function's cost.
#include "bench/log_setup.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/bench_host.h"
#include "cpd/host/framework/velmar_log.h"
#include "cpd/interface/cpd_log.h"

namespace bench {

namespace {

std::string gLogPath;
std::string gPipePath;

void DiscardLine(void*, int, const char*, const char*, size_t) {}

}  // namespace

void SetLogFiles(int pid) {
    gLogPath = "/tmp/cpd_bench_" + std::to_string(pid) + ".log";
    gPipePath = "/tmp/cpd_bench_" + std::to_string(pid) + ".fifo";
}

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

uint64_t LogBytesOnDisk(int* files) {
    velmarLogFlush();
    uint64_t onDisk = 0;
    *files = 0;
    for (const char* suffix : {"", ".1", ".2", ".3"}) {
        struct stat st {};
        if (::stat((gLogPath + suffix).c_str(), &st) == 0) {
            onDisk += static_cast<uint64_t>(st.st_size);
            ++*files;
        }
    }
    return onDisk;
}

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

SlowPipe::SlowPipe() {
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

SlowPipe::~SlowPipe() {
    mDone = true;
    mThread.join();
    ::close(mFd);
    ::unlink(gPipePath.c_str());
}

namespace {

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

}  // namespace

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

}  // namespace bench
