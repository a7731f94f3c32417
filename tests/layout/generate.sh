#!/bin/sh
# Prints the rows of the DDK layout table in tests/layout_test.cpp: each structure size and field
# offset of layout_list.h as the x86-64 and the 32-bit x86 mingw-w64 DDK define them.
# Run from the repository root after changing layout_list.h or the compatibility header:
#   tests/layout/generate.sh
# and replace the rows of DdkLayout in tests/layout_test.cpp with its output.
set -eu
ddk=/usr/share/mingw-w64/include/ddk
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for triple in x86_64 i686; do
    "$triple-w64-mingw32-g++" -std=c++17 -c -I driver -I tests/layout -isystem "$ddk" \
        tests/layout/layout_probe.cpp -o "$work/$triple.o"
    strings -a -w "$work/$triple.o" | sed -n '/^VELT-LAYOUT$/,/^VELT-LAYOUT-END$/p' |
        sed '1d;$d' >"$work/$triple.txt"
done
paste -d ' ' "$work/x86_64.txt" "$work/i686.txt" | awk '{
    x86 = $NF; x64 = $(NF / 2); name = $1;
    for (i = 2; i < NF / 2; i++) name = name " " $i;
    printf "    {\"%s\", %s, %s},\n", name, x64, x86;
}'
