# Windows build settings, included by the top-level CMakeLists.txt before the libraries.
#
# Every executable and DLL lands in one folder: Windows looks for a program's DLLs beside it,
# so the tests find cpd_utils, cpd_log, the plug-in and the libserialport stand-in there.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(CPD_MSVC_ABI_CROSS)
    include(${CMAKE_CURRENT_LIST_DIR}/CpdMsvcRuntime.cmake)
endif()

# The port library's DLL as the plug-in imports it: libserialport.dll from the library's own
# Visual Studio project (and so vcpkg's x64-windows), libserialport-0.dll from MSYS2.
set(CPD_SERIALPORT_DLL_NAME libserialport.dll CACHE STRING "DLL name of libserialport")

# libserialport: a Windows build of the library (vcpkg's x64-windows libserialport in a Visual
# Studio build) is used when one is found; in a cross build without one, the plug-in
# links an import library for CPD_SERIALPORT_DLL_NAME made from the names it calls.
find_path(CPD_WIN_SERIALPORT_INCLUDE_DIR libserialport.h)
find_library(CPD_WIN_SERIALPORT_LIBRARY NAMES serialport libserialport)

if(CPD_WIN_SERIALPORT_INCLUDE_DIR AND CPD_WIN_SERIALPORT_LIBRARY)
    add_library(cpd_win_serialport UNKNOWN IMPORTED)
    set_target_properties(cpd_win_serialport PROPERTIES
        IMPORTED_LOCATION ${CPD_WIN_SERIALPORT_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${CPD_WIN_SERIALPORT_INCLUDE_DIR})
    message(STATUS "libserialport for Windows: ${CPD_WIN_SERIALPORT_LIBRARY}")
else()
    # The library's header is plain portable C, so the build machine's copy serves. It is
    # copied alone: the folder it sits in holds the build machine's C library headers.
    find_file(CPD_HOST_SERIALPORT_HEADER libserialport.h PATHS /usr/include /usr/local/include
              NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    set(header_dir ${CMAKE_BINARY_DIR}/serialport/include)
    configure_file(${CPD_HOST_SERIALPORT_HEADER} ${header_dir}/libserialport.h COPYONLY)

    find_program(CPD_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
    set(def_file ${PROJECT_SOURCE_DIR}/cpd/driver/local/serial/libserialport.def)
    set(import_lib ${CMAKE_BINARY_DIR}/serialport/${CPD_SERIALPORT_DLL_NAME}.lib)
    add_custom_command(OUTPUT ${import_lib}
                       COMMAND ${CPD_LLVM_DLLTOOL} -m i386:x86-64 -d ${def_file}
                               -D ${CPD_SERIALPORT_DLL_NAME} -l ${import_lib}
                       DEPENDS ${def_file}
                       COMMENT "Import library for ${CPD_SERIALPORT_DLL_NAME}")
    add_custom_target(cpd_win_serialport_implib DEPENDS ${import_lib})

    add_library(cpd_win_serialport STATIC IMPORTED)
    set_target_properties(cpd_win_serialport PROPERTIES
        IMPORTED_LOCATION ${import_lib}
        INTERFACE_INCLUDE_DIRECTORIES ${header_dir})
    add_dependencies(cpd_win_serialport cpd_win_serialport_implib)
    # The test double is built against the same header.
    set(SPD_LIBSERIALPORT_INCLUDE_DIR ${header_dir} CACHE PATH "libserialport.h for the double")
    message(STATUS "libserialport for Windows: import library from ${def_file}")
endif()

set(CPD_WIN_SERIALPORT_LIB cpd_win_serialport)
if(NOT DEFINED CPD_WIN_SYSTEM_LIBS)
    set(CPD_WIN_SYSTEM_LIBS ws2_32 bcrypt advapi32)
endif()
