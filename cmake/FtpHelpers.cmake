# Small helpers shared by the top-level and the tests' CMakeLists.

# Sources of the given folders (relative to the repository root), re-globbed at
# every build so files added by others are picked up without a re-configure.
function(ftp_glob_sources result)
    set(sources)
    foreach(folder IN LISTS ARGN)
        file(GLOB folder_sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${folder}/*.cpp")
        list(APPEND sources ${folder_sources})
    endforeach()
    set(${result} ${sources} PARENT_SCOPE)
endfunction()

# A library target even while its folders are still empty: an empty
# translation unit stands in, so the rest of the build keeps working.
function(ftp_add_library name type)
    set(sources ${ARGN})
    if(NOT sources)
        set(sources "${PROJECT_BINARY_DIR}/empty-folder-placeholder.cpp")
        message(STATUS "${name}: no sources yet")
    endif()
    add_library(${name} ${type} ${sources})
    ftp_set_warnings(${name})
endfunction()

function(ftp_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${FTP_WERROR}>:-Werror>)
endfunction()

# Compiler and linker flags for FTP_SANITIZE, applied to everything built here.
function(ftp_enable_sanitizer kind)
    if(kind STREQUAL "")
        return()
    endif()
    if(WIN32)
        message(FATAL_ERROR "FTP_SANITIZE is for the native Linux build only")
    endif()
    if(kind STREQUAL "address")
        set(flags -fsanitize=address,undefined -fno-sanitize-recover=all)
    elseif(kind STREQUAL "thread")
        set(flags -fsanitize=thread)
    else()
        message(FATAL_ERROR "FTP_SANITIZE must be empty, \"address\" or \"thread\", not \"${kind}\"")
    endif()
    add_compile_options(${flags} -fno-omit-frame-pointer)
    add_link_options(${flags})
endfunction()
