# Install rules for Linux and the .deb made from them, included by CpdPackage.cmake:
#   bin/cpd-host
#   lib/local-serial-redir/          the plug-in, the framework libraries and the virtual
#                                    adapters' interposer; cpd-host finds them through an RPATH
#                                    relative to itself (the interposer: see FindLibrary)
#   share/doc/local-serial-redir/    README.md, LICENSE, the licences of code compiled in
# libserialport is the system's (Debian's libserialport0), not part of the package.
include(GNUInstallDirs)
set(CPD_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/local-serial-redir)
# Every shared library of the project that cpd-host uses, linked or loaded: all of them go to
# CPD_INSTALL_LIBDIR.
set(CPD_INSTALLED_LIBRARIES local_serial_redir cpd_utils cpd_log vserial_preload)

file(RELATIVE_PATH libdir_from_bin ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${CPD_INSTALL_LIBDIR})
set_target_properties(cpd-host PROPERTIES INSTALL_RPATH "$ORIGIN/${libdir_from_bin}")
set_target_properties(${CPD_INSTALLED_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
# The plug-in is loaded by path, not linked: cpd-host looks for it there too.
target_compile_definitions(cpd_host_core PRIVATE
                           CPD_HOST_INSTALLED_LIB_DIR="${libdir_from_bin}/")

install(TARGETS cpd-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${CPD_INSTALLED_LIBRARIES} LIBRARY DESTINATION ${CPD_INSTALL_LIBDIR})
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/local-serial-redir)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${doc_dir})
install(DIRECTORY ${CPD_BUNDLE_LICENCES}/ DESTINATION ${doc_dir}/licences)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "The local-serial-redir authors")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
# dpkg-shlibdeps names the libraries the binaries link, with the versions they need:
# libserialport0, the C and C++ runtimes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
