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
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
cmake -S . -B build >/dev/null
cmake --build build -j "$jobs"
for target in x86_64 i686; do
    cmake -S . -B "build-$target-w64-mingw32" \
        -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$target-w64-mingw32.cmake" >/dev/null
    cmake --build "build-$target-w64-mingw32" -j "$jobs"
done

ctest --test-dir build --output-on-failure -j "$jobs"
