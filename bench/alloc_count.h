// Heap allocation counter of the benchmark executable. The executable defines malloc, calloc,
// realloc and free (exported, so the dlopen'ed plug-in and the framework libraries bind to them)
// and forwards to glibc's allocator; every allocation is counted for the calling thread.
#pragma once

#include <cstdint>

namespace bench {

// Allocations (malloc, calloc, realloc) made by the calling thread so far.
uint64_t ThreadAllocations();

}  // namespace bench
