#include "cpd/host/framework/velmar_log.h"

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(_MSC_VER)
#define CPD_LOG_ON_LOAD
#define CPD_LOG_ON_UNLOAD
#else
#define CPD_LOG_ON_LOAD __attribute__((constructor))
#define CPD_LOG_ON_UNLOAD __attribute__((destructor))
#endif

namespace {

enum class Destination { kStderr, kFile, kSink, kOff };

constexpr int kErrorLevel = 7;

// A file destination collects finished lines in memory and one writer thread writes them in
// batches, one system call per batch instead of one per line. On Windows lines are written by
// the calling thread as they come: a DLL's exit and unload hooks run under the loader lock,
// where joining a thread deadlocks, so a writer thread could not be ended safely there.
#if defined(_WIN32)
constexpr bool kBufferedFile = false;
#else
constexpr bool kBufferedFile = true;
#endif
// Two buffers of this size (one filling, one being written): at the read pump's full rate about
// a hundred batches a second, and a burst of a few hundred lines fits before callers wait.
constexpr size_t kFileBuffer = 64 * 1024;
// The writer looks at the buffer this often while lines come in, so buffered lines reach the
// file within this time and a caller does not have to wake it (a system call) for each batch.
constexpr auto kLinger = std::chrono::milliseconds(5);
// After this many looks finding nothing the writer sleeps until a line wakes it.
constexpr int kIdleLooks = 20;

// Storage for an object constructed when the library is loaded and never destroyed.
template <typename T>
class Leaked {
  public:
    void Construct() { new (mStorage) T; }
    T& operator*() { return *std::launder(reinterpret_cast<T*>(mStorage)); }
    T* operator->() { return &**this; }

