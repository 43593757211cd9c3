// The ring of records between the log's callers and its writer thread, and the writer itself.
#include "cpd/host/framework/log/ring.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "cpd/host/framework/log/format_table.h"
#include "cpd/host/framework/log/lead.h"
#include "cpd/host/framework/log/line_out.h"

// The caller's way into the ring stays one function, as when the log was one file: these helpers
// serve two such ways, and calls to them cost the busiest caller (a 64-byte write logs six
// lines) about 6 % more instructions.
#if defined(_MSC_VER) && !defined(__clang__)
#define CPD_LOG_ALWAYS_INLINE __forceinline
#else
#define CPD_LOG_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace cpd::logging {

Leaked<std::mutex> gMutex;
Leaked<std::mutex> gControlMutex;
Leaked<std::condition_variable> gProgress;
std::atomic<Destination> gDestination{Destination::kStderr};
State gState;

namespace {

// The ring holds about ten thousand of the plug-in's lines (records of about 100 bytes): ten
// milliseconds of its busiest logging (six lines per 64-byte write at full speed) while the
// writer is off the CPU or the disk is slow; a quarter of it lost about one line in thirty
// there. Lines whose record takes more than half of it are written through by the caller. The
// tests also build the library with a ring of a few kilobytes, whose end every line soon meets.
#ifndef VELMAR_LOG_RING_BYTES
#define VELMAR_LOG_RING_BYTES (1024 * 1024)
#endif
constexpr size_t kRingBytes = VELMAR_LOG_RING_BYTES;
static_assert((kRingBytes & (kRingBytes - 1)) == 0, "ring positions are masked");
// The writer's output buffer: one system call per this much log text.
constexpr size_t kOutBytes = 128 * 1024;
// The writer looks at the ring this often while lines come in, so a caller does not have to
// wake it (a system call) for each batch.
constexpr auto kLinger = std::chrono::milliseconds(5);
// While lines come in fast it looks every millisecond instead: a batch is then still in the
// caches when the writer reads it, and its bursts on the CPU are short. At the plug-in's busiest
// (64-byte writes at full speed: half a megabyte of records in 5 ms) that made the writes about
// 8 % faster; at the read pump's pace (a few kilobytes a look) more wake-ups would only cost.
constexpr auto kBusyLinger = std::chrono::milliseconds(1);
constexpr size_t kBusyBatch = 64 * 1024;
// After this many looks finding nothing the writer sleeps until a line wakes it.
constexpr int kIdleLooks = 20;
// The line that replaces dropped ones.
constexpr char kNoticeTag[] = "log";

// Constructed when the library is loaded and again in a forked child, whose copies may count
// waiters that only exist in the parent.
Leaked<std::condition_variable> gWork;  // wakes the writer

void ConstructConditions() {
    gWork.Construct();
    gProgress.Construct();
}

// Used by the drainer only.
StampCache gDrainerStamps;

enum RecordKind : uint8_t { kPadding, kDeferred, kLine, kDropped };

// Followed by the body: kDeferred: the arguments (PutArgs); kLine: the finished line without
// its newline; kDropped: the 8-byte count.
struct RecordHead {
    uint32_t size;  // with head and body, a multiple of 8
    uint8_t kind;
    uint8_t level;
    uint16_t unused;
    uint32_t value;  // kDeferred: the slot of its FormatEntry; kLine: the line's length
    uint32_t unused2;
    long long millis;
    unsigned long long tid;
};

// The ring's end may leave as little as 8 bytes for a padding record: its size and kind lie there,
// and only those are written and read of it.
constexpr size_t kPaddingBytes = 8;
static_assert(offsetof(RecordHead, kind) + sizeof(RecordHead::kind) <= kPaddingBytes,
              "a padding record's fields must fit the smallest gap at the ring's end");

constexpr size_t RecordSize(size_t bodyLength) {
    return (sizeof(RecordHead) + bodyLength + 7) & ~size_t{7};
}

// Formats a record's line with its newline into `out`; answers its length, which exceeds
// `room` when it did not fit.
size_t FormatRecord(const RecordHead& head, const char* body, char* out, size_t room) {
    LineOut line(out, room);
    const Stamp stamp{head.millis, head.tid};
    switch (head.kind) {
        case kLine:
            line.Put(body, head.value);
            line.Put('\n');
            break;
        case kDropped: {
            PutLead(line, gDrainerStamps, stamp, kDebugLevel, kNoticeTag, sizeof(kNoticeTag) - 1);
            uint64_t count = 0;
            std::memcpy(&count, body, sizeof(count));
            line.Format("%llu log lines dropped\n", static_cast<unsigned long long>(count));
            break;
        }
        default: {
            const FormatEntry& e = FormatAt(head.value);
            if (FitsUnchecked(e, head.size - sizeof(RecordHead), room)) {
                RawOut raw(out);
                PutLead(raw, gDrainerStamps, stamp, head.level, e.TagText(), e.tagLength);
                const size_t textStart = raw.Length();
                raw = PutMessage(raw, e, body);
                raw.EndLine(textStart);
                return raw.Length();
            }
            PutLead(line, gDrainerStamps, stamp, head.level, e.TagText(), e.tagLength);
            const size_t textStart = line.Length();
            PutMessage(line, e, body);
            line.EndLine(textStart);
            break;
        }
    }
    return line.Fits() ? line.Length() : line.Length() + 1;
}

// Takes the records of one snapshot of the ring into the output buffer, writes the buffer when
// it is full, and frees the records' room once their lines are written. Runs without gMutex,
// as the one drainer (gState.writing).
class Drainer {
  public:
    explicit Drainer(std::unique_lock<std::mutex>& lock) : mLock(lock) {}
    Drainer(const Drainer&) = delete;
    Drainer& operator=(const Drainer&) = delete;

