# libserialport.dll for the MSVC-ABI cross build, included by CpdWindows.cmake after the runtime:
# the 0.1.2 release (LGPL-3.0-or-later), unmodified, built as its own Visual Studio project
# builds it. 0.1.1 would not do: its Windows reads fail on every port without modem lines.
cpd_third_party_sources(CPD_SERIALPORT_SOURCE_DIR libserialport
                        https://github.com/sigrokproject/libserialport.git
                        21b3dfe5f68c205be4086469335fd2fc2ce11ed2 windows.c libserialport)

# The release's version is in configure.ac (its libserialport.h still says 0.1.1).
set(CPD_SERIALPORT_VERSION "")
foreach(part major minor micro)
    file(STRINGS ${CPD_SERIALPORT_SOURCE_DIR}/configure.ac line
         REGEX "^m4_define\\(\\[sp_package_version_${part}\\]")
    string(REGEX MATCH "([0-9]+)\\]\\)$" line "${line}")
    list(APPEND CPD_SERIALPORT_VERSION ${CMAKE_MATCH_1})
endforeach()
list(JOIN CPD_SERIALPORT_VERSION . CPD_SERIALPORT_VERSION)
if(CPD_SERIALPORT_VERSION VERSION_LESS 0.1.2)
    message(FATAL_ERROR "libserialport ${CPD_SERIALPORT_VERSION} in ${CPD_SERIALPORT_SOURCE_DIR}:"
                        " 0.1.2 or later is needed (0.1.1's Windows reads fail on every port"
                        " without modem lines)")
endif()

set(CPD_SERIALPORT_DLL_SOURCES serialport.c windows.c timing.c)
list(TRANSFORM CPD_SERIALPORT_DLL_SOURCES PREPEND ${CPD_SERIALPORT_SOURCE_DIR}/)

# Adds the DLL <target>, named CPD_SERIALPORT_DLL_NAME, in <folder>. Extra arguments are more
# sources (a test build's stand-ins).
function(cpd_serialport_dll target folder)
    add_library(${target} SHARED ${CPD_SERIALPORT_DLL_SOURCES} ${ARGN})
    string(REGEX REPLACE "\\.dll$" "" name ${CPD_SERIALPORT_DLL_NAME})
    # The defines of its Visual Studio project (Release|x64) and its warning level.
    target_compile_definitions(${target} PRIVATE LIBSERIALPORT_MSBUILD NDEBUG UNICODE _UNICODE)
    target_compile_options(${target} PRIVATE /W3)
    target_include_directories(${target} PUBLIC ${CPD_SERIALPORT_SOURCE_DIR})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} PREFIX ""
                                               RUNTIME_OUTPUT_DIRECTORY ${folder}
                                               ARCHIVE_OUTPUT_DIRECTORY ${folder})
    # Its own link line: C needs no vcruntime140 or msvcp140 (ucrtbase has the mem* and str*
    # functions too). advapi32 before kernel32: Wine's kernel32 exports the registry
    # functions as well, Windows' advapi32 is where they live.
    cpd_import_libs(c_runtime ucrtbase kernel32)
    set_property(TARGET ${target} PROPERTY LINK_LIBRARIES
                 cpd_msvc_runtime ${CPD_SERIALPORT_SYSTEM_LIBS} ${c_runtime})
endfunction()

# The DLL the plug-in and cpd-host link and the bundle ships. Its folder is not bin/: there the
# tests put the libserialport double under the same name.
cpd_serialport_dll(cpd_win_serialport ${CMAKE_BINARY_DIR}/serialport)
