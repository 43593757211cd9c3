// The lead of a log line, from the caller's or the drainer's cache of its date, thread and level.
#include "cpd/host/framework/log/lead.h"

#include <algorithm>
#include <cstring>

#include "cpd/host/framework/log/line_out.h"

namespace cpd::logging {

void StampCache::Update(std::time_t seconds, unsigned long long threadId, int levelNumber) {
    if (!valid || second != seconds) {
        std::tm local{};
        LocalTime(seconds, &local);
        dateLength = std::strftime(date, sizeof(date) - 1, "%Y-%m-%d %H:%M:%S", &local);
        date[dateLength++] = '.';
        second = seconds;
        valid = true;
    }
    if (middleLength != 0 && tid == threadId && level == levelNumber) {
        return;
    }
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
    middle[n + 2] = levelNumber == kDebugLevel   ? 'D'
                    : levelNumber == kErrorLevel ? 'E'
                                                 : static_cast<char>('0' + (levelNumber % 10));
    middle[n + 3] = ' ';
    middleLength = n + 4;
    tid = threadId;
    level = levelNumber;
}

template <typename Out>
void PutLead(Out& line, StampCache& stamps, const Stamp& stamp, int level, const char* tag,
             size_t tagLength) {
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

template void PutLead(LineOut&, StampCache&, const Stamp&, int, const char*, size_t);
template void PutLead(RawOut&, StampCache&, const Stamp&, int, const char*, size_t);

}  // namespace cpd::logging