    // Answers the record's size.
    size_t Record(uint64_t position) {
        const size_t offset = static_cast<size_t>(position & (kRingBytes - 1));
        const char* at = gState.ring + offset;
        RecordHead head{};
        // Only a padding record can be cut short by the ring's end; every other fits whole.
        std::memcpy(&head, at, std::min(sizeof(head), kRingBytes - offset));
        if (head.kind != kPadding) {
            const char* body = at + sizeof(head);
            const size_t room = kOutBytes - mLength;
            const size_t n = FormatRecord(head, body, gState.out + mLength, room);
            if (n <= room) {
                Commit(n);
            } else {
                Long(n,
                     [&](char* out, size_t size) { return FormatRecord(head, body, out, size); });
            }
        }
        mCovered = position + head.size;
        return head.size;
    }

    // A line formatted by the caller (with its newline), written after the records.
    void Line(const char* line, size_t n) {
        if (n <= kOutBytes - mLength) {
            std::memcpy(gState.out + mLength, line, n);
            Commit(n);
        } else {
            Long(n, [&](char* out, size_t) {
                std::memcpy(out, line, n);
                return n;
            });
        }
    }

    // Writes the buffer and frees the room of the records it held.
    void Flush() {
        if (mLength > 0) {
            gState.file.Write(gState.out, mLength);
            mLength = 0;
        }
        mLock.lock();
        if (mCovered > gState.tail) {
            gState.tail = mCovered;
        }
        gProgress->notify_all();
        mLock.unlock();
    }

  private:
    // The line just formatted at the buffer's end goes into the buffer.
    void Commit(size_t n) {
        if (gState.file.MustRotate(mLength, n)) {
            const size_t earlier = mLength;
            gState.file.Write(gState.out, earlier);
            gState.file.Rotate();
            std::memmove(gState.out, gState.out + earlier, n);
            mLength = 0;
        }
        mLength += n;
        if (mLength == kOutBytes) {
            Flush();
        }
    }

    // A line that does not fit in the space left (`need` is at least its length): written after
    // the buffer, or alone. `make` writes it into the room given and answers its length.
    template <typename Make>
    void Long(size_t need, Make make) {
        if (mLength > 0) {
            Flush();
        }
        if (need <= kOutBytes) {
            Commit(make(gState.out, kOutBytes));
            return;
        }
        char* big = static_cast<char*>(std::malloc(need));
        if (big == nullptr) {
            return;
        }
        const size_t n = make(big, need);
        if (gState.file.MustRotate(0, n)) {
            gState.file.Rotate();
        }
        gState.file.Write(big, n);
        std::free(big);
    }

