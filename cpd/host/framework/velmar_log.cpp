#include "cpd/host/framework/velmar_log.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

enum class Destination { kStderr, kFile, kSink, kOff };

constexpr int kDebugLevel = 5;
constexpr int kErrorLevel = 7;

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
Leaked<std::mutex> gMutex;  // guards gState and serialises whole lines
// Serialises destination changes and the writer's stops, so one thread at a time joins it.
// Always taken before gMutex.
Leaked<std::mutex> gControlMutex;
// Changed under gMutex; read without it only to skip all work while the log is off.
std::atomic<Destination> gDestination{Destination::kStderr};
// Set under gMutex; read without it only to skip all work while the log is off. A watched line
// is formatted by its caller, since the watch must see it before velmarLogPrint returns.
std::atomic<VelmarLogSink> gWatch{nullptr};
void* gWatchContext = nullptr;

// Positions in the ring count bytes pushed since the start; a record never wraps (a padding
// record fills the ring's end instead).
struct State {
    // Under gMutex.
    VelmarLogSink sink = nullptr;
    void* sinkContext = nullptr;
    char* ring = nullptr;  // kRingBytes, allocated with the first file and kept; null: no ring
    uint64_t head = 0;     // where the next record goes
    uint64_t tail = 0;     // records before it are written and their room is free
    uint64_t dropped = 0;  // Debug lines dropped since the last notice
    std::thread* thread = nullptr;  // the writer; joined and deleted by StopWriter
    bool writing = false;           // a drainer (the writer or a caller) owns the file and output
    bool urgent = false;            // room is wanted: drain without lingering
    bool asleep = false;            // the writer waits for a wake-up, not for its next look
    bool stop = false;              // the writer ends once the ring is empty
    bool switching = false;         // the destination is changing: file lines wait
    bool closing = false;           // after exit began: callers drain, no new writer
#if defined(_WIN32)
    HMODULE pin = nullptr;  // keeps the library loaded while the writer runs
#endif
    // Only the drainer touches these while `writing`; otherwise under gMutex.
    int fd = -1;
    char* path = nullptr;  // with two buffers for the rotated names after it
    char* fromName = nullptr;
    char* toName = nullptr;
    size_t maxBytes = 0;  // 0: no rotation
    unsigned keep = 0;
    uint64_t fileSize = 0;
    char* out = nullptr;  // kOutBytes, allocated with the ring
};
State gState;

// Constructed when the library is loaded and again in a forked child, whose copies may count
// waiters that only exist in the parent.
Leaked<std::condition_variable> gWork;      // wakes the writer
Leaked<std::condition_variable> gProgress;  // lines were written, or a switch ended

void ConstructConditions() {
    gWork.Construct();
    gProgress.Construct();
}

// ---- Time, thread and the line's lead ----

// The parts of the lead that repeat from line to line, worked out again only when they change:
// the text of one second of local time, and the thread id with the level letter.
struct StampCache {
    bool valid;
    std::time_t second;
    char date[32];  // "2026-12-05 17:49:19."
    size_t dateLength;
    unsigned long long tid;
    int level;
    char middle[32];  // " <tid> D "; empty until first used
    size_t middleLength;

    void Update(std::time_t seconds, unsigned long long threadId, int levelNumber) {
        if (!valid || second != seconds) {
            std::tm local{};
#if defined(_WIN32)
            localtime_s(&local, &seconds);
#else
            localtime_r(&seconds, &local);
#endif
            dateLength = std::strftime(date, sizeof(date) - 1, "%Y-%m-%d %H:%M:%S", &local);
            date[dateLength++] = '.';
            second = seconds;
            valid = true;
        }
        if (middleLength == 0 || tid != threadId || level != levelNumber) {
            char digits[24];
            size_t n = 0;
            unsigned long long id = threadId;
            do {
                digits[sizeof(digits) - ++n] = static_cast<char>('0' + id % 10);
                id /= 10;
            } while (id != 0);
            middle[0] = ' ';
            std::memcpy(middle + 1, digits + sizeof(digits) - n, n);
            middle[n + 1] = ' ';
            middle[n + 2] = levelNumber == 5   ? 'D'
                            : levelNumber == 7 ? 'E'
                                               : static_cast<char>('0' + (levelNumber % 10));
            middle[n + 3] = ' ';
            middleLength = n + 4;
            tid = threadId;
            level = levelNumber;
        }
    }
};

// Per calling thread: its stamp cache (for lines formatted by the caller) and its id, asked of
// the system once instead of by a system call per line. Zero-initialised, trivially
// destructible.
struct ThreadCache {
    StampCache stamps;
    unsigned long long tid;  // 0 until the thread's first line
};
thread_local ThreadCache tThread;
// Used by the drainer only.
StampCache gDrainerStamps;

struct Stamp {
    long long millis;  // wall-clock time, milliseconds since the epoch
    unsigned long long tid;
};

Stamp Now() {
    if (tThread.tid == 0) {
#if defined(_WIN32)
        tThread.tid = GetCurrentThreadId();
#else
        tThread.tid = static_cast<unsigned long long>(syscall(SYS_gettid));
#endif
    }
#if defined(_WIN32)
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return {
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()),
        tThread.tid};
#else
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000, tThread.tid};
#endif
}

