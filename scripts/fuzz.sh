#!/usr/bin/env bash
# Builds every libFuzzer target (tests/*/fuzz_*.cc) with clang and runs each
# for a bounded time: FUZZ_SECONDS each (default 20), starting from the
# corpus of earlier runs and the target's seeds (tests/*/<target>_seeds).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
targets=()
for f in tests/*/fuzz_*.cc; do
  [ -e "$f" ] || continue
  targets+=("$(basename "$f" .cc)")
done
if ((${#targets[@]} == 0)); then
  echo "no fuzz targets"
  exit 0
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVELTRANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
for t in "${targets[@]}"; do
  cmake --build build-fuzz -j "$(nproc)" --target "$t"
done
mkdir -p build-fuzz/corpus
for t in "${targets[@]}"; do
  echo "fuzzing $t for ${seconds}s"
  mkdir -p "build-fuzz/corpus/$t"
  dir=$(ls tests/*/"$t".cc | cut -d/ -f2)
  # tests/<dir>/<target>_seeds holds hand-written inputs to start from.
  seeds=()
  [ -d "tests/$dir/${t}_seeds" ] && seeds=("tests/$dir/${t}_seeds")
  "./build-fuzz/tests/$dir/$t" -max_total_time="$seconds" \
    -print_final_stats=0 "build-fuzz/corpus/$t" "${seeds[@]}" 2>&1 | tail -n 3
done
