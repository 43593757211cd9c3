# Checks that cpd-host defines no C-named function or object for other modules: such a name (open,
# ioctl, tcsetattr, ...) would take libc's place for every library of a user's session, which only
# the virtual adapters' preloaded interposer may do. Left alone: C++ names, and the C library's
# own objects that the executable holds by copy relocation (stdout@GLIBC_2.2.5).
# Usage: cmake -DNM=<nm> -DBINARY=<cpd-host> -P check_no_c_definitions.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} -D --defined-only ${BINARY} OUTPUT_VARIABLE table
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} -D --defined-only ${BINARY} failed: ${result}")
endif()
string(REPLACE "\n" ";" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ [A-Za-z] ([^ ]+)$")
        set(name "${CMAKE_MATCH_1}")
        if(NOT name MATCHES "^_Z" AND NOT name MATCHES "@")
            list(APPEND found "${name}")
        endif()
    endif()
endforeach()
if(found)
    message(FATAL_ERROR "${BINARY} defines C names for other modules: ${found}")
endif()
