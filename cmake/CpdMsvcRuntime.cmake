# The MSVC-ABI cross build's runtime (cmake/msvc-x64.toolchain.cmake), included by
# CpdWindows.cmake: the start-up part every module links statically, and import libraries for
# the DLLs of the Visual C++ 2015-2022 redistributable and the UCRT. Every target defined after
# this file links both. A Visual Studio build brings its own and does not include this file.
set(CPD_MSVC_DIR ${CMAKE_CURRENT_LIST_DIR}/msvc)

# Microsoft's STL at tag vs-2022-17.4, the newest that accepts clang 14. Its headers are
# searched before the toolchain's: MinGW-w64's folder has a yvals.h of its own.
cpd_third_party_sources(CPD_MSVC_STL_DIR msvc_stl https://github.com/microsoft/STL.git
                        af8adfa73b7433d4f902584bc1994c897297e492 stl/inc/yvals_core.h msvc-stl)
string(PREPEND CMAKE_CXX_FLAGS "/imsvc ${CPD_MSVC_STL_DIR}/stl/inc ")

# The import libraries list every export of the DLLs, taken from Wine's builtin copies (which
# export Microsoft's names); a name Windows' DLLs lack fails at link time, not at load time.
set(CPD_MSVC_DLL_SOURCE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
    CACHE PATH "Folder of 64-bit ucrtbase.dll, vcruntime140.dll, msvcp140.dll, kernel32.dll")
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(CPD_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/msvc)
# Sets `out` to the import libraries of the DLLs named after it, each made once.
function(cpd_import_libs out)
    set(libs "")
    foreach(dll ${ARGN})
        set(def ${CMAKE_BINARY_DIR}/msvc/${dll}.def)
        set(lib ${CMAKE_BINARY_DIR}/msvc/${dll}.lib)
        list(APPEND libs ${lib})
        get_property(made GLOBAL PROPERTY cpd_import_lib_${dll})
        if(made)
            continue()
        endif()
        set_property(GLOBAL PROPERTY cpd_import_lib_${dll} ON)
        add_custom_command(OUTPUT ${lib}
                           COMMAND ${Python3_EXECUTABLE} ${CPD_MSVC_DIR}/make_def.py
                                   ${CPD_MSVC_DLL_SOURCE_DIR}/${dll}.dll ${def}
                           COMMAND ${CPD_LLVM_DLLTOOL} -m i386:x86-64 -d ${def} -l ${lib}
                           DEPENDS ${CPD_MSVC_DIR}/make_def.py ${CPD_MSVC_DLL_SOURCE_DIR}/${dll}.dll
                           COMMENT "Import library for ${dll}.dll")
    endforeach()
    set(${out} ${libs} PARENT_SCOPE)
endfunction()
cpd_import_libs(CPD_MSVC_IMPORT_LIBS vcruntime140 msvcp140 ucrtbase kernel32)
# System DLLs only cpd-host uses (Winsock, the system's random numbers, file security), and
# those libserialport uses (device tree, registry).
cpd_import_libs(CPD_WIN_SYSTEM_LIBS ws2_32 bcrypt advapi32)
cpd_import_libs(CPD_SERIALPORT_SYSTEM_LIBS setupapi advapi32)
add_custom_target(cpd_msvc_import_libs DEPENDS ${CPD_MSVC_IMPORT_LIBS} ${CPD_WIN_SYSTEM_LIBS}
                                               ${CPD_SERIALPORT_SYSTEM_LIBS})

# /GS-: the start-up code sets the stack cookie, so its own frames must not check it.
add_library(cpd_msvc_runtime STATIC ${CPD_MSVC_DIR}/runtime/startup.cpp
                                    ${CPD_MSVC_DIR}/runtime/thread_support.cpp
                                    ${CPD_MSVC_DIR}/runtime/type_info_names.cpp
                                    ${CPD_MSVC_DIR}/runtime/heap_and_stdio.cpp
                                    ${CPD_MSVC_DIR}/runtime/wide_memory.cpp
                                    ${CPD_MSVC_DIR}/runtime/exe_entry.cpp)
target_compile_options(cpd_msvc_runtime PRIVATE /GS- /W4 /WX)
add_dependencies(cpd_msvc_runtime cpd_msvc_import_libs)

# POSIX names that MSVC's oldnames.lib maps to the UCRT's underscored functions.
set(oldnames "")
foreach(name access close creat dup dup2 fdopen fileno isatty lseek open read strdup unlink write)
    string(APPEND oldnames " /alternatename:${name}=_${name}")
endforeach()
string(APPEND CMAKE_EXE_LINKER_FLAGS "${oldnames}")
string(APPEND CMAKE_SHARED_LINKER_FLAGS "${oldnames}")

link_libraries(cpd_msvc_runtime ${CPD_MSVC_IMPORT_LIBS})
