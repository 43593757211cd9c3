// The framework's log function and the host's controls for where its lines go.
// velmarLogPrint may be called from any thread; each call writes one whole line that never
// interleaves with another. Lines go to standard error until the host redirects them.
#pragma once

#include <cstddef>

#include "cpd/interface/cpd_export.h"

#if defined(__GNUC__)
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

// Host controls; each replaces the previous destination.
CPD_LOG_API void velmarLogToStderr(void);
CPD_LOG_API int velmarLogToFile(const char* path);  // appends; 0 or -1
CPD_LOG_API void velmarLogToSink(VelmarLogSink sink, void* context);
CPD_LOG_API void velmarLogOff(void);
// Makes sure every line written so far has reached its destination.
CPD_LOG_API void velmarLogFlush(void);
}
