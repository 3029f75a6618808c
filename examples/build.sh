#!/usr/bin/env bash
# Rebuilds examples/hello.exe, its x86_64 build examples/hello64.exe and
# examples/stamp.res from examples/src/.
# Needs gcc-mingw-w64-i686, binutils-mingw-w64-i686, gcc-mingw-w64-x86-64 and
# binutils-mingw-w64-x86-64.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
cd "$HERE/src"
i686-w64-mingw32-windres -O coff -i hello.rc -o "$TMP/hello_res.o"
i686-w64-mingw32-gcc -std=gnu11 -Os -s -fno-ident -Wall \
    -Wl,--no-insert-timestamp -Wl,--dynamicbase \
    -o "$HERE/hello.exe" hello.c "$TMP/hello_res.o" -lversion
x86_64-w64-mingw32-windres -O coff -i hello.rc -o "$TMP/hello64_res.o"
x86_64-w64-mingw32-gcc -std=gnu11 -Os -s -fno-ident -Wall \
    -Wl,--no-insert-timestamp -Wl,--dynamicbase \
    -o "$HERE/hello64.exe" hello.c "$TMP/hello64_res.o" -lversion
i686-w64-mingw32-windres -O res -i stamp.rc -o "$HERE/stamp.res"
ls -l "$HERE/hello.exe" "$HERE/hello64.exe" "$HERE/stamp.res"
