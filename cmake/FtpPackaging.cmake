# The library as a dependency of other programs.
#
# Linux: "cmake --install" puts under its prefix
#   include/ftpclient/   IFtpClient.h, WinMessages.h
#   lib/                 libftpclient.so and libwinmsg.so, versioned, with SONAMEs
#   lib/pkgconfig/       ftpclient.pc       (pkg-config --cflags --libs ftpclient)
#   lib/cmake/ftpclient/ the CMake package  (find_package(ftpclient) -> ftpclient::ftpclient)
#   bin/ftpcli           the command-line host
# and "cpack" in the build folder makes Debian packages of the same files.
#
# Windows: the build makes sdk/ftpclient-VERSION-win32/ and its zip: the DLL,
# the header, a .def file and an import library in the format Microsoft's
# linker reads (made by llvm-dlltool), with a note on using them.
#
# What ships carries no debug information; it is kept beside (below), in the
# install component "debug".
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# ---- Debug information beside the shipped binaries, not inside them -----------
# The build type keeps its debug information (RelWithDebInfo) and so do the
# binaries in the build folder: tests, debuggers and sanitizer reports read
# it there. What is installed, packed or put in the SDK is stripped. At build
# time each shipped binary's debug information is copied to .debug/NAME.debug
# beside it (objcopy --only-keep-debug); at install time the installed copy
# is stripped and given a debug link to that file (its name and CRC). gdb
# looks for a linked file beside the binary and in the .debug folder there,
# so the one layout works under any install prefix, in the Debian packages
# and in the SDK, with no debugger settings. The debug files are the install
# component "debug", left out of a plain "cmake --install": "--component
# debug" adds them.
if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy not found: the installed binaries are stripped with it")
endif()
set(FTP_DEBUG_DIR ${PROJECT_BINARY_DIR}/bin/.debug)

