#!/bin/bash
# Puts runnable vsftpd, proftpd and pure-ftpd binaries into a folder without
# installing anything: the three conflict as installed packages, and
# proftpd's maintainer scripts would start a daemon. Each package (and each
# shared library they need that this machine lacks) is fetched with
# `apt-get download` and unpacked with `dpkg -x` into DIR/tree.
#
#   tests/ftpservers/fetch-servers.sh DIR
#
# Safe to run again and from several processes at once: what is already
# unpacked is kept. Exits non-zero, saying why, when a binary cannot be had
# or cannot find its libraries.
set -euo pipefail

# proftpd-mod-crypto brings mod_tls, for the TLS modes.
readonly server_packages=(vsftpd proftpd-basic proftpd-core proftpd-mod-crypto pure-ftpd)
# What the servers link against beyond a base Debian 12 system.
readonly library_packages=(libwrap0 libhiredis0.14 libmemcached11 libmemcachedutil2
    libhashkit2 libpcre2-posix3)
readonly binaries=(usr/sbin/vsftpd usr/sbin/proftpd usr/lib/proftpd/mod_tls.so usr/sbin/pure-ftpd
    usr/bin/pure-pw)

fail() {
    echo "fetch-servers: $*" >&2
    exit 1
}

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Downloads the named packages into the current folder (DIR/debs), refreshing
# the package lists once when the first attempt fails.
download() {
    apt-get download "$@" >/dev/null 2>download.log && return 0
    echo "fetch-servers: apt-get download failed; running apt-get update first" >&2
    apt-get update >/dev/null 2>>download.log || true
    apt-get download "$@" >/dev/null 2>>download.log && return 0
    cat download.log >&2
    fail "cannot download $* (this needs root, or a working package source)"
}

is_unpacked() {
    [[ -f $folder/debs/.unpacked-$1 ]]
}

unpack() {
    local debs=("$folder/debs/$1"_*.deb)
    [[ -f ${debs[0]} ]] || fail "apt-get download $1 left no .deb"
    dpkg -x "${debs[0]}" "$folder/tree" || fail "dpkg -x ${debs[0]} failed"
    touch "$folder/debs/.unpacked-$1"
}

library_path() {
    local dirs=("$folder"/tree/usr/lib/*-linux-gnu)
    local IFS=:
    echo "${dirs[*]}"
}

check_binaries() {
    local binary missing
    for binary in "${binaries[@]}"; do
        [[ -r $folder/tree/$binary ]] || fail "$folder/tree/$binary missing after unpacking"
        missing=$(LD_LIBRARY_PATH=$(library_path) ldd "$folder/tree/$binary" | grep 'not found' || true)
        [[ -z $missing ]] || fail "$binary lacks libraries:"$'\n'"$missing"
    done
}

main() {
    [[ $# -eq 1 ]] || { echo "usage: $0 DIR" >&2; exit 2; }
    mkdir -p "$1" 2>/dev/null || fail "cannot make the folder $1"
    mkdir -p "$1/debs" "$1/tree"
    folder=$(cd "$1" && pwd)
    exec 9>"$folder/.lock"
    flock -w 600 9 || fail "another fetch into $folder did not end within 10 min"
    cd "$folder/debs"
    local package wanted=()
    for package in "${server_packages[@]}"; do
        is_unpacked "$package" || wanted+=("$package")
    done
    for package in "${library_packages[@]}"; do
        is_installed "$package" || is_unpacked "$package" || wanted+=("$package")
    done
    if [[ ${#wanted[@]} -gt 0 ]]; then
        download "${wanted[@]}"
        for package in "${wanted[@]}"; do
            unpack "$package"
        done
    fi
    check_binaries
}

main "$@"
