#!/usr/bin/env bash
# The reliability checks beyond the plain test run:
#   1. the whole test suite built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-asan), run without the slow load
#      cases and the Windows (wine) tests;
#   2. the libFuzzer targets, each for a bounded time (fuzz/run.sh);
#   3. a /NC session on a pty and a default session on the loopback port
#      under valgrind memcheck.
# Usage: scripts/reliability.sh [fuzz seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -E '^reliability\.(Load|Valgrind)\.|wine'

fuzz/run.sh "${1:-20}"

command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 1; }
[ -x build/tests/reliability_tests ] || cmake --build build -j "$jobs" --target reliability_tests
build/tests/reliability_tests --gtest_filter='Valgrind.*'
