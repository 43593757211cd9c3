// Stand-in for the Visual C++ runtime's eh.h: the terminate handler interface, exported under C
// names by ucrtbase.dll and vcruntime140.dll (MinGW's eh.h declares them as C++ functions).
#pragma once

#ifndef __cplusplus
#error eh.h is only for C++
#endif

#include <vcruntime.h>

extern "C" {
typedef void(__cdecl* terminate_handler)();
typedef void(__cdecl* terminate_function)();
typedef void(__cdecl* unexpected_handler)();
typedef void(__cdecl* unexpected_function)();
struct _EXCEPTION_POINTERS;
typedef void(__cdecl* _se_translator_function)(unsigned int, struct _EXCEPTION_POINTERS*);

__declspec(dllimport) __declspec(noreturn) void __cdecl terminate() noexcept;
__declspec(dllimport) terminate_handler __cdecl set_terminate(terminate_handler handler) noexcept;
__declspec(dllimport) terminate_handler __cdecl _get_terminate();
__declspec(dllimport) _se_translator_function
    __cdecl _set_se_translator(_se_translator_function translator);
__declspec(dllimport) bool __cdecl __uncaught_exception();
__declspec(dllimport) int __cdecl __uncaught_exceptions();
}
