#!/usr/bin/env bash
# Rebuilds examples/hello.exe and examples/stamp.res from examples/src/.
# Needs gcc-mingw-w64-i686 and binutils-mingw-w64-i686.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
cd "$HERE/src"
i686-w64-mingw32-windres -O coff -i hello.rc -o "$TMP/hello_res.o"
i686-w64-mingw32-gcc -std=gnu11 -Os -s -fno-ident -Wall \
    -Wl,--no-insert-timestamp -Wl,--dynamicbase \
    -o "$HERE/hello.exe" hello.c "$TMP/hello_res.o" -lversion
i686-w64-mingw32-windres -O res -i stamp.rc -o "$HERE/stamp.res"
ls -l "$HERE/hello.exe" "$HERE/stamp.res"
