#!/bin/bash
# run-soak.sh [SECONDS]   (default 600)
# Runs ftpsoak against a pyftpdlib server on 127.0.0.1 for SECONDS and
# exits with its status (non-zero on any violation, leak, hang or growth).
#   FTPSOAK_BIN   the ftpsoak program (default: build/asan/bin/ftpsoak)
#   FTPSOAK_SEED  the seed to replay (default: the program picks and prints one)
#   FTPSOAK_HOSTS host threads, each with its own client object (default 4)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
readonly seconds=${1:-600}
readonly program=${FTPSOAK_BIN:-build/asan/bin/ftpsoak}
readonly python=/usr/bin/python3

if [[ ! -x $program ]]; then
    echo "run-soak: no program at $program (set FTPSOAK_BIN)" >&2
    exit 2
fi
work=$(mktemp -d /tmp/ftpsoak.XXXXXX) || exit 2
mkdir -p "$work/root" "$work/local"
server_pid=
cleanup() {
    exec 3>&- 2>/dev/null
    [[ -n $server_pid ]] && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The server ends when its standard input (fd 3 here) closes.
exec 3> >(exec "$python" tests/realserver/pyftpd_server.py --root "$work/root" \
    --port-file "$work/port" >"$work/server.log" 2>&1)
server_pid=$!
for _ in $(seq 100); do
    [[ -s $work/port ]] && break
    sleep 0.1
done
if [[ ! -s $work/port ]]; then
    echo "run-soak: the server did not start:" >&2
    cat "$work/server.log" >&2
    exit 2
fi

seed_args=()
[[ -n ${FTPSOAK_SEED:-} ]] && seed_args=(--seed "$FTPSOAK_SEED")
# A small quarantine keeps the sanitizer's own memory from looking like growth.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16:abort_on_error=1}
"$program" --port "$(cat "$work/port")" --server-root "$work/root" --local-folder "$work/local" \
    --seconds "$seconds" --hosts "${FTPSOAK_HOSTS:-4}" "${seed_args[@]}"
status=$?
echo "run-soak: ftpsoak exit status $status"
exit $status
