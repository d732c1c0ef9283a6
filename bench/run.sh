#!/usr/bin/env bash
# The speed benchmark: builds dorvalix in build-bench, installs picocom when
# it is missing, then runs every figure beside picocom through ptys and
# prints a table; then both modes with a session log (/LOG) and time stamps
# (/TS) beside the same runs without; then the default mode on ptys that the
# fake-modem-lines test instrument makes into each kind of serial port
# (tests/instrument); then the remote ports (rfc2217:// and tcp://) through
# ser2net on loopback, when ser2net is installed (bench/remote.py). Extra
# arguments go to bench.py (see --help there).
# Never opens a real serial device; stops by itself.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v picocom >/dev/null; then
    echo "Installing picocom" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq picocom >/dev/null
fi

cmake -S . -B build-bench >/dev/null
cmake --build build-bench -j "$(nproc)" --target dorvalix fake_modem_lines_preload >/dev/null

python3 bench/bench.py --dorvalix build-bench/dorvalix --picocom "$(command -v picocom)" \
    --preload build-bench/tests/fake_modem_lines_preload.so "$@"
echo
echo "Remote ports through ser2net on loopback:"
exec python3 bench/remote.py --dorvalix build-bench/dorvalix --preload build-bench/tests/fake_modem_lines_preload.so
