#!/usr/bin/env bash
# Whole-process benchmarks of the two jobs, measured side by side in one run:
#
#   floor        tools/bench/floor.c: map the image, write it out in one call
#   extraction   tolvane IMAGE -r OUT.res
#   windres      i686-w64-mingw32-windres -i IMAGE -O res -o OUT.res
#   combination  tolvane -o OUT.exe IMAGE RES
#
# and the two jobs again on the same image made as PE32+ (from app64.exe), with -64.
#
# Each figure is the median wall time of --runs runs (at least 5), the four commands
# taking turns so that every one sees the same machine; peak memory is the largest
# resident set that /usr/bin/time -v reports over the runs. Every run starts with
# its own output of the round before deleted and the written data of the ones before
# on disk (neither timed), so no command pays for another's writeback or deletions. Then two scaling series, the same jobs on images of 1k,
# 10k and 100k resources: small resources (256 bytes on average), where the work
# per resource dominates, and resources of 2000 bytes, where the bytes do (the
# floor's own ratio shows what the memory caches make of 10 times the bytes).
#
#   tools/bench/run.sh [--build DIR] [--work DIR] [--runs N] [--small]
#
# --build names the build directory holding tolvane and the bench tools (default
# build); --tolvane, --floor and --generator name them one by one. --small runs
# tiny inputs: it only shows that the benchmark works (ctest runs it so).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build
work=""
runs=5
small=0
tolvane="" floor="" generator=""
base=$root/tests/fixtures/app.exe
base64=$root/tests/fixtures/app64.exe

while [ $# -gt 0 ]; do
  case $1 in
    --small) small=1 ;;
    --runs) runs=$2; shift ;;
    --build) build=$2; shift ;;
    --work) work=$2; shift ;;
    --tolvane) tolvane=$2; shift ;;
    --floor) floor=$2; shift ;;
    --generator) generator=$2; shift ;;
    --base) base=$2; shift ;;
    --base64) base64=$2; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
tolvane=${tolvane:-$build/tolvane}
floor=${floor:-$build/tools/bench/bench_floor}
generator=${generator:-$build/tools/bench/make_bench_inputs}
work=${work:-$build/bench}
if [ "$runs" -lt 5 ]; then echo "run.sh: --runs must be at least 5" >&2; exit 2; fi
for tool in "$tolvane" "$floor" "$generator"; do
  [ -x "$tool" ] || { echo "run.sh: $tool is missing: build first" >&2; exit 1; }
done
mkdir -p "$work"
work=$(cd "$work" && pwd)

if [ $small = 1 ]; then
  count=200 bytes=1000000 rescount=100 series="50 500" pers="256 2000"
else
  count=20000 bytes=150000000 rescount=10000 series="1000 10000 100000" pers="256 2000"
fi

have_time=1
[ -x /usr/bin/time ] || { have_time=0; echo "note: /usr/bin/time is missing (Debian package time): no memory figures"; }
windres=$(command -v i686-w64-mingw32-windres || true)
[ -n "$windres" ] || echo "note: i686-w64-mingw32-windres is missing (binutils-mingw-w64-i686): no windres figures"
if [ $small = 0 ] && { [ $have_time = 0 ] || [ -z "$windres" ]; }; then
  echo "run.sh: the full benchmark needs /usr/bin/time and windres (.ci/run installs both)" >&2
  exit 1
fi

# ---- measuring ----

# shellcheck source=tools/bench/measure.sh
. "$here/measure.sh"

# The image must be one that pefile accepts, with every resource we put there.
check_image() {
  /usr/bin/python3 -c 'import pefile' 2>/dev/null || { echo "note: pefile is missing: $1 not checked"; return 0; }
  /usr/bin/python3 - "$1" <<'EOF'
import sys, pefile
pefile.MAX_RESOURCE_ENTRIES = 1 << 22
pe = pefile.PE(sys.argv[1])
leaves = sum(len(n.directory.entries) for t in pe.DIRECTORY_ENTRY_RESOURCE.entries for n in t.directory.entries)
names = [s.Name.rstrip(b"\0").decode() for s in pe.sections]
assert names.index(".rsrc") < names.index(".reloc"), names
assert pe.verify_checksum(), "checksum"
print(f"pefile accepts {sys.argv[1].split('/')[-1]}: {leaves} resources, sections {' '.join(names)}")
EOF
}

