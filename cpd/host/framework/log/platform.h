// What the log library asks of the operating system, implemented in platform_posix.cpp and
// platform_win.cpp; those files also hold the library's load, unload, fork and exit hooks.
#pragma once

#include <cstddef>
#include <ctime>

namespace cpd::logging {

// When and on which thread a line was made.
struct Stamp {
    long long millis;  // wall-clock time, milliseconds since the epoch
    unsigned long long tid;
};

// The calling thread's id is asked of the system once per thread, not by a system call per line.
Stamp Now();
void LocalTime(std::time_t seconds, std::tm* local);

// Files as plain descriptors: the drainer batches its writes itself.
int OpenLogFile(const char* path, bool truncate);  // appends; -1 when it cannot be opened
long long LogFileSize(int fd);
long long WriteSome(int fd, const char* data, size_t length);  // one write(); <= 0: failed
void CloseLogFile(int fd);                                     // ignores -1
constexpr int kStderrFd = 2;

// Run first by the writer thread: process signals are for the host's threads, not for one the
// log library started.
void BlockSignalsInThisThread();
// Held while the writer runs: on Windows a library unloaded under it would pull its code from
// under it. Where unloading runs the library's own hooks first, nothing to do.
void PinLibrary();
void UnpinLibrary();
// Makes the end of the process write out what the ring holds. Called with gControlMutex held,
// whenever a file becomes the destination.
void WatchProcessExit();

}  // namespace cpd::logging
