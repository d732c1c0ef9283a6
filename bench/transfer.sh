#!/usr/bin/env bash
# YMODEM of 1 MiB on a pty: the transfer engine sending into lrzsz's rb and
# receiving from its sb, beside lrzsz's own sb into rb, in one run
# (bench/transfer_speed.cpp). Needs lrzsz.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build -j2 --target transfer_speed >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 1048576 /dev/urandom >"$work/1mib.bin"
mkdir "$work/out"
build/tests/transfer_speed "$work/1mib.bin" "$work/out" </dev/null
cmp "$work/1mib.bin" "$work/out/ours/1mib.bin"
cmp "$work/1mib.bin" "$work/out/ours-in/1mib.bin"
cmp "$work/1mib.bin" "$work/out/lrzsz/1mib.bin"
echo "all three copies match"