    std::unique_lock<std::mutex>& mLock;
    size_t mLength = 0;
    uint64_t mCovered = 0;
};

size_t UsedLocked() {
    return static_cast<size_t>(gState.head - gState.tail);
}

// Room a record of `size` bytes takes at `position`, with the padding it may need.
size_t PlaceCost(uint64_t position, size_t size) {
    const size_t offset = static_cast<size_t>(position & (kRingBytes - 1));
    return offset + size > kRingBytes ? kRingBytes - offset + size : size;
}

// Puts a record's head into the ring and answers where its `bodyLength` bytes of body go.
CPD_LOG_ALWAYS_INLINE char* WriteHeadLocked(RecordHead head, size_t bodyLength) {
    State& s = gState;
    head.size = static_cast<uint32_t>(RecordSize(bodyLength));
    size_t offset = static_cast<size_t>(s.head & (kRingBytes - 1));
    if (offset + head.size > kRingBytes) {
        RecordHead padding{};
        padding.size = static_cast<uint32_t>(kRingBytes - offset);
        padding.kind = kPadding;
        std::memcpy(s.ring + offset, &padding, std::min(sizeof(padding), kRingBytes - offset));
        s.head += padding.size;
        offset = 0;
    }
    std::memcpy(s.ring + offset, &head, sizeof(head));
    s.head += head.size;
    return s.ring + offset + sizeof(head);
}

constexpr size_t kNoticeSize = RecordSize(sizeof(uint64_t));

// Puts the "N log lines dropped" line into the ring when there is room for it (and `extra`
// more bytes after it).
bool PushNoticeLocked(size_t extra) {
    State& s = gState;
    const size_t cost = PlaceCost(s.head, kNoticeSize);
    if (s.dropped == 0 || UsedLocked() + cost + PlaceCost(s.head + cost, extra) > kRingBytes) {
        return s.dropped == 0;
    }
    const Stamp stamp = Now();
    RecordHead head{};
    head.kind = kDropped;
    head.millis = stamp.millis;
    head.tid = stamp.tid;
    std::memcpy(WriteHeadLocked(head, sizeof(s.dropped)), &s.dropped, sizeof(s.dropped));
    s.dropped = 0;
    return true;
}

}  // namespace

void DrainLocked(std::unique_lock<std::mutex>& lock, const char* line, size_t n) {
    gState.writing = true;
    PushNoticeLocked(0);
    const uint64_t end = gState.head;
    uint64_t position = gState.tail;
    Drainer drainer(lock);
    lock.unlock();
    while (position < end) {
        position += drainer.Record(position);
    }
    if (line != nullptr) {
        drainer.Line(line, n);
    }
    drainer.Flush();
    lock.lock();
    gState.writing = false;
    gProgress->notify_all();
}

