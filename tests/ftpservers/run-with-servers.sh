#!/bin/bash
# Runs a command with one real FTP server of each kind on 127.0.0.1, for
# tests that cannot start servers themselves (the Windows tests under Wine).
#
#   tests/ftpservers/run-with-servers.sh SERVERS_DIR COMMAND [ARGS...]
#   e.g. tests/ftpservers/run-with-servers.sh build/mingw/ftpservers \
#            tools/ci-wine.sh build/mingw ctest --test-dir build/mingw
#
# SERVERS_DIR holds (or receives) the unpacked vsftpd, proftpd and pure-ftpd
# (fetch-servers.sh). For each KIND (PYFTPDLIB, VSFTPD, PROFTPD, PURE_FTPD)
# the command sees FTP_REAL_SERVER_<KIND>_PORT, _ROOT (a Linux path),
# _SERVER (name and version) and _WRITABLE (the remote folder the account may
# write in); a server that did not start leaves _ERROR instead, so its tests
# fail with the reason. FTP_REAL_SERVER_PORT / _ROOT name the pyftpdlib one.
# Servers in other modes (TLS, the named account, a port-range relay's
# ports) come from the launcher service started here as well
# (`ftpserver.py service`), whose port is in FTP_REAL_SERVER_SERVICE_PORT:
# the tests ask it for one server each. The servers and the service are
# stopped (by the PIDs started here) when the command ends, and the exit
# status is the command's.
set -uo pipefail

readonly here=$(cd "$(dirname "$0")" && pwd)
readonly kinds=(pyftpdlib vsftpd proftpd pure-ftpd)
readonly start_seconds=150

launcher_pids=()
input_fds=()

stop_servers() {
    local pid fd
    # Closing their input ends the launchers; the signal covers the rest.
    for fd in "${input_fds[@]}"; do
        exec {fd}>&-
    done
    for pid in "${launcher_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${launcher_pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    [[ -n ${work:-} ]] && rm -rf "$work"
}

environment_name() {
    local name=${1^^}
    echo "${name//-/_}"
}

# The launcher reads a FIFO whose only writer is this shell, so it also ends
# when this shell dies.
start_server() {
    local kind=$1 folder="$work/$1" fd
    mkdir -p "$folder/root"
    mkfifo "$folder/input"
    /usr/bin/python3 "$here/ftpserver.py" start "$kind" "$folder/root" "$folder/port" \
        --servers-dir "$servers_dir" <"$folder/input" >"$folder/launcher.log" 2>&1 &
    launcher_pids+=($!)
    exec {fd}>"$folder/input"
    input_fds+=("$fd")
}

# The launcher service, fed by a FIFO like the launchers.
start_service() {
    local folder="$work/service" fd
    mkdir -p "$folder"
    mkfifo "$folder/input"
    /usr/bin/python3 "$here/ftpserver.py" service "$folder/port" --servers-dir "$servers_dir" \
        --run-dir "$folder/servers" <"$folder/input" >"$folder/service.log" 2>&1 &
    service_pid=$!
    launcher_pids+=("$service_pid")
    exec {fd}>"$folder/input"
    input_fds+=("$fd")
}

announce_service() {
    local folder="$work/service" deadline=$((SECONDS + 10))
    while [[ ! -s $folder/port ]] && kill -0 "$service_pid" 2>/dev/null && ((SECONDS < deadline)); do
        sleep 0.1
    done
    if [[ -s $folder/port ]]; then
        export FTP_REAL_SERVER_SERVICE_PORT=$(head -n 1 "$folder/port")
        echo "run-with-servers: launcher service on 127.0.0.1:$FTP_REAL_SERVER_SERVICE_PORT" >&2
    else
        echo "run-with-servers: the launcher service did not start: $(tail -n 5 "$folder/service.log")" >&2
    fi
}

# Waits for the port file (or the launcher's end) and exports what it says.
announce_server() {
    local kind=$1 pid=$2 folder="$work/$1" prefix
    prefix=FTP_REAL_SERVER_$(environment_name "$kind")
    local deadline=$((SECONDS + start_seconds))
    while [[ ! -s $folder/port ]] && kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do
        sleep 0.1
    done
    if [[ ! -s $folder/port ]]; then
        local reason
        reason=$(tail -n 5 "$folder/launcher.log" | tr '\n' ' ')
        echo "run-with-servers: $kind did not start: $reason" >&2
        export "${prefix}_ERROR=${reason:-no reason given}"
        return
    fi
    local port server writable
    port=$(head -n 1 "$folder/port")
    server=$(sed -n 's/^server=//p' "$folder/port")
    writable=$(sed -n 's/^writable=//p' "$folder/port")
    export "${prefix}_PORT=$port" "${prefix}_ROOT=$folder/root" \
        "${prefix}_SERVER=$server" "${prefix}_WRITABLE=$writable"
    echo "run-with-servers: $server on 127.0.0.1:$port serving $folder/root" >&2
}

main() {
    if [[ $# -lt 2 ]]; then
        echo "usage: $0 SERVERS_DIR COMMAND [ARGS...]" >&2
        exit 2
    fi
    servers_dir=$(mkdir -p "$1" && cd "$1" && pwd) || exit 2
    shift
    work=$(mktemp -d /tmp/ftp-real-servers-XXXXXX) || exit 1
    # The servers' sessions run as unprivileged accounts and must reach the roots.
    chmod 755 "$work"
    trap stop_servers EXIT
    trap 'exit 143' TERM INT HUP
    local kind index
    for kind in "${kinds[@]}"; do
        start_server "$kind"
    done
    start_service
    for index in "${!kinds[@]}"; do
        announce_server "${kinds[$index]}" "${launcher_pids[$index]}"
    done
    announce_service
    export FTP_REAL_SERVER_PORT=${FTP_REAL_SERVER_PYFTPDLIB_PORT:-}
    export FTP_REAL_SERVER_ROOT=${FTP_REAL_SERVER_PYFTPDLIB_ROOT:-}
    "$@"
}

main "$@"
