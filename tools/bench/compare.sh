#!/usr/bin/env bash
# Builds of tolvane side by side, for a change that claims (or may cost) speed: the
# main table's inputs (20,000 resources, 150 MB, and a .RES of 10,000) and the
# 100k small-resource series, each build running both jobs in turn within every
# round, after the floor (floor.c: the big image mapped and written out), so that
# all see the same machine. Prints the median wall and CPU seconds.
#
#   tools/bench/compare.sh [--work DIR] [--runs N] [--generator GEN] [--floor FLOOR] NAME=TOLVANE...
#
# e.g. compare.sh --runs 15 before=/tmp/before/tolvane after=build-perf/tolvane
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=/tmp/tolvane-compare
runs=11
generator=$root/build/tools/bench/make_bench_inputs
floor=$root/build/tools/bench/bench_floor
builds=()
while [ $# -gt 0 ]; do
  case $1 in
    --work) work=$2; shift ;;
    --runs) runs=$2; shift ;;
    --generator) generator=$2; shift ;;
    --floor) floor=$2; shift ;;
    *=*) builds+=("$1") ;;
    *) echo "compare.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
[ ${#builds[@]} -ge 2 ] || { echo "compare.sh: name at least two builds, NAME=PATH" >&2; exit 2; }
[ -x /usr/bin/time ] && have_time=1 || have_time=0
mkdir -p "$work"
# shellcheck source=tools/bench/measure.sh
. "$here/measure.sh"

"$generator" "$root/tests/fixtures/app.exe" "$work/big.exe" "$work/big.res" 20000 150000000 10000 >/dev/null
"$generator" "$root/tests/fixtures/app.exe" "$work/small.exe" "$work/small.res" 100000 25600000 50000 >/dev/null

rm -f "$work"/*.samples
for ((r = 1; r <= runs; ++r)); do
  fresh out.floor.exe
  measure floor "$floor" "$work/big.exe" "$work/out.floor.exe"
  for b in "${builds[@]}"; do
    name=${b%%=*} program=${b#*=}
    for input in big small; do
      fresh out.res
      measure "$name-$input-r" "$program" "$work/$input.exe" -r "$work/out.res"
      fresh out.exe
      measure "$name-$input-o" "$program" -o "$work/out.exe" "$work/$input.exe" "$work/$input.res"
    done
  done
done
clean_outputs

echo "Median of $runs interleaved runs: wall s (CPU s); big = 20,000 resources in 150 MB, small = 100,000 of 256 bytes."
echo
echo "| build | big -r | big -o | small -r | small -o |"
echo "|---|---:|---:|---:|---:|"
printf "| floor | %.3f (%.2f) | | | |\n" "$(median floor)" "$(median floor 3)"
for b in "${builds[@]}"; do
  name=${b%%=*}
  row="| $name"
  for job in big-r big-o small-r small-o; do
    row+=$(printf " | %.3f (%.2f)" "$(median "$name-$job")" "$(median "$name-$job" 3)")
  done
  echo "$row |"
done
