#include "cpd/host/framework/velmar_log.h"

#include <fcntl.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

enum class Destination { kStderr, kFile, kSink, kOff };

// All trivially destructible, so the library can be unloaded at any time.
std::mutex gMutex;  // guards the destination fields and serialises whole lines
Destination gDestination = Destination::kStderr;
int gFileFd = -1;
VelmarLogSink gSink = nullptr;
void* gSinkContext = nullptr;

// Lines up to this size are built on the stack; longer ones take one heap block.
constexpr size_t kStackLine = 1024;

unsigned long CurrentThreadId() {
#if defined(_WIN32)
    return static_cast<unsigned long>(GetCurrentThreadId());
#else
    return static_cast<unsigned long>(syscall(SYS_gettid));
#endif
}

int WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
#if defined(_WIN32)
        const int written = _write(fd, data, static_cast<unsigned>(length));
#else
        const ssize_t written = write(fd, data, length);
#endif
        if (written <= 0) {
            return -1;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

void CloseFileLocked() {
    if (gFileFd >= 0) {
#if defined(_WIN32)
        _close(gFileFd);
#else
        close(gFileFd);
#endif
        gFileFd = -1;
    }
}

// "2026-12-05 17:49:19.123 <tid> D <tag>: " — formatted outside the lock.
int FormatLead(char* out, size_t size, int level, const char* tag) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    const char levelChar = level == 5   ? 'D'
                           : level == 7 ? 'E'
                                        : static_cast<char>('0' + (level % 10));
    return std::snprintf(out, size, "%s.%03ld %lu %c %s: ", stamp, millis, CurrentThreadId(),
                         levelChar, tag != nullptr ? tag : "");
}

}  // namespace

extern "C" {

int velmarLogPrint(int unused, int level, const char* tag, const char* format, ...) {
    (void)unused;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (gDestination == Destination::kOff) {
            return 0;
        }
    }
    char stackLine[kStackLine];
    char* line = stackLine;
    int lead = FormatLead(stackLine, sizeof(stackLine), level, tag);
    if (lead < 0) {
        lead = 0;
    }
    // snprintf answers the length it wanted: a tag too long for the line buffer is cut at the
    // buffer's end instead of placing the message beyond it.
    if (static_cast<size_t>(lead) >= sizeof(stackLine)) {
        lead = static_cast<int>(sizeof(stackLine) - 1);
    }
    const size_t leadLength = static_cast<size_t>(lead);

    va_list args;
    va_start(args, format);
    va_list retry;
    va_copy(retry, args);
    int text = std::vsnprintf(stackLine + leadLength, sizeof(stackLine) - leadLength, format, args);
    va_end(args);
    if (text < 0) {
        va_end(retry);
        return -1;
    }
    size_t total = leadLength + static_cast<size_t>(text);
    char* heapLine = nullptr;
    if (total + 2 > sizeof(stackLine)) {
        heapLine = static_cast<char*>(std::malloc(total + 2));
        if (heapLine == nullptr) {
            va_end(retry);
            return -1;
        }
        std::memcpy(heapLine, stackLine, leadLength);
        std::vsnprintf(heapLine + leadLength, static_cast<size_t>(text) + 1, format, retry);
        line = heapLine;
    }
    va_end(retry);
    // One line per call: a text that already ends with a line break gets no second one.
    if (total > leadLength && line[total - 1] == '\n') {
        --total;
    }
    line[total] = '\n';

    int result = 0;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        switch (gDestination) {
            case Destination::kStderr:
                result = WriteAll(2, line, total + 1);
                break;
            case Destination::kFile:
                result = WriteAll(gFileFd, line, total + 1);
                break;
            case Destination::kSink:
                line[total] = '\0';
                gSink(gSinkContext, level, tag, line + leadLength, total - leadLength);
                break;
            case Destination::kOff:
                break;
        }
    }
    std::free(heapLine);
    return result;
}

void velmarLogToStderr(void) {
    std::lock_guard<std::mutex> lock(gMutex);
    CloseFileLocked();
    gDestination = Destination::kStderr;
}

int velmarLogToFile(const char* path) {
#if defined(_WIN32)
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, 0644);
#else
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
#endif
    if (fd < 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    CloseFileLocked();
    gFileFd = fd;
    gDestination = Destination::kFile;
    return 0;
}

void velmarLogToSink(VelmarLogSink sink, void* context) {
    std::lock_guard<std::mutex> lock(gMutex);
    CloseFileLocked();
    gSink = sink;
    gSinkContext = context;
    gDestination = sink != nullptr ? Destination::kSink : Destination::kStderr;
}

void velmarLogOff(void) {
    std::lock_guard<std::mutex> lock(gMutex);
    CloseFileLocked();
    gDestination = Destination::kOff;
}

void velmarLogFlush(void) {
    // Lines are written with one system call each and nothing is held back in user space, so
    // taking the lock is enough to wait for a line being written on another thread.
    std::lock_guard<std::mutex> lock(gMutex);
}

}  // extern "C"
