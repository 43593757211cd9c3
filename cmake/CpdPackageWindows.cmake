# The Windows bundle, included by CpdPackage.cmake: local-serial-redir-<version>-win64.zip with
# the plug-in, cpd-host.exe, the framework DLLs it runs with, libserialport.dll and what its
# licence asks for (its licence texts, a notice, its corresponding source), a README for the
# Windows user and the licences of the code compiled in. Only the Visual C++ runtime is not
# inside.
configure_file(${CPD_MSVC_STL_DIR}/LICENSE.txt ${CPD_BUNDLE_LICENCES}/msvc-stl-LICENSE.txt COPYONLY)
configure_file(${CPD_MSVC_STL_DIR}/NOTICE.txt ${CPD_BUNDLE_LICENCES}/msvc-stl-NOTICE.txt COPYONLY)

# libserialport's duties (LGPL-3.0-or-later): the LGPL and the GPL-3 it builds on, a notice
# naming what uses it and its copyright holders, and the corresponding source: the folder the
# DLL was built from, made into a tarball at build time so it is exactly what was compiled.
set(duties ${CMAKE_BINARY_DIR}/bundle-libserialport)
set(CPD_SERIALPORT_TARBALL libserialport-${CPD_SERIALPORT_VERSION}-source.tar.gz)
configure_file(${CPD_SERIALPORT_SOURCE_DIR}/COPYING ${duties}/COPYING COPYONLY)
configure_file(${CPD_SERIALPORT_SOURCE_DIR}/AUTHORS ${duties}/AUTHORS COPYONLY)
configure_file(/usr/share/common-licenses/GPL-3 ${duties}/GPL-3.txt COPYONLY)
set(copyright "")
foreach(source ${CPD_SERIALPORT_DLL_SOURCES} ${CPD_SERIALPORT_SOURCE_DIR}/libserialport.h)
    file(STRINGS ${source} lines REGEX "Copyright \\(C\\)")
    list(TRANSFORM lines REPLACE "^[ *]+" "")
    list(APPEND copyright ${lines})
endforeach()
list(REMOVE_DUPLICATES copyright)
list(SORT copyright)
list(JOIN copyright "\n" CPD_SERIALPORT_COPYRIGHT)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/libserialport-NOTICE.txt.in ${duties}/NOTICE.txt
               @ONLY)

string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
set(CPD_SERIALPORT_FLAGS "${CMAKE_C_FLAGS} ${CMAKE_C_FLAGS_${config}} -MD /W3")
string(REGEX REPLACE " +" " " CPD_SERIALPORT_FLAGS "${CPD_SERIALPORT_FLAGS}")
string(REPLACE "${PROJECT_SOURCE_DIR}/" "" CPD_SERIALPORT_FLAGS "${CPD_SERIALPORT_FLAGS}")
set(note ${CMAKE_BINARY_DIR}/libserialport-source/BUILDING-windows.txt)
set(tarball ${CMAKE_BINARY_DIR}/libserialport-source/${CPD_SERIALPORT_TARBALL})
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/libserialport-BUILDING.txt.in ${note} @ONLY)
file(GLOB_RECURSE source_files ${CPD_SERIALPORT_SOURCE_DIR}/*)
add_custom_command(OUTPUT ${tarball}
                   COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CPD_SERIALPORT_SOURCE_DIR} -DNOTE=${note}
                           -DTOP=libserialport-${CPD_SERIALPORT_VERSION} -DOUTPUT=${tarball}
                           -P ${CMAKE_CURRENT_LIST_DIR}/source_tarball.cmake
                   DEPENDS ${source_files} ${note} ${CMAKE_CURRENT_LIST_DIR}/source_tarball.cmake
                   COMMENT "Corresponding source of libserialport.dll")
add_custom_target(cpd_serialport_source ALL DEPENDS ${tarball})

# Files, not targets: the import libraries (.lib) and debug databases stay out of the bundle.
install(FILES $<TARGET_FILE:local_serial_redir> $<TARGET_FILE:cpd-host> $<TARGET_FILE:cpd_utils>
              $<TARGET_FILE:cpd_log> $<TARGET_FILE:cpd_win_serialport>
              ${CMAKE_CURRENT_LIST_DIR}/windows/README-windows.txt ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION .)
install(DIRECTORY ${CPD_BUNDLE_LICENCES}/ DESTINATION licences)
install(DIRECTORY ${duties}/ DESTINATION licences/libserialport)
install(FILES ${tarball} DESTINATION licences/libserialport)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
