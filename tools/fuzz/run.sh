#!/usr/bin/env bash
# Builds the fuzz targets when needed and runs each for a while on a scratch copy of
# its seed corpus. Fails when any target finds a crash, a sanitizer report, a leak,
# a timeout or runs out of memory; what it found is kept in the build's artifacts.
#
#   tools/fuzz/run.sh [SECONDS] [TARGET...]
#
#   SECONDS   how long each target runs (default: $FUZZ_SECONDS, or 60)
#   TARGET    image_reader, res_reader, combine, writer (default: all, one after another)
#
# Environment:
#   FUZZ_BUILD    the build directory (default: build-fuzz at the top of the tree)
#   FUZZ_SANITIZERS  the sanitizers of a new FUZZ_BUILD (default address,undefined);
#                 "undefined" runs the writer about twice as fast, for long campaigns
#   FUZZ_CORPUS   keep each target's corpus in FUZZ_CORPUS/TARGET and carry it over
#                 from one run to the next (default: a scratch copy, removed at the end)
#
# A target starts from its seeds and from its corpus committed in
# tools/fuzz/corpus/TARGET, where an earlier campaign left it (merged with -merge=1).
#   FUZZ_ARGS     more libFuzzer flags, e.g. "-max_len=300000"
#   TOLVANE_FUZZ_KNOWN  what the writer does by design and fuzz_writer lets pass
#                 (default unwritten-headers, as `make test` has it; see FuzzWriter.cpp)
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${FUZZ_SECONDS:-60}"
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds="$1"
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(image_reader res_reader combine writer)
build="${FUZZ_BUILD:-$root/build-fuzz}"
jobs="${JOBS:-2}"

for t in "${targets[@]}"; do
  case "$t" in
    image_reader | res_reader | combine | writer) ;;
    *) echo "run.sh: unknown target '$t' (image_reader, res_reader, combine, writer)" >&2; exit 2 ;;
  esac
done

if ! command -v clang++ >/dev/null 2>&1 || ! command -v clang >/dev/null 2>&1; then
  echo "run.sh: the fuzz targets need clang and clang++ (Debian: clang libclang-rt-14-dev)" >&2
  exit 2
fi

# ---- build ----

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOLVANE_FUZZ=ON -DTOLVANE_TESTS=OFF -DTOLVANE_BENCH=OFF \
    -DTOLVANE_FUZZ_SANITIZERS="${FUZZ_SANITIZERS:-address,undefined}" >/dev/null
fi
cmake --build "$build" -j"$jobs" --target fuzz_targets

# ---- seed corpora ----

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tolvane-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

shopt -s nullglob
images=("$root"/tests/fixtures/*.exe "$root"/tests/fixtures/*.dll "$root"/examples/*.exe)
resfiles=("$root"/tests/fixtures/*.res "$root"/examples/*.res)

# The 4-byte little-endian length that starts a combination input.
le32() {
  local n=$1
  printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8 & 255)))"
  printf "\\x$(printf %02x $((n >> 16 & 255)))\\x$(printf %02x $((n >> 24 & 255)))"
}

seed_corpus() {  # target dir
  local target=$1 dir=$2 f r i
  mkdir -p "$dir"
  case "$target" in
    image_reader)
      for f in "${images[@]}"; do cp "$f" "$dir/"; done
      for f in "$root"/tests/regressions/image-*; do cp "$f" "$dir/"; done
      ;;
    res_reader)
      for f in "${resfiles[@]}"; do cp "$f" "$dir/"; done
      for f in "$root"/tests/regressions/res-*; do cp "$f" "$dir/"; done
      ;;
    combine)
      i=0
      for f in "${images[@]}"; do
        for r in "${resfiles[@]}"; do
          { le32 "$(stat -c %s "$r")"; cat "$r" "$f"; } >"$dir/pair-$i"
          i=$((i + 1))
        done
      done
      for f in "$root"/tests/regressions/combine-*; do cp "$f" "$dir/"; done
      ;;
    writer)
      # Its images and .RES files are built in; an input's last byte picks the
      # image (9: one built), the one before it the .RES (10: none; see
      # FuzzWriter.cpp and WriterFiles.cpp): every pair, as it is.
      for i in $(seq 0 13); do
        for r in $(seq 0 10); do
          printf "\\x$(printf %02x "$r")\\x$(printf %02x "$i")" >"$dir/pair-$i-$r"
        done
      done
      # And the regressions' pairs, merged as they are (see IsPairAsItIs).
      for f in "$root"/tests/regressions/combine-*; do cp "$f" "$dir/"; done
      ;;
  esac
  if [ -d "$root/tools/fuzz/corpus/$target" ]; then cp "$root/tools/fuzz/corpus/$target"/* "$dir/"; fi
}

# ---- runs ----

export TOLVANE_FUZZ_KNOWN="${TOLVANE_FUZZ_KNOWN-unwritten-headers}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}allocator_may_return_null=0"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-}${UBSAN_OPTIONS:+:}print_stacktrace=1:halt_on_error=1"

failed=()
for t in "${targets[@]}"; do
  corpus="$scratch/corpus-$t"
  if [ -n "${FUZZ_CORPUS:-}" ]; then
    corpus="$FUZZ_CORPUS/$t"
    [ -d "$corpus" ] || seed_corpus "$t" "$corpus"
  else
    seed_corpus "$t" "$corpus"
  fi
  artifacts="$build/artifacts/$t"
  mkdir -p "$artifacts" "$build/logs"
  log="$build/logs/$t.log"
  echo "== fuzz_$t: ${seconds} s on $(ls "$corpus" | wc -l) inputs (log: $log)"
  status=0
  # shellcheck disable=SC2086
  "$build/tools/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict="$root/tools/fuzz/pe.dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
    ${FUZZ_ARGS:-} "$corpus" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  if [ "$status" -ne 0 ]; then
    echo "   FAILED (status $status) after ${runs:-?} runs; inputs that fail are in $artifacts/"
    grep -E "ERROR: |runtime error:|SUMMARY: |Test unit written" "$log" | head -20 | sed "s/^/   /" || true
    failed+=("$t")
  else
    echo "   ok: ${runs:-?} runs, ${rate:-?} per second, corpus $(ls "$corpus" | wc -l) inputs"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run.sh: failures in: ${failed[*]}" >&2
  exit 1
fi
