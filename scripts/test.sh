#!/usr/bin/env bash
# Builds the program for Linux and for both Windows targets, then runs every
# test. Installs what a fresh machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev libgmock-dev)
command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-x86-64)
command -v i686-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-i686)
command -v python3 >/dev/null || missing+=(python3)
command -v wine >/dev/null || missing+=(wine wine64)
# The install and package test: manual page lint, .deb dependencies.
command -v groff >/dev/null || missing+=(groff)
command -v mandoc >/dev/null || missing+=(mandoc)
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v file >/dev/null || missing+=(file)
# The remote-port tests run against ser2net.
[ -x /usr/sbin/ser2net ] || missing+=(ser2net)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# 32-bit wine, for running the i686 build too: needs the i386 architecture
# and a kernel that runs 32-bit programs at all. Some machines have none, and
# there wine32 would only break wine for the 64-bit build too.
if [ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] && ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    if no32=$(python3 tests/wine/can_run_32bit.py 2>&1); then
        # Not fatal: without it the wine test runs the x86_64 build only.
        echo "Installing: wine32:i386"
        dpkg --add-architecture i386
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq wine32:i386 >/dev/null ||
            echo "wine32 could not be installed; the i686 build will not be run under wine"
    else
        echo "wine32 not installed, so the i686 build will not run under wine: $no32"
    fi
fi

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
extra=()
command -v valgrind >/dev/null || extra+=(valgrind)
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -fsanitize=fuzzer,address,undefined -x c++ - -o /tmp/dorvalix-fuzz-probe 2>/dev/null ||
    extra+=(clang libclang-rt-dev)
if [ ${#extra[@]} -gt 0 ]; then
    echo "Installing: ${extra[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${extra[@]}" >/dev/null
fi
rm -f /tmp/dorvalix-fuzz-probe
scripts/reliability.sh 20

# The main suite's count, last, so the run closes on it.
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' build/ctest-summary.log | tail -1)
failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed.*/\1/p' build/ctest-summary.log | tail -1)
echo "tests: $((total - failed)) passed, $failed failed"
