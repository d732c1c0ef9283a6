#!/usr/bin/env python3
"""Replug figures of dorvalix on Linux, measured with ptys behind a link.

The session's port is mapped to a symbolic link made here (as a user maps
DORVALIX_COM<n> to /dev/serial/by-id/...), pointing at a pty pair made here.
"Unplugging" points the link at nothing and closes the pty (its slave hangs
up); "plugging back" makes a new pty, writes one byte into it (the device
talks at once, like a board printing its boot banner) and points the link at
it. No real serial device is ever opened.

Figures, for the /NC and the default mode:
  replug to first byte shown  from the moment the link points at the new pty
                              to the byte on the session's terminal, over
                              --runs replugs with random pauses (so the
                              250 ms retry rhythm is met at every phase);
  CPU while gone              CPU time the program uses while the device is
                              away (/proc/<pid>/schedstat), over --gone-seconds.

Asserts nothing; prints a table. Every wait is bounded; the program is ended
with its end key, or by its own process id.
Usage: python3 bench/replug.py [--dorvalix build/dorvalix] [--runs 20]
"""

import argparse
import os
import platform
import random
import select
import shutil
import signal
import statistics
import subprocess
import tempfile
import time

# The pty, read and key helpers are the speed benchmark's, beside this file.
from bench import END_KEY_UTF8, READY_MARK, make_pty, read_some  # noqa: E402


def point(link, target):
    fresh = link + ".new"
    if os.path.lexists(fresh):
        os.unlink(fresh)
    os.symlink(target, fresh)
    os.rename(fresh, link)


def cpu_ns(pid):
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000000000 // os.sysconf("SC_CLK_TCK")


class Session:
    def __init__(self, program, raw, link):
        self.term_m, self.term_s, _ = make_pty()
        self.out = bytearray()
        env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "DORVALIX_COM50": link}
        argv = [program, "50", "115200", "8", "1", "0"] + (["/NC"] if raw else [])
        self.proc = subprocess.Popen(argv, stdin=self.term_s, stdout=self.term_s, stderr=subprocess.DEVNULL,
                                     env=env, start_new_session=True, close_fds=True)

    def pump(self, timeout):
        r, _, _ = select.select([self.term_m], [], [], timeout)
        if r:
            self.out += read_some(self.term_m)

    def wait_for(self, text, timeout):
        end = time.monotonic() + timeout
        while text not in self.out and time.monotonic() < end and self.proc.poll() is None:
            self.pump(min(0.005, max(0.0, end - time.monotonic())))
        return text in self.out

    def end(self):
        if self.proc.poll() is None:
            os.write(self.term_m, END_KEY_UTF8)
            end = time.monotonic() + 5
            while self.proc.poll() is None and time.monotonic() < end:
                self.pump(0.05)
        clean = self.proc.poll() == 0
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        os.close(self.term_m)
        os.close(self.term_s)
        return clean


def measure(program, raw, runs, gone_seconds, rng):
    folder = tempfile.mkdtemp(prefix="dorvalix-replug-")
    link = os.path.join(folder, "port")
    nothing = os.path.join(folder, "nothing")
    device = make_pty()
    point(link, device[2])
    s = Session(program, raw, link)
    result = {"latencies": [], "missed": 0, "cpu_pct": None, "clean": False, "started": False}
    try:
        if not s.wait_for(READY_MARK, 5):
            return result
        time.sleep(0.3)
        os.write(device[0], b"#")
        result["started"] = s.wait_for(b"#", 2)
        if not result["started"]:
            return result

        def unplug(dev):
            point(link, nothing)
            os.close(dev[0])
            os.close(dev[1])

        unplug(device)
        time.sleep(0.3)
        c0, t0 = cpu_ns(s.proc.pid), time.monotonic()
        end = t0 + gone_seconds
        while time.monotonic() < end:
            s.pump(end - time.monotonic())
        result["cpu_pct"] = (cpu_ns(s.proc.pid) - c0) / 1e9 / (time.monotonic() - t0) * 100

        for i in range(runs):
            device = make_pty()
            mark = b"%c" % (0x41 + i % 26)
            s.out.clear()
            os.write(device[0], mark)
            start = time.monotonic()
            point(link, device[2])
            if s.wait_for(mark, 3):
                result["latencies"].append((time.monotonic() - start) * 1000)
            else:
                result["missed"] += 1
            unplug(device)
            pause = time.monotonic() + rng.uniform(0.3, 0.8)
            while time.monotonic() < pause:
                s.pump(pause - time.monotonic())
    finally:
        result["clean"] = s.end()
        shutil.rmtree(folder, ignore_errors=True)
    return result


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dorvalix", default="build/dorvalix")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--gone-seconds", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=12)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    began = time.monotonic()
    rows = []
    for raw in (True, False):
        r = measure(args.dorvalix, raw, args.runs, args.gone_seconds, rng)
        rows.append(("/NC" if raw else "default", r))

    print("| figure | %s |" % " | ".join("dorvalix " + name for name, _ in rows))
    print("|---|" + "---|" * len(rows))

    def line(label, fn):
        print("| %s | %s |" % (label, " | ".join(fn(r) for _, r in rows)))

    def lat(fn):
        return lambda r: "%.0f" % fn(r["latencies"]) if r["latencies"] else "-"

    line("replug to first byte shown, min ms", lat(min))
    line("replug to first byte shown, median ms", lat(statistics.median))
    line("replug to first byte shown, p95 ms", lat(lambda v: percentile(v, 95)))
    line("replug to first byte shown, max ms", lat(max))
    line("replugs seen (byte shown within 3 s)",
         lambda r: "%d/%d" % (len(r["latencies"]), len(r["latencies"]) + r["missed"]))
    line("CPU while gone, %% of a core over %.0f s" % args.gone_seconds,
         lambda r: "%.2f" % r["cpu_pct"] if r["cpu_pct"] is not None else "-")
    line("session ended cleanly on the end key", lambda r: "yes" if r["clean"] else "no")
    print()
    print("%d replugs a mode, pauses of 0.3-0.8 s between them; %.0f s in all." %
          (args.runs, time.monotonic() - began))
    print("machine: %s, %d cores, Linux %s, Python %s" %
          (platform.processor() or platform.machine(), os.cpu_count(), platform.release(),
           platform.python_version()))


if __name__ == "__main__":
    main()
