// The log library on POSIX systems: clock, thread ids, files, signals; load, fork and exit hooks.
#include "cpd/host/framework/log/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "cpd/host/framework/log/ring.h"

namespace cpd::logging {

namespace {

thread_local unsigned long long tThreadId;  // 0 until the thread's first line
bool gExitWatched = false;                  // under gControlMutex

void AfterForkInChild() {
    ResetInForkChild();
    tThreadId = 0;  // the cached id is the parent's thread's
}

__attribute__((constructor)) void OnLoad() {
    StartUp();
    pthread_atfork(&LockForFork, &UnlockAfterFork, &AfterForkInChild);
}

__attribute__((destructor)) void OnUnload() {
    StopForGood();
}

}  // namespace

Stamp Now() {
    if (tThreadId == 0) {
        tThreadId = static_cast<unsigned long long>(syscall(SYS_gettid));
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000, tThreadId};
}

void LocalTime(std::time_t seconds, std::tm* local) {
    localtime_r(&seconds, local);
}

int OpenLogFile(const char* path, bool truncate) {
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
}

long long LogFileSize(int fd) {
    return lseek(fd, 0, SEEK_END);
}

long long WriteSome(int fd, const char* data, size_t length) {
    return write(fd, data, length);
}

void CloseLogFile(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

void BlockSignalsInThisThread() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

// The library's destructor stops the writer before the code goes away.
void PinLibrary() {}
void UnpinLibrary() {}

void WatchProcessExit() {
    if (!gExitWatched) {
        gExitWatched = std::atexit(&StopForGood) == 0;
    }
}

}  // namespace cpd::logging
