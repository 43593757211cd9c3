// The log's C API: velmarLogPrint, and the host's controls over where the lines go.
#include "cpd/host/framework/velmar_log.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "cpd/host/framework/log/format_table.h"
#include "cpd/host/framework/log/lead.h"
#include "cpd/host/framework/log/line_out.h"
#include "cpd/host/framework/log/ring.h"

namespace cpd::logging {
namespace {

// Set under gMutex; read without it only to skip all work while the log is off. A watched line
// is formatted by its caller, since the watch must see it before velmarLogPrint returns.
std::atomic<VelmarLogSink> gWatch{nullptr};
void* gWatchContext = nullptr;

// The lead's cache of each thread that formats its own lines. Zero-initialised, trivially
// destructible.
thread_local StampCache tCallerStamps;

// Stops the writer, then lets `apply` change the destination under the lock.
template <typename Apply>
void SwitchDestination(Apply apply) {
    std::lock_guard<std::mutex> control(*gControlMutex);
    std::unique_lock<std::mutex> lock(*gMutex);
    StopWriter(lock);
    gState.file.Close();
    apply();
    EndSwitch();
}

// Hands one line formatted by the caller (with its newline at line[total]) to the destination.
// With gMutex held; may wait on it for room, for a drainer or for a switch to end.
int DeliverLocked(std::unique_lock<std::mutex>& lock, int level, const char* tag, char* line,
                  size_t total, size_t leadLength) {
    for (;;) {
        switch (gDestination.load(std::memory_order_relaxed)) {
            case Destination::kStderr:
                return WriteAll(kStderrFd, line, total + 1);
            case Destination::kSink:
                line[total] = '\0';
                gState.sink(gState.sinkContext, level, tag, line + leadLength, total - leadLength);
                return 0;
            case Destination::kOff:
                return 0;
            case Destination::kFile:
                break;
        }
        switch (PushLineLocked(lock, level, line, total)) {
            case Pushed::kNotFile:
                continue;
            case Pushed::kTooLong:
                break;
            default:
                return 0;
        }
        // Too long for the ring: written by this thread after what the ring holds.
        if (gState.switching || gState.writing) {
            gProgress->wait(lock);
            continue;
        }
        DrainLocked(lock, line, total + 1);
        return 0;
    }
}

// The whole line formatted by the caller, for standard error, a sink, and what the ring does
// not take: "<lead><message>\n".
int PrintNow(int level, const char* tag, const Stamp& stamp, const char* format, va_list args) {
    va_list retry;
    va_copy(retry, args);
    char stackLine[1024];
    LineOut lead(stackLine, sizeof(stackLine));
    const char* tagText = tag != nullptr ? tag : "";
    PutLead(lead, tCallerStamps, stamp, level, tagText, std::strlen(tagText));
    const size_t leadLength = lead.Length();
    const size_t room = sizeof(stackLine) - leadLength;
    const int text = std::vsnprintf(stackLine + leadLength, room, format, args);
    if (text < 0) {
        va_end(retry);
        return -1;
    }
    size_t total = leadLength + static_cast<size_t>(text);
    char* line = stackLine;
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

}  // namespace
}  // namespace cpd::logging

using namespace cpd::logging;

extern "C" {

int velmarLogPrint(int unused, int level, const char* tag, const char* format, ...) {
    (void)unused;
    const Destination destination = gDestination.load(std::memory_order_relaxed);
    const bool watched = gWatch.load(std::memory_order_relaxed) != nullptr;
    if (destination == Destination::kOff && !watched) {
        return 0;
    }
    const Stamp stamp = Now();
    va_list args;
    va_start(args, format);
    if (destination == Destination::kFile && !watched) {
        // The caller copies the arguments; the writer formats.
        uint32_t slot = 0;
        const FormatEntry* e = FindFormat(format, tag != nullptr ? tag : "", &slot);
        Arg taken[kMaxSteps];
        size_t bodyLength = 0;
        va_list deferred;
        va_copy(deferred, args);
        const bool took = e != nullptr && TakeArgs(*e, deferred, taken, &bodyLength);
        va_end(deferred);
        if (took) {
            std::unique_lock<std::mutex> lock(*gMutex);
            Reservation r;
            const Pushed pushed = ReserveDeferredLocked(lock, level, slot, stamp, bodyLength, &r);
            if (pushed == Pushed::kYes) {
                PutArgs(*e, taken, r.body);
                CommitLocked(lock, r);
            }
            if (pushed == Pushed::kYes || pushed == Pushed::kDropped) {
                va_end(args);
                return 0;
            }
        }
    }
    const int result = PrintNow(level, tag, stamp, format, args);
    va_end(args);
    return result;
}

void velmarLogToStderr(void) {
    SwitchDestination([] { gDestination = Destination::kStderr; });
}

int velmarLogToFile(const char* path, size_t maxBytes, unsigned keepFiles) {
    LogFile file;
    if (!file.Open(path, maxBytes, keepFiles)) {
        return -1;
    }
    {
        std::lock_guard<std::mutex> control(*gControlMutex);
        WatchProcessExit();
    }
    SwitchDestination([&] {
        AllocateRingLocked();
        gState.file = file;
        gDestination = Destination::kFile;
    });
    return 0;
}

void velmarLogToSink(VelmarLogSink sink, void* context) {
    SwitchDestination([sink, context] {
        gState.sink = sink;
        gState.sinkContext = context;
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
    FlushLocked(lock);
}

}  // extern "C"