  private:
    alignas(T) unsigned char mStorage[sizeof(T)];
};

// A host may unload this library at any time, and its exit may run our hooks while other
// threads still log, so no global here has a destructor that could pull an object from under a
// logging thread: plain values, and the synchronisation objects (whose destructors are not
// trivial with every threads library) in Leaked storage.
Leaked<std::mutex> gMutex;  // guards everything below and serialises whole lines
// Serialises destination changes and the writer's stops, so one thread at a time joins it.
// Always taken before gMutex.
Leaked<std::mutex> gControlMutex;
// Changed under gMutex; read without it only to skip all work while the log is off.
std::atomic<Destination> gDestination{Destination::kStderr};
int gFileFd = -1;
VelmarLogSink gSink = nullptr;
void* gSinkContext = nullptr;
// Set under gMutex; read without it only to skip all work while the log is off.
std::atomic<VelmarLogSink> gWatch{nullptr};
void* gWatchContext = nullptr;

// The file destination's buffers and writer; all under gMutex.
struct FileWriter {
    char* fill;   // lines waiting for the writer
    char* spare;  // the batch the writer is writing
    size_t fillLength;
    size_t capacity;      // 0: no buffers, lines are written through
    bool writing;         // a batch is being written outside the lock
    bool urgent;          // a caller waits for room: write without lingering
    bool asleep;          // the writer waits for a wake-up, not for its next look
    bool stop;            // the writer ends once the buffer is empty
    bool switching;       // the writer is being stopped: file lines wait
    bool closing;         // after exit began: lines are written through, no new writer
    std::thread* thread;  // joined and deleted by StopWriter
};
FileWriter gFile;

// Constructed when the library is loaded and again in a forked child, whose copies may count
// waiters that only exist in the parent.
Leaked<std::condition_variable> gWork;      // wakes the writer
Leaked<std::condition_variable> gProgress;  // a batch was written or a switch ended

void ConstructConditions() {
    gWork.Construct();
    gProgress.Construct();
}

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

void CacheThreadId() {
#if defined(_WIN32)
    const unsigned long id = static_cast<unsigned long>(GetCurrentThreadId());
#else
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
    std::free(gFile.fill);
    std::free(gFile.spare);
    gFile.fill = nullptr;
    gFile.spare = nullptr;
    gFile.fillLength = 0;
    gFile.capacity = 0;
}

// Writes what is buffered and then `line` from the calling thread, in one system call when
// they fit together. With gMutex held and no batch in flight, so the order stays the order of
// the calls.
int WriteThroughLocked(const char* line, size_t n) {
    int result = 0;
    if (n > 0 && gFile.fillLength > 0 && gFile.fillLength + n <= gFile.capacity) {
        std::memcpy(gFile.fill + gFile.fillLength, line, n);
        result = WriteAll(gFileFd, gFile.fill, gFile.fillLength + n);
    } else {
        if (gFile.fillLength > 0) {
            result = WriteAll(gFileFd, gFile.fill, gFile.fillLength);
        }
        if (n > 0 && WriteAll(gFileFd, line, n) != 0) {
            result = -1;
        }
    }
    gFile.fillLength = 0;
    return result;
}

void WriterLoop() {
#if !defined(_WIN32)
    // Process signals are for the host's threads, not for one the log library started.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
    std::unique_lock<std::mutex> lock(*gMutex);
    for (;;) {
        // Half a buffer, a caller waiting for room, a stop, or lines found at a look make a
        // batch.
        int idleLooks = 0;
        while (!gFile.stop && !gFile.urgent && gFile.fillLength < gFile.capacity / 2) {
            if (idleLooks >= kIdleLooks) {
                gFile.asleep = true;
                gWork->wait(lock);
                gFile.asleep = false;
                idleLooks = 0;
            } else if (gWork->wait_for(lock, kLinger) == std::cv_status::timeout) {
                if (gFile.fillLength > 0) {
                    break;
                }
                ++idleLooks;
            }
        }
        if (gFile.fillLength == 0) {
            if (gFile.stop) {
                return;
            }
            continue;
        }
        std::swap(gFile.fill, gFile.spare);
        const size_t length = gFile.fillLength;
        gFile.fillLength = 0;
        gFile.urgent = false;
        gFile.writing = true;
        const int fd = gFileFd;
        const char* batch = gFile.spare;
        // Callers waiting for room can fill the other buffer while this one is written.
        gProgress->notify_all();
        lock.unlock();
        WriteAll(fd, batch, length);
        lock.lock();
        gFile.writing = false;
        gProgress->notify_all();
    }
}

// False when no thread can be started; the caller then writes its line through.
bool StartWriterLocked() {
    try {
        gFile.thread = new std::thread(&WriterLoop);
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Ends the writer after it has written every buffered line. Called with gControlMutex held and
// `lock` (on gMutex) held; returns with both still held and gFile.switching set, so that no
// line is buffered until the caller ends the switch.
void StopWriter(std::unique_lock<std::mutex>& lock) {
    gFile.switching = true;
    if (gFile.thread != nullptr) {
        std::thread* writer = gFile.thread;
        gFile.stop = true;
        gWork->notify_one();
        lock.unlock();
        writer->join();
        delete writer;
        lock.lock();
        gFile.thread = nullptr;
        gFile.stop = false;
    }
    if (gFile.fillLength > 0) {
        WriteThroughLocked(nullptr, 0);
    }
}

void EndSwitch() {
    gFile.switching = false;
    gProgress->notify_all();
}

// Stops the writer, then lets `apply` change the destination under the lock.
template <typename Apply>
void SwitchDestination(Apply apply) {
    std::lock_guard<std::mutex> control(*gControlMutex);
    std::unique_lock<std::mutex> lock(*gMutex);
    StopWriter(lock);
    CloseFileLocked();
    apply();
    EndSwitch();
}

// At exit and when the library is unloaded: everything buffered goes to the file, the writer is
// joined, and lines logged later (by threads still running during exit) are written through.
void StopForGood() {
    std::lock_guard<std::mutex> control(*gControlMutex);
    std::unique_lock<std::mutex> lock(*gMutex);
    StopWriter(lock);
    gFile.closing = true;
    EndSwitch();
}

bool gAtExitRegistered = false;  // under gControlMutex

#if !defined(_WIN32)
// Fork: the child must not inherit a lock held by another thread of the parent, nor a writer
// thread that does not exist in it. Holding both locks over fork() means no line and no switch
// is half done; the child forgets the writer (the parent's thread object is left alone: its
// thread is not ours to join) and the lines still buffered (the parent writes them) and starts
// its own writer with its first buffered line. The thread id cache describes the parent.
void BeforeFork() {
    gControlMutex->lock();
    gMutex->lock();
}
void AfterForkInParent() {
    gMutex->unlock();
    gControlMutex->unlock();
}
void AfterForkInChild() {
    ConstructConditions();
    gFile.thread = nullptr;
    gFile.fillLength = 0;
    gFile.writing = false;
    gFile.urgent = false;
    gFile.asleep = false;
    gFile.stop = false;
    tLead.tidLength = 0;
    gMutex->unlock();
    gControlMutex->unlock();
}
#endif

CPD_LOG_ON_LOAD void OnLoad() {
    gMutex.Construct();
    gControlMutex.Construct();
    ConstructConditions();
#if !defined(_WIN32)
    pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
#endif
}

CPD_LOG_ON_UNLOAD void OnUnload() {
    StopForGood();
}

#if defined(_MSC_VER)
// MSVC has no load and unload attributes: a pointer in the C++ initialiser table runs OnLoad
// when the library is loaded, and OnUnload goes into the module's atexit table, which runs when
// the DLL is unloaded or the process exits. That is under the loader lock, so OnUnload joins no
// thread there: on Windows the log writes its lines from the calling thread.
void __cdecl OnLoadThenArmUnload() {
    OnLoad();
    std::atexit(&OnUnload);
}
}  // namespace
#pragma section(".CRT$XCU", read)
// External linkage keeps the entry from being dropped as unused.
extern "C" __declspec(allocate(".CRT$XCU")) void(__cdecl* const cpdLogOnLoadEntry)() =
    &OnLoadThenArmUnload;
namespace {
#endif

// Hands one finished line (with its newline at line[total]) to the destination. With gMutex
// held; may wait on it for room, for a batch in flight or for a switch to end.
int DeliverLocked(std::unique_lock<std::mutex>& lock, int level, const char* tag, char* line,
                  size_t total, size_t leadLength) {
    const size_t n = total + 1;
    for (;;) {
        switch (gDestination.load(std::memory_order_relaxed)) {
            case Destination::kStderr:
                return WriteAll(2, line, n);
            case Destination::kSink:
                line[total] = '\0';
                gSink(gSinkContext, level, tag, line + leadLength, total - leadLength);
                return 0;
            case Destination::kOff:
                return 0;
            case Destination::kFile:
                break;
        }
        if (gFile.switching) {
            gProgress->wait(lock);
            continue;
        }
        // An error is in the file before the call returns: it is often the last thing a process
        // says before it dies.
        if (!kBufferedFile || gFile.closing || level == kErrorLevel || n > gFile.capacity) {
            if (gFile.writing) {
                gProgress->wait(lock);
                continue;
            }
            return WriteThroughLocked(line, n);
        }
        const size_t before = gFile.fillLength;
        if (before + n > gFile.capacity) {
            // Full: wait for the writer rather than drop a line.
            gFile.urgent = true;
            gWork->notify_one();
            gProgress->wait(lock);
            continue;
        }
        if (gFile.thread == nullptr && !StartWriterLocked()) {
            return WriteThroughLocked(line, n);
        }
        std::memcpy(gFile.fill + before, line, n);
        gFile.fillLength = before + n;
        // The writer is woken only from its sleep and when the buffer is half full; otherwise
        // it finds the line at its next look.
        const size_t half = gFile.capacity / 2;
        if (gFile.asleep || (before < half && gFile.fillLength >= half)) {
            gWork->notify_one();
        }
        return 0;
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
    if (gDestination.load(std::memory_order_relaxed) == Destination::kOff &&
        gWatch.load(std::memory_order_relaxed) == nullptr) {
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
        std::unique_lock<std::mutex> lock(*gMutex);
        if (const VelmarLogSink watch = gWatch.load(std::memory_order_relaxed)) {
            const char end = line[total];
            line[total] = '\0';
            watch(gWatchContext, level, tag, line + leadLength, total - leadLength);
            line[total] = end;
        }
        result = DeliverLocked(lock, level, tag, line, total, leadLength);
    }
    std::free(heapLine);
    return result;
}

void velmarLogToStderr(void) {
    SwitchDestination([] { gDestination = Destination::kStderr; });
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
    // Without buffers (none wanted, or no memory) lines are written through.
    char* fill = kBufferedFile ? static_cast<char*>(std::malloc(kFileBuffer)) : nullptr;
    char* spare = kBufferedFile ? static_cast<char*>(std::malloc(kFileBuffer)) : nullptr;
    if (fill == nullptr || spare == nullptr) {
        std::free(fill);
        std::free(spare);
        fill = nullptr;
        spare = nullptr;
    }
    {
        std::lock_guard<std::mutex> control(*gControlMutex);
        if (!gAtExitRegistered) {
            gAtExitRegistered = std::atexit(&StopForGood) == 0;
        }
    }
    SwitchDestination([fd, fill, spare] {
        gFileFd = fd;
        gFile.fill = fill;
        gFile.spare = spare;
        gFile.capacity = fill != nullptr ? kFileBuffer : 0;
        gDestination = Destination::kFile;
    });
    return 0;
}

void velmarLogToSink(VelmarLogSink sink, void* context) {
    SwitchDestination([sink, context] {
        gSink = sink;
        gSinkContext = context;
        gDestination = sink != nullptr ? Destination::kSink : Destination::kStderr;
    });
}

void velmarLogOff(void) {
    SwitchDestination([] { gDestination = Destination::kOff; });
}

void velmarLogWatch(VelmarLogSink watch, void* context) {
    std::lock_guard<std::mutex> lock(*gMutex);
    gWatch = watch;
    gWatchContext = context;
}

void velmarLogFlush(void) {
    std::unique_lock<std::mutex> lock(*gMutex);
    while (gDestination.load(std::memory_order_relaxed) == Destination::kFile) {
        // A switch in progress writes everything before it ends; a batch in flight goes first.
        if (gFile.switching || gFile.writing) {
            gProgress->wait(lock);
            continue;
        }
        WriteThroughLocked(nullptr, 0);
        return;
    }
}

}  // extern "C"
