#!/bin/bash
# ftpcli against pyftpdlib on 127.0.0.1: every command, what it prints, what
# it does to the served folder, and the exit status of each kind of failure.
#
# usage: end-to-end.sh PYTHON FTPCLI [EMULATOR...]
#   PYTHON    a python3 with pyftpdlib (Debian's /usr/bin/python3)
#   FTPCLI    the tool; with EMULATOR (wine) the Windows build is run under it
# The server runs here, on Linux, in either case.
set -u
readonly python=$1 tool=$2
shift 2
readonly emulator=("$@")
readonly here=$(cd "$(dirname "$0")" && pwd)
readonly password=e2e-secret

work=$(mktemp -d /tmp/ftpcli-e2e-XXXXXX) || exit 1
readonly work root=$work/root
mkdir "$root"
mkfifo "$work/server-input"
"$python" "$here/../realserver/pyftpd_server.py" --root "$root" --port-file "$work/port" \
    --password "$password" <"$work/server-input" >"$work/server.log" 2>&1 &
readonly server_pid=$!
exec 3>"$work/server-input"  # the server ends when this closes

stop_server() {
    exec 3>&-
    for _ in $(seq 50); do
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap stop_server EXIT

for _ in $(seq 150); do
    [[ -s $work/port ]] && break
    sleep 0.1
done
port=$(cat "$work/port" 2>/dev/null) || { echo "pyftpdlib did not start"; cat "$work/server.log"; exit 1; }
cd "$work" || exit 1

# ---- helpers ------------------------------------------------------------------------
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
    echo "  stdout: $(head -c 400 out | tr -d '\r')"
    echo "  stderr: $(head -c 400 err | tr -d '\r')"
}

# ftp ARGS...: the tool against the test server; stdout in ./out, stderr in ./err.
ftp() {
    "${emulator[@]}" "$tool" --server 127.0.0.1 --port "$port" --password "$password" "$@" \
        >out 2>err
    status=$?
}

# expect WANTED-STATUS ARGS...
expect() {
    local wanted=$1
    shift
    ftp "$@"
    if [[ $status -eq $wanted ]]; then pass; else fail "ftpcli $* -> $status, wanted $wanted"; fi
}

# check DESCRIPTION COMMAND...: the command must succeed.
check() {
    local description=$1
    shift
    if "$@"; then pass; else fail "$description"; fi
}

has() { tr -d '\r' <"$1" | grep -q -- "$2"; }
text_of() { tr -d '\r' <"$1"; }

make_file() {  # make_file NAME BYTES
    "$python" -c "import sys, random; random.seed(sys.argv[2]); \
sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(int(sys.argv[2]))))" \
        "$1" "$2" >"$1"
}

# ---- help and usage ---------------------------------------------------------------
expect 0 --help
check "--help shows the usage" has out "Usage: ftpcli"
expect 0 upload --help
check "upload --help shows its arguments" has out "upload LOCAL \[REMOTE\]"
expect 0 help play
check "help play describes play" has out "media player"
expect 0 --version
expect 2
expect 2 size
expect 2 read /a.bin 0 x

# ---- transfers ------------------------------------------------------------------------
make_file big.bin 1500000
{ cat big.bin; head -c 300000 big.bin; } >bigger.bin
echo "small file" >small.txt

expect 0 upload big.bin /big.bin
check "upload stores the file" cmp -s big.bin "$root/big.bin"
check "no output when not on a terminal" test ! -s err
expect 16 upload big.bin /big.bin
check "a refused overwrite is explained" has err "overwrite"
expect 0 --overwrite --append upload bigger.bin /big.bin
check "append completes the remote file" cmp -s bigger.bin "$root/big.bin"
expect 0 upload small.txt
check "upload without REMOTE uses the local name" cmp -s small.txt "$root/small.txt"
expect 5 upload missing.bin
# 1.5 Mbit/s: the upload would take about 9 s.
expect 6 --overwrite --rate 1.5 --timeout 1 upload bigger.bin /slow.bin
check "the time-out is named" has err "not complete within 1 s"

expect 0 download /big.bin copy.bin
check "download fetches the file" cmp -s bigger.bin copy.bin
expect 16 download /missing.bin nothing.bin

# ---- synchronous operations -----------------------------------------------------------
expect 0 size /big.bin
check "size prints the size" test "$(text_of out)" = 1800000
expect 1 size /missing.bin
expect 0 list /
check "list shows every file" has out "big.bin"
check "list shows every file" has out "small.txt"
expect 0 list / small.txt
check "a pattern limits the listing" has out "small.txt"
check "a pattern limits the listing" test "$(grep -c big.bin out)" -eq 0
mkdir "$root/many"
for i in $(seq 100 399); do : >"$root/many/file-$i-with-a-long-name.mkv"; done
expect 0 list /many
check "list shows a long folder whole" test "$(grep -c 'file-[0-9]*-with-a-long-name.mkv' out)" -eq 300

expect 0 mkdir /made
expect 0 mkdir /made/inner
check "mkdir creates directories" test -d "$root/made/inner"
expect 16 rmdir /made
check "a refused rmdir is named" has err "(FTPE_BADREPLY)"
expect 0 rmdir /made/inner
expect 0 rmdir /made
check "rmdir removes directories" test ! -e "$root/made"
expect 0 delete /small.txt
check "delete removes the file" test ! -e "$root/small.txt"
expect 16 delete /small.txt

