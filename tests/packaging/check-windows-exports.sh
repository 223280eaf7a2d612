#!/bin/bash
# ftpclient.dll must export exactly the factory, under its plain (cdecl) name,
# and import only DLLs every Windows installation has: with the mingw run
# time linked statically nothing needs to be shipped beside it.
# Usage: check-windows-exports.sh <objdump> <ftpclient.dll>
set -euo pipefail
objdump_tool=$1
library=$2
readonly expected_export=CreateFtpClientInstance
readonly system_dlls="advapi32.dll crypt32.dll kernel32.dll msvcrt.dll secur32.dll user32.dll ws2_32.dll"

headers=$("$objdump_tool" -p "$library")

# Rows of the name pointer table look like "	[   0] CreateFtpClientInstance".
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
               in_table && /^[[:space:]]*\[ *[0-9]+\]/ { print $NF; next }
               in_table { in_table = 0 }' <<<"$headers" | sort -u)
imports=$(awk '/DLL Name:/ { print tolower($NF) }' <<<"$headers" | sort -u)

echo "exports: ${exports//$'\n'/ }"
echo "imports: ${imports//$'\n'/ }"
status=0
if [[ "$exports" != "$expected_export" ]]; then
    echo "expected exactly one export: $expected_export" >&2
    status=1
fi
for dll in $imports; do
    if [[ " $system_dlls " != *" $dll "* ]]; then
        echo "imports a DLL that is not part of Windows: $dll" >&2
        status=1
    fi
done
exit $status