// Appends to a fixed buffer and counts what did not fit, like snprintf: Length() is what the
// whole text needs, and the text is complete when Fits().
class LineOut {
  public:
    LineOut(char* out, size_t room) : mOut(out), mRoom(room) {}
    // Copies what fits, so a cut text keeps its beginning.
    void Put(const char* text, size_t n) {
        const size_t room = mLength < mRoom ? mRoom - mLength : 0;
        if (n > room) {
            mCut = true;
        }
        if (room > 0) {
            std::memcpy(mOut + mLength, text, n < room ? n : room);
        }
        mLength += n;
    }
    void Put(char c) { Put(&c, 1); }
    template <typename T>
    void Format(const char* spec, T value) {
        const size_t room = mLength < mRoom ? mRoom - mLength : 0;
        // snprintf needs a byte for its terminator: a text that fills `room` exactly was cut.
        const int n = std::snprintf(room > 0 ? mOut + mLength : nullptr, room, spec, value);
        if (n < 0) {
            return;
        }
        if (static_cast<size_t>(n) >= room) {
            mCut = true;
        }
        mLength += static_cast<size_t>(n);
    }
    // Ends the line: a text that already ends with a line break gets no second one.
    void EndLine(size_t textStart) {
        if (!mCut && mLength > textStart && mOut[mLength - 1] == '\n') {
            --mLength;
        }
        Put('\n');
    }
    size_t Length() const { return mLength; }
    bool Fits() const { return !mCut; }

  private:
    char* mOut;
    size_t mRoom;
    size_t mLength = 0;
    bool mCut = false;
};

// Appends without checking: used only where the room for the longest text a record can make
// is known to be there.
class RawOut {
  public:
    explicit RawOut(char* out) : mStart(out), mP(out) {}
    void Put(const char* text, size_t n) {
        std::memcpy(mP, text, n);
        mP += n;
    }
    void Put(char c) { *mP++ = c; }
    void EndLine(size_t textStart) {
        if (Length() > textStart && mP[-1] == '\n') {
            --mP;
        }
        Put('\n');
    }
    size_t Length() const { return static_cast<size_t>(mP - mStart); }

  private:
    char* mStart;
    char* mP;
};

// "2026-12-05 17:49:19.123 <tid> D <tag>: ", cut at 1023 characters.
template <typename Out>
void PutLead(Out& line, StampCache& stamps, const Stamp& stamp, int level, const char* tag,
             size_t tagLength) {
    constexpr size_t kMaxLead = 1023;
    stamps.Update(static_cast<std::time_t>(stamp.millis / 1000), stamp.tid, level);
    const long long millis = stamp.millis % 1000;
    char lead[96];
    std::memcpy(lead, stamps.date, stamps.dateLength);
    size_t n = stamps.dateLength;
    lead[n++] = static_cast<char>('0' + millis / 100);
    lead[n++] = static_cast<char>('0' + millis / 10 % 10);
    lead[n++] = static_cast<char>('0' + millis % 10);
    std::memcpy(lead + n, stamps.middle, stamps.middleLength);
    n += stamps.middleLength;
    line.Put(lead, n);
    const size_t room = kMaxLead - n;
    const size_t shown = std::min(tagLength, room);
    line.Put(tag, shown);
    line.Put(": ", std::min<size_t>(2, room - shown));
}

// ---- Conversions of a format text ----

enum class ArgClass { kPercent, kSigned, kUnsigned, kDouble, kString, kPointer, kUnknown };
enum class Length { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kBigL };

struct Conversion {
    const char* begin;  // its '%'
    const char* end;    // after its conversion character
    ArgClass kind;
    Length length;
    char conversion;
    bool widthStar;
    bool precisionStar;
    bool plain;     // no flags and no width: formatted without snprintf
    int precision;  // -1: none written (or a '*')
};

using SignedSize = std::make_signed_t<size_t>;
using UnsignedPtrdiff = std::make_unsigned_t<std::ptrdiff_t>;

// Longer conversion texts (absurd widths) are left to the caller's vsnprintf.
constexpr size_t kMaxSpec = 40;

// The next conversion at or after `p`; false when there is none. Caller and writer both read
// the format with this, so they agree on every argument's type.
bool NextConversion(const char* p, Conversion* c) {
    p = std::strchr(p, '%');
    if (p == nullptr) {
        return false;
    }
    *c = Conversion{p, p + 1, ArgClass::kUnknown, Length::kNone, 0, false, false, true, -1};
    ++p;
    if (*p == '%') {
        c->kind = ArgClass::kPercent;
        c->end = p + 1;
        return true;
    }
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'') {
        c->plain = false;
        ++p;
    }
    if (*p == '*') {
        c->widthStar = true;
        c->plain = false;
        ++p;
    } else {
        while (*p >= '0' && *p <= '9') {
            c->plain = false;
            ++p;
        }
        if (*p == '$') {  // numbered arguments
            c->end = p;
            return true;
        }
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            c->precisionStar = true;
            c->plain = false;
            ++p;
        } else {
            int precision = 0;
            while (*p >= '0' && *p <= '9') {
                precision = precision < 100000 ? precision * 10 + (*p - '0') : precision;
                ++p;
            }
            c->precision = precision;
        }
    }
    switch (*p) {
        case 'h':
            c->length = p[1] == 'h' ? Length::kHH : Length::kH;
            p += p[1] == 'h' ? 2 : 1;
            break;
        case 'l':
            c->length = p[1] == 'l' ? Length::kLL : Length::kL;
            p += p[1] == 'l' ? 2 : 1;
            break;
        case 'j':
            c->length = Length::kJ;
            ++p;
            break;
        case 'z':
            c->length = Length::kZ;
            ++p;
            break;
        case 't':
            c->length = Length::kT;
            ++p;
            break;
        case 'L':
            c->length = Length::kBigL;
            ++p;
            break;
        default:
            break;
    }
    c->conversion = *p;
    c->end = *p != '\0' ? p + 1 : p;
    if (static_cast<size_t>(c->end - c->begin) > kMaxSpec || c->length == Length::kBigL) {
        return true;
    }
    switch (*p) {
        case 'd':
        case 'i':
            c->kind = ArgClass::kSigned;
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            c->kind = ArgClass::kUnsigned;
            break;
        case 'c':
            c->kind = c->length == Length::kNone ? ArgClass::kSigned : ArgClass::kUnknown;
            break;
        case 's':
            c->kind = c->length == Length::kNone ? ArgClass::kString : ArgClass::kUnknown;
            break;
        case 'p':
            c->kind = c->length == Length::kNone ? ArgClass::kPointer : ArgClass::kUnknown;
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            c->kind = c->length == Length::kNone || c->length == Length::kL ? ArgClass::kDouble
                                                                            : ArgClass::kUnknown;
            break;
        default:  // %n, %m, wide characters and whatever else: formatted by the caller
            break;
    }
    return true;
}

