#!/usr/bin/env bash
# The whole test suite once more, a debug build (assertions on) with
# AddressSanitizer and UndefinedBehaviorSanitizer, in a build folder of its
# own; any report or failed assertion fails it. -O1 keeps the suite's
# exactness runs to minutes.
# Usage: sanitize.sh SOURCE_FOLDER BUILD_FOLDER CXX_COMPILER
set -euo pipefail
src=$1
build=$2
cxx=$3

# Without the sanitizer runtimes this fails here, saying so.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main() { return 0; }' > "$probe/probe.cpp"
if ! "$cxx" -fsanitize=address,undefined "$probe/probe.cpp" -o "$probe/probe" || ! "$probe/probe"; then
  echo "FAIL: $cxx cannot build and run a program with -fsanitize=address,undefined (Debian: apt-get install g++)"
  exit 1
fi

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_COMPILER="$cxx" \
  -DTL_SANITIZE=ON -DTL_BUILD_BENCH=OFF -DTL_WERROR=ON
cmake --build "$build" -j2
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -LE 'sanitize|fuzz'
