#!/bin/bash
# The one test command. On a fresh Debian 12 machine (as root, or with sudo)
# it installs what the tests need, then builds and tests every target:
#   native   build/native   Linux shared library and tests
#   asan     build/asan     the same with AddressSanitizer + UBSan
#   tsan     build/tsan     the same with ThreadSanitizer
#   mingw    build/mingw    the i686 Windows DLL and tests, run under Wine
#   abi      build/mingw    a Microsoft-ABI host calling the DLL under Wine
#   gateway  build/native   ftpgateway with real players (tests/gateway)
#   package  build/native   installed into a fresh prefix and as a Debian
#                           package; examples/host built against both
# Warnings are errors. The last line reads "N passed, M failed" (ctest tests
# over all targets; a target that fails to configure or build counts as one
# failure more) and the exit status is non-zero when M > 0.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
readonly root=$PWD
readonly jobs=2

readonly packages=(
    cmake g++ ninja-build libgtest-dev googletest
    g++-mingw-w64-i686-posix wine wine32:i386
    clang-14 lld-14
    python3-pyftpdlib python3-openssl iproute2 curl libclang-rt-14-dev llvm-14
    libcpp-httplib-dev pkg-config ffmpeg chromium
    libcli11-dev dpkg-dev file
    libssl-dev openssl
)

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    else
        sudo "$@"
    fi
}

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

install_packages() {
    local missing=() package
    for package in "${packages[@]}"; do
        is_installed "$package" || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "== installing: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386 || return 1
    fi
    as_root apt-get update &&
        as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends "${missing[@]}"
}

# A command the test runs go through (the Windows tests get their real FTP
# servers from it, since a Wine process cannot start Linux programs).
test_runner=()

# ---- results -----------------------------------------------------------------
summary_rows=()
total_passed=0
total_failed=0

# record <target> <passed> <failed> <note> <build seconds> <test seconds>
record() {
    summary_rows+=("$(printf '%-8s %7s %7s %8s %7s  %s' "$1" "$2" "$3" "$5" "$6" "$4")")
    total_passed=$((total_passed + $2))
    total_failed=$((total_failed + $3))
}

