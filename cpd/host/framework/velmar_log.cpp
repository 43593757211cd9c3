#include "cpd/host/framework/velmar_log.h"

#include <fcntl.h>

#include <atomic>
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
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

enum class Destination { kStderr, kFile, kSink, kOff };

// All trivially destructible, so the library can be unloaded at any time.
std::mutex gMutex;  // guards the destination fields and serialises whole lines
// Changed under gMutex; read without it only to skip all work while the log is off.
std::atomic<Destination> gDestination{Destination::kStderr};
int gFileFd = -1;
VelmarLogSink gSink = nullptr;
void* gSinkContext = nullptr;

// Lines up to this size are built on the stack; longer ones take one heap block.
constexpr size_t kStackLine = 1024;

// What each thread keeps of its lead: the text of the current second (local time is worked out
// and formatted once per second instead of once per line) and its thread id (asked of the
// system once instead of by a system call per line). Zero-initialised, trivially destructible.
struct LeadCache {
    bool stampValid;
    std::time_t second;
    char stamp[32];
    size_t stampLength;
    char tid[24];
    size_t tidLength;  // 0 until the thread's first line
};
thread_local LeadCache tLead;

#if !defined(_WIN32)
// A forked child's only thread inherits the forking thread's cache, but not its id.
void ForgetThreadId() {
    tLead.tidLength = 0;
}
pthread_once_t gAtForkOnce = PTHREAD_ONCE_INIT;
void RegisterAtFork() {
    pthread_atfork(nullptr, nullptr, &ForgetThreadId);
}
#endif

void CacheThreadId() {
#if defined(_WIN32)
    const unsigned long id = static_cast<unsigned long>(GetCurrentThreadId());
#else
    pthread_once(&gAtForkOnce, &RegisterAtFork);
    const unsigned long id = static_cast<unsigned long>(syscall(SYS_gettid));
#endif
    const int n = std::snprintf(tLead.tid, sizeof(tLead.tid), "%lu", id);
    tLead.tidLength = n > 0 ? static_cast<size_t>(n) : 0;
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

// Appends to a fixed buffer, cutting what does not fit.
class LeadWriter {
  public:
    LeadWriter(char* out, size_t capacity) : mOut(out), mCapacity(capacity) {}
    void Put(const char* text, size_t n) {
        n = n < mCapacity - mLength ? n : mCapacity - mLength;
        std::memcpy(mOut + mLength, text, n);
        mLength += n;
    }
    void Put(char c) {
        if (mLength < mCapacity) {
            mOut[mLength++] = c;
        }
    }
    size_t Length() const { return mLength; }

  private:
    char* mOut;
    size_t mCapacity;
    size_t mLength = 0;
};

// "2026-12-05 17:49:19.123 <tid> D <tag>: " — formatted outside the lock, cut to size - 1
// characters like a snprintf into `out` would be.
int FormatLead(char* out, size_t size, int level, const char* tag) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    if (!tLead.stampValid || tLead.second != seconds) {
        std::tm local{};
#if defined(_WIN32)
        localtime_s(&local, &seconds);
#else
        localtime_r(&seconds, &local);
#endif
        tLead.stampLength =
            std::strftime(tLead.stamp, sizeof(tLead.stamp), "%Y-%m-%d %H:%M:%S", &local);
        tLead.second = seconds;
        tLead.stampValid = true;
    }
    if (tLead.tidLength == 0) {
        CacheThreadId();
    }
    const char levelChar = level == 5   ? 'D'
                           : level == 7 ? 'E'
                                        : static_cast<char>('0' + (level % 10));
    const char* tagText = tag != nullptr ? tag : "";
    const char millisText[] = {'.', static_cast<char>('0' + millis / 100),
                               static_cast<char>('0' + millis / 10 % 10),
                               static_cast<char>('0' + millis % 10), ' '};

    LeadWriter lead(out, size - 1);
    lead.Put(tLead.stamp, tLead.stampLength);
    lead.Put(millisText, sizeof(millisText));
    lead.Put(tLead.tid, tLead.tidLength);
    lead.Put(' ');
    lead.Put(levelChar);
    lead.Put(' ');
    lead.Put(tagText, std::strlen(tagText));
    lead.Put(": ", 2);
    out[lead.Length()] = '\0';
    return static_cast<int>(lead.Length());
}

}  // namespace

extern "C" {

int velmarLogPrint(int unused, int level, const char* tag, const char* format, ...) {
    (void)unused;
    if (gDestination.load(std::memory_order_relaxed) == Destination::kOff) {
        return 0;
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
        switch (gDestination.load(std::memory_order_relaxed)) {
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
