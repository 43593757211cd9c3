# The port object on the real libserialport, driven through virtual adapters (the test also
# lists ports itself to learn the library's order), and on the test double for the faults no
# real port shows.
add_executable(serial_io_test ${CMAKE_CURRENT_LIST_DIR}/serial_io_test.cpp)
target_link_libraries(serial_io_test PRIVATE serial_driver_real vserial cpd_test_support
                      PkgConfig::SERIALPORT GTest::gtest_main Threads::Threads)
cpd_warnings(serial_io_test)
gtest_discover_tests(serial_io_test)

if(TARGET serial_driver_double)
    add_executable(serial_io_fault_test ${CMAKE_CURRENT_LIST_DIR}/serial_io_fault_test.cpp)
    target_link_libraries(serial_io_fault_test PRIVATE serial_driver_double sp_double
                          cpd_test_support GTest::gtest_main)
    cpd_warnings(serial_io_fault_test)
    gtest_discover_tests(serial_io_fault_test)
endif()
