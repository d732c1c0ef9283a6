#!/usr/bin/env bash
# Makes the packages in packages/: the .deb for this machine from build/ and
# the .zip for 64-bit and 32-bit Windows from the two mingw-w64 builds, the
# same build folders scripts/test.sh uses, each built first. CPack does the
# packaging; a Windows target whose compiler is not installed is left out
# with a note.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/packages
jobs=$(nproc)

dirs=(build)
cmake -S . -B build >/dev/null
for target in x86_64 i686; do
    if ! command -v "$target-w64-mingw32-g++" >/dev/null; then
        echo "$target-w64-mingw32-g++ not installed: no .zip for that target (bash scripts/test.sh installs it)"
        continue
    fi
    cmake -S . -B "build-$target-w64-mingw32" \
        -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$target-w64-mingw32.cmake" >/dev/null
    dirs+=("build-$target-w64-mingw32")
done
for dir in "${dirs[@]}"; do
    cmake --build "$dir" -j "$jobs"
    cpack --config "$dir/CPackConfig.cmake" -B "$out"
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"
