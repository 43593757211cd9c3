# White-box tests of the redirection on the libserialport test double.
if(TARGET serial_driver_double)
    add_executable(redir_double_test ${CMAKE_CURRENT_LIST_DIR}/redir_double_test.cpp)
    target_link_libraries(redir_double_test PRIVATE serial_driver_double sp_double
                          cpd_test_support GTest::gtest_main Threads::Threads)
    cpd_warnings(redir_double_test)
    gtest_discover_tests(redir_double_test)
endif()