// ---- Records ----

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

// How the caller takes a format's arguments, one step per argument it stores.
enum class Step : uint8_t {
    kInt,
    kUnsigned,
    kLong,
    kUnsignedLong,
    kLongLong,
    kUnsignedLongLong,
    kIntMax,
    kUnsignedIntMax,
    kSignedSize,
    kSize,
    kPtrdiff,
    kUnsignedPtrdiff,
    kDouble,
    kPointer,
    kStar,           // a width or precision given as an argument
    kStarPrecision,  // the same, and the precision of a %s right after it
    kString,
};

constexpr size_t kMaxSteps = 32;
constexpr int16_t kPrecisionFromStar = -2;
constexpr size_t kMaxTag = 1023;

Step IntegerStep(const Conversion& c) {
    static constexpr Step kSigned[] = {Step::kInt,        Step::kInt,      Step::kInt,
                                       Step::kLong,       Step::kLongLong, Step::kIntMax,
                                       Step::kSignedSize, Step::kPtrdiff};
    static constexpr Step kUnsigned[] = {
        Step::kUnsigned,         Step::kUnsigned,       Step::kUnsigned, Step::kUnsignedLong,
        Step::kUnsignedLongLong, Step::kUnsignedIntMax, Step::kSize,     Step::kUnsignedPtrdiff};
    const size_t length = static_cast<size_t>(c.length);
    return c.kind == ArgClass::kSigned ? kSigned[length] : kUnsigned[length];
}

// True for a conversion the writer lays out itself, exactly as the C library would; the others
// go through snprintf.
bool LaidOutDirectly(const Conversion& c) {
    if (c.kind == ArgClass::kPercent) {
        return true;
    }
    if (!c.plain) {
        return false;
    }
    switch (c.kind) {
        case ArgClass::kString:
            return true;
        case ArgClass::kSigned:
        case ArgClass::kUnsigned:
            return c.conversion != 'c' && c.conversion != 'o' && c.length != Length::kHH &&
                   c.length != Length::kH;
#if defined(__GLIBC__)
        case ArgClass::kPointer:
            return c.precision < 0;
#endif
        default:
            return false;
    }
}

// A format and its tag as the log met them, copied once: a record names its entry instead of
// carrying the texts. The caller reads the steps, the writer the conversions.
struct FormatEntry {
    const char* format;  // the caller's addresses: the key, confirmed by comparing the texts
    const char* tag;
    uint32_t formatLength;  // without its NUL
    uint16_t tagLength;     // cut at kMaxTag
    uint8_t stepCount;
    uint8_t conversionCount;
    Step steps[kMaxSteps];
    int16_t precision[kMaxSteps];  // of a kString: -1 none, or kPrecisionFromStar
    // Longest line without the arguments' share when the writer can lay every conversion out
    // without snprintf and the lead is never cut; 0 otherwise.
    size_t fastBound;
    // Followed by conversionCount conversions (pointing into FormatText()), then the tag and the
    // format, each with its NUL.
    Conversion* Conversions() { return reinterpret_cast<Conversion*>(this + 1); }
    const Conversion* Conversions() const { return reinterpret_cast<const Conversion*>(this + 1); }
    const char* TagText() const {
        return reinterpret_cast<const char*>(Conversions() + conversionCount);
    }
    const char* FormatText() const { return TagText() + tagLength + 1; }
};
static_assert(sizeof(FormatEntry) % alignof(Conversion) == 0, "conversions follow the entry");

// Entries are added under gMutex and never change or go away, so callers and the drainer read
// them without the lock (a fork child keeps them too). A different text at an address already
// seen (a library unloaded and another loaded in its place) gets an entry of its own. When the
// table has no room, or a format has a conversion the writer does not know, the caller formats
// the line itself.
constexpr size_t kFormatSlots = 512;
constexpr size_t kFormatProbes = 16;
std::atomic<const FormatEntry*> gFormats[kFormatSlots];

size_t FormatSlot(const char* format, size_t probe) {
    const uint64_t hash = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(format)) *
                          0x9E3779B97F4A7C15ull;  // Fibonacci hashing: the top bits mix
    return (static_cast<size_t>(hash >> 55) + probe) & (kFormatSlots - 1);
}