# ftp_ship_stripped(TARGET FILE-NAME DESTINATION COMPONENT): TARGET's file,
# named FILE-NAME, is installed to DESTINATION in COMPONENT by a rule that
# comes before this call.
function(ftp_ship_stripped target file_name destination component)
    set(debug_file ${FTP_DEBUG_DIR}/${file_name}.debug)
    add_custom_command(
        OUTPUT ${debug_file}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${FTP_DEBUG_DIR}
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug_file}
        DEPENDS ${target}
        COMMENT "Copying the debug information of ${file_name} to .debug/"
        VERBATIM)
    add_custom_target(${target}_debug_info ALL DEPENDS ${debug_file})
    # At install time: the values of this call, then the strip. A link left
    # by an earlier install of the same file goes first: objcopy would keep
    # it, with a warning.
    install(CODE "set(ftp_shipped \"${destination}/${file_name}\")
                  set(ftp_debug_file \"${debug_file}\")
                  set(ftp_objcopy \"${CMAKE_OBJCOPY}\")" COMPONENT ${component})
    install(CODE [[
        if(NOT IS_ABSOLUTE "${ftp_shipped}")
            set(ftp_shipped "${CMAKE_INSTALL_PREFIX}/${ftp_shipped}")
        endif()
        set(ftp_shipped "$ENV{DESTDIR}${ftp_shipped}")
        get_filename_component(ftp_link "${ftp_debug_file}" NAME)
        message(STATUS "Stripping: ${ftp_shipped} (debug link ${ftp_link})")
        execute_process(
            COMMAND "${ftp_objcopy}" --strip-all --remove-section=.gnu_debuglink
                    "--add-gnu-debuglink=${ftp_debug_file}" "${ftp_shipped}"
            RESULT_VARIABLE ftp_failed)
        if(ftp_failed)
            message(FATAL_ERROR "objcopy could not strip ${ftp_shipped}")
        endif()
    ]] COMPONENT ${component})
    install(FILES ${debug_file} DESTINATION ${destination}/.debug COMPONENT debug EXCLUDE_FROM_ALL)
    set(FTP_DEBUG_FILE_${target} ${debug_file} PARENT_SCOPE)
endfunction()

set(FTP_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/IFtpClient.h)

if(NOT WIN32)
    list(APPEND FTP_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/WinMessages.h)
    # libftpclient.so -> libftpclient.so.1 -> libftpclient.so.1.1.0; the
    # SONAME changes only with the major version, i.e. when the interface does.
    foreach(library ftpclient winmsg)
        set_target_properties(${library} PROPERTIES
            VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    endforeach()
    # The installed library finds libwinmsg beside it under any prefix: a host
    # that makes no window calls of its own (a version 2 host needs none) is
    # not linked to libwinmsg, and its RUNPATH serves only what it links.
    set_target_properties(ftpclient PROPERTIES INSTALL_RPATH "$ORIGIN")

    set(FTP_LIBRARY_FILE
        ${CMAKE_SHARED_LIBRARY_PREFIX}ftpclient${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION})
    set(FTP_LIBRARY_SONAME
        ${CMAKE_SHARED_LIBRARY_PREFIX}ftpclient${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR})
    set(FTP_WINMSG_FILE
        ${CMAKE_SHARED_LIBRARY_PREFIX}winmsg${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION})
    set(FTP_WINMSG_SONAME
        ${CMAKE_SHARED_LIBRARY_PREFIX}winmsg${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR})

    install(TARGETS ftpclient winmsg
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    ftp_ship_stripped(ftpclient ${FTP_LIBRARY_FILE} ${CMAKE_INSTALL_LIBDIR} Unspecified)
    ftp_ship_stripped(winmsg ${FTP_WINMSG_FILE} ${CMAKE_INSTALL_LIBDIR} Unspecified)
    # ftpcli's install rule is in its own folder, added after this file; its
    # strip has to come after it, at the end of the top-level folder.
    cmake_language(DEFER CALL ftp_ship_stripped
                   ftpcli ftpcli${CMAKE_EXECUTABLE_SUFFIX} ${CMAKE_INSTALL_BINDIR} Unspecified)
    # In a folder of their own: "WinMessages.h" is too common a name for
    # /usr/include. Hosts compile with -I<prefix>/include/ftpclient.
    install(FILES ${FTP_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ftpclient)

    # pkg-config: written at install time, so the paths are those of the
    # prefix actually installed to ("cmake --install --prefix", or /usr when
    # CPack builds the Debian package), not the one configured.
    set(pc_file ${PROJECT_BINARY_DIR}/packaging/ftpclient.pc)
    install(CODE "
        set(FTP_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
        set(FTP_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
        set(FTP_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
        set(FTP_PC_VERSION \"${PROJECT_VERSION}\")
        configure_file(\"${PROJECT_SOURCE_DIR}/cmake/ftpclient.pc.in\" \"${pc_file}\" @ONLY)
    ")
    install(FILES ${pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

    # The CMake package finds its files relative to itself, so a prefix can
    # be moved after installing.
    set(cmake_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ftpclient)
    configure_package_config_file(
        ${PROJECT_SOURCE_DIR}/cmake/ftpclientConfig.cmake.in
        ${PROJECT_BINARY_DIR}/packaging/ftpclientConfig.cmake
        INSTALL_DESTINATION ${cmake_package_dir}
        PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
    # A new major version is a new interface: no host built for 1.x takes 2.x.
    write_basic_package_version_file(
        ${PROJECT_BINARY_DIR}/packaging/ftpclientConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/ftpclientConfig.cmake
                  ${PROJECT_BINARY_DIR}/packaging/ftpclientConfigVersion.cmake
            DESTINATION ${cmake_package_dir})

    # ---- Debian packages: "cpack" in the build folder -------------------------
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME ftpclient)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
        "FTP client library for hosts that take notifications as window messages")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ftpclient developers <ftpclient@localhost>")
    set(CPACK_DEBIAN_PACKAGE_SECTION libs)
    # Depends: from the binaries themselves (dpkg-shlibdeps); the package's
    # own libraries are found in its staging folder.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

    # Two packages, as Debian ships a library: ftpclient holds everything but
    # the debug files (the stripped binaries among it), ftpclient-dbg the
    # debug files of the component "debug". cpack warns that those have no
    # SONAME: they are no libraries, and rightly stay out of the shlibs file.
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL Unspecified debug)
    set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME ftpclient)
    set(CPACK_COMPONENT_UNSPECIFIED_DESCRIPTION "One exported factory, CreateFtpClientInstance, \
returns an object with 17 virtual operations; transfers run on the library's own threads and \
report through window messages (libwinmsg). With the headers, the pkg-config and CMake \
package files, and the ftpcli command-line host.")
    set(CPACK_DEBIAN_DEBUG_PACKAGE_NAME ftpclient-dbg)
    set(CPACK_DEBIAN_DEBUG_PACKAGE_SECTION debug)
    set(CPACK_DEBIAN_DEBUG_PACKAGE_DEPENDS "ftpclient (= ${PROJECT_VERSION})")
    set(CPACK_DEBIAN_DEBUG_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_COMPONENT_DEBUG_DESCRIPTION "Debug information of ftpclient's libraries and \
ftpcli, in files that gdb finds through the binaries' debug links.")
    include(CPack)
    return()
endif()

# ---- Windows SDK ----------------------------------------------------------------
option(FTP_WINDOWS_SDK "Build the SDK folder and zip for Microsoft toolchains (needs llvm-dlltool)" ON)
if(NOT FTP_WINDOWS_SDK)
    return()
endif()
find_program(FTP_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool HINTS /usr/lib/llvm-14/bin)
if(NOT FTP_DLLTOOL)
    message(FATAL_ERROR "llvm-dlltool not found (install llvm-14, or configure with -DFTP_WINDOWS_SDK=OFF)")
endif()

# The import library links a host to the DLL's one export by its plain name:
# made from the .def file, in the short import format of Microsoft's
# linker (which GNU ld reads as well). For i386 dlltool adds the C
# underscore to the symbol (_CreateFtpClientInstance, as a Microsoft
# compiler names a cdecl function) and marks the import to drop it again, so
# the loader looks for "CreateFtpClientInstance".
set(FTP_DEF_FILE ${PROJECT_SOURCE_DIR}/cmake/ftpclient.def)
set(FTP_IMPORT_LIBRARY ${PROJECT_BINARY_DIR}/import/ftpclient.lib)
add_custom_command(
    OUTPUT ${FTP_IMPORT_LIBRARY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/import
    COMMAND ${FTP_DLLTOOL} -m i386 -D ftpclient.dll -d ${FTP_DEF_FILE} -l ${FTP_IMPORT_LIBRARY}
    DEPENDS ${FTP_DEF_FILE}
    COMMENT "Making the import library ftpclient.lib"
    VERBATIM)
add_custom_target(ftpclient_import_library ALL DEPENDS ${FTP_IMPORT_LIBRARY})

# The SDK's layout, as install rules of their own component: the SDK target
# below installs it into the build folder; "cmake --install <build>
# --component sdk --prefix <dir>" puts the same anywhere, and "--component
# debug" the DLL's debug file beside it.
set(sdk_readme ${PROJECT_BINARY_DIR}/packaging/README.txt)
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows-sdk-readme.txt.in ${sdk_readme} @ONLY
               NEWLINE_STYLE CRLF)
install(FILES $<TARGET_FILE:ftpclient> DESTINATION bin COMPONENT sdk)
ftp_ship_stripped(ftpclient ftpclient.dll bin sdk)
install(FILES ${FTP_PUBLIC_HEADERS} DESTINATION include COMPONENT sdk)
install(FILES ${FTP_IMPORT_LIBRARY} ${FTP_DEF_FILE} DESTINATION lib COMPONENT sdk)
install(FILES ${sdk_readme} DESTINATION . COMPONENT sdk)

set(sdk_name ftpclient-${PROJECT_VERSION}-win32)
set(sdk_root ${PROJECT_BINARY_DIR}/sdk)
set(FTP_SDK_DIR ${sdk_root}/${sdk_name})
set(sdk_zip ${sdk_root}/${sdk_name}.zip)
# The DLL's debug information in a zip of its own, for gdb (Microsoft's
# debuggers do not read it): unpacked over the SDK folder it puts
# bin/.debug/ftpclient.dll.debug where the DLL's debug link leads.
set(sdk_debug_root ${sdk_root}/debug)
set(sdk_debug_zip ${sdk_root}/${sdk_name}-debug.zip)
set(FTP_SDK_DEBUG_FILE ${sdk_debug_root}/${sdk_name}/bin/.debug/ftpclient.dll.debug)
add_custom_command(
    OUTPUT ${sdk_zip} ${sdk_debug_zip}
    # What hosts built in this tree (tests/abi, tests/packaging) link against
    # and load, and what tests/packaging checks.
    BYPRODUCTS ${FTP_SDK_DIR}/lib/ftpclient.lib ${FTP_SDK_DIR}/bin/ftpclient.dll ${FTP_SDK_DEBUG_FILE}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${FTP_SDK_DIR} ${sdk_zip} ${sdk_debug_root} ${sdk_debug_zip}
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component sdk --prefix ${FTP_SDK_DIR}
    COMMAND ${CMAKE_COMMAND} -E chdir ${sdk_root}
            ${CMAKE_COMMAND} -E tar cf ${sdk_zip} --format=zip ${sdk_name}
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component debug
            --prefix ${sdk_debug_root}/${sdk_name}
    COMMAND ${CMAKE_COMMAND} -E chdir ${sdk_debug_root}
            ${CMAKE_COMMAND} -E tar cf ${sdk_debug_zip} --format=zip ${sdk_name}
    DEPENDS ftpclient ${FTP_DEBUG_FILE_ftpclient} ${FTP_IMPORT_LIBRARY} ${FTP_PUBLIC_HEADERS}
            ${FTP_DEF_FILE} ${sdk_readme}
    COMMENT "Making the Windows SDK ${sdk_name}.zip and ${sdk_name}-debug.zip"
    VERBATIM)
add_custom_target(ftpclient_sdk ALL DEPENDS ${sdk_zip} ${sdk_debug_zip})
