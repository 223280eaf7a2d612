#!/bin/bash
# Runs a build of examples/host or examples/films against pyftpdlib on
# 127.0.0.1 and checks what it did: the size it printed, the 16 bytes it read
# at the middle of the file, and the file it downloaded (host) or the
# folder's listing (films).
#
# usage: run-example.sh PYTHON EXAMPLE [EMULATOR...]
#   PYTHON    a python3 with pyftpdlib (Debian's /usr/bin/python3)
#   EXAMPLE   the example's executable (ftpclient-films* is the second
#             example); with EMULATOR (wine) the Windows build runs under
#             it, the server on Linux
set -u
readonly python=$1 example=$2
shift 2
readonly emulator=("$@")
here=$(cd "$(dirname "$0")" && pwd) || exit 1
readonly here password=example-secret size=300000 middle=150000

work=$(mktemp -d /tmp/ftpclient-example-XXXXXX) || exit 1
readonly work
server_pid=
cleanup() {
    if [[ -n $server_pid ]]; then
        exec 3>&-  # the server ends when its input closes
        for _ in $(seq 50); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/root"
"$python" -c 'import random, sys; random.seed(14)
sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(int(sys.argv[1]))))' \
    "$size" >"$work/root/media.bin" || exit 1
mkfifo "$work/server-input"
"$python" "$here/../realserver/pyftpd_server.py" --root "$work/root" --port-file "$work/port" \
    --password "$password" <"$work/server-input" >"$work/server.log" 2>&1 &
server_pid=$!
exec 3>"$work/server-input"
for _ in $(seq 150); do
    [[ -s $work/port ]] && break
    sleep 0.1
done
port=$(cat "$work/port" 2>/dev/null) || {
    echo "pyftpdlib did not start"
    cat "$work/server.log"
    exit 1
}

# The download goes to a name in the current folder (Wine maps it as well).
cd "$work" || exit 1
films=false
[[ $(basename "$example") == *films* ]] && films=true
if $films; then
    "${emulator[@]}" "$example" 127.0.0.1 "$port" "$password" /media.bin >out 2>err
else
    "${emulator[@]}" "$example" 127.0.0.1 "$port" "$password" /media.bin got.bin >out 2>err
fi
status=$?
tr -d '\r' <out >printed
cat printed err

expected_range="read 16 bytes at $middle:$(od -An -tx1 -j"$middle" -N16 -v root/media.bin |
    tr -s ' \n' ' ' | sed 's/ $//')"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
[[ $status -eq 0 ]] || fail "the example exited with status $status"
grep -qx "size $size" printed || fail "no \"size $size\" line"
grep -qxF "$expected_range" printed || fail "no \"$expected_range\" line"
if $films; then
    grep -qx "listing of /: [0-9]* bytes" printed || fail "no \"listing of /\" line"
    grep -q " media.bin$" printed || fail "the listing does not name media.bin"
else
    cmp -s root/media.bin got.bin || fail "the downloaded file differs from the served one"
fi
[[ $failures -eq 0 ]]
