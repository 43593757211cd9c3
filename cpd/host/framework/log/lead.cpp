// The parts of a log line's lead that change now and then: the second's date, the thread and level.
#include "cpd/host/framework/log/lead.h"

namespace cpd::logging {

void StampCache::SetSecond(std::time_t seconds) {
    std::tm local{};
    LocalTime(seconds, &local);
    dateLength = std::strftime(date, sizeof(date) - 1, "%Y-%m-%d %H:%M:%S", &local);
    date[dateLength++] = '.';
    second = seconds;
    valid = true;
}

void StampCache::SetMiddle(unsigned long long threadId, int levelNumber) {
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

}  // namespace cpd::logging
