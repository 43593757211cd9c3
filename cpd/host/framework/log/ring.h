// The log's shared state and its ring of records, which a writer thread formats into the file.
// A caller puts a record (a format's slot and its arguments, or a finished line) into the ring
// under gMutex; one drainer at a time (the writer, or a caller that must not wait) formats
// records outside the lock and frees their room once their lines are written.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

#include "cpd/host/framework/log/file.h"
#include "cpd/host/framework/log/platform.h"
#include "cpd/host/framework/velmar_log.h"

namespace cpd::logging {

enum class Destination { kStderr, kFile, kSink, kOff };

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
extern Leaked<std::mutex> gMutex;  // guards gState and serialises whole lines
// Serialises destination changes and the writer's stops, so one thread at a time joins it.
// Always taken before gMutex.
extern Leaked<std::mutex> gControlMutex;
extern Leaked<std::condition_variable> gProgress;  // lines were written, or a switch ended
// Changed under gMutex; read without it only to skip all work while the log is off.
extern std::atomic<Destination> gDestination;

// Positions in the ring count bytes pushed since the start; a record never wraps (a padding
// record fills the ring's end instead).
struct State {
    // Under gMutex.
    VelmarLogSink sink = nullptr;
    void* sinkContext = nullptr;
    char* ring = nullptr;           // allocated with the first file and kept; null: no ring
    uint64_t head = 0;              // where the next record goes
    uint64_t tail = 0;              // records before it are written and their room is free
    uint64_t dropped = 0;           // Debug lines dropped since the last notice
    std::thread* thread = nullptr;  // the writer; joined and deleted by StopWriter
    bool writing = false;           // a drainer (the writer or a caller) owns the file and output
    bool urgent = false;            // room is wanted: drain without lingering
    bool asleep = false;            // the writer waits for a wake-up, not for its next look
    bool stop = false;              // the writer ends once the ring is empty
    bool switching = false;         // the destination is changing: file lines wait
    bool closing = false;           // after exit began: callers drain, no new writer
    // Only the drainer touches these while `writing`; otherwise under gMutex.
    LogFile file;
    char* out = nullptr;  // the drainer's output buffer, allocated with the ring
};
extern State gState;

// Constructs the locks; at load, before any line.
void StartUp();
// Allocates the ring and the output buffer with the first file and keeps them, so lines logged
// during a switch never meet a freed ring. Without memory for them every line is written by its
// caller. Under gMutex.
void AllocateRingLocked();

enum class Pushed { kYes, kDropped, kTooLong, kNotFile };

// A record on its way into the ring: ReserveDeferredLocked, its body laid out, CommitLocked,
// all in one hold of gMutex.
struct Reservation {
    char* body = nullptr;   // where the body goes
    size_t usedBefore = 0;  // the ring's use before the record
    bool error = false;     // an Error line: written before CommitLocked returns
};

// Makes room for a record of the arguments (`bodyLength` bytes) of the format in table slot
// `slot`, with the notice of dropped lines before it when due. A Debug line finding no room is
// dropped and counted (kDropped); an Error line waits for room. kTooLong: no ring, or a record
// longer than half of it. With gMutex held by `lock`, which it may release while it waits.
Pushed ReserveDeferredLocked(std::unique_lock<std::mutex>& lock, int level, uint32_t slot,
                             const Stamp& stamp, size_t bodyLength, Reservation* r);
// Hands the record to the writer, or writes it when it is an Error line.
void CommitLocked(std::unique_lock<std::mutex>& lock, const Reservation& r);
// Puts a line its caller formatted (`length` bytes, without its newline) into the ring, as the
// two above do.
Pushed PushLineLocked(std::unique_lock<std::mutex>& lock, int level, const char* line,
                      size_t length);

// Writes what the ring holds now, and then `line` when given, as the drainer. With gMutex held
// by `lock` and no other drainer; returns with it held.
void DrainLocked(std::unique_lock<std::mutex>& lock, const char* line, size_t n);
// Returns once every line logged before has been written.
void FlushLocked(std::unique_lock<std::mutex>& lock);

// Ends the writer after it has written every line in the ring, and waits for a caller draining
// to finish. Called with gControlMutex held and `lock` (on gMutex) held; returns with both
// still held, the ring empty and gState.switching set, so that no line is queued until the
// caller ends the switch with EndSwitch.
void StopWriter(std::unique_lock<std::mutex>& lock);
void EndSwitch();
// At exit and when the library is unloaded: everything in the ring goes to the file, the
// writer is joined, and lines logged later (by threads still running during exit) are written
// by their callers.
void StopForGood();

// Fork: the child must not inherit a lock held by another thread of the parent, nor a writer
// thread that does not exist in it. Holding both locks over fork() means no line and no switch
// is half done; the child forgets the writer (the parent's thread object is left alone: its
// thread is not ours to join) and the lines still in the ring (the parent writes them) and
// starts its own writer with its first line.
void LockForFork();
void UnlockAfterFork();
void ResetInForkChild();

}  // namespace cpd::logging