namespace {

// Returns once the records before `target` are written, draining itself when nobody else is.
void DrainUntilLocked(std::unique_lock<std::mutex>& lock, uint64_t target) {
    while (gState.tail < target) {
        if (!gState.writing) {
            DrainLocked(lock, nullptr, 0);
        } else {
            gProgress->wait(lock);
        }
    }
}

void WriterLoop() {
    BlockSignalsInThisThread();
    State& s = gState;
    std::unique_lock<std::mutex> lock(*gMutex);
    std::chrono::milliseconds linger = kLinger;
    for (;;) {
        // Half a ring, a caller wanting room, a stop, or lines found at a look make a batch.
        int idleLooks = 0;
        while (!s.stop && !s.urgent && UsedLocked() < kRingBytes / 2) {
            if (idleLooks >= kIdleLooks) {
                s.asleep = true;
                gWork->wait(lock);
                s.asleep = false;
                idleLooks = 0;
            } else if (gWork->wait_for(lock, linger) == std::cv_status::timeout) {
                if (UsedLocked() > 0 || s.dropped > 0) {
                    break;
                }
                ++idleLooks;
            }
        }
        if (UsedLocked() == 0 && s.dropped == 0) {
            if (s.stop) {
                return;
            }
            s.urgent = false;
            continue;
        }
        if (s.writing) {  // a caller drains an Error line
            gProgress->wait(lock);
            continue;
        }
        s.urgent = false;
        linger = UsedLocked() >= kBusyBatch ? kBusyLinger : kLinger;
        DrainLocked(lock, nullptr, 0);
    }
}

// False when no thread can be started; callers then drain themselves.
bool StartWriterLocked() {
    try {
        gState.thread = new std::thread(&WriterLoop);
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    PinLibrary();  // until StopWriter has joined the writer
    return true;
}

CPD_LOG_ALWAYS_INLINE Pushed ReserveLocked(std::unique_lock<std::mutex>& lock,
                                           const RecordHead& head, size_t bodyLength,
                                           Reservation* r) {
    State& s = gState;
    const size_t size = RecordSize(bodyLength);
    for (;;) {
        if (gDestination.load(std::memory_order_relaxed) != Destination::kFile) {
            return Pushed::kNotFile;
        }
        if (s.switching) {
            gProgress->wait(lock);
            continue;
        }
        if (s.ring == nullptr || size > kRingBytes / 2) {
            return Pushed::kTooLong;
        }
        r->error = head.level == kErrorLevel;
        if ((s.dropped == 0 || PushNoticeLocked(size)) &&
            UsedLocked() + PlaceCost(s.head, size) <= kRingBytes) {
            r->usedBefore = UsedLocked();
            r->body = WriteHeadLocked(head, bodyLength);
            return Pushed::kYes;
        }
        if (!r->error && !s.closing && s.thread != nullptr) {
            ++s.dropped;
            if (!s.urgent) {
                s.urgent = true;
                gWork->notify_one();
            }
            return Pushed::kDropped;
        }
        if (!s.writing) {
            DrainLocked(lock, nullptr, 0);
        } else {
            s.urgent = true;
            gWork->notify_one();
            gProgress->wait(lock);
        }
    }
}

}  // namespace

Pushed ReserveDeferredLocked(std::unique_lock<std::mutex>& lock, int level, uint32_t slot,
                             const Stamp& stamp, size_t bodyLength, Reservation* r) {
    RecordHead head{};
    head.kind = kDeferred;
    head.level = static_cast<uint8_t>(level);
    head.value = slot;
    head.millis = stamp.millis;
    head.tid = stamp.tid;
    return ReserveLocked(lock, head, bodyLength, r);
}

void CommitLocked(std::unique_lock<std::mutex>& lock, const Reservation& r) {
    State& s = gState;
    bool drainHere = r.error || s.closing;
    if (!drainHere && s.thread == nullptr && !StartWriterLocked()) {
        drainHere = true;
    }
    if (drainHere) {
        // An error is in the file before the call returns: it is often the last thing a process
        // says before it dies.
        DrainUntilLocked(lock, s.head);
    } else if (s.asleep || (r.usedBefore < kRingBytes / 2 && UsedLocked() >= kRingBytes / 2)) {
        // Otherwise the writer finds the line at its next look.
        gWork->notify_one();
    }
}

Pushed PushLineLocked(std::unique_lock<std::mutex>& lock, int level, const char* line,
                      size_t length) {
    RecordHead head{};
    head.kind = kLine;
    head.level = static_cast<uint8_t>(level);
    head.value = static_cast<uint32_t>(length);
    Reservation r;
    const Pushed pushed = ReserveLocked(lock, head, length, &r);
    if (pushed == Pushed::kYes) {
        std::memcpy(r.body, line, length);
        CommitLocked(lock, r);
    }
    return pushed;
}

void StopWriter(std::unique_lock<std::mutex>& lock) {
    State& s = gState;
    s.switching = true;
    if (s.thread != nullptr) {
        std::thread* writer = s.thread;
        s.stop = true;
        gWork->notify_one();
        lock.unlock();
        writer->join();
        delete writer;
        lock.lock();
        s.thread = nullptr;
        s.stop = false;
        UnpinLibrary();
    }
    while (s.writing || UsedLocked() > 0 || s.dropped > 0) {
        if (s.writing) {
            gProgress->wait(lock);
        } else {
            DrainLocked(lock, nullptr, 0);
        }
    }
}

void EndSwitch() {
    gState.switching = false;
    gProgress->notify_all();
}

void StopForGood() {
    std::lock_guard<std::mutex> control(*gControlMutex);
    std::unique_lock<std::mutex> lock(*gMutex);
    StopWriter(lock);
    gState.closing = true;
    EndSwitch();
}

void StartUp() {
    gMutex.Construct();
    gControlMutex.Construct();
    ConstructConditions();
}

void AllocateRingLocked() {
    if (gState.ring != nullptr) {
        return;
    }
    char* ring = static_cast<char*>(std::malloc(kRingBytes));
    char* out = static_cast<char*>(std::malloc(kOutBytes));
    if (ring != nullptr && out != nullptr) {
        gState.ring = ring;
        gState.out = out;
    } else {
        std::free(ring);
        std::free(out);
    }
}

void FlushLocked(std::unique_lock<std::mutex>& lock) {
    // A switch in progress writes everything before it ends.
    while (gState.switching) {
        gProgress->wait(lock);
    }
    if (gDestination.load(std::memory_order_relaxed) == Destination::kFile) {
        PushNoticeLocked(0);
        DrainUntilLocked(lock, gState.head);
    }
}

void LockForFork() {
    gControlMutex->lock();
    gMutex->lock();
}

void UnlockAfterFork() {
    gMutex->unlock();
    gControlMutex->unlock();
}

void ResetInForkChild() {
    ConstructConditions();
    State& s = gState;
    s.thread = nullptr;
    s.tail = s.head;
    s.dropped = 0;
    s.writing = false;
    s.urgent = false;
    s.asleep = false;
    s.stop = false;
    UnlockAfterFork();
}

}  // namespace cpd::logging
