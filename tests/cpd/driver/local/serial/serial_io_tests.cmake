# The port object on the real libserialport, driven through virtual adapters (the test also
# lists ports itself to learn the library's order).
add_executable(serial_io_test ${CMAKE_CURRENT_LIST_DIR}/serial_io_test.cpp)
target_link_libraries(serial_io_test PRIVATE serial_driver_real vserial cpd_test_support
                      PkgConfig::SERIALPORT GTest::gtest_main Threads::Threads)
cpd_warnings(serial_io_test)
gtest_discover_tests(serial_io_test)
