#!/usr/bin/env bash
# Builds every libFuzzer target (tests/*/fuzz_*.cc) with clang and runs each
# for a bounded time: FUZZ_SECONDS each (default 20).
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
  "./build-fuzz/tests/$(ls tests/*/"$t".cc | cut -d/ -f2)/$t" -max_total_time="$seconds" \
    -print_final_stats=0 "build-fuzz/corpus/$t" 2>&1 | tail -n 3
done
