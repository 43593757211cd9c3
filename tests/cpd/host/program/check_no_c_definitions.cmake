# Checks that cpd-host defines no name the C library defines (open, ioctl, tcsetattr, ...): such a
# definition would take libc's place for every library of a user's session, which only the
# virtual adapters' preloaded interposer may do. The C library's own objects that the executable
# holds by copy relocation (stdout@GLIBC_2.2.5) are libc's, not definitions of cpd-host.
# Usage: cmake -DNM=<nm> -DBINARY=<cpd-host> -DLIBC=<libc.so.6> -P check_no_c_definitions.cmake
cmake_minimum_required(VERSION 3.25)

# The names `file` defines for other modules, without version suffixes unless `keep_versioned`.
function(defined_names file out keep_versioned)
    execute_process(COMMAND ${NM} -D --defined-only ${file} OUTPUT_VARIABLE table
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${NM} -D --defined-only ${file} failed: ${result}")
    endif()
    string(REPLACE "\n" ";" lines "${table}")
    set(names "")
    foreach(line IN LISTS lines)
        if(line MATCHES "^[0-9a-f]+ [A-Za-z] ([^ @]+)(@.*)?$")
            if(keep_versioned OR NOT CMAKE_MATCH_2)
                list(APPEND names "${CMAKE_MATCH_1}")
            endif()
        endif()
    endforeach()
    set(${out} "${names}" PARENT_SCOPE)
endfunction()

defined_names(${LIBC} libc_names TRUE)
defined_names(${BINARY} ours FALSE)
list(FILTER ours EXCLUDE REGEX "^_Z")
set(found "")
foreach(name IN LISTS ours)
    if(name IN_LIST libc_names)
        list(APPEND found "${name}")
    endif()
endforeach()
if(found)
    message(FATAL_ERROR "${BINARY} defines names of the C library: ${found}")
endif()
