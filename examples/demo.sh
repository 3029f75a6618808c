#!/usr/bin/env bash
# The bundled example: extract the resources of examples/hello.exe into a .RES
# file, then stamp examples/stamp.res (a new string and version) into a copy of it
# and run the copy under Wine where Wine can run 32-bit programs. The 64-bit build
# of the example, examples/hello64.exe, is stamped the same way (with -64) and runs
# under Wine's 64-bit loader, which machines without 32-bit support still have.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
"$build/tolvane" "$here/hello.exe" -r "$build/hello.res"
"$build/tolvane" -o "$build/hello-stamped.exe" "$here/hello.exe" "$here/stamp.res"
"$build/tolvane" -64 -o "$build/hello64-stamped.exe" "$here/hello64.exe" "$here/stamp.res"
if reason=$("$here/../tools/wine-probe"); then
  echo "Running the stamped program under Wine:"
  WINEDEBUG=-all wine "$build/hello-stamped.exe" | tr -d '\r'
else
  echo "Not run under Wine: $reason"
fi
if loader=$("$here/../tools/wine-probe" --64); then
  echo "Running the stamped 64-bit program under Wine's 64-bit loader:"
  WINEDEBUG=-all "$loader" "$build/hello64-stamped.exe" | tr -d '\r'
else
  echo "Not run under Wine's 64-bit loader: $loader"
fi
