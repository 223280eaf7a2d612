#!/bin/bash
# libftpclient.so must define exactly one dynamic symbol: the factory. Anything
# else would let hosts (or other libraries loaded beside it) bind to internals.
# Usage: check-linux-exports.sh <nm> <libftpclient.so>
set -euo pipefail
nm_tool=$1
library=$2
readonly expected=CreateFtpClientInstance

exported=$("$nm_tool" -D --defined-only "$library" | awk 'NF >= 2 { print $NF }' | sort -u)
echo "dynamic symbols defined by $(basename "$library"): ${exported//$'\n'/ }"
if [[ "$exported" != "$expected" ]]; then
    echo "expected exactly: $expected" >&2
    exit 1
fi
