#!/bin/bash
# A short tour of the library, for a newcomer, on a fresh Debian 12 machine:
# installs what it needs, builds, starts a real FTP server (pyftpdlib) on
# 127.0.0.1 with a generated sample media file, and walks through every kind
# of operation with the command-line host ftpcli, saying what each step
# shows. The server is stopped at the end, whatever happens.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
readonly root=$PWD
readonly build=$root/build/native
readonly work=$(mktemp -d /tmp/ftpclient-demo.XXXXXX)
server_pid=

if [[ -t 1 ]]; then
    bold() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
    bold() { printf '\n== %s\n' "$*"; }
fi
say() { printf '   %s\n' "$*"; }
fail() {
    printf '\nDEMO FAILED: %s\n' "$*" >&2
    exit 1
}

cleanup() {
    if [[ -n $server_pid ]]; then
        exec 3>&-  # the server ends when its input closes
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

install_packages() {
    local wanted=(cmake g++ ninja-build libgtest-dev libcli11-dev libssl-dev python3-pyftpdlib) missing=() p
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    bold "Installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null || fail "apt-get install failed"
}

build_library() {
    bold "Building the library and the ftpcli host (build/native)"
    cmake -S "$root" -B "$build" -G Ninja >/dev/null || fail "cmake configure failed"
    cmake --build "$build" -j2 --target ftpclient ftpcli >"$work/build.log" 2>&1 ||
        { tail -20 "$work/build.log"; fail "build failed"; }
    say "built $build/bin/libftpclient.so and $build/bin/ftpcli"
}

start_server() {
    bold "Starting a real FTP server (pyftpdlib) on 127.0.0.1"
    mkdir -p "$work/served" "$work/local"
    # A sample "media file": 3 MiB of bytes that never repeat, so any byte
    # delivered at a wrong position shows.
    /usr/bin/python3 -c '
import hashlib, sys
out = open(sys.argv[1], "wb")
for i in range(3 * 1024 * 1024 // 32):
    out.write(hashlib.sha256(i.to_bytes(8, "little")).digest())
' "$work/local/movie.ts" || fail "cannot make the sample file"
    exec 3> >(exec /usr/bin/python3 "$root/tests/realserver/pyftpd_server.py" \
        --root "$work/served" --port-file "$work/port" --password secret)
    server_pid=$!
    for _ in $(seq 100); do
        [[ -s $work/port ]] && break
        sleep 0.1
    done
    [[ -s $work/port ]] || fail "the FTP server did not start"
    port=$(cat "$work/port")
    say "serving $work/served on port $port (account \"ftp\", password \"secret\")"
    say "sample file: $work/local/movie.ts, $(stat -c %s "$work/local/movie.ts") bytes"
}

ftpcli() {
    "$build/bin/ftpcli" --server 127.0.0.1 --port "$port" --password secret --rate 50 "$@"
}

step() {
    local title=$1
    shift
    bold "$title"
    say "\$ ftpcli $*"
    ftpcli "$@" || fail "'ftpcli $*' ended with status $?"
}

tour() {
    step "Upload the file (SendFile; progress arrives as WM_FTP_PROGRESS notices)" \
        upload "$work/local/movie.ts" /movie.ts
    step "List the server's root directory (ListDirectory)" list /
    step "Ask for the file's size (GetRemoteFileSize)" size /movie.ts

    bold "Read 100 bytes from the middle of the remote file by position (ReadStream)"
    say "\$ ftpcli read /movie.ts 1500000 100"
    ftpcli read /movie.ts 1500000 100 >"$work/range.bin" || fail "stream read failed"
    cmp -s "$work/range.bin" <(tail -c +1500001 "$work/local/movie.ts" | head -c 100) ||
        fail "the bytes read differ from the file"
    say "the 100 bytes equal bytes 1500000..1500099 of the local copy"

    step "Play it as a media player would: sequential reads, jumps back and forth, a far seek, the head again (every byte checked)" \
        play /movie.ts --verify "$work/local/movie.ts"

    step "Download it again into a local file (ReceiveFile)" \
        download /movie.ts "$work/local/copy.ts"
    cmp -s "$work/local/movie.ts" "$work/local/copy.ts" || fail "the downloaded copy differs"
    say "the downloaded copy is identical to the original"

    step "Make a directory (CreateOrRemoveDirectory with create = 1)" mkdir /demo-dir
    step "Remove it again (create = 0)" rmdir /demo-dir
    step "Delete the remote file (DeleteRemoteFile)" delete /movie.ts
    step "The root directory is empty again" list /
}

main() {
    [[ $(id -u) -eq 0 ]] || command -v cmake >/dev/null || fail "run as root on a fresh machine (it installs packages)"
    install_packages
    build_library
    start_server
    tour
    bold "Done: every operation worked against a real server; the server is stopped now."
}

main
