# Third-party sources the MSVC-ABI cross build compiles, included by CpdWindows.cmake.
include(FetchContent)

# Sets <var> to the folder holding the sources of <name>, unmodified, and fails unless
# <marker> (a file inside) is there:
#   - the folder given in the cache variable <var>, if any;
#   - else FetchContent's copy of <repo> at <commit>, pinned so every build compiles the same
#     code. FETCHCONTENT_SOURCE_DIR_<NAME> points FetchContent at a local copy instead of a
#     download; its default is the copy in ../shared/third_party/<shared> beside the repository
#     when there is one (machines without network, CI).
function(cpd_third_party_sources var name repo commit marker shared)
    set(${var} "" CACHE PATH "Sources of ${name} (empty: ${repo} at ${commit})")
    set(dir ${${var}})
    if(NOT dir)
        string(TOUPPER ${name} upper)
        get_filename_component(copy ${PROJECT_SOURCE_DIR}/../shared/third_party/${shared}
                               ABSOLUTE)
        if(NOT DEFINED FETCHCONTENT_SOURCE_DIR_${upper} AND EXISTS ${copy}/${marker})
            set(FETCHCONTENT_SOURCE_DIR_${upper} ${copy} CACHE PATH "Local copy of ${name}")
        endif()
        # No submodules (Microsoft's STL would bring LLVM's tree); SOURCE_SUBDIR names no
        # folder, so FetchContent only provides the sources and adds no project of theirs.
        FetchContent_Declare(${name} GIT_REPOSITORY ${repo} GIT_TAG ${commit}
                             GIT_SUBMODULES "" SOURCE_SUBDIR cpd-sources-only)
        FetchContent_MakeAvailable(${name})
        set(dir ${${name}_SOURCE_DIR})
    endif()
    if(NOT EXISTS ${dir}/${marker})
        message(FATAL_ERROR "${name}: no ${marker} in ${dir}")
    endif()
    message(STATUS "${name}: ${dir}")
    set(${var} ${dir} PARENT_SCOPE)
endfunction()
