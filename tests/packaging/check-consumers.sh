#!/bin/bash
# The library as a host developer gets it. From a built native tree:
#   1. "cmake --install" into a fresh prefix;
#   2. examples/host built against that prefix through find_package(ftpclient)
#      and through pkg-config, each run against pyftpdlib on 127.0.0.1: the
#      size, a ranged read and a download must match the served file;
#   3. the Debian package (cpack): its file list, and the example built
#      through find_package against the package's files unpacked elsewhere.
# The last line reads "N passed, M failed".
#
# usage: check-consumers.sh BUILD-DIR
set -u
build=$(cd "${1:?usage: check-consumers.sh BUILD-DIR}" && pwd) || exit 1
root=$(cd "$(dirname "$0")/../.." && pwd) || exit 1
readonly build root
readonly example=$root/examples/host
readonly python=/usr/bin/python3

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

# ---- 2. the example, built two ways -------------------------------------------------
build_with_cmake() {  # build_with_cmake PREFIX BUILD-DIR
    cmake -S "$example" -B "$2" -G Ninja -DCMAKE_PREFIX_PATH="$1" -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "$2" &&
        # The package found must be the one under PREFIX, not one installed on the machine.
        grep -qxF "ftpclient_DIR:PATH=$1/${libdir#"$prefix"/}/cmake/ftpclient" "$2/CMakeCache.txt"
}
check "example built through find_package(ftpclient)" build_with_cmake "$prefix" "$work/by-cmake"

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

# ---- 3. the Debian package ------------------------------------------------------------
make_deb() {
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb") &&
        deb=$(find "$work/deb" -maxdepth 1 -name '*.deb' -print -quit) && [[ -n $deb ]]
}
deb=
check "cpack makes the Debian package" make_deb
if [[ -n $deb ]]; then
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
        "${libdir#"$prefix"/}/libftpclient.so.1.0.0" "${libdir#"$prefix"/}/libwinmsg.so.1.0.0" \
        "${libdir#"$prefix"/}/pkgconfig/ftpclient.pc" \
        "${libdir#"$prefix"/}/cmake/ftpclient/ftpclientConfig.cmake" bin/ftpcli
    check "the package's pkg-config file names /usr" \
        bash -c 'dpkg-deb --fsys-tarfile "$1" | tar -xO --wildcards "*/ftpclient.pc" | grep -qx prefix=/usr' \
        _ "$deb"
    unpack_and_build() {
        dpkg-deb -x "$deb" "$work/unpacked" && build_with_cmake "$work/unpacked/usr" "$work/by-deb"
    }
    check "example built through find_package against the package's files" unpack_and_build
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
