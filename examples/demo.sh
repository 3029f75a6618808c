#!/usr/bin/env bash
# The bundled example: extract the resources of examples/hello.exe into a .RES file.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
"$build/tolvane" "$here/hello.exe" -r "$build/hello.res"
