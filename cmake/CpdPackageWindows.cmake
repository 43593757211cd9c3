# The Windows bundle: `cmake --build --preset msvc-x64 --target package` makes
# local-serial-redir-<version>-win64.zip with the plug-in, cpd-host.exe and the framework DLLs it
# runs with, a README for the Windows user and the licences of what the binaries contain.
# libserialport and the Visual C++ runtime are not inside: the README says where they come from.
set(bundle_licences ${CMAKE_BINARY_DIR}/bundle-licences)
file(MAKE_DIRECTORY ${bundle_licences})
configure_file(${CPD_MSVC_STL_DIR}/LICENSE.txt ${bundle_licences}/msvc-stl-LICENSE.txt COPYONLY)
configure_file(${CPD_MSVC_STL_DIR}/NOTICE.txt ${bundle_licences}/msvc-stl-NOTICE.txt COPYONLY)
# cpd-host's command line and JSON output are compiled in from these header-only libraries.
configure_file(/usr/share/doc/libcli11-dev/copyright ${bundle_licences}/CLI11-copyright.txt
               COPYONLY)
configure_file(/usr/share/doc/nlohmann-json3-dev/copyright
               ${bundle_licences}/nlohmann-json-copyright.txt COPYONLY)

# Files, not targets: the import libraries (.lib) and debug databases stay out of the bundle.
install(FILES $<TARGET_FILE:local_serial_redir> $<TARGET_FILE:cpd-host> $<TARGET_FILE:cpd_utils>
              $<TARGET_FILE:cpd_log> ${CMAKE_CURRENT_LIST_DIR}/windows/README-windows.txt
        DESTINATION .)
install(DIRECTORY ${bundle_licences}/ DESTINATION licences)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME local-serial-redir)
set(CPACK_PACKAGE_FILE_NAME local-serial-redir-${PROJECT_VERSION}-win64)
include(CPack)
