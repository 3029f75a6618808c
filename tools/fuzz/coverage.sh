#!/usr/bin/env bash
# The source coverage of the core by fuzz corpora: each target replays its corpus
# once, built with clang's source-based coverage, and llvm-cov reports per file.
#
#   tools/fuzz/coverage.sh CORPUS_ROOT
#
# CORPUS_ROOT holds one directory per target (image_reader, res_reader, combine, writer), as
# run.sh keeps them with FUZZ_CORPUS. The build goes to $COV_BUILD (default
# build-fuzz-cov); the report to $COV_BUILD/coverage.txt, the writer's lines no input
# reaches to $COV_BUILD/unreached-writer.txt.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
corpora="$(cd "${1:?usage: coverage.sh CORPUS_ROOT}" && pwd)"
build="${COV_BUILD:-$root/build-fuzz-cov}"
profdata="$(command -v llvm-profdata || command -v llvm-profdata-14)"
cov="$(command -v llvm-cov || command -v llvm-cov-14)"

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_FUZZ=ON \
    -DTOLVANE_FUZZ_COVERAGE=ON -DTOLVANE_TESTS=OFF -DTOLVANE_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"${JOBS:-2}" --target fuzz_targets >/dev/null

rm -rf "$build/profiles" && mkdir -p "$build/profiles"
objects=()
for t in image_reader res_reader combine writer; do
  [ -d "$corpora/$t" ] || continue
  # TOLVANE_FUZZ_BULK: the writer's inputs with tens of thousands of resources run as such.
  # TOLVANE_FUZZ_KNOWN: what the writer does by design (see FuzzWriter.cpp) ends no replay.
  TOLVANE_FUZZ_KNOWN=${TOLVANE_FUZZ_KNOWN:-unwritten-headers} TOLVANE_FUZZ_BULK=1 LLVM_PROFILE_FILE="$build/profiles/$t-%p.profraw" "$build/tools/fuzz/fuzz_$t" -runs=0 "$corpora/$t" >/dev/null 2>&1
  objects+=(-object "$build/tools/fuzz/fuzz_$t")
done
"$profdata" merge -sparse "$build"/profiles/*.profraw -o "$build/coverage.profdata"
"$cov" report "${objects[@]:1}" -instr-profile="$build/coverage.profdata" \
  -ignore-filename-regex='tools/fuzz/' "$root/src" "$root/resources" | tee "$build/coverage.txt"

# The writer's lines that no input reaches, each as FILE:LINE and its text, to be
# explained (unreachable, or a seed to add).
for f in unitPEFileWriter.cpp unitPEFileResourceWriter.cpp; do
  "$cov" show "${objects[@]:1}" -instr-profile="$build/coverage.profdata" "$root/src/$f" |
    awk -v f="$f" -F'|' '$2 ~ /^ *0$/ { gsub(/^ +/, "", $1); print f ":" $1 ":" $3 }'
done | tee "$build/unreached-writer.txt"
