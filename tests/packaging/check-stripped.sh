#!/bin/bash
# A shipped binary carries no debug information, only a debug link to the
# file that holds it:
#   - BINARY has no .debug_* section and no symbol table;
#   - its .gnu_debuglink names DEBUG-FILE, with DEBUG-FILE's CRC-32 (what gdb
#     checks before it uses the file);
#   - DEBUG-FILE holds debug information (.debug_info) for the same code:
#     .text of the same size at the same address, and the same build ID
#     where BINARY has one (ELF).
# Works on ELF and PE files alike with the matching binutils.
# usage: check-stripped.sh OBJDUMP OBJCOPY BINARY DEBUG-FILE
set -euo pipefail
readonly objdump_tool=$1 objcopy_tool=$2 binary=$3 debug_file=$4

work=$(mktemp -d /tmp/ftpclient-stripped-XXXXXX)
readonly work
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
    echo "FAIL: $(basename "$binary"): $*" >&2
    failures=$((failures + 1))
}
section_names() {  # section_names FILE
    "$objdump_tool" -h "$1" | awk '$1 ~ /^[0-9]+$/ { print $2 }'
}
text_section() {  # text_section FILE: its size and address
    "$objdump_tool" -h "$1" | awk '$2 == ".text" { print $3, $4 }'
}
crc32() {  # crc32 FILE: the gzip trailer holds the CRC-32 of the data
    gzip -c "$1" | tail -c 8 | od -An -tx4 -N4 | tr -d ' '
}
build_id() {  # build_id FILE: the note's bytes, empty without one
    "$objdump_tool" -s -j .note.gnu.build-id "$1" 2>/dev/null | awk '/^ [0-9a-f]+ / { print $2, $3, $4, $5 }'
}

sections=$(section_names "$binary")
debug_sections=$(grep -E '^\.z?debug_' <<<"$sections" | tr '\n' ' ' || true)
[[ -z $debug_sections ]] || fail "still has $debug_sections"
"$objdump_tool" -t "$binary" | grep -qx 'no symbols' || fail "still has a symbol table"

if grep -qx .gnu_debuglink <<<"$sections"; then
    "$objcopy_tool" --dump-section .gnu_debuglink="$work/link" "$binary" "$work/copy"
    # The file name, a NUL, padding to 4 bytes, then the CRC in the file's byte order (little-endian).
    link_name=$(tr '\0' '\n' <"$work/link" | head -n 1)
    link_crc=$(tail -c 4 "$work/link" | od -An -tx4 | tr -d ' ')
    echo "$(basename "$binary"): debug link $link_name, CRC $link_crc"
    [[ $link_name == "$(basename "$debug_file")" ]] || fail "links to $link_name, not $(basename "$debug_file")"
    if [[ -f $debug_file ]]; then
        [[ $link_crc == "$(crc32 "$debug_file")" ]] || fail "the CRC of $debug_file is $(crc32 "$debug_file")"
    fi
else
    fail "has no .gnu_debuglink"
fi

if [[ -f $debug_file ]]; then
    section_names "$debug_file" | grep -qx .debug_info || fail "$debug_file has no .debug_info"
    [[ $(text_section "$binary") == "$(text_section "$debug_file")" ]] ||
        fail ".text differs: $(text_section "$binary") here, $(text_section "$debug_file") in $debug_file"
    [[ $(build_id "$binary") == "$(build_id "$debug_file")" ]] ||
        fail "the build ID differs from that of $debug_file"
else
    fail "no debug file $debug_file"
fi
[[ $failures -eq 0 ]]
