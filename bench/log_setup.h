// Where the plug-in's log goes while a benchmark measures (a file, a discarding sink, a pipe
// read slowly, a rotated file), how many of its lines reached the file, and what the log
// function itself costs. Main thread only; SlowPipe runs one reader thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace bench {

// kSlowPipe: a pipe whose reader takes 100 kB/s (SlowPipe); kRotated: the file with the
// rotation cpd-host's --log-max-size 1M --log-keep 2 gives.
enum class LogTo { kFile, kSink, kSlowPipe, kRotated };

// The log file and the pipe of this process (named after its pid, in /tmp); call once first.
void SetLogFiles(int pid);
// Sends the log there; a file is started afresh.
void RouteLog(LogTo to);
// Removes the log file and its rotated copies.
void RemoveLogFiles();
// Bytes of the log file and its rotated copies on disk, and how many files there are.
uint64_t LogBytesOnDisk(int* files);

// Lines in the log file now (the notices left out) and the lines the notices say were dropped.
struct LogTally {
    double written = 0;
    double dropped = 0;
    double Share() const { return written + dropped > 0 ? written / (written + dropped) : 1; }
};
LogTally TallyLogFile();

// A log destination that takes bytes slowly: a FIFO read at 100 kB/s (10 kB every 100 ms)
// until Fast(), which lets the log's remaining lines through before it is switched away.
class SlowPipe {
  public:
    SlowPipe();
    ~SlowPipe();
    SlowPipe(const SlowPipe&) = delete;
    SlowPipe& operator=(const SlowPipe&) = delete;
    void Fast() { mFast = true; }

  private:
    int mFd = -1;
    std::atomic<bool> mFast{false};
    std::atomic<bool> mDone{false};
    std::thread mThread;
};

// The log function alone, into a file.
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
LogCost MeasureLog(int lines);

}  // namespace bench
