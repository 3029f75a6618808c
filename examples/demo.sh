#!/usr/bin/env bash
# The bundled example: extract the resources of examples/hello.exe into a .RES
# file, then stamp examples/stamp.res (a new string and version) into a copy of it.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
"$build/tolvane" "$here/hello.exe" -r "$build/hello.res"
"$build/tolvane" -o "$build/hello-stamped.exe" "$here/hello.exe" "$here/stamp.res"
if command -v wine >/dev/null 2>&1; then
  echo "Running the stamped program under Wine:"
  WINEDEBUG=-all wine "$build/hello-stamped.exe" || true
fi
