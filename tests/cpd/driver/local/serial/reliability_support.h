// Helpers of the reliability suites: resource counts of this process (threads, descriptors) and
// load sizes a CI run can shrink through the environment.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_device.h"

namespace cpd::test {

// Entries of a /proc directory besides "." and ".."; for /proc/self/fd the descriptor that lists
// the directory counts too, the same way on every call.
inline int CountProcEntries(const char* path) {
    int count = -1;
    if (DIR* dir = opendir(path)) {
        for (count = 0; dirent* entry = readdir(dir);) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}
inline int ThreadCount() {
    return CountProcEntries("/proc/self/task");
}
inline int FdCount() {
    return CountProcEntries("/proc/self/fd");
}

// A positive count from the environment, or `fallback`.
inline long EnvCount(const char* name, long fallback) {
    const char* text = std::getenv(name);
    const long value = text != nullptr ? std::atol(text) : 0;
    return value > 0 ? value : fallback;
}

// The thread count a test compares against. ThreadSanitizer starts its helper thread with the
// process's first pthread_create, so one thread is created and joined before counting; the
// count is then read once it has stopped moving.
inline int ThreadBaseline() {
    std::thread([] {}).join();
    int previous = -1;
    int count = ThreadCount();
    while (count != previous) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        previous = count;
        count = ThreadCount();
    }
    return count;
}

// Joined threads can linger in /proc/self/task for a moment after join returns (the kernel
// reaps them asynchronously), so a count is compared only once it has had time to settle.
inline bool ThreadsSettleAt(int expected) {
    return WaitUntil([expected] { return ThreadCount() == expected; },
                     std::chrono::milliseconds(2000));
}

}  // namespace cpd::test
