#!/usr/bin/env bash
# Golden comparison of two builds of tolvane: runs all three jobs with each over the
# same inputs and compares, byte for byte (cmp), every file written, every message
# and every exit status. A change that must not change what the program writes is
# checked with it before it lands:
#
#   tools/golden/compare.sh OLD/tolvane NEW/tolvane [--bench]
#
# Inputs: every fixture image and .RES (tests/fixtures, examples, tests/realworld),
# every regression input (tests/regressions), each image with each .RES for -o, each
# .RES for -s (into the Empty.dll beside each program). --bench adds the benchmark's
# generated image and .RES (made once with NEW's build tools/bench/make_bench_inputs).
# Exit 0 when everything compares equal; the differences are listed otherwise.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
old=$(readlink -f "${1:?usage: compare.sh OLD_TOLVANE NEW_TOLVANE [--bench]}")
new=$(readlink -f "${2:?usage: compare.sh OLD_TOLVANE NEW_TOLVANE [--bench]}")
bench=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-golden.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/in"
shopt -s nullglob
images=("$root"/tests/fixtures/*.exe "$root"/tests/fixtures/*.dll "$root"/examples/*.exe "$root"/tests/regressions/image-*)
resfiles=("$root"/tests/fixtures/*.res "$root"/examples/*.res "$root"/tests/realworld/*.res "$root"/tests/regressions/res-*)
# A combination input is 4 bytes of little-endian length n, n bytes of .RES, the image.
for f in "$root"/tests/regressions/combine-*; do
  base=$(basename "$f")
  /usr/bin/python3 - "$f" "$work/in/$base.res" "$work/in/$base.exe" <<'PY'
import struct, sys
b = open(sys.argv[1], 'rb').read()
n = min(struct.unpack('<I', b[:4])[0], len(b) - 4)
open(sys.argv[2], 'wb').write(b[4:4 + n]); open(sys.argv[3], 'wb').write(b[4 + n:])
PY
  images+=("$work/in/$base.exe")
  resfiles+=("$work/in/$base.res")
done
if [ "$bench" = --bench ]; then
  "$(dirname "$new")/tools/bench/make_bench_inputs" "$root/tests/fixtures/app.exe" "$work/in/bench.exe" \
    "$work/in/bench.res" 20000 150000000 10000 >/dev/null || exit 1
  images+=("$work/in/bench.exe")
  resfiles+=("$work/in/bench.res")
fi

# Every job run in the same relative place, so the messages name the same files.
run_all() {  # program outdir
  local program=$1 out=$2 i r n=0
  mkdir -p "$out"
  for i in "${images[@]}"; do
    n=$((n + 1))
    (cd "$out" && "$program" "$i" -r "x$n.res" >"x$n.log" 2>&1; echo "status $?" >>"x$n.log")
    for r in "${resfiles[@]}"; do
      n=$((n + 1))
      (cd "$out" && "$program" -o "o$n.exe" "$i" "$r" >"o$n.log" 2>&1; echo "status $?" >>"o$n.log")
    done
  done
  for r in "${resfiles[@]}"; do
    n=$((n + 1))
    (cd "$out" && "$program" -s "s$n.dll" unused.exe "$r" >"s$n.log" 2>&1; echo "status $?" >>"s$n.log")
  done
  # The messages name the inputs by their full path: the same for both runs.
  sed -i "s|$work/old|OUT|g; s|$work/new|OUT|g" "$out"/*.log
}
run_all "$old" "$work/old"
run_all "$new" "$work/new"

differences=0
for f in "$work/old"/* "$work/new"/*; do
  name=$(basename "$f")
  [ -e "$work/old/$name" ] && [ -e "$work/new/$name" ] || { echo "only one build wrote $name"; differences=$((differences + 1)); continue; }
done
for f in "$work/old"/*; do
  name=$(basename "$f")
  [ -e "$work/new/$name" ] || continue
  cmp -s "$f" "$work/new/$name" || { echo "differs: $name ($(head -c 200 "$work/old/${name%.*}.log" | head -1))"; differences=$((differences + 1)); }
done
echo "golden: $(ls "$work/old" | wc -l) files compared, $differences differences (${#images[@]} images, ${#resfiles[@]} .RES files)"
[ "$differences" -eq 0 ]