# ---- failures named by the library ----------------------------------------------------
expect 13 --password wrong size /big.bin
check "a refused login is named" has err "refused the login. (FTPE_LOGINFAIL)"
ftp_closed_port() { "${emulator[@]}" "$tool" --server 127.0.0.1 --port 1 size /big.bin >out 2>err; }
ftp_closed_port
status=$?
if [[ $status -eq 12 ]]; then pass; else fail "closed port -> $status, wanted 12"; fi
expect 3 --rate 500 size /big.bin
check "a refused setting is named" has err "refused --rate"

# ---- stream reading ---------------------------------------------------------------------
expect 0 read /big.bin 1000 200000
tail -c +1001 bigger.bin | head -c 200000 >expected.bin
check "read writes the byte range" cmp -s expected.bin out
expect 0 read /big.bin 1799900 1000
check "read stops at the end of the file" test "$(stat -c %s out)" -eq 100
# A sparse film of 5 GiB with a mark at 4.5 GiB.
"$python" -c "import sys; f = open(sys.argv[1], 'wb'); f.truncate(5 << 30); f.seek(9 << 29); \
f.write(b'MARK-AT-4.5-GIB')" "$root/huge.bin"
expect 0 size /huge.bin
check "size gives the full size" test "$(text_of out)" = 5368709120
expect 0 read /huge.bin 4831838206 19
check "read reaches past 4 GiB" test "$(od -An -c out | tr -d ' \n')" = '\0\0MARK-AT-4.5-GIB\0\0'
rm -f "$root/huge.bin"
expect 0 --verify bigger.bin read /big.bin 70000 300000
cp bigger.bin corrupt.bin
printf 'X' | dd of=corrupt.bin bs=1 seek=123456 conv=notrunc 2>/dev/null
expect 4 --verify corrupt.bin read /big.bin 100000 100000
check "a mismatch names its offset" has err "at offset 123456"
expect 0 --verify bigger.bin play /big.bin
check "play reports the head read" has out " head "
check "play reports every read" test "$(text_of out | grep -cE '^ +[0-9]+  ')" -eq 14
expect 4 --verify corrupt.bin play /big.bin
check "play marks the read that differs" has out "DIFFERS at 123456"

# ---- terminals and diagnostics ------------------------------------------------------------
if [[ ${#emulator[@]} -eq 0 ]]; then
    expect 0 --debug size /big.bin
    check "--debug shows the library's diagnostics" test -s err
    if command -v script >/dev/null; then
        script -qec "$tool --server 127.0.0.1 --port $port --password $password \
--overwrite upload big.bin /tty.bin" /dev/null >out 2>err
        status=$?
        if [[ $status -eq 0 ]]; then pass; else fail "upload on a terminal -> $status"; fi
        check "a terminal gets the progress bar" has out "100%"
    fi
fi

# ---- FTP over TLS ---------------------------------------------------------------------------
# A second pyftpdlib that requires explicit TLS, with a certificate made for
# this run; --ca-file trusts it, --pin-sha256 pins it, and a failure says why.
tls_run=$work/tls
mkdir -p "$tls_run/root"
printf 'tls-bytes' >"$tls_run/root/t.bin"
mkfifo "$tls_run/input"
"$python" "$here/../ftpservers/ftpserver.py" start pyftpdlib "$tls_run/root" "$tls_run/port" \
    --password "$password" --tls explicit --run-dir "$tls_run/run" <"$tls_run/input" \
    >"$tls_run/server.log" 2>&1 &
tls_pid=$!
exec 4>"$tls_run/input"
for _ in $(seq 150); do
    [[ -s $tls_run/port ]] && break
    sleep 0.1
done
tls_port=$(head -1 "$tls_run/port" 2>/dev/null)
ca_file=$(sed -n 's/^ca_file=//p' "$tls_run/port" 2>/dev/null)
if [[ -n $tls_port && -n $ca_file ]] && command -v openssl >/dev/null; then
    tls() {
        "${emulator[@]}" "$tool" --server 127.0.0.1 --port "$tls_port" --password "$password" \
            --tls "$@" >out 2>err
        status=$?
    }
    tls --ca-file "$ca_file" size /t.bin
    check "--tls --ca-file: the size over TLS" test "$status $(text_of out)" = "0 9"
    tls size /t.bin
    check "an untrusted certificate fails (12) and says why" \
        test "$status" -eq 12 -a -n "$(text_of err | grep 'not trusted')"
    pin=$(openssl x509 -in "$ca_file" -outform DER | openssl dgst -sha256 -r | cut -d' ' -f1)
    tls --pin-sha256 "$pin" size /t.bin
    check "--pin-sha256 accepts the pinned certificate" test "$status $(text_of out)" = "0 9"
    tls --pin-sha256 "$(printf '%064d' 0)" size /t.bin
    check "another pin fails and says why" \
        test "$status" -eq 12 -a -n "$(text_of err | grep 'pin')"
else
    fail "the TLS server did not start: $(head -c 400 "$tls_run/server.log")"
fi
exec 4>&-
wait "$tls_pid" 2>/dev/null

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
