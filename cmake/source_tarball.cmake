# Writes the corresponding source of a library built from SOURCE_DIR: every file there (git's
# own aside) and the build note NOTE as BUILDING-windows.txt, all under TOP/, as the gzip'd
# tarball OUTPUT. Entries carry a fixed time, so the same sources give the same tarball.
# Usage: cmake -DSOURCE_DIR=<dir> -DNOTE=<file> -DTOP=<name> -DOUTPUT=<file> -P source_tarball.cmake
cmake_minimum_required(VERSION 3.25)

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(FILTER files EXCLUDE REGEX "^\\.git(/|$)")
list(SORT files)
get_filename_component(stage ${OUTPUT}.stage ABSOLUTE)
file(REMOVE_RECURSE ${stage})
foreach(file IN LISTS files)
    configure_file(${SOURCE_DIR}/${file} ${stage}/${TOP}/${file} COPYONLY)
endforeach()
configure_file(${NOTE} ${stage}/${TOP}/BUILDING-windows.txt COPYONLY)
list(TRANSFORM files PREPEND ${TOP}/)
list(APPEND files ${TOP}/BUILDING-windows.txt)
# The names in the archive are relative to the folder tar runs in.
execute_process(COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar czf
                        ${OUTPUT}.tmp "--mtime=2000-01-01 00:00:00 UTC" --format=gnutar -- ${files}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "tar of ${stage} failed: ${result}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE_RECURSE ${stage})
