// The locking the libserialport test double uses: pthreads, or on the MSVC runtime (which has
// none) the four calls it needs over Windows' slim locks and condition variables.
#pragma once

#if defined(_MSC_VER)
#define WIN32_LEAN_AND_MEAN
#include <time.h>
#include <windows.h>
typedef SRWLOCK pthread_mutex_t;
typedef CONDITION_VARIABLE pthread_cond_t;
#define PTHREAD_MUTEX_INITIALIZER SRWLOCK_INIT
#define PTHREAD_COND_INITIALIZER CONDITION_VARIABLE_INIT
static inline void pthread_mutex_lock(pthread_mutex_t* m) {
    AcquireSRWLockExclusive(m);
}
static inline void pthread_mutex_unlock(pthread_mutex_t* m) {
    ReleaseSRWLockExclusive(m);
}
static inline void pthread_cond_broadcast(pthread_cond_t* c) {
    WakeAllConditionVariable(c);
}
static inline int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m,
                                         const struct timespec* at) {
    struct timespec now;
    timespec_get(&now, TIME_UTC);
    long long ms = (at->tv_sec - now.tv_sec) * 1000LL + (at->tv_nsec - now.tv_nsec) / 1000000L;
    return SleepConditionVariableSRW(c, m, ms > 0 ? (DWORD)ms : 0, 0) ? 0 : 1;
}
#else
#include <pthread.h>
#endif
