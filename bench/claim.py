#!/usr/bin/env python3
"""What the checks before a tty open cost dorvalix on a busy machine.

Before it opens a device the program looks through /proc for another process
that holds it, and a device that comes back held by someone else is looked
for again while the session waits. This puts --extra sleeping processes of
its own on the machine (each with three descriptors on /dev/null, so each is
looked at closely) and measures, for 0 and each count given:

  start to flock     from the moment the program is started to its flock()
                     on the device (a pty made here), the median of --runs;
                     the time is taken by a small preload library built here
                     that notes the first flock() call;
  CPU while held     CPU time the program uses while its device, after a
                     loss, is back but held open by another process (a pty
                     pair made here, held by a sleeping process), over
                     --held-seconds.

Asserts nothing; prints a table. Never opens a real serial device; every
process it starts is ended by its own process id.
Usage: python3 bench/claim.py [--dorvalix build/dorvalix] [--extra 500 2000]
"""

import argparse
import os
import pty
import signal
import statistics
import subprocess
import tempfile
import time

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
int flock(int fd, int op) {
    static int noted = 0;
    const char* out = getenv("BENCH_FLOCK_OUT");
    if (!noted && out != NULL) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        char line[64];
        int n = snprintf(line, sizeof line, "%lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
        int f = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (f >= 0) { (void)!write(f, line, (size_t)n); close(f); }
        noted = 1;
    }
    int (*real)(int, int) = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
    return real(fd, op);
}
"""


def build_shim(folder):
    src = os.path.join(folder, "shim.c")
    lib = os.path.join(folder, "shim.so")
    with open(src, "w") as f:
        f.write(SHIM)
    subprocess.check_call(["cc", "-O2", "-shared", "-fPIC", "-o", lib, src, "-ldl"])
    return lib


def make_pty():
    m, s = pty.openpty()
    return m, s, os.ttyname(s)


def cpu_ns(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000000000 // os.sysconf("SC_CLK_TCK")


def start(program, target, env_extra):
    env = {"PATH": "/usr/bin:/bin", "DORVALIX_COM50": target}
    env.update(env_extra)
    return subprocess.Popen([program, "50", "115200", "8", "1", "0", "/NC"], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, close_fds=True)


def end(proc):
    try:
        proc.stdin.write(b"\xff")  # the end key
        proc.stdin.flush()
        proc.wait(timeout=5)
    except (OSError, subprocess.TimeoutExpired):
        pass
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()


def start_to_flock(program, shim, folder, runs):
    out = os.path.join(folder, "flock")
    figures = []
    for _ in range(runs):
        m, s, name = make_pty()
        if os.path.exists(out):
            os.unlink(out)
        began = time.monotonic_ns()
        proc = start(program, name, {"LD_PRELOAD": shim, "BENCH_FLOCK_OUT": out})
        deadline = time.monotonic() + 5
        while not os.path.exists(out) and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.002)
        end(proc)
        os.close(m)
        os.close(s)
        try:
            with open(out) as f:
                figures.append((int(f.read()) - began) / 1e6)
        except (OSError, ValueError):
            pass
    return statistics.median(figures) if figures else None


def cpu_while_held(program, folder, seconds):
    link = os.path.join(folder, "port")
    m, s, name = make_pty()
    os.symlink(name, link)
    proc = start(program, link, {})
    try:
        time.sleep(0.5)
        m2, s2, name2 = make_pty()
        holder = subprocess.Popen(["sleep", "600"], stdin=s2, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, close_fds=True)
        fresh = link + ".new"
        os.symlink(name2, fresh)
        os.rename(fresh, link)
        os.close(m)  # hang-up: the session loses its device, finds it back but held
        os.close(s)
        time.sleep(0.5)
        c0, t0 = cpu_ns(proc.pid), time.monotonic()
        time.sleep(seconds)
        c1, t1 = cpu_ns(proc.pid), time.monotonic()
        os.kill(holder.pid, signal.SIGKILL)
        holder.wait()
        os.close(m2)
        os.close(s2)
        return 100.0 * (c1 - c0) / ((t1 - t0) * 1e9)
    finally:
        end(proc)
        os.unlink(link)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dorvalix", default="build/dorvalix")
    parser.add_argument("--extra", type=int, nargs="*", default=[500, 2000])
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--held-seconds", type=float, default=5.0)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="dorvalix-claim-")
    shim = build_shim(folder)
    sleepers = []
    print("%-22s %18s %18s" % ("extra processes", "start to flock ms", "CPU while held %"))
    try:
        for count in [0] + args.extra:
            while len(sleepers) < count:
                sleepers.append(subprocess.Popen(["sleep", "600"], stdin=subprocess.DEVNULL,
                                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            time.sleep(0.5)
            flock_ms = start_to_flock(args.dorvalix, shim, folder, args.runs)
            held = cpu_while_held(args.dorvalix, folder, args.held_seconds)
            print("%-22d %18s %18.1f" % (count, "%.1f" % flock_ms if flock_ms is not None else "-", held),
                  flush=True)
    finally:
        for p in sleepers:
            os.kill(p.pid, signal.SIGKILL)
        for p in sleepers:
            p.wait()
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
