#!/bin/bash
# Wine set up for the Windows tests: a prefix inside the build folder, no
# display (the null graphics driver lets CreateWindowExA work headless), and
# one wineserver kept alive between wine_start and wine_stop, which saves
# Wine's start-up wait on every test executable.
#
# Sourced: provides wine_start <build-dir> and wine_stop.
# Run:     tools/ci-wine.sh <build-dir> <command> [args...]
#          e.g. tools/ci-wine.sh build/mingw ctest --test-dir build/mingw

wine_start() {
    local build_dir
    build_dir=$(cd "$1" && pwd) || return 1
    export WINEPREFIX="$build_dir/wineprefix"
    wine_started_prefix=$WINEPREFIX
    export WINEARCH=win32
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY

    local ready_marker="$WINEPREFIX/.headless-without-crash-dialog"
    if [[ ! -f "$ready_marker" ]]; then
        rm -rf "$WINEPREFIX"
        wineboot -i || return 1
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null ||
            return 1
        # A crashing test would otherwise wait for a click on a dialog nobody
        # sees, until ctest's time-out; this way winedbg prints the backtrace
        # and the test fails at once.
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null || return 1
        # The graphics driver is chosen when the server starts: let this one end first.
        wineserver -w
        touch "$ready_marker"
    fi
    wineserver -p && wine cmd /c exit
}

# Ends only the server of the prefix wine_start set up.
wine_stop() {
    if [[ -n ${wine_started_prefix:-} ]]; then
        WINEPREFIX=$wine_started_prefix wineserver -k
        wine_started_prefix=
    fi
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    set -euo pipefail
    if [[ $# -lt 2 ]]; then
        echo "usage: $0 <build-dir> <command> [args...]" >&2
        exit 2
    fi
    build_dir=$1
    shift
    wine_start "$build_dir"
    trap 'wine_stop || true' EXIT
    "$@"
fi