bool SameTexts(const FormatEntry& e, const char* format, const char* tag) {
    // strncmp stops at the first difference: a shorter text in the caller is never read past.
    return std::strncmp(e.FormatText(), format, size_t{e.formatLength} + 1) == 0 &&
           std::strncmp(e.TagText(), tag, e.tagLength) == 0 &&
           (e.tagLength == kMaxTag || tag[e.tagLength] == '\0');
}

// Fills the steps and the conversions (conversionCount of them, already counted) of `e` from its
// format text; false for a format with a conversion this does not know, or with too many.
bool MakePlan(FormatEntry* e) {
    Conversion c;
    size_t index = 0;
    for (const char* p = e->FormatText(); NextConversion(p, &c); p = c.end) {
        e->Conversions()[index++] = c;
        if (c.kind == ArgClass::kPercent) {
            continue;
        }
        if (c.kind == ArgClass::kUnknown || e->stepCount + size_t{3} > kMaxSteps) {
            return false;
        }
        if (c.widthStar) {
            e->steps[e->stepCount++] = Step::kStar;
        }
        if (c.precisionStar) {
            e->steps[e->stepCount++] =
                c.kind == ArgClass::kString ? Step::kStarPrecision : Step::kStar;
        }
        Step step = Step::kPointer;
        switch (c.kind) {
            case ArgClass::kSigned:
            case ArgClass::kUnsigned:
                step = IntegerStep(c);
                break;
            case ArgClass::kDouble:
                step = Step::kDouble;
                break;
            case ArgClass::kString:
                step = Step::kString;
                e->precision[e->stepCount] =
                    c.precisionStar ? kPrecisionFromStar
                                    : static_cast<int16_t>(std::min(c.precision, 32767));
                break;
            default:
                break;
        }
        e->steps[e->stepCount++] = step;
    }
    // The lead: date and milliseconds, thread id and level letter, tag; then the text and the
    // newline. Numbers add their precision; the rest is counted per record from its arguments.
    constexpr int kMaxFastPrecision = 64;
    e->fastBound = e->tagLength <= 256 ? 64 + size_t{e->tagLength} + e->formatLength + 1 : 0;
    for (size_t i = 0; i < e->conversionCount && e->fastBound > 0; ++i) {
        const Conversion& conversion = e->Conversions()[i];
        const bool number =
            conversion.kind == ArgClass::kSigned || conversion.kind == ArgClass::kUnsigned;
        if (!LaidOutDirectly(conversion) || (number && conversion.precision > kMaxFastPrecision)) {
            e->fastBound = 0;
        } else if (number && conversion.precision > 0) {
            e->fastBound += static_cast<size_t>(conversion.precision);
        }
    }
    return true;
}

// The entry of `format` with `tag` and its slot; added when new. Null when the line is to be
// formatted by its caller.
// The entry of `format` with `tag` and its slot, or null and the first empty slot on the
// format's probe sequence (kFormatSlots when the sequence holds only other formats).
const FormatEntry* Probe(const char* format, const char* tag, size_t* at) {
    for (size_t probe = 0; probe < kFormatProbes; ++probe) {
        *at = FormatSlot(format, probe);
        const FormatEntry* e = gFormats[*at].load(std::memory_order_acquire);
        if (e == nullptr) {
            return nullptr;
        }
        if (e->format == format && e->tag == tag && SameTexts(*e, format, tag)) {
            return e;
        }
    }
    *at = kFormatSlots;
    return nullptr;
}

const FormatEntry* FindFormat(const char* format, const char* tag, uint32_t* slot) {
    size_t at = 0;
    const FormatEntry* found = Probe(format, tag, &at);
    if (found != nullptr || at == kFormatSlots) {
        *slot = static_cast<uint32_t>(at);
        return found;
    }
    const size_t formatLength = std::strlen(format);
    const size_t tagLength = std::min(std::strlen(tag), kMaxTag);
    size_t conversions = 0;
    Conversion c;
    for (const char* p = format; conversions <= kMaxSteps && NextConversion(p, &c); p = c.end) {
        ++conversions;
    }
    if (formatLength > UINT32_MAX / 4 || conversions > kMaxSteps) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(*gMutex);
    // Another thread may have added it, or taken the empty slot, since the look without the lock.
    found = Probe(format, tag, &at);
    *slot = static_cast<uint32_t>(at);
    if (found != nullptr || at == kFormatSlots) {
        return found;
    }
    // Kept for the life of the process, like the table.
    void* memory = std::malloc(sizeof(FormatEntry) + conversions * sizeof(Conversion) + tagLength +
                               formatLength + 2);
    if (memory == nullptr) {
        return nullptr;
    }
    FormatEntry* made = new (memory) FormatEntry{};
    made->format = format;
    made->tag = tag;
    made->formatLength = static_cast<uint32_t>(formatLength);
    made->tagLength = static_cast<uint16_t>(tagLength);
    made->conversionCount = static_cast<uint8_t>(conversions);
    char* text = const_cast<char*>(made->TagText());
    std::memcpy(text, tag, tagLength);
    text[tagLength] = '\0';
    std::memcpy(text + tagLength + 1, format, formatLength + 1);
    if (!MakePlan(made)) {
        std::free(memory);
        return nullptr;
    }
    gFormats[at].store(made, std::memory_order_release);
    return made;
}

