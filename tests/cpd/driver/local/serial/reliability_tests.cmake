# Reliability suites: line faults and soaks on the built plug-in over virtual adapters, a
# stop/start race on the libserialport test double. Labels "reliability" and "soak";
# CPD_SOAK_CYCLES, CPD_SOAK_MIB and CPD_RACE_ROUNDS shrink the loads for CI.
foreach(suite fault soak)
    add_executable(reliability_${suite}_test
                   ${CMAKE_CURRENT_LIST_DIR}/reliability_${suite}_test.cpp)
    target_link_libraries(reliability_${suite}_test PRIVATE cpd_host_core vserial_interposed
                          cpd_test_support GTest::gtest_main)
    target_compile_definitions(reliability_${suite}_test PRIVATE
        CPD_SERIAL_PLUGIN="$<TARGET_FILE:local_serial_redir>")
    add_dependencies(reliability_${suite}_test local_serial_redir)
    cpd_warnings(reliability_${suite}_test)
endforeach()
gtest_discover_tests(reliability_fault_test)
cpd_test_covers(reliability_fault_test cpd/driver/ cpd/interface/ vserial/ LABELS reliability)
gtest_discover_tests(reliability_soak_test PROPERTIES LABELS soak TIMEOUT 900)

add_executable(reliability_race_test ${CMAKE_CURRENT_LIST_DIR}/reliability_race_test.cpp)
target_link_libraries(reliability_race_test PRIVATE serial_driver_double sp_double
                      cpd_test_support GTest::gtest_main Threads::Threads)
cpd_warnings(reliability_race_test)
gtest_discover_tests(reliability_race_test)
cpd_test_covers(reliability_race_test cpd/driver/ cpd/interface/ LABELS reliability)
