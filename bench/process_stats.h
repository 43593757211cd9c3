// What /proc tells of this process: the ids of its threads and its resident memory.
#pragma once

#include <sys/types.h>

#include <set>

namespace bench {

// Kernel ids of this process's threads now (/proc/self/task).
std::set<pid_t> ThreadIds();
// Resident memory of this process in KiB (/proc/self/statm); 0 when unreadable.
double ResidentKiB();

}  // namespace bench
