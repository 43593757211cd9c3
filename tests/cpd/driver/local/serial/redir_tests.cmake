# The port object and the redirection on the libserialport test double, for the faults and the
# exact library calls no real port shows.
foreach(suite serial_io_fault redir_double)
    add_executable(${suite}_test ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
    target_link_libraries(${suite}_test PRIVATE serial_driver_double sp_double cpd_test_support
                          GTest::gtest_main Threads::Threads)
    cpd_warnings(${suite}_test)
    gtest_discover_tests(${suite}_test)
    cpd_test_covers(${suite}_test cpd/driver/ cpd/interface/)
endforeach()