generate() {  # generate STEM COUNT BYTES RESCOUNT [BASE]
  "$generator" "${5:-$base}" "$work/$1.exe" "$work/$1.res" "$2" "$3" "$4"
}

# ---- the four commands side by side ----

echo "Generating $count resources, $(mb $bytes) MB, and a .RES of $rescount in $work"
generate big $count $bytes $rescount
check_image "$work/big.exe"
generate big64 $count $bytes $rescount "$base64"
check_image "$work/big64.exe"
image_bytes=$(file_bytes "$work/big.exe")
image64_bytes=$(file_bytes "$work/big64.exe")
res_bytes=$(file_bytes "$work/big.res")

rm -f "$work"/*.samples
for ((r = 1; r <= runs; ++r)); do
  fresh out.floor.exe
  measure floor "$floor" "$work/big.exe" "$work/out.floor.exe"
  fresh out.res
  measure extraction "$tolvane" "$work/big.exe" -r "$work/out.res"
  fresh out.windres.res
  [ -n "$windres" ] && measure windres "$windres" -i "$work/big.exe" -O res -o "$work/out.windres.res"
  fresh out.exe
  measure combination "$tolvane" -o "$work/out.exe" "$work/big.exe" "$work/big.res"
  fresh out64.res
  measure extraction64 "$tolvane" -64 "$work/big64.exe" -r "$work/out64.res"
  fresh out64.exe
  measure combination64 "$tolvane" -64 -o "$work/out64.exe" "$work/big64.exe" "$work/big.res"
done
# The results are what they claim to be: the combined image loads, and holds them all.
"$tolvane" "$work/out.exe" -r "$work/out.check.res" >/dev/null
check_image "$work/out.exe"
"$tolvane" -64 "$work/out64.exe" -r "$work/out.check.res" >/dev/null
check_image "$work/out64.exe"

floor_s=$(median floor)
extract_s=$(median extraction)
combine_s=$(median combination)
windres_s=-
[ -n "$windres" ] && windres_s=$(median windres)
extract64_s=$(median extraction64)
combine64_s=$(median combination64)
floor_c=$(median floor 3) extract_c=$(median extraction 3) combine_c=$(median combination 3) windres_c=-
extract64_c=$(median extraction64 3) combine64_c=$(median combination64 3)
[ -n "$windres" ] && windres_c=$(median windres 3)

{
  echo
  echo "Image $(mb $image_bytes) MB with $count generated resources; .RES $(mb $res_bytes) MB with $rescount; median of $runs runs."
  echo
  echo "| command | median s | × floor | windres ÷ this | median CPU s | CPU × floor | peak RSS MB | RSS ÷ input |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|"
  printf "| floor | %.3f | 1.00 | %s | %.2f | 1.00 | %s | %s × image |\n" "$floor_s" "$(ratio "$windres_s" "$floor_s")" \
    "$floor_c" "$(mb $(($(peak_kb floor) * 1024)))" "$(ratio $(($(peak_kb floor) * 1024)) $image_bytes)"
  printf "| tolvane -r | %.3f | %s | %s | %.2f | %s | %s | %s × image |\n" "$extract_s" "$(ratio "$extract_s" "$floor_s")" \
    "$(ratio "$windres_s" "$extract_s")" "$extract_c" "$(ratio "$extract_c" "$floor_c")" \
    "$(mb $(($(peak_kb extraction) * 1024)))" "$(ratio $(($(peak_kb extraction) * 1024)) $image_bytes)"
  if [ -n "$windres" ]; then
    printf "| windres | %.3f | %s | 1.00 | %.2f | %s | %s | %s × image |\n" "$windres_s" "$(ratio "$windres_s" "$floor_s")" \
      "$windres_c" "$(ratio "$windres_c" "$floor_c")" \
      "$(mb $(($(peak_kb windres) * 1024)))" "$(ratio $(($(peak_kb windres) * 1024)) $image_bytes)"
  fi
  printf "| tolvane -o | %.3f | %s | %s | %.2f | %s | %s | %s × (image + .RES) |\n" "$combine_s" "$(ratio "$combine_s" "$floor_s")" \
    "$(ratio "$windres_s" "$combine_s")" "$combine_c" "$(ratio "$combine_c" "$floor_c")" \
    "$(mb $(($(peak_kb combination) * 1024)))" \
    "$(ratio $(($(peak_kb combination) * 1024)) $((image_bytes + res_bytes)))"
  printf "| tolvane -64 -r, PE32+ | %.3f | %s | %s | %.2f | %s | %s | %s × image |\n" "$extract64_s" \
    "$(ratio "$extract64_s" "$floor_s")" "$(ratio "$windres_s" "$extract64_s")" "$extract64_c" \
    "$(ratio "$extract64_c" "$floor_c")" "$(mb $(($(peak_kb extraction64) * 1024)))" \
    "$(ratio $(($(peak_kb extraction64) * 1024)) $image64_bytes)"
  printf "| tolvane -64 -o, PE32+ | %.3f | %s | %s | %.2f | %s | %s | %s × (image + .RES) |\n" "$combine64_s" \
    "$(ratio "$combine64_s" "$floor_s")" "$(ratio "$windres_s" "$combine64_s")" "$combine64_c" \
    "$(ratio "$combine64_c" "$floor_c")" "$(mb $(($(peak_kb combination64) * 1024)))" \
    "$(ratio $(($(peak_kb combination64) * 1024)) $((image64_bytes + res_bytes)))"
} | tee "$work/results.md"

# ---- the scaling series ----

for per in $pers; do
  for n in $series; do generate scale$per-$n $n $((n * per)) $((n / 2)); done
  rm -f "$work"/*.samples
  for ((r = 1; r <= runs; ++r)); do
    for n in $series; do
      fresh out.floor.exe
      measure floor$n "$floor" "$work/scale$per-$n.exe" "$work/out.floor.exe"
      fresh out.res
      measure extraction$n "$tolvane" "$work/scale$per-$n.exe" -r "$work/out.res"
      fresh out.exe
      measure combination$n "$tolvane" -o "$work/out.exe" "$work/scale$per-$n.exe" "$work/scale$per-$n.res"
    done
  done
  clean_outputs

  {
    echo
    echo "Scaling: images of n resources, $per bytes each on average, and a .RES of n/2; median of $runs runs."
    echo
    echo "| resources | image MB | floor s | × previous | tolvane -r s | × previous | CPU s | × previous | tolvane -o s | × previous | CPU s | × previous |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    prev_f="" prev_e="" prev_c="" prev_ec="" prev_cc=""
    for n in $series; do
      f=$(median floor$n) e=$(median extraction$n) c=$(median combination$n)
      ec=$(median extraction$n 3) cc=$(median combination$n 3)
      printf "| %d | %s | %.3f | %s | %.3f | %s | %.2f | %s | %.3f | %s | %.2f | %s |\n" "$n" \
        "$(mb $(file_bytes "$work/scale$per-$n.exe"))" "$f" "${prev_f:+$(ratio "$f" "$prev_f")}" \
        "$e" "${prev_e:+$(ratio "$e" "$prev_e")}" "$ec" "${prev_ec:+$(ratio "$ec" "$prev_ec")}" \
        "$c" "${prev_c:+$(ratio "$c" "$prev_c")}" "$cc" "${prev_cc:+$(ratio "$cc" "$prev_cc")}"
      prev_f=$f prev_e=$e prev_c=$c prev_ec=$ec prev_cc=$cc
    done
  } | tee -a "$work/results.md"
done
echo
echo "Results in $work/results.md"