// One argument as the caller took it: a number, or a text of `word` bytes.
struct Arg {
    uint64_t word;
    const char* text;
};

// Takes the arguments of `e` from `args` and adds up the body's length; false when a %s text is
// null (what the C library prints for it is its own business) or absurdly long.
bool TakeArgs(const FormatEntry& e, va_list args, Arg* taken, size_t* bodyLength) {
    *bodyLength = 0;
    int starPrecision = -1;
    for (size_t i = 0; i < e.stepCount; ++i) {
        uint64_t word = 0;
        switch (e.steps[i]) {
            case Step::kInt:
            case Step::kStar:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, int)));
                break;
            case Step::kStarPrecision:
                starPrecision = va_arg(args, int);
                word = static_cast<uint64_t>(static_cast<int64_t>(starPrecision));
                break;
            case Step::kUnsigned:
                word = va_arg(args, unsigned);
                break;
            case Step::kLong:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, long)));
                break;
            case Step::kUnsignedLong:
                word = va_arg(args, unsigned long);
                break;
            case Step::kLongLong:
                word = static_cast<uint64_t>(va_arg(args, long long));
                break;
            case Step::kUnsignedLongLong:
                word = va_arg(args, unsigned long long);
                break;
            case Step::kIntMax:
                word = static_cast<uint64_t>(va_arg(args, intmax_t));
                break;
            case Step::kUnsignedIntMax:
                word = va_arg(args, uintmax_t);
                break;
            case Step::kSignedSize:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, SignedSize)));
                break;
            case Step::kSize:
                word = va_arg(args, size_t);
                break;
            case Step::kPtrdiff:
                word = static_cast<uint64_t>(static_cast<int64_t>(va_arg(args, std::ptrdiff_t)));
                break;
            case Step::kUnsignedPtrdiff:
                word = va_arg(args, UnsignedPtrdiff);
                break;
            case Step::kDouble: {
                const double value = va_arg(args, double);
                std::memcpy(&word, &value, sizeof(word));
                break;
            }
            case Step::kPointer:
                word = reinterpret_cast<uintptr_t>(va_arg(args, void*));
                break;
            case Step::kString: {
                const char* text = va_arg(args, const char*);
                if (text == nullptr) {
                    return false;
                }
                const int precision =
                    e.precision[i] == kPrecisionFromStar ? starPrecision : e.precision[i];
                size_t n = 0;
                if (precision < 0) {
                    n = std::strlen(text);
                } else {  // the text need not be terminated within its precision
                    while (n < static_cast<size_t>(precision) && text[n] != '\0') {
                        ++n;
                    }
                }
                if (n > UINT32_MAX / 4) {
                    return false;
                }
                taken[i] = {n, text};
                *bodyLength += sizeof(uint32_t) + n + 1;
                continue;
            }
        }
        taken[i] = {word, nullptr};
        *bodyLength += sizeof(word);
    }
    return true;
}

// Lays the taken arguments out in a record's body: 8 bytes a number; a text as its 4-byte
// length, its bytes and a NUL.
void PutArgs(const FormatEntry& e, const Arg* taken, char* body) {
    for (size_t i = 0; i < e.stepCount; ++i) {
        if (taken[i].text != nullptr) {
            const uint32_t n = static_cast<uint32_t>(taken[i].word);
            std::memcpy(body, &n, sizeof(n));
            std::memcpy(body + sizeof(n), taken[i].text, n);
            body[sizeof(n) + n] = '\0';
            body += sizeof(n) + n + 1;
        } else {
            std::memcpy(body, &taken[i].word, sizeof(uint64_t));
            body += sizeof(uint64_t);
        }
    }
}

// Reads the arguments PutArgs laid out.
class ArgReader {
  public:
    explicit ArgReader(const char* p) : mP(p) {}
    uint64_t Word() {
        uint64_t word = 0;
        std::memcpy(&word, mP, sizeof(word));
        mP += sizeof(word);
        return word;
    }
    const char* Text(size_t* length) {
        uint32_t n = 0;
        std::memcpy(&n, mP, sizeof(n));
        const char* text = mP + sizeof(n);
        mP = text + n + 1;
        *length = n;
        return text;
    }

  private:
    const char* mP;
};

// An integer as %d, %u, %x or %X with at most a precision.
template <typename Out>
void PutInteger(Out& line, uint64_t magnitude, bool negative, char conversion, int precision) {
    // Sign, zeros and digits are laid out backwards from the end of `text`, one Put in all;
    // the bases are constants so that no division instruction is needed.
    char text[88];
    char* p = text + sizeof(text);
    if (conversion == 'x' || conversion == 'X') {
        const char* symbols = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        for (; magnitude != 0; magnitude >>= 4) {
            *--p = symbols[magnitude & 15];
        }
    } else {
        for (; magnitude != 0; magnitude /= 10) {
            *--p = static_cast<char>('0' + magnitude % 10);
        }
    }
    // Without a precision a zero is one digit; with precision 0 it is no digit at all.
    size_t zeros = precision < 0 ? 1 : static_cast<size_t>(precision);
    const size_t digits = static_cast<size_t>(text + sizeof(text) - p);
    zeros = zeros > digits ? zeros - digits : 0;
    if (zeros + 1 > static_cast<size_t>(p - text)) {  // an absurd precision: the long way
        if (negative) {
            line.Put('-');
        }
        for (; zeros > 0; --zeros) {
            line.Put('0');
        }
        line.Put(p, digits);
        return;
    }
    for (; zeros > 0; --zeros) {
        *--p = '0';
    }
    if (negative) {
        *--p = '-';
    }
    line.Put(p, static_cast<size_t>(text + sizeof(text) - p));
}

