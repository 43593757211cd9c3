# End-to-end tests of the built plug-in: the test host dlopens liblocal_serial_redir.so by path,
# through cpd-host's loader, and links the virtual adapters with their interposer so the
# plug-in's libserialport sees virtual adapters only.
add_executable(plugin_test ${CMAKE_CURRENT_LIST_DIR}/plugin_test.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/plugin_bad_input_test.cpp)
target_link_libraries(plugin_test PRIVATE cpd_host_core vserial_interposed cpd_test_support
                                          GTest::gtest_main)
target_compile_definitions(plugin_test PRIVATE
    CPD_SERIAL_PLUGIN="$<TARGET_FILE:local_serial_redir>")
add_dependencies(plugin_test local_serial_redir)
cpd_warnings(plugin_test)
gtest_discover_tests(plugin_test)
cpd_test_covers(plugin_test cpd/driver/ cpd/interface/ vserial/)
