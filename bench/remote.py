#!/usr/bin/env python3
"""Remote-port figures of dorvalix: rfc2217:// and tcp:// through Debian's
ser2net on loopback, started here on 127.0.0.1 on a free port in front of a
pty that the fake-modem-lines instrument gives modem lines.

Figures, per URL kind and program mode (/NC and default):
  receive MB/s       a text stream written into the pty, shown on the
                     session's terminal; beside it, ser2net alone (a plain
                     client reading the same accepter, telnet or raw);
  paste MB/s         keys written at once to the terminal, arriving on the pty;
  key to line p99    one key at a time, terminal to pty, milliseconds;
  line change        (rfc2217, default mode) from the NOTIFY-MODEMSTATE
                     passing a relay between ser2net and the program to the
                     change shown, milliseconds (what the program adds to
                     ser2net's own notification);
  idle CPU           CPU time used over --idle seconds with nothing happening.
Asserts nothing; prints a table. Every wait is bounded; ser2net and the
program are ended by their own process ids.
Usage: python3 bench/remote.py --dorvalix build/dorvalix --preload build/tests/fake_modem_lines_preload.so
"""

import argparse
import os
import random
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time

from bench import END_KEY_UTF8, READY_MARK, free_port, make_pty, read_some, write_some  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "instrument"))
import fake_modem_lines as fml  # noqa: E402

SER2NET = "/usr/sbin/ser2net"
CLK_TCK = os.sysconf("SC_CLK_TCK")


class Server:
    def __init__(self, tmp, slave_path, accepter, preload, state):
        self.port = free_port()
        self.conf = os.path.join(tmp, "ser2net-%d.yaml" % self.port)
        with open(self.conf, "w") as f:
            f.write("connection: &c1\n  accepter: %s,127.0.0.1,%d\n  connector: serialdev,%s,115200n81,local\n"
                    % (accepter, self.port, slave_path))
        env = {"LD_PRELOAD": preload, fml.ENV: state}
        self.proc = subprocess.Popen([SER2NET, "-n", "-u", "-c", self.conf, "-P", self.conf + ".pid"], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + 3
        while time.monotonic() < end and not self.listening():
            time.sleep(0.02)

    def listening(self):
        with open("/proc/net/tcp") as f:
            return any(":%04X 00000000:0000 0A" % self.port in line for line in f)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(3)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Relay(threading.Thread):
    """Passes bytes between the program and ser2net, noting when a
    NOTIFY-MODEMSTATE (IAC SB 44 107) goes by towards the program."""

    def __init__(self, target_port):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.target = target_port
        self.notified = []
        self.stop = False

    def run(self):
        self.listener.settimeout(10)
        try:
            a, _ = self.listener.accept()
        except OSError:
            return
        b = socket.create_connection(("127.0.0.1", self.target))
        while not self.stop:
            r, _, _ = select.select([a, b], [], [], 0.2)
            for s in r:
                data = s.recv(65536)
                if not data:
                    return
                if s is b and b"\xff\xfa\x2c\x6b" in data:
                    self.notified.append(time.perf_counter())
                (b if s is a else a).sendall(data)


class Session:
    def __init__(self, program, url, mode):
        self.term_m, self.term_s, _ = make_pty()
        env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "DORVALIX_COM50": url}
        argv = [program, "50", "115200", "8", "1", "0"] + (["/NC"] if mode == "nc" else [])
        self.proc = subprocess.Popen(argv, stdin=self.term_s, stdout=self.term_s, stderr=subprocess.DEVNULL,
                                     env=env, start_new_session=True, close_fds=True)
        self.out = bytearray()
        end = time.monotonic() + 8
        while READY_MARK not in self.out and time.monotonic() < end:
            self.pump(0.2)
        self.pump(0.3)
        self.out.clear()

    def pump(self, timeout):
        r, _, _ = select.select([self.term_m], [], [], timeout)
        if r:
            self.out += read_some(self.term_m)

    def cpu(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK

    def end(self):
        write_some(self.term_m, END_KEY_UTF8)
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.term_m)
        os.close(self.term_s)


