# Install rules and packages, included last by the top-level CMakeLists.txt: the Windows ZIP in
# the MSVC-ABI cross build (CpdPackageWindows.cmake), install rules and a .deb on Linux
# (CpdPackageLinux.cmake). `cmake --build <build> --target package` makes either. Every package
# carries the project's LICENSE and the licences of third-party code compiled in.
set(CPACK_PACKAGE_NAME local-serial-redir)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The local-serial-redir authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Serial-port redirection plug-in for a remote-desktop client, and cpd-host to check it")

# cpd-host's command line and JSON output are compiled in from these header-only libraries.
set(CPD_BUNDLE_LICENCES ${CMAKE_BINARY_DIR}/bundle-licences)
configure_file(/usr/share/doc/libcli11-dev/copyright ${CPD_BUNDLE_LICENCES}/CLI11-copyright.txt
               COPYONLY)
configure_file(/usr/share/doc/nlohmann-json3-dev/copyright
               ${CPD_BUNDLE_LICENCES}/nlohmann-json-copyright.txt COPYONLY)

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/CpdPackageWindows.cmake)
else()
    include(${CMAKE_CURRENT_LIST_DIR}/CpdPackageLinux.cmake)
endif()
include(CPack)
