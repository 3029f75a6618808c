#!/usr/bin/env bash
# Rebuilds realworld_stamp.res, the stamp the real-world tests merge into
# images of Debian packages, from realworld_stamp.rc beside it.
# Needs binutils-mingw-w64-i686 (i686-w64-mingw32-windres).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
export LC_ALL=C
# Relative names only, so no path of the checkout ends up in the file.
i686-w64-mingw32-windres -O res -i realworld_stamp.rc -o realworld_stamp.res
echo "wrote $(pwd)/realworld_stamp.res"
