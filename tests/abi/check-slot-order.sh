#!/bin/bash
# The ABI host declares the interface itself (it cannot include the header in
# the MSVC target); this keeps its declaration from drifting from the header.
# Usage: check-slot-order.sh include/IFtpClient.h tests/abi/AbiHost.cpp
set -euo pipefail

slots() {
    sed -nE 's/^[[:space:]]*virtual[^(]*[[:space:]*]([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/p' "$1"
}

header_slots=$(slots "$1")
host_slots=$(slots "$2")
if [[ -z "$header_slots" ]]; then
    echo "no virtual functions found in $1" >&2
    exit 1
fi
if [[ "$header_slots" != "$host_slots" ]]; then
    echo "slot order differs between $1 and $2:" >&2
    diff <(echo "$header_slots") <(echo "$host_slots") >&2 || true
    exit 1
fi
echo "$(wc -l <<<"$header_slots") slots in the same order"
