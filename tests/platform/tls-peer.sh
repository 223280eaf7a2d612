#!/bin/bash
# The TLS server of the platform tests' TLS rows (tls_peer.py), as a ctest
# fixture started before platform_tests and stopped after it: the Windows
# test program runs under Wine, which cannot start a Linux program, so the
# server is started on the Linux side for both builds.
#
#   tls-peer.sh start DIR   makes the certificates in DIR, starts the server
#                           and waits until it listens; DIR/peer.info then
#                           names its ports, the CA files and the pin
#   tls-peer.sh stop DIR    stops the server started for DIR (its PID only)
#
# The tests find DIR/peer.info through FTP_TLS_PEER. By hand:
#   tests/platform/tls-peer.sh start /tmp/tls-peer
#   FTP_TLS_PEER=/tmp/tls-peer/peer.info build/native/bin/platform_tests --gtest_filter='*Tls*'
#   tests/platform/tls-peer.sh stop /tmp/tls-peer
set -euo pipefail

readonly here=$(cd "$(dirname "$0")" && pwd)
readonly python=/usr/bin/python3
readonly start_seconds=20

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}

# The server started for DIR, if it still runs: its PID file, and the PID
# still being that server (not a process that took the number since).
running_pid() {
    local pid
    pid=$(cat "$1/pid" 2>/dev/null) || return 1
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF "tls_peer.py" || return 1
    echo "$pid"
}

stop() {
    local dir=$1 pid
    pid=$(running_pid "$dir") || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        [[ -d /proc/$pid ]] || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# Two unrelated self-signed certificates: the server's (which is also the
# CA file that trusts it) and another authority's.
make_certificates() {
    local dir=$1
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=localhost \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -keyout "$dir/server-key.pem" -out "$dir/server.pem" 2>"$dir/openssl.log"
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Unrelated Test Authority" \
        -keyout "$dir/other-ca-key.pem" -out "$dir/other-ca.pem" 2>>"$dir/openssl.log"
}

start() {
    local dir=$1 pin pid
    stop "$dir"
    rm -rf "$dir"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    make_certificates "$dir"
    pin=$(openssl x509 -in "$dir/server.pem" -outform DER | sha256sum | cut -c1-64)
    # Its own output file, not ctest's pipe: ctest would wait for the pipe.
    "$python" "$here/tls_peer.py" --cert "$dir/server.pem" --key "$dir/server-key.pem" \
        --info "$dir/peer.info" \
        "ca_file=$dir/server.pem" "other_ca_file=$dir/other-ca.pem" "pin=$pin" \
        </dev/null >"$dir/server.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/pid"
    for _ in $(seq $((start_seconds * 10))); do
        if [[ -f $dir/peer.info ]]; then
            cat "$dir/peer.info"
            return 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "the TLS server ended at once:" >&2
            cat "$dir/server.log" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "the TLS server did not listen within $start_seconds s" >&2
    stop "$dir"
    return 1
}

[[ $# -eq 2 ]] || usage
case $1 in
start) start "$2" ;;
stop) stop "$2" ;;
*) usage ;;
esac
