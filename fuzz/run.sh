#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time on its
# committed corpus (new inputs go to a scratch copy, not into the tree).
# Usage: fuzz/run.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
out=build-fuzz
mkdir -p "$out"
flags=(-std=c++17 -g -O1 -Wall -Wextra -Werror
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
core=(driver/serial_driver.cpp monitor/session.cpp monitor/control_monitor.cpp
      monitor/display.cpp monitor/output.cpp monitor/command_editor.cpp monitor/hex_rows.cpp
      monitor/hex_view.cpp monitor/session_command.cpp monitor/transfer_block.cpp monitor/transfer_link.cpp
      monitor/transfer_send.cpp monitor/transfer_receive.cpp monitor/transfer_text.cpp monitor/transfer_port.cpp
      monitor/transfer_command.cpp platform/posix/files/transfer_file.cpp)

clang++ "${flags[@]}" -o "$out/fuzz_command_line" fuzz/fuzz_command_line.cpp "${core[@]}" \
    tests/unit/fake_serial.cpp tests/unit/fake_console.cpp
clang++ "${flags[@]}" -o "$out/fuzz_key_decoder" fuzz/fuzz_key_decoder.cpp platform/posix/console/key_decoder.cpp
clang++ "${flags[@]}" -o "$out/fuzz_telnet_codec" fuzz/fuzz_telnet_codec.cpp platform/posix/remote/telnet_codec.cpp
clang++ "${flags[@]}" -o "$out/fuzz_display" fuzz/fuzz_display.cpp monitor/display.cpp monitor/output.cpp \
    tests/unit/fake_console.cpp

total=0
for target in command_line key_decoder display telnet_codec; do
    scratch="$out/corpus-$target"
    mkdir -p "$scratch"
    cp fuzz/corpus/$target/* "$scratch/"
    log="$out/fuzz_$target.log"
    if ! ASAN_OPTIONS=detect_leaks=1 "$out/fuzz_$target" -max_total_time="$seconds" -max_len=512 \
            -timeout=10 -rss_limit_mb=1024 -artifact_prefix="$out/" -print_final_stats=1 "$scratch" >"$log" 2>&1; then
        tail -40 "$log"
        echo "fuzz_$target: FAILED (log: $log)"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    total=$((total + ${runs:-0}))
    echo "fuzz_$target: ${runs:-?} inputs, ${seconds}s, no fault; corpus $(ls "$scratch" | wc -l) files"
done
echo "fuzz: $total inputs in all, no fault"