def stream(size):
    # Printable text only: both modes show it byte for byte.
    line = b"remote line of the stream 0123456789 abcdefghijklmnopqrstuvwxyz. "
    return (line * (size // len(line) + 1))[:size]


def receive(line_m, pump, got, data, cap_s):
    """MB/s of `data` written into the pty until `got()` has all of it."""
    sent = 0
    start = time.monotonic()
    while got() < len(data) and time.monotonic() < start + cap_s:
        _, w, _ = select.select([], [line_m] if sent < len(data) else [], [], 0)
        if w:
            sent += write_some(line_m, data[sent:sent + 65536])
        pump(0.01)
    return got() / max(time.monotonic() - start, 1e-6) / 1e6


def raw_alone(line_m, port, data, cap_s):
    c = socket.create_connection(("127.0.0.1", port))
    time.sleep(0.2)
    got = [0]

    def pump(t):
        r, _, _ = select.select([c], [], [], t)
        if r:
            got[0] += len(c.recv(1 << 16))
    rate = receive(line_m, pump, lambda: got[0], data, cap_s)
    c.close()
    return rate


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dorvalix", default="build/dorvalix")
    ap.add_argument("--preload", default="build/tests/fake_modem_lines_preload.so")
    ap.add_argument("--size", type=int, default=4 << 20)
    ap.add_argument("--keys", type=int, default=200)
    ap.add_argument("--moves", type=int, default=8)
    ap.add_argument("--idle", type=float, default=5)
    args = ap.parse_args()
    if not os.access(SER2NET, os.X_OK):
        print("ser2net is not installed: no remote figures")
        return
    rnd = random.Random(7)
    data = stream(args.size)
    rows = []
    tmp = tempfile.mkdtemp(prefix="dorvalix-remote-")
    line_m, line_s, line_path = make_pty()
    state_path = os.path.join(tmp, "lines")
    state = fml.FakeModemLines(state_path, line_s, "8250", fml.DSR | fml.CTS)
    for scheme, accepter in (("rfc2217", "telnet(rfc2217),tcp"), ("tcp", "tcp")):
        server = Server(tmp, line_path, accepter, args.preload, state_path)
        alone = raw_alone(line_m, server.port, data, 60)
        for mode in ("nc", "default"):
            url = "%s://127.0.0.1:%d" % (scheme, server.port)
            s = Session(args.dorvalix, url, mode)
            while read_some(line_m):
                pass
            rate = receive(line_m, s.pump, lambda: len(s.out), data, 60)
            s.out.clear()
            # paste
            keys = bytes(ord("a") + i % 26 for i in range(1 << 20))
            got = bytearray()
            t0 = time.perf_counter()
            sent = 0
            end = time.monotonic() + 30
            while len(got) < len(keys) and time.monotonic() < end:
                if sent < len(keys):
                    sent += write_some(s.term_m, keys[sent:sent + 65536])
                r, _, _ = select.select([line_m], [], [], 0.05)
                if r:
                    got += read_some(line_m)
                s.pump(0)
            paste = len(got) / max(time.perf_counter() - t0, 1e-6) / 1e6
            s.out.clear()
            time.sleep(0.3)
            while read_some(line_m):
                pass
            lat = []
            for i in range(args.keys):
                t0 = time.perf_counter()
                write_some(s.term_m, bytes([ord("a") + i % 26]))
                r, _, _ = select.select([line_m], [], [], 2)
                if not r:
                    break
                read_some(line_m)
                lat.append((time.perf_counter() - t0) * 1000)
                s.pump(0)
                time.sleep(rnd.uniform(0.005, 0.03))
            lat.sort()
            p99 = lat[min(len(lat) - 1, int(len(lat) * 0.99))] if lat else None
            time.sleep(0.5)
            c0 = s.cpu()
            time.sleep(args.idle)
            idle = (s.cpu() - c0) / args.idle * 100
            s.end()
            # Line changes through a relay that notes when each notification
            # passes; the relay is a Python thread, too slow for the figures
            # above, so they are taken without it.
            change = []
            if scheme == "rfc2217" and mode == "default":
                relay = Relay(server.port)
                relay.start()
                s = Session(args.dorvalix, "%s://127.0.0.1:%d" % (scheme, relay.port), mode)
                for i in range(args.moves):
                    s.out.clear()
                    before = len(relay.notified)
                    state.set_lines(fml.CTS | (0 if i % 2 == 0 else fml.DSR))
                    item = b"(DSR off)" if i % 2 == 0 else b"(DSR on)"
                    end = time.monotonic() + 3
                    while item not in s.out and time.monotonic() < end:
                        s.pump(0.002)
                    shown = time.perf_counter()
                    if item in s.out and len(relay.notified) > before:
                        change.append((shown - relay.notified[before]) * 1000)
                s.end()
                relay.stop = True
            change.sort()
            rows.append((scheme, mode, rate, alone, paste, p99,
                         change[len(change) // 2] if change else None, change[-1] if change else None, idle))
        server.stop()
    state.set_lines(fml.DSR | fml.CTS)
    f = lambda v, d=2: "-" if v is None else ("%.*f" % (d, v))  # noqa: E731
    print("| URL | mode | receive MB/s | ser2net alone MB/s | paste MB/s | key to line p99 ms "
          "| line change after notification median / max ms | idle CPU % |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %s | %s | %s | %s | %s | %s | %s / %s | %s |" % (r[0], r[1], f(r[2]), f(r[3]), f(r[4]), f(r[5], 1),
                                                             f(r[6], 1), f(r[7], 1), f(r[8])))
    print("\nstream %.1f MiB; %d keys; %d DSR moves; idle over %.0f s" % (len(data) / 2**20, args.keys, args.moves,
                                                                      args.idle))


if __name__ == "__main__":
    main()
