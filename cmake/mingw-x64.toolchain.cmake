# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
#
# The -posix compilers are named on purpose: the win32 thread-model variants lack
# std::thread and std::mutex, and with both installed the unsuffixed names may point at them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CPD_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CPD_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CPD_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CPD_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${CPD_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into each binary: otherwise every DLL and test needs
# libwinpthread-1.dll and friends beside it, and a missing one fails silently under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# A DLL without __declspec(dllexport) markers (the libserialport test double) exports every
# symbol it holds, and ld's automatic exports skip libgcc and libstdc++ but not winpthread:
# re-exported pthread functions would then clash with the static copy in each program.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,libpthread.a:libwinpthread.a")
