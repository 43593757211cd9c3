// The benchmark's malloc, calloc, realloc and free: glibc's, counted per thread.
#include "bench/alloc_count.h"

#include <cstddef>

// glibc's own entry points; the definitions below replace the public names for the whole
// process and must not recurse into themselves.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
}

namespace {

// Per thread, so counting costs no shared cache line and each path can be read on its own
// thread. Initial-exec TLS of the executable: reading it never allocates.
thread_local uint64_t tAllocations = 0;

}  // namespace

namespace bench {

uint64_t ThreadAllocations() {
    return tAllocations;
}

}  // namespace bench

#define BENCH_EXPORT __attribute__((visibility("default")))

extern "C" {

BENCH_EXPORT void* malloc(size_t size) {
    ++tAllocations;
    return __libc_malloc(size);
}

BENCH_EXPORT void* calloc(size_t count, size_t size) {
    ++tAllocations;
    return __libc_calloc(count, size);
}

BENCH_EXPORT void* realloc(void* pointer, size_t size) {
    ++tAllocations;
    return __libc_realloc(pointer, size);
}

BENCH_EXPORT void free(void* pointer) {
    __libc_free(pointer);
}

}  // extern "C"
