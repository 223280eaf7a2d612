# Small helpers shared by the top-level and the tests' CMakeLists.

# Every CMakeLists names its sources, one file per line, in order: a file
# that is added or renamed is added or renamed there too.

# A library target of the given sources, with the project's warnings.
function(ftp_add_library name type)
    add_library(${name} ${type} ${ARGN})
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
