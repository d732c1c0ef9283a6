#!/usr/bin/env python3
"""Instructions per received byte of dorvalix, counted by callgrind.

Runs the program under valgrind --tool=callgrind on a pty pair made here
(as bench.py does), streams text lines into the line and reads the terminal
until everything has been shown, then ends the session with the key 0xFF.
The same session with no stream is run too, and its count taken off, so the
figure is the receive path alone. Prints instructions per received byte and
the functions that cost most per byte. Never opens a real serial device.

  python3 bench/callgrind.py --dorvalix build/dorvalix [--mib 1] [--mode default|nc]
      [--preload build/tests/fake_modem_lines_preload.so --kind 8250]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def run(args, size, out_file):
    wrapper = tempfile.NamedTemporaryFile("w", suffix=".sh", delete=False)
    wrapper.write("#!/bin/sh\nexec valgrind --tool=callgrind --callgrind-out-file=%s %s \"$@\"\n"
                  % (out_file, os.path.abspath(args.dorvalix)))
    wrapper.close()
    os.chmod(wrapper.name, 0o755)
    modem = None
    if args.kind:
        modem = (args.kind, os.path.abspath(args.preload), os.path.join(tempfile.gettempdir(),
                                                                          "dorvalix-cg-modem-%d" % os.getpid()))
    try:
        sess = None
        for _ in range(3):  # valgrind's start-up can outlast the session's ready wait
            sess = bench.Session("dorvalix", wrapper.name, args.mode, modem=modem)
            if sess.ok:
                break
            sess.close()
        if not sess.ok:
            raise SystemExit("the session did not start under valgrind")
        if size:
            data = bench.make_stream(size)
            out, ends = bench.expected_output(data, bench.shown("dorvalix", args.mode))
            t = bench.throughput(sess, data, out, ends, 300)
            if not t["ok"]:
                raise SystemExit("output not as expected: %s" % t["note"])
        clean = sess.close()
        if not clean:
            raise SystemExit("the session did not end cleanly")
    finally:
        os.unlink(wrapper.name)
    # the ending process writes its profile as it exits
    deadline = time.monotonic() + 10
    while not os.path.exists(out_file) and time.monotonic() < deadline:
        time.sleep(0.1)
    return out_file


def totals(path):
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100", path],
                          capture_output=True, text=True, check=True).stdout
    total = None
    funcs = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))
            continue
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*)$", line)
        if m:
            name = m.group(2).split(" [")[0]
            name = name.split(":", 1)[1] if ":" in name else name
            funcs[name] = funcs.get(name, 0) + int(m.group(1).replace(",", ""))
    return total, funcs


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dorvalix", required=True)
    ap.add_argument("--mib", type=float, default=1.0)
    ap.add_argument("--mode", default="default", choices=["default", "nc"])
    ap.add_argument("--preload", default="")
    ap.add_argument("--kind", default="", help="a kind of port of the instrument (8250, ftdi_sio, ...)")
    ap.add_argument("--top", type=int, default=15)
    args = ap.parse_args()
    size = int(args.mib * 1024 * 1024)
    tmp = tempfile.mkdtemp(prefix="dorvalix-cg-")
    full = totals(run(args, size, os.path.join(tmp, "full.out")))
    base = totals(run(args, 0, os.path.join(tmp, "base.out")))
    per_byte = (full[0] - base[0]) / size
    print("%s mode, %s, %.1f MiB of text lines: %.0f instructions a received byte (%d in all, %d without the stream)"
          % (args.mode, args.kind or "plain pty", args.mib, per_byte, full[0], base[0]))
    rows = sorted(((v - base[1].get(k, 0)) / size, k) for k, v in full[1].items())
    for cost, name in reversed(rows[-args.top:]):
        print("  %7.1f  %s" % (cost, name))


if __name__ == "__main__":
    main()
