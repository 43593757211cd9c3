// The lead of every log line: "2026-12-05 17:49:19.123 <tid> D <tag>: ", from a per-thread cache.
#pragma once

#include <cstddef>
#include <ctime>

#include "cpd/host/framework/log/platform.h"

namespace cpd::logging {

constexpr int kDebugLevel = 5;
constexpr int kErrorLevel = 7;
constexpr size_t kMaxLead = 1023;  // a longer tag is cut

// The parts of the lead that repeat from line to line, worked out again only when they change:
// the text of one second of local time, and the thread id with the level letter. Zero
// initialised it is empty; each thread that makes leads keeps its own.
struct StampCache {
    bool valid;
    std::time_t second;
    char date[32];  // "2026-12-05 17:49:19."
    size_t dateLength;
    unsigned long long tid;
    int level;
    char middle[32];  // " <tid> D "; empty until first used
    size_t middleLength;

    void Update(std::time_t seconds, unsigned long long threadId, int levelNumber);
};

// Appends the lead, its tag cut so that the lead stays within kMaxLead characters. `Out` is
// LineOut or RawOut (line_out.h).
template <typename Out>
void PutLead(Out& line, StampCache& stamps, const Stamp& stamp, int level, const char* tag,
             size_t tagLength);

}  // namespace cpd::logging
