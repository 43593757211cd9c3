// The log library on Windows: clock, thread ids, files, the writer's hold on the DLL, DllMain.
// windows.h first: the other system headers build on its types.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "cpd/host/framework/log/platform.h"
#include "cpd/host/framework/log/ring.h"

namespace cpd::logging {

namespace {

thread_local unsigned long long tThreadId;  // 0 until the thread's first line
HMODULE gPin = nullptr;                     // under gMutex: held while the writer runs

// Under the loader lock no thread may be joined. A library unloaded by FreeLibrary has no
// writer (the writer's reference keeps it loaded), so it only writes out what is left. At
// process exit Windows has already ended every other thread, the writer included, perhaps in
// the middle of a batch: the ring is written out from its tail by this thread, which may repeat
// part of that batch rather than lose it. A lock held by an ended thread stays held, hence
// try_lock.
void OnDetach(bool processExit) {
    if (!processExit) {
        StopForGood();
        return;
    }
    if (!gMutex->try_lock()) {
        return;
    }
    std::unique_lock<std::mutex> lock(*gMutex, std::adopt_lock);
    gState.closing = true;
    gState.writing = false;
    if (gDestination.load(std::memory_order_relaxed) == Destination::kFile &&
        gState.ring != nullptr) {
        DrainLocked(lock, nullptr, 0);
    }
}

}  // namespace

Stamp Now() {
    if (tThreadId == 0) {
        tThreadId = GetCurrentThreadId();
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return {
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()),
        tThreadId};
}

void LocalTime(std::time_t seconds, std::tm* local) {
    localtime_s(local, &seconds);
}

int OpenLogFile(const char* path, bool truncate) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | (truncate ? _O_TRUNC : 0),
                 0644);
}

long long LogFileSize(int fd) {
    return _lseeki64(fd, 0, SEEK_END);
}

long long WriteSome(int fd, const char* data, size_t length) {
    return _write(fd, data, static_cast<unsigned>(std::min<size_t>(length, INT_MAX)));
}

void CloseLogFile(int fd) {
    if (fd >= 0) {
        _close(fd);
    }
}

void BlockSignalsInThisThread() {}

void PinLibrary() {
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&gPin),
                       &gPin);
}

void UnpinLibrary() {
    if (gPin != nullptr) {
        FreeLibrary(gPin);
        gPin = nullptr;
    }
}

// DllMain's detach writes out what is left.
void WatchProcessExit() {}

}  // namespace cpd::logging

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        cpd::logging::StartUp();
    } else if (reason == DLL_PROCESS_DETACH) {
        cpd::logging::OnDetach(reserved != nullptr);
    }
    return TRUE;
}
