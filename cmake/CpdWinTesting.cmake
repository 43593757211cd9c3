# Test framework for Windows builds, included by the top-level CMakeLists.txt.
#
# Natively (MSYS2, vcpkg) GoogleTest is an installed package and tests run as they are. A cross
# build compiles Debian's GoogleTest sources with the cross compiler and runs every test
# program under Wine, in a Wine prefix inside the build tree.
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    include(GoogleTest)
    return()
endif()

set(CPD_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
# The same C runtime DLLs as our own code (GoogleTest's default for MSVC is the static one).
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
if(MSVC)
    # Windows threads, not the pthreads that an MSVC-ABI cross build's checks claim to find.
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
endif()
# Defines GTest::gtest and GTest::gtest_main as find_package(GTest) would.
add_subdirectory(${CPD_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(MSVC)
    # GoogleTest's MSVC flags make char unsigned (-J), which MinGW's headers answer with a
    # reference to a MinGW runtime object. Our code and the STL use signed char anyway.
    foreach(target gtest gtest_main)
        get_target_property(flags ${target} COMPILE_FLAGS)
        string(REPLACE " -J " " " flags "${flags}")
        set_target_properties(${target} PROPERTIES COMPILE_FLAGS "${flags}")
    endforeach()
endif()

find_program(CPD_WINE wine REQUIRED)
find_program(CPD_WINESERVER wineserver REQUIRED)
find_program(CPD_FLOCK flock REQUIRED)
set(CPD_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CPD_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CPD_WINE_RUN} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
# Initialises each target's CROSSCOMPILING_EMULATOR, which add_test and test discovery use.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CPD_WINE_RUN})

# A new prefix takes several seconds to set up, longer than listing a program's tests may take:
# it is made once, at build time.
add_custom_command(OUTPUT ${CPD_WINEPREFIX}/system.reg
                   COMMAND ${CPD_WINE_RUN} --init
                   DEPENDS ${CPD_WINE_RUN}
                   COMMENT "Wine prefix for the tests")
add_custom_target(cpd_wine_prefix ALL DEPENDS ${CPD_WINEPREFIX}/system.reg)

# One Wine session serves the whole test run. Its processes outlive every program, so the
# cleanup step ends them.
add_test(NAME wine_session_start COMMAND ${CPD_WINE_RUN} --start)
add_test(NAME wine_session_stop COMMAND ${CPD_WINE_RUN} --stop)
set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine)

# Tests are listed when ctest starts, not at build time, so a build needs no Wine session.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
include(GoogleTest)
# Every suite's discovered tests join the session fixture, whichever folder declares them.
# Listing a program starts Wine too, which can take longer than the default 5 s. The module's
# own function stays reachable as _gtest_discover_tests; options given by the caller come after
# these and so win (PROPERTIES lists add up). Listing flattens list-valued properties, so the
# tests get one fixture name and nothing else; the wrapper script sets the environment.
function(gtest_discover_tests target)
    _gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 ${ARGN} PROPERTIES FIXTURES_REQUIRED wine)
endfunction()
