# Cross-build for 64-bit Windows in the MSVC ABI on Debian: clang-cl and lld-link from LLVM 14,
# Microsoft's STL headers (cmake/CpdMsvcRuntime.cmake finds them), MinGW-w64's Windows and
# UCRT-style C headers, and the project's own stand-ins for the Visual C++ runtime's headers and
# start-up code (cmake/msvc). Binaries import ucrtbase.dll, vcruntime140.dll and msvcp140.dll,
# as a Visual Studio 2022 build with /MD does, and run on Windows 10/11 or under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER clang-cl-14)
set(CMAKE_CXX_COMPILER clang-cl-14)
set(CMAKE_LINKER lld-link-14)
set(CMAKE_AR llvm-lib-14)
set(CMAKE_RC_COMPILER llvm-rc-14)
set(CMAKE_MT llvm-mt-14)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CPD_MSVC_ABI_CROSS ON)

# Nothing can be linked before the project has built its runtime stand-in.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CPD_MSVC_SYSROOT /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH ${CPD_MSVC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# /Zl: objects name no default libraries (there is no msvcrt.lib here; cmake/msvc provides the
# import libraries and the start-up part). _USE_STD_VECTOR_ALGORITHMS=0: the STL's vectorised
# algorithms live in a separately built object that needs a newer compiler; the plain loops
# are used instead. -fms-compatibility-version: the compiler version the STL checks for.
set(_cpd_msvc_flags
    "-fms-compatibility-version=19.34 /Zc:__cplusplus /Zl /EHsc -D_UCRT -D_USE_STD_VECTOR_ALGORITHMS=0"
    "/imsvc ${CMAKE_CURRENT_LIST_DIR}/msvc/include"
    "/imsvc ${CPD_MSVC_SYSROOT}/include")
string(JOIN " " _cpd_msvc_flags ${_cpd_msvc_flags})
set(CMAKE_C_FLAGS_INIT "${_cpd_msvc_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_cpd_msvc_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "/nodefaultlib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "/nodefaultlib")
# The release runtime in every configuration: the debug one (msvcp140d.dll, ...) is not
# redistributable and has no stand-in here.
set(CMAKE_MSVC_RUNTIME_LIBRARY MultiThreadedDLL)
# Windows' import libraries (kernel32.lib, ...) are not at hand; cmake/CpdMsvcRuntime.cmake
# makes the ones needed.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every C module")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every C++ module")
