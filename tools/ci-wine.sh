#!/bin/bash
# Runs a command (usually ctest) with a Wine set up for the Windows tests:
# a prefix inside the build folder, no display (the null graphics driver lets
# CreateWindowExA work headless), and one wineserver kept alive for the whole
# command, which saves Wine's start-up wait on every test executable.
# Usage: tools/ci-wine.sh <build-dir> <command> [args...]
set -euo pipefail

build_dir=$(cd "$1" && pwd)
shift

export WINEPREFIX="$build_dir/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

readonly ready_marker="$WINEPREFIX/.ready-for-tests"
if [[ ! -f "$ready_marker" ]]; then
    rm -rf "$WINEPREFIX"
    wineboot -i
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
    # The driver is chosen when the server starts: let this one finish first.
    wineserver -w
    touch "$ready_marker"
fi

wineserver -p
trap 'wineserver -k || true' EXIT
wine cmd /c exit
"$@"
