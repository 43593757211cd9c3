// Wrapper around MinGW-w64's _mingw.h for clang-cl. Seeing _MSC_VER without __GNUC__, MinGW's
// header defines __attribute__ away and picks __declspec spellings that clang rejects where
// MinGW's headers put them (after a declarator). clang-cl understands the GNU spellings, so they
// are given back here.
#pragma once
// setjmp as MSVC declares it: one argument (the two-argument form is MinGW's own).
#define USE_NO_MINGW_SETJMP_TWO_ARGS 1
#include_next <_mingw.h>

#undef __attribute__
#undef __MINGW_IMPORT
#define __MINGW_IMPORT extern __attribute__((__dllimport__))
#undef __MINGW_ATTRIB_NORETURN
#define __MINGW_ATTRIB_NORETURN __attribute__((__noreturn__))
#undef __MINGW_ATTRIB_CONST
#define __MINGW_ATTRIB_CONST __attribute__((__const__))
#undef __MINGW_ATTRIB_DEPRECATED
#define __MINGW_ATTRIB_DEPRECATED __attribute__((__deprecated__))
#undef __MINGW_NOTHROW
#define __MINGW_NOTHROW __attribute__((__nothrow__))
