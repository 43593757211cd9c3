// Helpers of the reliability suites: resource counts of this process (threads, descriptors),
// load sizes a CI run can shrink through the environment, a wait with a hang guard, and the
// data the driver sent back.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cpd/driver/local/serial/serial_protocol.h"
#include "tests/support/test_device.h"

namespace cpd::test {

// Hang guard only: every wait normally ends long before it.
constexpr std::chrono::milliseconds kHangGuard{10000};

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

template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = kHangGuard) {
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

// The data bytes of the driver's READ_DATA packets, in the order sent.
inline std::string ReadData(const std::vector<SentPacket>& sent) {
    std::string data;
    for (const SentPacket& p : sent) {
        if (p.Cmd() == SERIAL_CMD_READ_DATA) {
            data.append(reinterpret_cast<const char*>(p.Payload()) + 4, p.PayloadSize() - 4);
        }
    }
    return data;
}

}  // namespace cpd::test
