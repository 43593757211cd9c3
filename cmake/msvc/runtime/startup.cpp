// Start-up part of the runtime that Microsoft's toolset links statically into every module
// (msvcrt.lib, vcruntime.lib, msvcprt.lib), rewritten for this build from the documented
// behaviour, for clang-cl (it uses GNU inline assembly). The C and C++ runtimes themselves are the
// system's ucrtbase.dll, vcruntime140.dll and msvcp140.dll. Each module (DLL or EXE) links its
// own copy of this library.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <isa_availability.h>
#include <cstdint>
#include <cstdlib>
#include <typeinfo>
#include <xfacet>

extern "C" {

// --- Initialiser tables --------------------------------------------------------------------
// The compiler puts a pointer to each C initialiser in .CRT$XIU and to each C++ dynamic
// initialiser in .CRT$XCU; the linker sorts the sections by name, so the runs between the
// A and Z markers below are each module's tables.
typedef void(__cdecl* _PVFV)(void);
typedef int(__cdecl* _PIFV)(void);
#pragma section(".CRT$XIA", long, read)
#pragma section(".CRT$XIZ", long, read)
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
__declspec(allocate(".CRT$XIA")) _PIFV __xi_a[] = {nullptr};
__declspec(allocate(".CRT$XIZ")) _PIFV __xi_z[] = {nullptr};
__declspec(allocate(".CRT$XCA")) _PVFV __xc_a[] = {nullptr};
__declspec(allocate(".CRT$XCZ")) _PVFV __xc_z[] = {nullptr};

__declspec(dllimport) void __cdecl _initterm(_PVFV* first, _PVFV* last);
__declspec(dllimport) int __cdecl _initterm_e(_PIFV* first, _PIFV* last);

// --- atexit ---------------------------------------------------------------------------------
// A DLL keeps its own table, run when it is unloaded (its static destructors must not outlive
// its code); an EXE registers with the process's table, run by exit().
typedef int(__cdecl* _onexit_t)(void);
struct _onexit_table_t {
    _PVFV* _first;
    _PVFV* _last;
    _PVFV* _end;
};
__declspec(dllimport) int __cdecl _initialize_onexit_table(_onexit_table_t* table);
__declspec(dllimport) int __cdecl _register_onexit_function(_onexit_table_t* table,
                                                            _onexit_t function);
__declspec(dllimport) int __cdecl _execute_onexit_table(_onexit_table_t* table);
__declspec(dllimport) int __cdecl _crt_atexit(_PVFV function);

static _onexit_table_t gModuleAtExit;
static bool gIsDll = false;

_onexit_t __cdecl _onexit(_onexit_t function) {
    if (gIsDll) {
        return _register_onexit_function(&gModuleAtExit, function) == 0 ? function : nullptr;
    }
    return _crt_atexit(reinterpret_cast<_PVFV>(function)) == 0 ? function : nullptr;
}

int __cdecl atexit(_PVFV function) {
    return _onexit(reinterpret_cast<_onexit_t>(function)) != nullptr ? 0 : -1;
}

// --- Stack protection (/GS) -----------------------------------------------------------------
// The default value is replaced at start-up by one mixed from time, ids and counters.
uintptr_t __security_cookie = 0x00002B992DDFA232ull;
uintptr_t __security_cookie_complement = ~0x00002B992DDFA232ull;

void __cdecl __security_init_cookie(void) {
    FILETIME time{};
    GetSystemTimeAsFileTime(&time);
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    uintptr_t cookie = (static_cast<uintptr_t>(time.dwHighDateTime) << 32) ^ time.dwLowDateTime;
    cookie ^= static_cast<uintptr_t>(GetCurrentThreadId());
    cookie ^= static_cast<uintptr_t>(GetCurrentProcessId()) << 16;
    cookie ^=
        static_cast<uintptr_t>(counter.QuadPart) << 32 ^ static_cast<uintptr_t>(counter.QuadPart);
    cookie ^= reinterpret_cast<uintptr_t>(&cookie);
    cookie &= 0x0000FFFFFFFFFFFFull;  // the top bits stay zero, as MSVC's cookie
    if (cookie == 0x00002B992DDFA232ull) {
        ++cookie;
    }
    __security_cookie = cookie;
    __security_cookie_complement = ~cookie;
}

__declspec(noreturn) void __cdecl __report_gsfailure(uintptr_t) {
    __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

void __cdecl __security_check_cookie(uintptr_t cookie) {
    if (cookie != __security_cookie) {
        __report_gsfailure(cookie);
    }
}

// --- Small items the compiler refers to ------------------------------------------------------
int _fltused = 0x9875;  // any floating-point use refers to it
// The STL picks its bit-scan and pop-count code by this; x86-64 always has SSE2.
int __isa_available = __ISA_AVAILABLE_SSE2;

// __chkstk: called with the frame size in RAX before a frame of a page or more is allocated;
// touches each page from the current stack pointer down so the guard page moves in order.
// Every register but R10, R11 and the flags is preserved.
__asm__(
    ".text\n"
    ".globl __chkstk\n"
    "__chkstk:\n"
    "    push %rcx\n"
    "    push %rax\n"
    "    cmp $0x1000, %rax\n"
    "    lea 24(%rsp), %rcx\n"
    "    jb 2f\n"
    "1:  sub $0x1000, %rcx\n"
    "    test %rcx, (%rcx)\n"
    "    sub $0x1000, %rax\n"
    "    cmp $0x1000, %rax\n"
    "    ja 1b\n"
    "2:  sub %rax, %rcx\n"
    "    test %rcx, (%rcx)\n"
    "    pop %rax\n"
    "    pop %rcx\n"
    "    ret\n");

// --- type_info ------------------------------------------------------------------------------
// Every RTTI descriptor starts with a pointer to type_info's vftable; its one slot is the
// deleting destructor, which nothing calls (descriptors are never deleted). The cache of
// type_info::name() is in type_info_names.cpp.
static void* __cdecl TypeInfoDeletingDestructor(void* self, unsigned) {
    return self;
}
extern const void* const TypeInfoVftable[1] __asm__("??_7type_info@@6B@");
const void* const TypeInfoVftable[1] = {reinterpret_cast<const void*>(&TypeInfoDeletingDestructor)};

}  // extern "C"

type_info::~type_info() noexcept {}

// --- Locale facets --------------------------------------------------------------------------
// The STL hands each facet it creates for the classic locale here; they are released when the
// module's atexit table runs.
namespace {
struct FacetNode {
    std::_Facet_base* facet;
    FacetNode* next;
};
FacetNode* gFacets = nullptr;  // under gFacetLock
SRWLOCK gFacetLock = SRWLOCK_INIT;

void __cdecl ReleaseFacets() {
    AcquireSRWLockExclusive(&gFacetLock);
    FacetNode* node = gFacets;
    gFacets = nullptr;
    ReleaseSRWLockExclusive(&gFacetLock);
    while (node != nullptr) {
        FacetNode* next = node->next;
        delete node->facet->_Decref();
        std::free(node);
        node = next;
    }
}
}  // namespace

void __cdecl std::_Facet_Register(std::_Facet_base* facet) {
    auto* node = static_cast<FacetNode*>(std::malloc(sizeof(FacetNode)));
    if (node == nullptr) {
        return;  // the facet then lives as long as the process
    }
    AcquireSRWLockExclusive(&gFacetLock);
    if (gFacets == nullptr) {
        atexit(&ReleaseFacets);
    }
    node->facet = facet;
    node->next = gFacets;
    gFacets = node;
    ReleaseSRWLockExclusive(&gFacetLock);
}

// --- Entry points ---------------------------------------------------------------------------
extern "C" {

// Start of every module: the cookie, then the C and C++ initialisers. False when one fails.
bool __cpd_start_module(bool isDll) {
    gIsDll = isDll;
    __security_init_cookie();
    if (gIsDll && _initialize_onexit_table(&gModuleAtExit) != 0) {
        return false;
    }
    if (_initterm_e(__xi_a, __xi_z) != 0) {
        return false;
    }
    _initterm(__xc_a, __xc_z);
    return true;
}

// A DLL without a DllMain of its own gets this one (MSVC's runtime does the same).
BOOL WINAPI __cpd_default_dllmain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
#pragma comment(linker, "/alternatename:DllMain=__cpd_default_dllmain")
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

BOOL WINAPI _DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        if (!__cpd_start_module(true)) {
            return FALSE;
        }
        if (!DllMain(instance, reason, reserved)) {
            _execute_onexit_table(&gModuleAtExit);
            return FALSE;
        }
        return TRUE;
    }
    const BOOL result = DllMain(instance, reason, reserved);
    if (reason == DLL_PROCESS_DETACH) {
        // Static destructors. This runs under the loader lock: nothing registered here may
        // wait for another thread.
        _execute_onexit_table(&gModuleAtExit);
    }
    return result;
}

}  // extern "C"