// One conversion handed to snprintf, the '*'s replaced by their values.
void PutBySnprintf(LineOut& line, const Conversion& c, ArgReader& args) {
    char spec[kMaxSpec + 48];
    size_t n = 0;
    const long long width = c.widthStar ? static_cast<long long>(args.Word()) : 0;
    const long long precision = c.precisionStar ? static_cast<long long>(args.Word()) : 0;
    for (const char* p = c.begin; p < c.end; ++p) {
        if (*p == '*' && p[-1] != '.') {
            n += static_cast<size_t>(std::snprintf(spec + n, sizeof(spec) - n, "%lld", width));
        } else if (*p == '.' && p[1] == '*') {
            // A negative precision is as if none were given.
            if (precision >= 0) {
                n += static_cast<size_t>(
                    std::snprintf(spec + n, sizeof(spec) - n, ".%lld", precision));
            }
            ++p;
        } else {
            spec[n++] = *p;
        }
    }
    spec[n] = '\0';
    if (c.kind == ArgClass::kString) {
        size_t length = 0;
        line.Format(spec, args.Text(&length));
        return;
    }
    const uint64_t word = args.Word();
    switch (c.kind) {
        case ArgClass::kSigned:
            switch (c.length) {
                case Length::kL:
                    return line.Format(spec, static_cast<long>(word));
                case Length::kLL:
                    return line.Format(spec, static_cast<long long>(word));
                case Length::kJ:
                    return line.Format(spec, static_cast<intmax_t>(word));
                case Length::kZ:
                    return line.Format(spec, static_cast<SignedSize>(word));
                case Length::kT:
                    return line.Format(spec, static_cast<std::ptrdiff_t>(word));
                default:
                    return line.Format(spec, static_cast<int>(word));
            }
        case ArgClass::kUnsigned:
            switch (c.length) {
                case Length::kL:
                    return line.Format(spec, static_cast<unsigned long>(word));
                case Length::kLL:
                    return line.Format(spec, static_cast<unsigned long long>(word));
                case Length::kJ:
                    return line.Format(spec, static_cast<uintmax_t>(word));
                case Length::kZ:
                    return line.Format(spec, static_cast<size_t>(word));
                case Length::kT:
                    return line.Format(spec, static_cast<UnsignedPtrdiff>(word));
                default:
                    return line.Format(spec, static_cast<unsigned>(word));
            }
        case ArgClass::kDouble: {
            double value = 0;
            std::memcpy(&value, &word, sizeof(value));
            return line.Format(spec, value);
        }
        case ArgClass::kPointer:
            return line.Format(spec, reinterpret_cast<void*>(static_cast<uintptr_t>(word)));
        default:
            return;
    }
}

// One conversion of a deferred record, as vsnprintf would have made it.
template <typename Out>
void PutConversion(Out& line, const Conversion& c, ArgReader& reader) {
    // Raw output is only ever given formats whose every conversion is laid out directly.
    if constexpr (std::is_same<Out, LineOut>::value) {
        if (!LaidOutDirectly(c)) {
            PutBySnprintf(line, c, reader);
            return;
        }
    }
    switch (c.kind) {
        case ArgClass::kPercent:
            line.Put('%');
            return;
        case ArgClass::kString: {
            size_t length = 0;
            const char* text = reader.Text(&length);
            line.Put(text, length);
            return;
        }
        case ArgClass::kPointer: {
            // glibc's %p: "(nil)", or 0x and the lower-case hexadecimal digits.
            const uint64_t word = reader.Word();
            if (word == 0) {
                line.Put("(nil)", 5);
            } else {
                line.Put("0x", 2);
                PutInteger(line, word, false, 'x', -1);
            }
            return;
        }
        default: {
            const uint64_t word = reader.Word();
            const bool negative = c.kind == ArgClass::kSigned && static_cast<int64_t>(word) < 0;
            PutInteger(line, negative ? 0 - word : word, negative, c.conversion, c.precision);
            return;
        }
    }
}

// The message of a deferred record, as vsnprintf would have made it in the caller.
template <typename Out>
void PutDeferredMessage(Out& line, const FormatEntry& e, const char* args) {
    ArgReader reader(args);
    const char* p = e.FormatText();
    for (size_t i = 0; i < e.conversionCount; ++i) {
        const Conversion& c = e.Conversions()[i];
        line.Put(p, static_cast<size_t>(c.begin - p));
        PutConversion(line, c, reader);
        p = c.end;
    }
    line.Put(p, static_cast<size_t>(e.FormatText() + e.formatLength - p));
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
            // Published before any record that names it, and never changed.
            const FormatEntry& e = *gFormats[head.value].load(std::memory_order_acquire);
            // Each 8 bytes of arguments make at most 24 characters, a text no more than itself.
            if (e.fastBound > 0 && room >= e.fastBound + 3 * (head.size - sizeof(RecordHead))) {
                RawOut raw(out);
                PutLead(raw, gDrainerStamps, stamp, head.level, e.TagText(), e.tagLength);
                const size_t textStart = raw.Length();
                PutDeferredMessage(raw, e, body);
                raw.EndLine(textStart);
                return raw.Length();
            }
            PutLead(line, gDrainerStamps, stamp, head.level, e.TagText(), e.tagLength);
            const size_t textStart = line.Length();
            PutDeferredMessage(line, e, body);
            line.EndLine(textStart);
            break;
        }
    }
    return line.Fits() ? line.Length() : line.Length() + 1;
}

