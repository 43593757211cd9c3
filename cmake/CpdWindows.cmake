# Windows build settings, included by the top-level CMakeLists.txt before the libraries.
#
# Every executable and DLL lands in one folder: Windows looks for a program's DLLs beside it,
# so the tests find cpd_utils, cpd_log, the plug-in and the libserialport stand-in there.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The port library's DLL as the plug-in imports it: libserialport.dll from the library's own
# Visual Studio project (and so vcpkg's x64-windows), libserialport-0.dll from MSYS2.
set(CPD_SERIALPORT_DLL_NAME libserialport.dll CACHE STRING "DLL name of libserialport")

if(CPD_MSVC_ABI_CROSS)
    include(${CMAKE_CURRENT_LIST_DIR}/CpdThirdParty.cmake)
    include(${CMAKE_CURRENT_LIST_DIR}/CpdMsvcRuntime.cmake)
    # Builds libserialport.dll from its sources; cpd_win_serialport is that DLL.
    include(${CMAKE_CURRENT_LIST_DIR}/CpdSerialportDll.cmake)
else()
    # A Visual Studio build uses vcpkg's x64-windows libserialport.
    find_path(CPD_WIN_SERIALPORT_INCLUDE_DIR libserialport.h REQUIRED)
    find_library(CPD_WIN_SERIALPORT_LIBRARY NAMES serialport libserialport REQUIRED)
    add_library(cpd_win_serialport UNKNOWN IMPORTED)
    set_target_properties(cpd_win_serialport PROPERTIES
        IMPORTED_LOCATION ${CPD_WIN_SERIALPORT_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${CPD_WIN_SERIALPORT_INCLUDE_DIR})
    message(STATUS "libserialport for Windows: ${CPD_WIN_SERIALPORT_LIBRARY}")
endif()
# The test double is built against the same header.
get_target_property(SPD_LIBSERIALPORT_INCLUDE_DIR cpd_win_serialport INTERFACE_INCLUDE_DIRECTORIES)

set(CPD_WIN_SERIALPORT_LIB cpd_win_serialport)
if(NOT DEFINED CPD_WIN_SYSTEM_LIBS)
    set(CPD_WIN_SYSTEM_LIBS ws2_32 bcrypt advapi32)
endif()
