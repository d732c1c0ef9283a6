#!/usr/bin/env bash
# Builds the program for Linux and for both Windows targets, then runs every
# test. Installs what a fresh machine lacks first (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build >/dev/null
cmake --build build -j "$jobs"
for target in x86_64 i686; do
    cmake -S . -B "build-$target-w64-mingw32" \
        -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$target-w64-mingw32.cmake" >/dev/null
    cmake --build "build-$target-w64-mingw32" -j "$jobs"
done

ctest --test-dir build --output-on-failure -j "$jobs" 2>&1 | tee build/ctest-summary.log

# Reliability: the suite again with AddressSanitizer and UndefinedBehavior-
# Sanitizer, the libFuzzer targets for a bounded time, sessions under valgrind.
scripts/install-deps.sh reliability
scripts/reliability.sh 20

# The main suite's count, last, so the run closes on it.
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' build/ctest-summary.log | tail -1)
failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed.*/\1/p' build/ctest-summary.log | tail -1)
echo "tests: $((total - failed)) passed, $failed failed"