// ---- The file and the ring ----

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

int OpenLog(const char* path, bool truncate) {
#if defined(_WIN32)
    return _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | (truncate ? _O_TRUNC : 0),
                 0644);
#else
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
#endif
}

void CloseFd(int fd) {
    if (fd >= 0) {
#if defined(_WIN32)
        _close(fd);
#else
        close(fd);
#endif
    }
}

void ReplaceFile(const char* from, const char* to) {
    std::remove(to);  // Windows does not rename onto an existing file
    std::rename(from, to);
}

// path.keep-1 -> path.keep, ..., path -> path.1, then a fresh path. By the drainer.
void RotateFile() {
    State& s = gState;
    CloseFd(s.fd);
    for (unsigned i = s.keep; i >= 1; --i) {
        std::snprintf(s.toName, std::strlen(s.path) + 16, "%s.%u", s.path, i);
        if (i == 1) {
            ReplaceFile(s.path, s.toName);
        } else {
            std::snprintf(s.fromName, std::strlen(s.path) + 16, "%s.%u", s.path, i - 1);
            ReplaceFile(s.fromName, s.toName);
        }
    }
    s.fd = OpenLog(s.path, true);
    s.fileSize = 0;
    if (s.fd < 0) {
        std::fprintf(stderr, "velmar log: cannot reopen %s after rotating it\n", s.path);
    }
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
            WriteAll(gState.fd, gState.out, mLength);
            gState.fileSize += mLength;
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
    // Rotation happens between lines, so every file but the newest holds whole lines and stays
    // within the limit unless one line alone is longer.
    bool MustRotate(size_t n) const {
        const uint64_t before = gState.fileSize + mLength;
        return gState.maxBytes > 0 && before > 0 && before + n > gState.maxBytes;
    }

    // The line just formatted at the buffer's end goes into the buffer.
    void Commit(size_t n) {
        if (MustRotate(n)) {
            const size_t earlier = mLength;
            WriteAll(gState.fd, gState.out, earlier);
            gState.fileSize += earlier;
            RotateFile();
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
        if (MustRotate(n)) {
            RotateFile();
        }
        WriteAll(gState.fd, big, n);
        gState.fileSize += n;
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

// Puts a record into the ring; `fill` lays its body out in the `bodyLength` bytes it is given.
template <typename Fill>
void WriteRecordLocked(RecordHead head, size_t bodyLength, Fill fill) {
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
    fill(s.ring + offset + sizeof(head));
    s.head += head.size;
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
    WriteRecordLocked(head, sizeof(s.dropped), [](char* body) {
        std::memcpy(body, &gState.dropped, sizeof(gState.dropped));
    });
    s.dropped = 0;
    return true;
}

// Writes what the ring holds now, and then `line` when given, as the drainer. With gMutex held
// by `lock` and no other drainer; returns with it held.
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
#if !defined(_WIN32)
    // Process signals are for the host's threads, not for one the log library started.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
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
#if defined(_WIN32)
    // A library unloaded under a running writer would pull its code from under it; the writer
    // holds a reference until StopWriter has joined it.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&gState),
                       &gState.pin);
#endif
    return true;
}

enum class Pushed { kYes, kDropped, kTooLong, kNotFile };

// Puts one record into the ring, with the notice of dropped lines before it when due. A Debug
// line finding no room is dropped; an Error line waits for room and is written before this
// returns. With gMutex held by `lock`.
template <typename Fill>
Pushed PushLocked(std::unique_lock<std::mutex>& lock, const RecordHead& head, size_t bodyLength,
                  Fill fill) {
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
        const bool error = head.level == kErrorLevel;
        if ((s.dropped == 0 || PushNoticeLocked(size)) &&
            UsedLocked() + PlaceCost(s.head, size) <= kRingBytes) {
            const size_t before = UsedLocked();
            WriteRecordLocked(head, bodyLength, fill);
            bool drainHere = error || s.closing;
            if (!drainHere && s.thread == nullptr && !StartWriterLocked()) {
                drainHere = true;
            }
            if (drainHere) {
                // An error is in the file before the call returns: it is often the last thing a
                // process says before it dies.
                DrainUntilLocked(lock, s.head);
            } else if (s.asleep || (before < kRingBytes / 2 && UsedLocked() >= kRingBytes / 2)) {
                // Otherwise the writer finds the line at its next look.
                gWork->notify_one();
            }
            return Pushed::kYes;
        }
        if (!error && !s.closing && s.thread != nullptr) {
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

// Ends the writer after it has written every line in the ring, and waits for a caller draining
// to finish. Called with gControlMutex held and `lock` (on gMutex) held; returns with both
// still held, the ring empty and gState.switching set, so that no line is queued until the
// caller ends the switch.
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
#if defined(_WIN32)
        if (s.pin != nullptr) {
            FreeLibrary(s.pin);
            s.pin = nullptr;
        }
#endif
    }
    while (s.writing || UsedLocked() > 0 || s.dropped > 0) {
        if (s.writing) {
            gProgress->wait(lock);
        } else {
            DrainLocked(lock, nullptr, 0);
        }
    }
}

void CloseFileLocked() {
    State& s = gState;
    CloseFd(s.fd);
    s.fd = -1;
    std::free(s.path);
    s.path = nullptr;
    s.fromName = nullptr;
    s.toName = nullptr;
}

void EndSwitch() {
    gState.switching = false;
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

// At exit and when the library is unloaded: everything in the ring goes to the file, the
// writer is joined, and lines logged later (by threads still running during exit) are written
// by their callers.
void StopForGood() {
    std::lock_guard<std::mutex> control(*gControlMutex);
    std::unique_lock<std::mutex> lock(*gMutex);
    StopWriter(lock);
    gState.closing = true;
    EndSwitch();
}

void OnLoad() {
    gMutex.Construct();
    gControlMutex.Construct();
    ConstructConditions();
}

#if defined(_WIN32)
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
#else
bool gAtExitRegistered = false;  // under gControlMutex

// Fork: the child must not inherit a lock held by another thread of the parent, nor a writer
// thread that does not exist in it. Holding both locks over fork() means no line and no switch
// is half done; the child forgets the writer (the parent's thread object is left alone: its
// thread is not ours to join) and the lines still in the ring (the parent writes them) and
// starts its own writer with its first line. The thread id cache describes the parent.
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
    State& s = gState;
    s.thread = nullptr;
    s.tail = s.head;
    s.dropped = 0;
    s.writing = false;
    s.urgent = false;
    s.asleep = false;
    s.stop = false;
    tThread.tid = 0;
    gMutex->unlock();
    gControlMutex->unlock();
}

__attribute__((constructor)) void OnLoadPosix() {
    OnLoad();
    pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
}

__attribute__((destructor)) void OnUnload() {
    StopForGood();
}
#endif

// Hands one line formatted by the caller (with its newline at line[total]) to the destination.
// With gMutex held; may wait on it for room, for a drainer or for a switch to end.
int DeliverLocked(std::unique_lock<std::mutex>& lock, int level, const char* tag, char* line,
                  size_t total, size_t leadLength) {
    for (;;) {
        switch (gDestination.load(std::memory_order_relaxed)) {
            case Destination::kStderr:
                return WriteAll(2, line, total + 1);
            case Destination::kSink:
                line[total] = '\0';
                gState.sink(gState.sinkContext, level, tag, line + leadLength, total - leadLength);
                return 0;
            case Destination::kOff:
                return 0;
            case Destination::kFile:
                break;
        }
        RecordHead head{};
        head.kind = kLine;
        head.level = static_cast<uint8_t>(level);
        head.value = static_cast<uint32_t>(total);
        switch (PushLocked(lock, head, total,
                           [line, total](char* body) { std::memcpy(body, line, total); })) {
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
    PutLead(lead, tThread.stamps, stamp, level, tagText, std::strlen(tagText));
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

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        OnLoad();
    } else if (reason == DLL_PROCESS_DETACH) {
        OnDetach(reserved != nullptr);
    }
    return TRUE;
}
#endif

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
            RecordHead head{};
            head.kind = kDeferred;
            head.level = static_cast<uint8_t>(level);
            head.value = slot;
            head.millis = stamp.millis;
            head.tid = stamp.tid;
            std::unique_lock<std::mutex> lock(*gMutex);
            const Pushed pushed = PushLocked(lock, head, bodyLength,
                                             [e, &taken](char* body) { PutArgs(*e, taken, body); });
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
    const int fd = OpenLog(path, false);
    if (fd < 0) {
        return -1;
    }
    // The path, then room for two rotated names ("<path>.<n>").
    const size_t pathLength = std::strlen(path);
    char* names = static_cast<char*>(std::malloc(3 * (pathLength + 16)));
    if (names == nullptr) {
        CloseFd(fd);
        return -1;
    }
    std::memcpy(names, path, pathLength + 1);
#if defined(_WIN32)
    const long long size = _lseeki64(fd, 0, SEEK_END);
#else
    const long long size = lseek(fd, 0, SEEK_END);
#endif
    {
        std::lock_guard<std::mutex> control(*gControlMutex);
#if !defined(_WIN32)
        if (!gAtExitRegistered) {
            gAtExitRegistered = std::atexit(&StopForGood) == 0;
        }
#endif
    }
    SwitchDestination([&] {
        State& s = gState;
        // Allocated once and kept: lines logged during a switch never meet a freed ring.
        // Without memory for them every line is written by its caller.
        if (s.ring == nullptr) {
            char* ring = static_cast<char*>(std::malloc(kRingBytes));
            char* out = static_cast<char*>(std::malloc(kOutBytes));
            if (ring != nullptr && out != nullptr) {
                s.ring = ring;
                s.out = out;
            } else {
                std::free(ring);
                std::free(out);
            }
        }
        s.fd = fd;
        s.path = names;
        s.fromName = names + pathLength + 16;
        s.toName = names + 2 * (pathLength + 16);
        s.maxBytes = maxBytes;
        s.keep = keepFiles;
        s.fileSize = size > 0 ? static_cast<uint64_t>(size) : 0;
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
    // A switch in progress writes everything before it ends.
    while (gState.switching) {
        gProgress->wait(lock);
    }
    if (gDestination.load(std::memory_order_relaxed) == Destination::kFile) {
        PushNoticeLocked(0);
        DrainUntilLocked(lock, gState.head);
    }
}

}  // extern "C"
