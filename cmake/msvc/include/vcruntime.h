// Stand-in for the Visual C++ runtime's vcruntime.h: the macros and declarations Microsoft's STL
// and the UCRT headers expect from it. Types and C runtime declarations come from MinGW-w64's
// UCRT headers; only what MSVC's own headers add is defined here.
#pragma once
#define _VCRUNTIME_H

#include <corecrt.h>
#include <sal.h>
#include <vadefs.h>

// SAL annotations the STL uses beyond those MinGW's sal.h knows; they only inform analysers.
#ifndef _Deref_post_opt_valid_
#define _Deref_post_opt_valid_
#endif

#ifndef _CRT_PACKING
#define _CRT_PACKING 8
#endif
#pragma pack(push, _CRT_PACKING)

#define _CRT_STRINGIZE_(x) #x
#define _CRT_STRINGIZE(x) _CRT_STRINGIZE_(x)
#define _CRT_WIDE_(s) L##s
#define _CRT_WIDE(s) _CRT_WIDE_(s)
#define _CRT_CONCATENATE_(a, b) a##b
#define _CRT_CONCATENATE(a, b) _CRT_CONCATENATE_(a, b)
#define _CRT_UNPARENTHESIZE_(...) __VA_ARGS__
#define _CRT_UNPARENTHESIZE(...) _CRT_UNPARENTHESIZE_ __VA_ARGS__

#ifdef __cplusplus
#define _CRT_BEGIN_C_HEADER __pragma(pack(push, _CRT_PACKING)) extern "C" {
#define _CRT_END_C_HEADER \
    }                     \
    __pragma(pack(pop))
#else
#define _CRT_BEGIN_C_HEADER __pragma(pack(push, _CRT_PACKING))
#define _CRT_END_C_HEADER __pragma(pack(pop))
#endif

#define _VCRTIMP __declspec(dllimport)
#ifndef _ACRTIMP
#define _ACRTIMP __declspec(dllimport)
#endif
#define __CLR_OR_THIS_CALL
#define __CLRCALL_OR_CDECL __cdecl
#define __CLRCALL_PURE_OR_CDECL __cdecl
#define __CRTDECL __cdecl
#define _VCRT_NOALIAS __declspec(noalias)
#define _VCRT_RESTRICT __declspec(restrict)
#define _VCRT_ALLOCATOR __declspec(allocator)
#define _CRT_GUARDOVERFLOW
// The STL's optional parts live in satellite DLLs beside msvcp140.dll.
#define _CRT_SATELLITE_1 __declspec(dllimport)
#define _CRT_SATELLITE_2 __declspec(dllimport)
#define _CRT_SATELLITE_CODECVT_IDS __declspec(dllimport)
#define _CRT_SATELLITE_CODECVT_IDS_NOIMPORT
#define _CRT_SECURE_INVALID_PARAMETER(expr) ::_invalid_parameter_noinfo_noreturn()
#define _CRT_HYBRIDPATCHABLE
#define _VCRUNTIME_DISABLED_WARNINGS
#define _CRT_DEPRECATE_TEXT(text) __declspec(deprecated(text))
#ifndef _CRT_INSECURE_DEPRECATE
#define _CRT_INSECURE_DEPRECATE(replacement)
#endif

#ifndef _HAS_EXCEPTIONS
#define _HAS_EXCEPTIONS 1
#endif
#ifndef _HAS_NODISCARD
#define _HAS_NODISCARD 1
#endif
#if _HAS_NODISCARD
#define _NODISCARD [[nodiscard]]
#else
#define _NODISCARD
#endif

// The language level the STL builds for, from /std:c++NN (clang-cl sets _MSVC_LANG).
#ifdef __cplusplus
#ifndef _HAS_CXX17
#define _HAS_CXX17 (_MSVC_LANG > 201402L)
#endif
#ifndef _HAS_CXX20
#define _HAS_CXX20 (_HAS_CXX17 && _MSVC_LANG > 201703L)
#endif
#ifndef _HAS_CXX23
#define _HAS_CXX23 (_HAS_CXX20 && _MSVC_LANG > 202002L)
#endif
#else
#define _HAS_CXX17 0
#define _HAS_CXX20 0
#define _HAS_CXX23 0
#endif

#ifndef _countof
#ifdef __cplusplus
extern "C++" template <typename T, size_t N>
char (*__countof_helper(T (&)[N]))[N];
#define _countof(a) (sizeof(*__countof_helper(a)) + 0)
#else
#define _countof(a) (sizeof(a) / sizeof((a)[0]))
#endif
#endif

_CRT_BEGIN_C_HEADER
typedef bool __vcrt_bool;
__declspec(dllimport) __declspec(noreturn) void __cdecl _invalid_parameter_noinfo_noreturn(void);
extern uintptr_t __security_cookie;
void __cdecl __security_init_cookie(void);
void __cdecl __security_check_cookie(uintptr_t cookie);
__declspec(noreturn) void __cdecl __report_gsfailure(uintptr_t cookie);
_CRT_END_C_HEADER

#pragma pack(pop)

// The STL names the UCRT's conversion state _Mbstatet, which MinGW declares in wchar.h.
#include <wchar.h>
