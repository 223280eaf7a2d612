#!/bin/bash
# The library as a host developer gets it. From a built native tree:
#   1. "cmake --install" into a fresh prefix: the libraries and ftpcli
#      stripped, their debug files only with "--component debug", beside
#      them and matching their debug links;
#   2. examples/host built against that prefix through find_package(ftpclient)
#      and through pkg-config, each run against pyftpdlib on 127.0.0.1: the
#      size, a ranged read and a download must match the served file; and
#      examples/films (version 2 of the interface) through
#      find_package(ftpclient 1.1): the size, a read and the folder's listing;
#   3. the Debian packages (cpack): their file lists, the example built
#      through find_package against the package's files unpacked elsewhere,
#      and the debug files in ftpclient-dbg only, matching the binaries of
#      ftpclient.
# The last line reads "N passed, M failed".
#
# usage: check-consumers.sh BUILD-DIR
set -u
build=$(cd "${1:?usage: check-consumers.sh BUILD-DIR}" && pwd) || exit 1
root=$(cd "$(dirname "$0")/../.." && pwd) || exit 1
readonly build root
readonly example=$root/examples/host
readonly python=/usr/bin/python3
# The version, from the one place it is set.
version=$(sed -n 's/^project(ftpclient VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
readonly version

work=$(mktemp -d /tmp/ftpclient-consumers-XXXXXX) || exit 1
readonly work prefix=$work/prefix
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
# check DESCRIPTION COMMAND...: the command must succeed; its output goes to
# $work/last.log and is shown when it fails.
check() {
    local description=$1
    shift
    if "$@" >"$work/last.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok    $description"
    else
        failed=$((failed + 1))
        echo "FAIL  $description: $*"
        tail -n 30 "$work/last.log" | sed 's/^/      /'
    fi
}

# ---- 1. install -------------------------------------------------------------------
check "cmake --install into a fresh prefix" cmake --install "$build" --prefix "$prefix"
echo "== installed under $prefix:"
(cd "$prefix" && find . -mindepth 1 | sort | sed 's/^/   /')

libdir=$(dirname "$(find "$prefix" -name 'libftpclient.so' -print -quit)")
soname_is() {  # soname_is LIBRARY SONAME
    readelf -d "$1" | grep -F "(SONAME)" | grep -qF "[$2]"
}
check "libftpclient.so has the SONAME libftpclient.so.1" soname_is "$libdir/libftpclient.so" libftpclient.so.1
check "libwinmsg.so has the SONAME libwinmsg.so.1" soname_is "$libdir/libwinmsg.so" libwinmsg.so.1

# What ships is stripped; the debug information is a component of its own.
readonly shipped_binaries=(lib/libftpclient.so.$version lib/libwinmsg.so.$version bin/ftpcli)
no_debug_files() {  # no_debug_files DIR
    local found
    found=$(find "$1" -name '*.debug')
    [[ -z $found ]] || { echo "debug files: $found"; return 1; }
}
stripped_and_linked() {  # stripped_and_linked ROOT: the shipped binaries under it, with .debug/ beside
    local path binary status=0
    for path in "${shipped_binaries[@]}"; do
        binary=$1/${path/#lib\//${libdir#"$prefix"/}/}
        "$root/tests/packaging/check-stripped.sh" objdump objcopy "$binary" \
            "$(dirname "$binary")/.debug/$(basename "$binary").debug" || status=1
    done
    return $status
}
check "a plain install holds no debug files" no_debug_files "$prefix"
check "cmake --install --component debug" cmake --install "$build" --prefix "$prefix" --component debug
check "libraries and ftpcli installed stripped, linked to their debug files in .debug/" \
    stripped_and_linked "$prefix"

# ---- 2. the example, built two ways -------------------------------------------------
build_with_cmake() {  # build_with_cmake PREFIX BUILD-DIR [SOURCE-DIR]
    cmake -S "${3:-$example}" -B "$2" -G Ninja -DCMAKE_PREFIX_PATH="$1" -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "$2" &&
        # The package found must be the one under PREFIX, not one installed on the machine.
        grep -qxF "ftpclient_DIR:PATH=$1/${libdir#"$prefix"/}/cmake/ftpclient" "$2/CMakeCache.txt"
}
check "example built through find_package(ftpclient)" build_with_cmake "$prefix" "$work/by-cmake"
check "second example built through find_package(ftpclient 1.1)" \
    build_with_cmake "$prefix" "$work/films" "$root/examples/films"

build_with_pkg_config() {
    # PKG_CONFIG_LIBDIR replaces the default search path: only this prefix counts.
    local flags rpath
    flags=$(PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --cflags --libs ftpclient) &&
        rpath=$(PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --variable=libdir ftpclient) &&
        echo "pkg-config: $flags" &&
        # shellcheck disable=SC2086  # the flags are words
        c++ -std=c++17 -Wall -Wextra -Werror "$example/host.cpp" $flags -Wl,-rpath,"$rpath" \
            -o "$work/by-pkg-config"
}
check "example built through pkg-config" build_with_pkg_config

# ---- the runs (tests/packaging/run-example.sh starts the server) ------------------
run_example() {  # run_example EXECUTABLE
    # Linked to the installed library, not to the build tree's.
    ldd "$1" | grep -F libftpclient.so | grep -qF "$prefix/" || {
        echo "not linked to the installed library:"
        ldd "$1"
        return 1
    }
    "$root/tests/packaging/run-example.sh" "$python" "$1"
}
check "find_package build: size, ranged read and download" run_example "$work/by-cmake/ftpclient-example"
check "pkg-config build: size, ranged read and download" run_example "$work/by-pkg-config"
echo "== what the pkg-config build printed:"
grep -v '^progress' "$work/last.log" | sed 's/^/   /'
check "second example: size, read and the whole listing" run_example "$work/films/ftpclient-films"

# ---- 3. the Debian packages -----------------------------------------------------------
make_deb() {
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb") &&
        deb=$(find "$work/deb" -maxdepth 1 -name 'ftpclient_*.deb' -print -quit) && [[ -n $deb ]] &&
        dbg_deb=$(find "$work/deb" -maxdepth 1 -name 'ftpclient-dbg_*.deb' -print -quit) &&
        [[ -n $dbg_deb ]]
}
deb=
dbg_deb=
check "cpack makes the Debian packages ftpclient and ftpclient-dbg" make_deb
if [[ -n $deb && -n $dbg_deb ]]; then
    echo "== $(basename "$deb"):"
    dpkg-deb -c "$deb" | sed 's/^/   /'
    echo "   Depends: $(dpkg-deb -f "$deb" Depends)"
    deb_holds() {
        local listing path
        listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
        for path in "$@"; do
            grep -qxF "./usr/$path" <<<"$listing" || { echo "missing: /usr/$path"; return 1; }
        done
    }
    check "the package holds headers, libraries, pkg-config and CMake files" deb_holds \
        include/ftpclient/IFtpClient.h include/ftpclient/WinMessages.h \
        "${libdir#"$prefix"/}/libftpclient.so.$version" "${libdir#"$prefix"/}/libwinmsg.so.$version" \
        "${libdir#"$prefix"/}/pkgconfig/ftpclient.pc" \
        "${libdir#"$prefix"/}/cmake/ftpclient/ftpclientConfig.cmake" bin/ftpcli
    # From dpkg-shlibdeps: the library's own dependency on OpenSSL 3.
    check "the package depends on libssl3" \
        bash -c 'dpkg-deb -f "$1" Depends | tr , "\n" | grep -qE "^ *libssl3( |$)"' _ "$deb"
    check "the package's pkg-config file names /usr" \
        bash -c 'dpkg-deb --fsys-tarfile "$1" | tar -xO --wildcards "*/ftpclient.pc" | grep -qx prefix=/usr' \
        _ "$deb"
    unpack_and_build() {
        dpkg-deb -x "$deb" "$work/unpacked" && build_with_cmake "$work/unpacked/usr" "$work/by-deb"
    }
    check "example built through find_package against the package's files" unpack_and_build
    check "the package holds no debug files" no_debug_files "$work/unpacked"

    echo "== $(basename "$dbg_deb"):"
    dpkg-deb -c "$dbg_deb" | sed 's/^/   /'
    echo "   Depends: $(dpkg-deb -f "$dbg_deb" Depends)"
    unpack_debug_files() {
        dpkg-deb -x "$dbg_deb" "$work/unpacked" && stripped_and_linked "$work/unpacked/usr"
    }
    check "the package's binaries are stripped, ftpclient-dbg holds their debug files" unpack_debug_files
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
