#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ in a build folder of their own and
# runs each for a bounded time from the seed corpus and the saved findings.
# Any crash, hang (an input taking over 10 seconds), leak or sanitizer report
# fails it; the input that did it is left in BUILD_FOLDER/findings.
# Usage: run.sh SOURCE_FOLDER BUILD_FOLDER SECONDS_PER_TARGET
set -euo pipefail
src=$1
build=$2
seconds=$3

cxx=$(command -v clang++ || true)
if [ -z "$cxx" ]; then
  echo "FAIL: clang++ not found (Debian: apt-get install clang libclang-rt-14-dev libomp-14-dev)"
  exit 1
fi
# Without libFuzzer's runtime this fails here, saying so.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n' \
  > "$probe/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" || ! "$probe/probe" -runs=1; then
  echo "FAIL: $cxx cannot build and run a libFuzzer target (Debian: apt-get install libclang-rt-14-dev)"
  exit 1
fi

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
  -DTL_FUZZ=ON -DTL_BUILD_TESTS=OFF -DTL_BUILD_BENCH=OFF -DTL_WERROR=ON
cmake --build "$build" -j2 --target fuzz_descriptor fuzz_dialogue fuzz_raster

export OMP_NUM_THREADS=1
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for target in descriptor dialogue raster; do
  work=$build/corpus/$target
  mkdir -p "$work" "$build/findings"
  inputs=("$work" "$src/fuzz/corpus/$target")
  dict=()
  [ -f "$src/fuzz/$target.dict" ] && dict=(-dict="$src/fuzz/$target.dict")
  [ -d "$src/fuzz/regressions/$target" ] && inputs+=("$src/fuzz/regressions/$target")
  echo "== fuzz_$target for $seconds s"
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      "${dict[@]}" -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
      "${inputs[@]}" > "$build/fuzz_$target.log" 2>&1; then
    tail -n 60 "$build/fuzz_$target.log"
    echo "FAIL: fuzz_$target found a problem; the input is in $build/findings"
    failed=1
  else
    grep -E '^stat::number_of_executed_units|^Done ' "$build/fuzz_$target.log" || true
  fi
done
exit "$failed"
