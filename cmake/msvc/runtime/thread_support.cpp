// Thread support of the start-up part: the image's TLS directory (thread_local storage and the
// callbacks the loader runs for each thread), dynamic thread_local initialisers and destructors,
// and thread-safe initialisation of function-local statics.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#include <cstdlib>

extern "C" {

// --- TLS directory --------------------------------------------------------------------------
// The linker collects every module's thread_local data into .tls$*, sorted by name, between
// _tls_start and _tls_end; the loader copies that template for each thread and stores the
// module's slot in _tls_index. lld-link points the image's TLS entry at _tls_used.
ULONG _tls_index = 0;
#pragma section(".tls", long, read, write)
#pragma section(".tls$ZZZ", long, read, write)
__declspec(allocate(".tls")) char _tls_start = 0;
__declspec(allocate(".tls$ZZZ")) char _tls_end = 0;

// Callbacks the loader runs on every thread start and end: .CRT$XLA < .CRT$XL? < .CRT$XLZ.
#pragma section(".CRT$XLA", long, read)
#pragma section(".CRT$XLC", long, read)
#pragma section(".CRT$XLD", long, read)
#pragma section(".CRT$XLZ", long, read)
__declspec(allocate(".CRT$XLA")) PIMAGE_TLS_CALLBACK __xl_a = nullptr;
__declspec(allocate(".CRT$XLZ")) PIMAGE_TLS_CALLBACK __xl_z = nullptr;

extern const IMAGE_TLS_DIRECTORY64 _tls_used = {reinterpret_cast<ULONGLONG>(&_tls_start),
                                                reinterpret_cast<ULONGLONG>(&_tls_end),
                                                reinterpret_cast<ULONGLONG>(&_tls_index),
                                                reinterpret_cast<ULONGLONG>(&__xl_a + 1),
                                                0,
                                                0};

// --- Dynamic thread_local initialisers and destructors -----------------------------------
// The compiler puts each dynamic thread_local initialiser in .CRT$XDU. Before a thread first
// touches such a variable it tests the thread's __tls_guard and calls __dyn_tls_on_demand_init
// while that is 0, so threads that were running before a DLL was loaded are served too. Each
// thread_local destructor is registered with __tlregdtor once its variable is initialised and
// runs when the thread (or the module) ends.
typedef void(__cdecl* _PVFV)(void);
#pragma section(".CRT$XDA", long, read)
#pragma section(".CRT$XDZ", long, read)
__declspec(allocate(".CRT$XDA")) _PVFV __xd_a = nullptr;
__declspec(allocate(".CRT$XDZ")) _PVFV __xd_z = nullptr;

thread_local char __tls_guard = 0;

struct TlsDestructor {
    _PVFV function;
    TlsDestructor* next;
};
static thread_local TlsDestructor* tDestructors = nullptr;

static void RunThreadDestructors() {
    while (tDestructors != nullptr) {
        TlsDestructor* entry = tDestructors;
        tDestructors = entry->next;
        entry->function();
        std::free(entry);
    }
}

int __cdecl __tlregdtor(_PVFV function) {
    auto* entry = static_cast<TlsDestructor*>(std::malloc(sizeof(TlsDestructor)));
    if (entry == nullptr) {
        return -1;
    }
    entry->function = function;
    entry->next = tDestructors;
    tDestructors = entry;
    return 0;
}

void NTAPI __dyn_tls_init(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_THREAD_ATTACH || __tls_guard != 0) {
        return;
    }
    __tls_guard = 1;
    for (_PVFV* init = &__xd_a + 1; init < &__xd_z; ++init) {
        if (*init != nullptr) {
            (*init)();
        }
    }
}

void __cdecl __dyn_tls_on_demand_init() noexcept {
    __dyn_tls_init(nullptr, DLL_THREAD_ATTACH, nullptr);
}

static void NTAPI __dyn_tls_dtor(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_DETACH || reason == DLL_PROCESS_DETACH) {
        RunThreadDestructors();
    }
}
__declspec(allocate(".CRT$XLC")) PIMAGE_TLS_CALLBACK __cpd_tls_init_callback = &__dyn_tls_init;
__declspec(allocate(".CRT$XLD")) PIMAGE_TLS_CALLBACK __cpd_tls_dtor_callback = &__dyn_tls_dtor;

// --- Thread-safe statics ----------------------------------------------------------------
// A function-local static's guard is 0 before initialisation, -1 while a thread runs its
// initialiser, and afterwards the epoch at which it finished. The compiler calls
// _Init_thread_header only when the guard is newer than the calling thread's epoch, so a
// thread that has seen an epoch skips the lock for every static finished before it.
int _Init_global_epoch = INT_MIN;
thread_local int _Init_thread_epoch = INT_MIN;

static SRWLOCK gStaticsLock = SRWLOCK_INIT;
static CONDITION_VARIABLE gStaticsDone = CONDITION_VARIABLE_INIT;

void __cdecl _Init_thread_header(int* guard) noexcept {
    AcquireSRWLockExclusive(&gStaticsLock);
    while (*guard == -1) {
        SleepConditionVariableSRW(&gStaticsDone, &gStaticsLock, INFINITE, 0);
    }
    if (*guard == 0) {
        // Not yet initialised, or the initialiser threw in another thread: this thread runs it
        // (the compiler sees -1 and calls the initialiser).
        *guard = -1;
    } else {
        _Init_thread_epoch = _Init_global_epoch;
    }
    ReleaseSRWLockExclusive(&gStaticsLock);
}

void __cdecl _Init_thread_footer(int* guard) noexcept {
    AcquireSRWLockExclusive(&gStaticsLock);
    ++_Init_global_epoch;
    *guard = _Init_global_epoch;
    _Init_thread_epoch = _Init_global_epoch;
    ReleaseSRWLockExclusive(&gStaticsLock);
    WakeAllConditionVariable(&gStaticsDone);
}

// The initialiser threw: the next caller tries again.
void __cdecl _Init_thread_abort(int* guard) noexcept {
    AcquireSRWLockExclusive(&gStaticsLock);
    *guard = 0;
    ReleaseSRWLockExclusive(&gStaticsLock);
    WakeAllConditionVariable(&gStaticsDone);
}

}  // extern "C"
