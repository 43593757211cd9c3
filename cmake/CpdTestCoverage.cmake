# cpd_test_covers(<target> <path>... [LABELS <label>...]): which product code the tests of
# <target> (found by gtest_discover_tests) check. Each <path> is a folder ending in "/" or a
# file under the source tree, and becomes the test label "covers:<path>"; scripts/mutate.py
# runs a test against the faults it plants in the code its labels name, so a renamed test keeps
# its place. LABELS adds other labels (gtest_discover_tests' PROPERTIES LABELS would be
# replaced). The labels are set when ctest reads the discovered tests, by a script of its own:
# gtest_discover_tests would flatten a list-valued property into separate words.
function(cpd_test_covers target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LABELS")
    set(labels ${arg_LABELS})
    foreach(path ${arg_UNPARSED_ARGUMENTS})
        if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${path})
            message(FATAL_ERROR "cpd_test_covers(${target}): ${path} is not in the source tree")
        endif()
        list(APPEND labels covers:${path})
    endforeach()
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
    file(WRITE ${script}
         "if(${target}_TESTS)\n"
         "    set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${labels}\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