# Sets ctest_passed / ctest_failed from a ctest log; false when the log has no
# result line (ctest did not get to the end).
read_ctest_counts() {
    local line
    line=$(grep -E '[0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
    if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        ctest_failed=${BASH_REMATCH[1]}
        ctest_passed=$((BASH_REMATCH[2] - ctest_failed))
        return 0
    fi
    return 1
}

# ---- stages --------------------------------------------------------------------
# build <build-dir> [cmake args...]: configure (Ninja, warnings as errors) and
# build as much as possible. Sets build_note and build_seconds.
build() {
    local dir=$1
    shift
    local start=$SECONDS
    build_note=ok
    # Relinked every time: after a failed build no binary from an earlier one
    # may be left to pass its tests.
    rm -rf "${dir:?}/bin"
    if ! cmake -S "$root" -B "$dir" -G Ninja -DFTP_WERROR=ON "$@"; then
        build_note="configure failed"
    elif ! cmake --build "$dir" -j "$jobs" -- -k 0; then
        build_note="build failed"
    fi
    build_seconds=$((SECONDS - start))
}

# run_tests <target> <build-dir> [ctest args...]: runs ctest and records a
# summary row, counting a failed build as one failure.
run_tests() {
    local target=$1 dir=$2
    shift 2
    local log="$dir/ctest-$target.log" start=$SECONDS
    local passed=0 failed=0 note=$build_note
    if [[ $build_note != "configure failed" ]]; then
        echo "== testing $target"
        "${test_runner[@]}" ctest --test-dir "$dir" -j "$jobs" --output-on-failure "$@" 2>&1 |
            tee "$log"
        if read_ctest_counts "$log"; then
            passed=$ctest_passed
            failed=$ctest_failed
        else
            note="$note; ctest gave no result"
            failed=1
        fi
    fi
    [[ $note != ok ]] && failed=$((failed + 1))
    record "$target" "$passed" "$failed" "$note" "$build_seconds" "$((SECONDS - start))"
}

native_target() {
    local target=$1 dir=$2
    shift 2
    echo "== building $target in $dir"
    build "$dir" "$@"
    run_tests "$target" "$dir"
}

windows_targets() {
    local dir=build/mingw
    echo "== building mingw in $dir"
    build "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
    if [[ $build_note == "configure failed" ]]; then
        record mingw 0 1 "$build_note" "$build_seconds" 0
        record abi 0 0 "not run" - 0
        return
    fi
    # shellcheck source=tools/ci-wine.sh
    source "$root/tools/ci-wine.sh"
    local wine_start_time=$SECONDS
    wine_start "$dir" || build_note="Wine set-up failed"
    echo "== Wine ready after $((SECONDS - wine_start_time)) s"
    test_runner=("$root/tests/ftpservers/run-with-servers.sh" "$root/build/ftpservers")
    run_tests mingw "$dir" -LE abi
    test_runner=()
    # A failed build or set-up is counted once, on the mingw row.
    build_note=ok
    build_seconds=-
    run_tests abi "$dir" -L abi
    wine_stop
}

# A 60 s soak under AddressSanitizer: several client objects against a real
# server with random operations, stops and releases; nothing may leak, grow
# or deliver a wrong byte.
soak_target() {
    local start=$SECONDS status
    echo "== soak (60 s, AddressSanitizer)"
    FTPSOAK_BIN=build/asan/bin/ftpsoak soak/run-soak.sh 60 2>&1 | tee build/asan/soak.log
    status=${PIPESTATUS[0]}
    if [[ $status -eq 0 ]]; then
        record soak 1 0 ok - "$((SECONDS - start))"
    else
        record soak 0 1 "exit $status, seed in build/asan/soak.log" - "$((SECONDS - start))"
    fi
}

# Each libFuzzer harness for a short while on its corpus (clang, ASan+UBSan).
fuzz_target() {
    local start=$SECONDS status
    echo "== fuzzing (20 s per harness)"
    fuzz/run-fuzzers.sh 20 2>&1 | tee build/fuzz.log
    status=${PIPESTATUS[0]}
    if [[ $status -eq 0 ]]; then
        record fuzz 1 0 ok - "$((SECONDS - start))"
    else
        record fuzz 0 1 "exit $status, see build/fuzz.log" - "$((SECONDS - start))"
    fi
}

# script_stage <target> <log> <command...>: runs a test script that ends with
# "N passed, M failed" and records its row; a non-zero exit without a failed
# case counts as one failure.
script_stage() {
    local target=$1 log=$2
    shift 2
    local start=$SECONDS status line passed=0 failed=1
    "$@" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
    if [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        passed=${BASH_REMATCH[1]}
        failed=${BASH_REMATCH[2]}
    fi
    if [[ $status -eq 0 && $failed -eq 0 ]]; then
        record "$target" "$passed" 0 ok - "$((SECONDS - start))"
    else
        [[ $failed -eq 0 ]] && failed=1
        record "$target" "$passed" "$failed" "exit $status, see $log" - "$((SECONDS - start))"
    fi
}

# The HTTP gateway with real players (ffprobe, ffmpeg, curl, headless
# Chromium) against pyftpdlib, from the native build (tests/gateway); the
# players' cases once more through ftprelay at 20 ms each way.
gateway_target() {
    echo "== gateway with real players"
    script_stage gateway build/native/gateway-tests.log \
        /usr/bin/python3 tests/gateway/gateway_players.py --gateway build/native/bin/ftpgateway \
        --relay build/native/bin/ftprelay --work build/native/gateway-tests
}

# The library as a host developer gets it (tests/packaging/check-consumers.sh):
# installed, found through find_package and pkg-config, packed by CPack.
package_target() {
    echo "== package: install, examples/host against it, Debian package"
    script_stage package build/native/package.log tests/packaging/check-consumers.sh build/native
}

print_summary() {
    echo
    echo "== summary"
    printf '%-8s %7s %7s %8s %7s  %s\n' target passed failed build-s test-s note
    printf '%s\n' "${summary_rows[@]}"
    echo "total time $((SECONDS / 60)) min $((SECONDS % 60)) s"
    echo "$total_passed passed, $total_failed failed"
}

main() {
    local start=$SECONDS
    if ! install_packages; then
        echo "package installation failed" >&2
        record packages 0 1 "apt-get failed" "$((SECONDS - start))" 0
        print_summary
        exit 1
    fi
    mkdir -p build
    # One download of the real FTP servers for every build.
    "$root/tests/ftpservers/fetch-servers.sh" "$root/build/ftpservers" ||
        echo "fetching the FTP servers failed; their tests will say why" >&2
    export FTP_SERVERS_DIR=$root/build/ftpservers
    native_target native build/native
    package_target
    gateway_target
    native_target asan build/asan -DFTP_SANITIZE=address
    soak_target
    native_target tsan build/tsan -DFTP_SANITIZE=thread
    fuzz_target
    windows_targets
    print_summary
    [[ $total_failed -eq 0 ]]
}

main
