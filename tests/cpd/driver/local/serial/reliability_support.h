// Helpers of the reliability suites: resource counts of this process (threads, descriptors),
// load sizes a CI run can shrink through the environment, and a wait with a hang guard.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace cpd::test {

// Hang guard only: every wait normally ends long before it.
constexpr std::chrono::milliseconds kHangGuard{10000};

// Entries of a /proc directory, not counting "." and "..". For /proc/self/fd the descriptor
// that lists the directory is counted too, the same way on every call.
inline int CountProcEntries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

inline int ThreadCount() {
    return CountProcEntries("/proc/self/task");
}
inline int FdCount() {
    return CountProcEntries("/proc/self/fd");
}

// A positive integer from the environment, or `fallback` when it is unset or not one.
inline long EnvCount(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr) {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 ? value : fallback;
}

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = kHangGuard) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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
