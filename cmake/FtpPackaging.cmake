# The library as a dependency of other programs.
#
# Linux: "cmake --install" puts under its prefix
#   include/ftpclient/   IFtpClient.h, WinMessages.h
#   lib/                 libftpclient.so and libwinmsg.so, versioned, with SONAMEs
#   lib/pkgconfig/       ftpclient.pc       (pkg-config --cflags --libs ftpclient)
#   lib/cmake/ftpclient/ the CMake package  (find_package(ftpclient) -> ftpclient::ftpclient)
#   bin/ftpcli           the command-line host
# and "cpack" in the build folder makes a Debian package of the same files.
#
# Windows: the build makes sdk/ftpclient-VERSION-win32/ and its zip: the DLL,
# the header, a .def file and an import library in the format Microsoft's
# linker reads (made by llvm-dlltool), with a note on using them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FTP_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/IFtpClient.h)

if(NOT WIN32)
    list(APPEND FTP_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/WinMessages.h)
    # libftpclient.so -> libftpclient.so.1 -> libftpclient.so.1.0.0; the
    # SONAME changes only with the major version, i.e. when the interface does.
    foreach(library ftpclient winmsg)
        set_target_properties(${library} PROPERTIES
            VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    endforeach()

    install(TARGETS ftpclient winmsg
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
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
    set(FTP_LIBRARY_FILE
        ${CMAKE_SHARED_LIBRARY_PREFIX}ftpclient${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION})
    set(FTP_LIBRARY_SONAME
        ${CMAKE_SHARED_LIBRARY_PREFIX}ftpclient${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR})
    set(FTP_WINMSG_FILE
        ${CMAKE_SHARED_LIBRARY_PREFIX}winmsg${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION})
    set(FTP_WINMSG_SONAME
        ${CMAKE_SHARED_LIBRARY_PREFIX}winmsg${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR})
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

    # ---- Debian package: "cpack" in the build folder -------------------------
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME ftpclient)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
        "FTP client library for hosts that take notifications as window messages")
    set(CPACK_PACKAGE_DESCRIPTION "One exported factory, CreateFtpClientInstance, returns an \
object with 17 virtual operations; transfers run on the library's own threads and report \
through window messages (libwinmsg). With the headers, the pkg-config and CMake package \
files, and the ftpcli command-line host.")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ftpclient developers <ftpclient@localhost>")
    set(CPACK_DEBIAN_PACKAGE_SECTION libs)
    # Depends: from the binaries themselves (dpkg-shlibdeps); the package's
    # own libraries are found in its staging folder.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
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
# --component sdk --prefix <dir>" puts the same anywhere.
set(sdk_readme ${PROJECT_BINARY_DIR}/packaging/README.txt)
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows-sdk-readme.txt.in ${sdk_readme} @ONLY
               NEWLINE_STYLE CRLF)
install(FILES $<TARGET_FILE:ftpclient> DESTINATION bin COMPONENT sdk)
install(FILES ${FTP_PUBLIC_HEADERS} DESTINATION include COMPONENT sdk)
install(FILES ${FTP_IMPORT_LIBRARY} ${FTP_DEF_FILE} DESTINATION lib COMPONENT sdk)
install(FILES ${sdk_readme} DESTINATION . COMPONENT sdk)

set(sdk_name ftpclient-${PROJECT_VERSION}-win32)
set(sdk_root ${PROJECT_BINARY_DIR}/sdk)
set(FTP_SDK_DIR ${sdk_root}/${sdk_name})
set(sdk_zip ${sdk_root}/${sdk_name}.zip)
add_custom_command(
    OUTPUT ${sdk_zip}
    # What hosts built in this tree (tests/abi, tests/packaging) link against.
    BYPRODUCTS ${FTP_SDK_DIR}/lib/ftpclient.lib
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${FTP_SDK_DIR} ${sdk_zip}
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component sdk --prefix ${FTP_SDK_DIR}
    COMMAND ${CMAKE_COMMAND} -E chdir ${sdk_root}
            ${CMAKE_COMMAND} -E tar cf ${sdk_zip} --format=zip ${sdk_name}
    DEPENDS ftpclient ${FTP_IMPORT_LIBRARY} ${FTP_PUBLIC_HEADERS} ${FTP_DEF_FILE} ${sdk_readme}
    COMMENT "Making the Windows SDK ${sdk_name}.zip"
    VERBATIM)
add_custom_target(ftpclient_sdk ALL DEPENDS ${sdk_zip})
