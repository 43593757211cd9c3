// This process's threads and resident memory, read from /proc.
#include "bench/process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

std::set<pid_t> ThreadIds() {
    std::set<pid_t> tids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                tids.insert(static_cast<pid_t>(std::atol(entry->d_name)));
            }
        }
        closedir(dir);
    }
    return tids;
}

double ResidentKiB() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024;
}

}  // namespace bench
