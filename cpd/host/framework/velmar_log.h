// The framework's log function and the host's controls for where its lines go.
// velmarLogPrint may be called from any thread; each call makes one whole line that never
// interleaves with another. Lines go to standard error until the host redirects them.
// Standard error and a sink receive each line before velmarLogPrint returns. For a file the
// caller only copies the line's arguments, time and thread id into a preallocated ring (a
// format and its tag are copied once, when first seen, and kept for the life of the process); a
// writer thread the library starts and joins itself formats the lines and writes them in
// batches. The caller never waits for the disk: when the ring is full a Debug
// line is dropped and counted ("N log lines dropped" follows once there is room again). An
// Error line (level 7) is never dropped and is in the file when the call returns. Fork-safe.
#pragma once

#include <cstddef>

#include "cpd/interface/cpd_export.h"

#if defined(__GNUC__) || defined(__clang__)
#define CPD_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define CPD_PRINTF_FORMAT(fmt, args)
#endif

extern "C" {

CPD_LOG_API int velmarLogPrint(int unused, int level, const char* tag, const char* format, ...)
    CPD_PRINTF_FORMAT(4, 5);

// Receives each finished line (without its trailing newline). Called with the log's own lock
// held, so it sees one line at a time; it must not log itself.
typedef void (*VelmarLogSink)(void* context, int level, const char* tag, const char* line,
                              size_t length);

// Host controls; each replaces the previous destination after every line logged to it before
// the call has been written, and ends the file writer thread (so they block while the ring is
// written out). On Windows a host ends the writer this way (velmarLogOff or velmarLogToStderr)
// before it unloads the library; at process exit the lines still in the ring are written.
CPD_LOG_API void velmarLogToStderr(void);
// Appends to `path`. With maxBytes > 0 a file that would grow past maxBytes is rotated first:
// path.N-1 -> path.N ... path -> path.1 (keepFiles of them; 0 keeps none), then a fresh path.
// 0 or -1 (the file cannot be opened, or no memory).
CPD_LOG_API int velmarLogToFile(const char* path, size_t maxBytes, unsigned keepFiles);
CPD_LOG_API void velmarLogToSink(VelmarLogSink sink, void* context);
CPD_LOG_API void velmarLogOff(void);
// Also shows every line to `watch` (null: none), whatever the destination and even while the
// log is off: a host learns from it what the plug-in reports nowhere else. Called like a sink,
// before the destination gets the line; once this returns, the previous watch is not running.
CPD_LOG_API void velmarLogWatch(VelmarLogSink watch, void* context);
// Blocks until every line logged before the call has reached its destination. Also done at exit
// and when the library is unloaded.
CPD_LOG_API void velmarLogFlush(void);
}
