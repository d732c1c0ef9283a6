#!/usr/bin/env python3
"""Speed figures of dorvalix beside picocom, measured through pseudo-terminals.

Every session runs with its serial port on a pty pair made here (the
benchmark holds the master: it is "the line") and its console on a second
pty pair (the benchmark holds that master too: it is "the terminal"). Each
dorvalix session maps its port (DORVALIX_COM50 and up) to the pty slave or to
the built-in loopback port, so no real device is ever opened; picocom runs
on a pty slave made here as well.

Figures (each the median of several runs, ratios taken within the same run):
  throughput   a stream of text written into the line, read off the
               terminal; every byte is checked against what the program must
               show for it, in order.
  key latency  one key written to the terminal, timed until it comes out on
               the line; the line is idle; random pauses between keys.
  paste        200,000 keys written to the terminal at once, timed until the
               last one is on the line, checked in order.
  idle CPU     CPU time (utime+stime from /proc/<pid>/stat) over a few
               seconds with nothing happening.
  memory       VmHWM / VmRSS from /proc/<pid>/status after a throughput run.
  capture      throughput of both modes with /LOG:file and with /LOG /TS,
               beside the same run without (with /TS the stamps are taken
               off after the clock has stopped, then every byte is checked;
               the log is checked against what was shown), and idle CPU
               with /LOG /TS.

Asserts nothing; prints a table. Every wait is bounded; every process it
starts is ended by its own id.
"""

import argparse
import itertools
import os
import random
import re
import select
import signal
import socket
import statistics
import subprocess
import sys
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "instrument"))
import fake_modem_lines as fml  # noqa: E402  (the test instrument's control layout)

CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")
READY_MARK = b"Tx buffer size: "  # dorvalix prints it just before the session
END_KEY_UTF8 = "\u00ff".encode("utf-8")  # the byte 0xFF typed in a UTF-8 terminal

_next_port = [50]


def next_port():
    port = _next_port[0]
    _next_port[0] = 50 + (port - 49) % 200  # 50..249, always mapped
    return port


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on now."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def make_pty():
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


def read_some(fd):
    try:
        return os.read(fd, 1 << 16)
    except BlockingIOError:
        return b""
    except OSError:  # EIO once every slave is closed
        return b""


def write_some(fd, data):
    try:
        return os.write(fd, data)
    except BlockingIOError:
        return 0


class Session:
    """One program on a line pty (or the loopback port) and a terminal pty."""

    def __init__(self, kind, program, mode="default", loop=False, modem=None, extra=(), ping=True):
        self.ping = ping  # a ping through the line shows alone (not so in the hex view)
        self.kind = kind  # "dorvalix" or "picocom"
        self.mode = mode
        self.loop = loop
        self.line_m = self.line_s = None
        self.out = bytearray()
        self.raw = bytearray()  # what throughput() read with /TS, stamps and all
        self.modem = None  # the instrument's state, when the line has modem lines
        if not loop:
            self.line_m, self.line_s, line_path = make_pty()
        self.term_m, self.term_s, _ = make_pty()
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": "/tmp",
               "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "TERM": "xterm"}
        if modem is not None:
            # (kind, preload library, state file): the line pty as that kind
            # of serial port, DSR and CTS on.
            modem_kind, preload, state_path = modem
            self.modem = fml.FakeModemLines(state_path, self.line_s, modem_kind, fml.DSR | fml.CTS)
            env["LD_PRELOAD"] = preload
            env[fml.ENV] = state_path
        if kind == "dorvalix":
            port = next_port()
            env["DORVALIX_COM%d" % port] = "loop" if loop else line_path
            argv = [program, str(port), "115200", "8", "1", "0"]
            if mode == "nc":
                argv.append("/NC")
            argv += list(extra)
        else:
            argv = [program, "-q", "-b", "115200", "-f", "n", "-p", "1", "-y", "n",
                    "--noreset", "--nolock", line_path]
        self.proc = subprocess.Popen(argv, stdin=self.term_s, stdout=self.term_s,
                                     stderr=subprocess.DEVNULL, env=env,
                                     start_new_session=True, close_fds=True)
        self.ok = self._wait_ready()

    # -- plumbing --------------------------------------------------------
    def pump(self, timeout):
        """Waits up to `timeout` s for terminal output and keeps what came."""
        r, _, _ = select.select([self.term_m], [], [], timeout)
        if r:
            data = read_some(self.term_m)
            self.out += data
            return len(data)
        return 0

    def read_line(self, timeout):
        r, _, _ = select.select([self.line_m], [], [], timeout)
        return read_some(self.line_m) if r else b""

    def discard_line(self):
        if self.line_m is not None:
            while read_some(self.line_m):
                pass

    def _wait_ready(self):
        deadline = time.monotonic() + 5
        if self.kind == "dorvalix":
            # The last start-up line that every port prints (a pty has no
            # modem lines, so "(DTR on) " and "(RTS on) " may never come).
            while READY_MARK not in self.out and time.monotonic() < deadline:
                if self.proc.poll() is not None:
                    return False
                self.pump(0.05)
            if READY_MARK not in self.out:
                return False
        if self.loop or not self.ping:
            # Nothing to ping through: let the first passes run, as a person
            # would take a moment before typing.
            time.sleep(0.3)
            self.pump(0.05)
            self.out.clear()
            return self.proc.poll() is None
        # Ping through the line until a '#' is shown (pings sent before the
        # port was set up may be flushed away), let the late ones come, then
        # one more ping must come out alone.
        seen = False
        while not seen and time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            write_some(self.line_m, b"#")
            end = time.monotonic() + 0.2
            while b"#" not in self.out and time.monotonic() < end:
                self.pump(0.02)
            seen = b"#" in self.out
        end = time.monotonic() + 0.3
        while time.monotonic() < end:
            self.pump(0.02)
        if not seen or self.out[self.out.index(b"#"):].strip(b"#"):
            return False
        self.out.clear()
        write_some(self.line_m, b"#")
        end = time.monotonic() + 1
        while not self.out and time.monotonic() < end:
            self.pump(0.02)
        self.pump(0.05)
        ready = self.out == b"#"
        self.out.clear()
        return ready

    def memory_kib(self):
        hwm = rss = None
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        hwm = int(line.split()[1])
                    elif line.startswith("VmRSS:"):
                        rss = int(line.split()[1])
        except OSError:
            pass
        return hwm, rss

    def cpu_ns(self):
        """CPU time used so far (user and system), in ns: the scheduler's
        own count (/proc/<pid>/schedstat), finer than the clock ticks."""
        try:
            with open("/proc/%d/schedstat" % self.proc.pid) as f:
                return int(f.read().split()[0])
        except (OSError, IndexError, ValueError):
            ticks = self.cpu_ticks()
            return None if ticks is None else ticks * 1e9 / CLK_TCK

    def cpu_ticks(self):
        try:
            with open("/proc/%d/stat" % self.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])  # utime, stime
        except (OSError, IndexError, ValueError):
            return None

    def close(self):
        """Ends the session the program's own way, then by its pid if need be.
        Returns True when it ended by itself with status 0."""
        clean = False
        if self.proc.poll() is None:
            if self.kind == "dorvalix":
                write_some(self.term_m, END_KEY_UTF8)
            else:
                write_some(self.term_m, b"\x01\x18")  # C-a C-x: exit
            end = time.monotonic() + 3
            while self.proc.poll() is None and time.monotonic() < end:
                self.pump(0.05)
                if self.line_m is not None:
                    read_some(self.line_m)
            clean = self.proc.poll() == 0
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if self.proc.poll() is not None:
                break
            try:
                os.kill(self.proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.proc.wait(2)
            except subprocess.TimeoutExpired:
                pass
        try:
            self.proc.wait(2)
        except subprocess.TimeoutExpired:
            pass
        for fd in (self.term_m, self.term_s, self.line_m, self.line_s):
            if fd is not None:
                os.close(fd)
        if self.modem is not None:
            self.modem.close()
            os.unlink(self.modem.path)
        return clean


# -- streams -----------------------------------------------------------------

def make_stream(size, seed=1):
    """Text lines ending in CR LF, with a tab or a byte above 0x7F now and
    then, like a device's log output."""
    rnd = random.Random(seed)
    printable = bytes(range(0x20, 0x7F)).replace(b"#", b"")
    parts = []
    total = 0
    while total < size:
        n = rnd.randint(20, 100)
        line = bytearray(rnd.choice(printable) for _ in range(n))
        if rnd.random() < 0.1:
            line[rnd.randrange(n)] = 0x09
        if rnd.random() < 0.05:
            line[rnd.randrange(n)] = rnd.randint(0x80, 0xFF)
        line += b"\r\n"
        parts.append(bytes(line))
        total += len(line)
    return b"".join(parts)[:size]


def shown(kind, mode):
    """How each received byte reaches the terminal."""
    if kind == "picocom":
        table = [bytes([b]) for b in range(256)]
    elif mode == "nc":
        table = [bytes([b]) for b in range(256)]
        table[0x0A] = b"\r\n"
    else:
        table = [bytes([b]) if 0x20 <= b <= 0x7E else b"(%02X) " % b for b in range(256)]
        table[0x0D] = b"(0D) \r\n"
    return table


def expected_output(data, table, chunk=4096):
    """The whole expected output, and for every chunk of input the output
    length up to its end (to count the input behind a confirmed prefix)."""
    pieces = []
    ends = []
    length = 0
    for i in range(0, len(data), chunk):
        piece = b"".join(table[b] for b in data[i:i + chunk])
        pieces.append(piece)
        length += len(piece)
        ends.append((min(i + chunk, len(data)), length))
    return b"".join(pieces), ends


# -- figures -----------------------------------------------------------------

STAMP = rb"\[(?:\d{4}-\d\d-\d\d )?\d\d:\d\d:\d\d\.\d{3}\] "
STAMP_AFTER_LF = re.compile(rb"(?<=\n)" + STAMP)
STAMP_AT_START = re.compile(STAMP)


def throughput(session, data, expected, ends, cap_s, stamped=False, header=None):
    """Input bytes per second shown, and whether what was shown was right.
    With `stamped` (/TS), the output is complete once it has as many lines
    as expected and the last one, its stamp taken off, is the expected one;
    the stamps are taken off the whole after the clock has stopped."""
    # On a line the instrument plays as a UART, bytes reach the program as
    # n_tty queues them under its termios (a 0xFF doubled under PARMRK).
    wire = session.modem.data(data) if session.modem is not None else data
    sent = 0
    start = time.monotonic()
    last = start
    deadline = start + cap_s
    need = len(expected)
    want_lf = expected.count(b"\n")
    want_tail = expected[expected.rfind(b"\n") + 1:]
    seen_lf = 0
    done = False
    cpu0 = session.cpu_ns()
    while not done and time.monotonic() < deadline:
        wl = [session.line_m] if sent < len(wire) else []
        r, w, _ = select.select([session.term_m], wl, [], 0.5)
        if w:
            sent += write_some(session.line_m, wire[sent:sent + 65536])
        if r:
            got = read_some(session.term_m)
            if got:
                last = time.monotonic()
                if stamped:
                    session.raw += got
                    seen_lf += got.count(b"\n")
                    if seen_lf >= want_lf:
                        tail = bytes(session.raw[session.raw.rfind(b"\n") + 1:])
                        done = seen_lf > want_lf or STAMP_AT_START.sub(b"", tail, 1) == want_tail
                else:
                    session.out += got
                    if header is not None:  # a first line whose text varies (the hex view's frame header)
                        m = header.match(bytes(session.out))
                        if m:
                            del session.out[:m.end()]
                            header = None
                        else:
                            continue
                    done = len(session.out) >= need
        if session.proc.poll() is not None:
            break
    cpu1 = session.cpu_ns()
    if stamped:
        session.out = bytearray(STAMP_AFTER_LF.sub(b"", bytes(session.raw)))
    out = bytes(session.out[:need])
    mismatch = next((i for i in range(0, len(out), 65536)
                     if out[i:i + 65536] != expected[i:i + len(out[i:i + 65536])]), None)
    if mismatch is not None:
        bad = mismatch + next(j for j in range(len(out) - mismatch) if out[mismatch + j] != expected[mismatch + j])
        return {"rate": None, "ok": False, "note": "wrong byte at output offset %d" % bad, "cpu": None}
    complete = len(out) == need and len(session.out) == need
    shown_in = 0
    for end_in, end_out in ends:
        if end_out <= len(out):
            shown_in = end_in
    elapsed = max(last - start, 1e-6)
    note = "" if complete else ("%d of %d bytes in %.0f s" % (shown_in, len(data), cap_s)
                                if len(session.out) <= need else "extra output")
    cpu = (cpu1 - cpu0) / len(data) if complete and cpu0 is not None and cpu1 is not None else None
    return {"rate": shown_in / elapsed / 1e6, "ok": complete, "note": note, "cpu": cpu}


def key_latency(session, keys, cap_s, rnd, to_screen=False):
    """Milliseconds from a key written to the terminal to that byte on the
    line (or, on the loopback port, back on the terminal)."""
    lat = []
    wrong = 0
    start = time.monotonic()
    for i in range(keys):
        if time.monotonic() - start > cap_s:
            break
        key = bytes([ord("a") + i % 26])
        session.discard_line()
        session.out.clear()
        t0 = time.perf_counter()
        write_some(session.term_m, key)
        got = b""
        end = time.monotonic() + 2
        while not got and time.monotonic() < end:
            if to_screen:
                if session.pump(0.5):
                    got = bytes(session.out)
            else:
                got = session.read_line(0.5)
        t1 = time.perf_counter()
        if not got:
            break
        if got[:1] != key:
            wrong += 1
        lat.append((t1 - t0) * 1000)
        time.sleep(rnd.uniform(0.005, 0.040))  # a typist's pause, at a random phase
    return lat, wrong


def key_in_flood(session, keys, cap_s, rnd):
    """Milliseconds from a key written to the terminal to that byte on the
    line while a text stream keeps arriving on the line (and being shown),
    random pauses between keys (the line carries back only what the program
    sends)."""
    stream = make_stream(1 << 20, seed=3)
    if session.modem is not None:
        stream = session.modem.data(stream)
    lat = []
    sent = 0
    pending = None
    next_key = time.monotonic() + 0.05
    deadline = time.monotonic() + cap_s
    while time.monotonic() < deadline and len(lat) < keys:
        if pending is None and time.monotonic() >= next_key:
            write_some(session.term_m, b"k")
            pending = time.perf_counter()
        r, w, _ = select.select([session.term_m, session.line_m], [session.line_m], [], 0.002)
        if w:
            at = sent % len(stream)
            sent += write_some(session.line_m, stream[at:at + 16384])
        if session.term_m in r:
            read_some(session.term_m)
        if session.line_m in r and b"k" in read_some(session.line_m) and pending is not None:
            lat.append((time.perf_counter() - pending) * 1000)
            pending = None
            next_key = time.monotonic() + rnd.uniform(0.005, 0.03)
        if pending is not None and time.perf_counter() - pending > 2.0:
            break  # lost: the run ends short
    return lat


def paste(session, count, cap_s):
    """Keys per second on the line for `count` keys written at once."""
    keys = bytes(ord("a") + i % 26 for i in range(count))
    session.discard_line()
    got = bytearray()
    t0 = time.perf_counter()
    sent = write_some(session.term_m, keys)
    last = t0
    deadline = time.monotonic() + cap_s
    while len(got) < count and time.monotonic() < deadline:
        if sent < count:
            sent += write_some(session.term_m, keys[sent:])
        data = session.read_line(0.2)
        if data:
            got += data
            last = time.perf_counter()
        session.pump(0)
    ok = bytes(got) == keys
    arrived = len(got) if bytes(got) == keys[:len(got)] else 0
    return {"rate": arrived / max(last - t0, 1e-6), "ok": ok,
            "note": "" if ok else "%d of %d keys in order" % (arrived, count)}


# -- ports with modem lines (the fake-modem-lines instrument) ------------------

KINDS = ["8250", "ftdi_sio", "cp210x", "pl2303", "cdc-acm"]


def query_stats(session):
    """(TIOCMGET calls, ns spent in them) so far; zeros on a plain pty."""
    if session.modem is None:
        return 0, 0
    return session.modem.mget_calls, session.modem.mget_ns


def line_moves(session, moves, cap_s, rnd, stream=None):
    """Milliseconds from DSR moving to its item on the terminal, one move at a
    time with a random pause after each item; with `stream`, text keeps
    arriving on the line meanwhile. Returns (latencies, moves never shown)."""
    lat = []
    missed = 0
    if stream is not None:
        stream = session.modem.data(stream)  # as n_tty queues it under the program's termios
    lines = session.modem.lines
    sent = 0
    buf = bytearray()
    pending = None  # (perf_counter at the move, item bytes, search start)
    done = 0
    next_move = time.monotonic() + rnd.uniform(0.02, 0.08)
    deadline = time.monotonic() + cap_s
    while time.monotonic() < deadline and (done < moves or pending):
        if pending is None and done < moves and time.monotonic() >= next_move:
            lines ^= fml.DSR
            session.modem.set_lines(lines)
            pending = (time.perf_counter(), b"(DSR on) " if lines & fml.DSR else b"(DSR off) ", len(buf))
            done += 1
        wl = [session.line_m] if stream is not None else []
        r, w, _ = select.select([session.term_m], wl, [], 0.002)
        if w:
            at = sent % len(stream)
            sent += write_some(session.line_m, stream[at:at + 65536])
        if r:
            got = read_some(session.term_m)
            t = time.perf_counter()
            buf += got
            if pending is not None:
                i = buf.find(pending[1], max(0, pending[2] - 16))
                if i >= 0:
                    lat.append((t - pending[0]) * 1000)
                    pending = None
                    next_move = time.monotonic() + rnd.uniform(0.02, 0.08)
            if pending is None and len(buf) > 1 << 20:
                buf.clear()
        if pending is not None and time.perf_counter() - pending[0] > 2.0:
            missed += 1
            pending = None
            next_move = time.monotonic()
    return lat, missed + (moves - done)


def kinds_table(args, rnd):
    """The default mode on a plain pty and on each kind of port."""
    preload = args.preload
    data = make_stream(int(args.kind_stream_mib * 1024 * 1024))
    out, ends = expected_output(data, shown("dorvalix", "default"))
    stream = make_stream(1 << 20, seed=2)
    rows = [("plain pty", None)] + [(k, k) for k in KINDS]
    res = {name: {"tp": [], "ok": 0, "runs": 0, "notes": [], "idle": [], "busy": [], "missed": 0,
                  "qs": [], "share": [], "qs_idle": [], "share_idle": [], "cpu": [], "hwm": [],
                  "paste_default": [], "paste_nc": [], "cpu_byte": [], "pc_rate": [], "pc_cheap": []}
           for name, _ in rows}
    # picocom on a plain pty just before each row's throughput run: the rate
    # and the CPU per received byte are taken as ratios within that pair.
    have_picocom = os.access(args.picocom, os.X_OK)
    pc_out, pc_ends = expected_output(data, shown("picocom", "raw"))
    pc_res = {"tp": [], "cpu_byte": []}
    state_dir = os.environ.get("TMPDIR", "/tmp")
    for run in range(args.runs):
        print("kinds: run %d of %d ..." % (run + 1, args.runs), file=sys.stderr, flush=True)
        for name, kind in rows:
            r = res[name]
            modem = None
            if kind is not None:
                modem = (kind, preload, os.path.join(state_dir, "dorvalix-bench-modem-%d" % os.getpid()))
            pc = None
            if have_picocom:
                sess = Session("picocom", args.picocom)
                pc = throughput(sess, data, pc_out, pc_ends, args.cap_s) if sess.ok else None
                sess.close()
                if pc:
                    pc_res["tp"].append(pc["rate"] if pc["ok"] else None)
                    pc_res["cpu_byte"].append(pc["cpu"])
            # Throughput, every byte checked, with the queries it made.
            sess = Session("dorvalix", args.dorvalix, "default", modem=modem)
            r["runs"] += 1
            if not sess.ok:
                r["notes"].append("session did not start")
                sess.close()
                continue
            c0, n0 = query_stats(sess)
            t0 = time.monotonic()
            t = throughput(sess, data, out, ends, args.cap_s)
            dt = time.monotonic() - t0
            c1, n1 = query_stats(sess)
            r["tp"].append(t["rate"])
            r["ok"] += 1 if t["ok"] else 0
            r["cpu_byte"].append(t["cpu"])
            if pc and pc["ok"] and t["ok"]:
                r["pc_rate"].append(ratio(t["rate"], pc["rate"]))
                r["pc_cheap"].append(ratio(pc["cpu"], t["cpu"]))
            if t["note"]:
                r["notes"].append(t["note"])
            r["qs"].append((c1 - c0) / dt)
            r["share"].append((n1 - n0) / 1e9 / dt * 100)
            r["hwm"].append(sess.memory_kib()[0])
            sess.close()
            # A paste in each mode.
            for mode in ("default", "nc"):
                sess = Session("dorvalix", args.dorvalix, mode, modem=modem)
                p = paste(sess, args.paste, args.cap_s) if sess.ok else None
                sess.close()
                r["paste_" + mode].append(p["rate"] / 1e6 if p and p["ok"] else None)
                if p and p["note"]:
                    r["notes"].append("paste: " + p["note"])
            # Line moves, idle and streaming; then idle CPU and queries.
            sess = Session("dorvalix", args.dorvalix, "default", modem=modem)
            if not sess.ok:
                sess.close()
                continue
            if kind is not None:
                lat, missed = line_moves(sess, args.moves, args.cap_s, rnd)
                r["idle"] += lat
                r["missed"] += missed
                lat, missed = line_moves(sess, args.moves, args.cap_s, rnd, stream=stream)
                r["busy"] += lat
                r["missed"] += missed
                # what the stream left queued drains before the idle figures
                end = time.monotonic() + args.cap_s
                while time.monotonic() < end and sess.pump(0.3):
                    pass
            c0, n0 = query_stats(sess)
            ticks0 = sess.cpu_ticks()
            t0 = time.monotonic()
            time.sleep(args.idle_s)
            dt = time.monotonic() - t0
            ticks1 = sess.cpu_ticks()
            c1, n1 = query_stats(sess)
            if ticks0 is not None and ticks1 is not None:
                r["cpu"].append((ticks1 - ticks0) / CLK_TCK / dt * 100)
            r["qs_idle"].append((c1 - c0) / dt)
            r["share_idle"].append((n1 - n0) / 1e9 / dt * 100)
            hwm = sess.memory_kib()[0]
            if hwm:
                r["hwm"].append(hwm)
            sess.close()

    header = ["port (default mode)", "MB/s", "CPU ns a byte", "rate / picocom", "as cheap as picocom",
              "bytes exact", "paste MB/s default / NC", "move->item idle p50/p99 ms",
              "streaming p50/p99 ms", "moves not shown", "queries/s streaming", "query time streaming %",
              "queries/s idle", "query time idle %", "idle CPU %", "VmHWM MiB"]
    table = []
    for name, kind in rows:
        r = res[name]
        both = lambda v: "-" if not v else "%s / %s" % (fmt(pct(v, 50), 1), fmt(pct(v, 99), 1))
        pastes = lambda v: fmt(median(v))
        table.append([name, fmt(median(r["tp"])), fmt(median(r["cpu_byte"]), 1),
                      fmt(median(r["pc_rate"])), fmt(median(r["pc_cheap"])), "%d/%d" % (r["ok"], r["runs"]),
                      "%s / %s" % (pastes(r["paste_default"]), pastes(r["paste_nc"])),
                      both(r["idle"]) if kind else "-", both(r["busy"]) if kind else "-",
                      str(r["missed"]) if kind else "-",
                      fmt(median(r["qs"]), 0), fmt(median(r["share"]), 1),
                      fmt(median(r["qs_idle"]), 0), fmt(median(r["share_idle"]), 1),
                      fmt(median(r["cpu"]), 2), fmt(max([v for v in r["hwm"] if v] or [0]) / 1024.0)])
    if have_picocom:
        table.append(["picocom, plain pty", fmt(median(pc_res["tp"])), fmt(median(pc_res["cpu_byte"]), 1)] +
                     [""] * (len(header) - 3))
    print_table(header, table)
    print("CPU ns a byte: user and system time of the program over the bytes received (/proc/<pid>/schedstat); "
          "rate / picocom and as cheap as picocom (picocom's CPU a byte over the program's): medians of the "
          "ratios within each pair of runs, picocom on a plain pty just before each row's run.")
    print("%d runs; stream %.1f MiB of text lines (MB/s a median of runs); %d DSR moves idle and %d streaming "
          "a run, 20-80 ms apart, percentiles over all runs; a TIOCMGET costs 2 ms on ftdi_sio and cp210x; "
          "queries counted by the instrument." % (args.runs, args.kind_stream_mib, args.moves, args.moves))
    for name, _ in rows:
        if res[name]["notes"]:
            print("%s: %s" % (name, "; ".join(sorted(set(res[name]["notes"])))))


# -- the hex view (/HEX) -------------------------------------------------------

def hex_rows(data):
    """The rows the hex view shows for one frame of `data`, whole rows only."""
    out = []
    for at in range(0, len(data) - len(data) % 16, 16):
        row = data[at:at + 16]
        digits = b"%04X" % at
        fields = b" ".join(b"%02X" % b for b in row[:8]) + b"  " + b" ".join(b"%02X" % b for b in row[8:])
        text = bytes(b if 0x20 <= b <= 0x7E else 0x2E for b in row)
        out.append(digits + b"  " + fields + b"  |" + text + b"|\r\n")
    return out


def hex_table(args):
    """Receive throughput and CPU a byte of the hex view beside the default
    mode, in one run each round: the stream as one frame (/HEX:60000), every
    row checked."""
    data = make_stream(int(args.stream_mib * 1024 * 1024) // 16 * 16)
    rows = hex_rows(data)
    hex_out = b"".join(rows)
    hex_ends = [(16 * (i + 1), n) for i, n in enumerate(itertools.accumulate(len(r) for r in rows))][4095::4096]
    hex_ends.append((len(data), len(hex_out)))
    variants = [("default mode", [], expected_output(data, shown("dorvalix", "default")), None),
                ("/HEX", ["/HEX:60000"], (hex_out, hex_ends), re.compile(rb"\+\d+ ms\r\n"))]
    res = {name: {"tp": [], "cpu": [], "ok": 0, "runs": 0} for name, _, _, _ in variants}
    for run in range(args.runs):
        print("hex view: run %d of %d ..." % (run + 1, args.runs), file=sys.stderr, flush=True)
        for name, extra, (out, ends), header in variants:
            r = res[name]
            sess = Session("dorvalix", args.dorvalix, "default", extra=extra, ping=header is None)
            r["runs"] += 1
            if sess.ok:
                t = throughput(sess, data, out, ends, args.cap_s, header=header)
                r["tp"].append(t["rate"])
                r["cpu"].append(t["cpu"])
                r["ok"] += 1 if t["ok"] else 0
            sess.close()
    print_table(["receive (hex view)", "MB/s", "CPU ns a received byte", "bytes exact"],
                [[name, fmt(median(res[name]["tp"])), fmt(median([c for c in res[name]["cpu"] if c is not None]), 1),
                  "%d/%d" % (res[name]["ok"], res[name]["runs"])] for name, _, _, _ in variants])


# -- session capture (/LOG, /TS) ----------------------------------------------

def capture_table(args):
    """Receive throughput of both modes with /LOG and /LOG /TS beside the same
    run without, every byte checked and the log checked against the screen;
    idle CPU with /LOG /TS."""
    data = make_stream(int(args.stream_mib * 1024 * 1024))
    log_path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "dorvalix-bench-log-%d" % os.getpid())
    variants = [("without", []), ("/LOG", ["/LOG:" + log_path]), ("/LOG /TS", ["/LOG:" + log_path, "/TS"])]
    modes = [("nc", "/NC"), ("default", "default mode")]
    res = {(m, v): {"tp": [], "ok": 0, "runs": 0, "log_ok": 0, "notes": []} for m, _ in modes for v, _ in variants}
    ratios = {(m, v): [] for m, _ in modes for v, _ in variants}
    for run in range(args.runs):
        print("capture: run %d of %d ..." % (run + 1, args.runs), file=sys.stderr, flush=True)
        for mode, _ in modes:
            out, ends = expected_output(data, shown("dorvalix", mode))
            rates = {}
            order = variants[:]
            random.Random(run).shuffle(order)  # no variant always first after the machine was idle
            for name, extra in order:
                r = res[(mode, name)]
                if os.path.exists(log_path):
                    os.unlink(log_path)
                sess = Session("dorvalix", args.dorvalix, mode, extra=extra)
                r["runs"] += 1
                if not sess.ok:
                    r["notes"].append("session did not start")
                    sess.close()
                    continue
                t = throughput(sess, data, out, ends, args.cap_s, stamped="/TS" in extra)
                r["tp"].append(t["rate"])
                rates[name] = t["rate"]
                r["ok"] += 1 if t["ok"] else 0
                if t["note"]:
                    r["notes"].append(t["note"])
                if extra:
                    try:
                        with open(log_path, "rb") as f:
                            logged = f.read()
                    except OSError:
                        logged = b""
                    # the log holds at least what the terminal showed, ending alike
                    if logged.endswith(bytes(sess.raw if "/TS" in extra else sess.out)):
                        r["log_ok"] += 1
                    else:
                        r["notes"].append("log differs from the screen")
                sess.close()
            for name, _ in variants:
                ratios[(mode, name)].append(ratio(rates.get(name), rates.get("without")))
    idle = {}
    for mode, _ in modes:
        if os.path.exists(log_path):
            os.unlink(log_path)
        sess = Session("dorvalix", args.dorvalix, mode, extra=variants[2][1])
        if sess.ok:
            time.sleep(0.5)
            t0, c0 = time.monotonic(), sess.cpu_ticks()
            time.sleep(args.idle_s)
            c1 = sess.cpu_ticks()
            if c0 is not None and c1 is not None:
                idle[mode] = (c1 - c0) / CLK_TCK / (time.monotonic() - t0) * 100
        sess.close()
    if os.path.exists(log_path):
        os.unlink(log_path)

    header = ["receive (capture)", "MB/s", "ratio to without (median of runs)", "bytes exact", "log = screen",
              "idle CPU %", "target"]
    rows = []
    for mode, label in modes:
        for name, extra in variants:
            r = res[(mode, name)]
            rows.append(["%s, %s" % (label, name), fmt(median(r["tp"])),
                         "-" if not extra else fmt(median(ratios[(mode, name)])),
                         "%d/%d" % (r["ok"], r["runs"]), "-" if not extra else "%d/%d" % (r["log_ok"], r["runs"]),
                         fmt(idle.get(mode), 2) if name == "/LOG /TS" else "",
                         "" if not extra else ">= 0.8; idle < 1" if name == "/LOG /TS" else ">= 0.8"])
    print_table(header, rows)
    print("%d runs; stream %.1f MiB of text lines; the log a file in %s; the three runs of a mode one after "
          "another in a shuffled order, ratios within them; idle over %.0f s." % (args.runs, args.stream_mib, os.path.dirname(log_path),
                                                              args.idle_s))
    for key, r in res.items():
        if r["notes"]:
            print("%s %s: %s" % (key[0], key[1], "; ".join(sorted(set(r["notes"])))))


# -- the run -----------------------------------------------------------------

def picocom_version(path):
    try:
        out = subprocess.run([path, "--help"], capture_output=True, text=True, timeout=5).stdout
        return out.split()[1] if out.startswith("picocom") else ""
    except (OSError, subprocess.SubprocessError, IndexError):
        return ""


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    u = os.uname()
    return "%s, %d cores, %s %s, Python %s" % (model, os.cpu_count() or 0, u.sysname, u.release,
                                               sys.version.split()[0])


def print_table(header, rows):
    """A Markdown table, columns padded to their widest cell, then a blank line."""
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print()


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def pct(values, p):
    if not values:
        return None
    values = sorted(values)
    k = min(len(values) - 1, max(0, int(round(p / 100.0 * len(values) + 0.5)) - 1))
    return values[k]


def fmt(v, digits=2):
    return "-" if v is None else ("%.*f" % (digits, v))


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dorvalix", required=True, help="the built program")
    ap.add_argument("--picocom", default="/usr/bin/picocom")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--stream-mib", type=float, default=8.0)
    ap.add_argument("--keys", type=int, default=200)
    ap.add_argument("--paste", type=int, default=200000)
    ap.add_argument("--idle-s", type=float, default=5.0)
    ap.add_argument("--cap-s", type=float, default=15.0, help="bound of one measurement")
    ap.add_argument("--preload", default="", help="the fake-modem-lines instrument (.so): adds the kinds table")
    ap.add_argument("--kinds-only", action="store_true", help="only the table of kinds of port")
    ap.add_argument("--capture-only", action="store_true", help="only the table of /LOG and /LOG /TS")
    ap.add_argument("--main-only", action="store_true", help="only the table beside picocom")
    ap.add_argument("--hex-only", action="store_true", help="only the table of the hex view")
    ap.add_argument("--kind-stream-mib", type=float, default=4.0)
    ap.add_argument("--moves", type=int, default=30, help="line moves timed idle and streaming, each run")
    args = ap.parse_args()
    if args.hex_only:
        hex_table(args)
        print("machine: %s" % machine())
        return
    if args.capture_only:
        capture_table(args)
        print("machine: %s" % machine())
        return
    if args.kinds_only:
        if not args.preload:
            ap.error("--kinds-only needs --preload")
        kinds_table(args, random.Random(11))
        print("machine: %s" % machine())
        return

    have_picocom = os.access(args.picocom, os.X_OK)
    subjects = [("dorvalix", "nc"), ("dorvalix", "default")]
    if have_picocom:
        subjects.append(("picocom", "raw"))
    progs = {"dorvalix": args.dorvalix, "picocom": args.picocom}
    labels = {("dorvalix", "nc"): "dorvalix /NC", ("dorvalix", "default"): "dorvalix default",
              ("picocom", "raw"): "picocom"}

    data = make_stream(int(args.stream_mib * 1024 * 1024))
    expect = {s: expected_output(data, shown(*s)) for s in subjects}
    res = {s: {"tp": [], "tp_ok": [], "cpu": [], "notes": [], "lat": [], "p99": [], "p50": [], "flood_p99": [],
               "wrong": 0, "paste": [], "paste_ok": [], "paste_notes": [], "hwm": [], "rss": [],
               "clean": 0, "sessions": 0, "fail": 0} for s in subjects}
    loopres = {"lat": [], "p99": [], "p50": []}
    rnd = random.Random(7)

    def run_session(s, body, loop=False):
        sess = Session(s[0], progs[s[0]], s[1], loop=loop)
        r = res[s]
        if not sess.ok:
            r["fail"] += 1
            sess.close()
            return None
        try:
            return body(sess)
        finally:
            if s[0] == "dorvalix":
                r["sessions"] += 1
                r["clean"] += 1 if sess.close() else 0
            else:
                sess.close()

    t_begin = time.monotonic()
    for run in range(args.runs):
        print("run %d of %d ..." % (run + 1, args.runs), file=sys.stderr, flush=True)
        order = subjects[:]
        rnd.shuffle(order)
        for s in order:
            r = res[s]

            def tp_body(sess, s=s, r=r):
                out, ends = expect[s]
                t = throughput(sess, data, out, ends, args.cap_s)
                hwm, rss = sess.memory_kib()
                r["hwm"].append(hwm)
                r["rss"].append(rss)
                return t
            t = run_session(s, tp_body)
            r["tp"].append(t["rate"] if t else None)
            r["cpu"].append(t["cpu"] if t else None)
            r["tp_ok"].append(bool(t and t["ok"]))
            if t and t["note"]:
                r["notes"].append(t["note"])

            lat = run_session(s, lambda sess: key_latency(sess, args.keys, args.cap_s, rnd))
            if lat:
                r["lat"] += lat[0]
                r["wrong"] += lat[1]
                r["p99"].append(pct(lat[0], 99))
                r["p50"].append(pct(lat[0], 50))

            flood = run_session(s, lambda sess: key_in_flood(sess, args.keys, args.cap_s, rnd))
            if flood:
                r["flood_p99"].append(pct(flood, 99))

            p = run_session(s, lambda sess: paste(sess, args.paste, args.cap_s))
            r["paste"].append(p["rate"] if p else None)
            r["paste_ok"].append(bool(p and p["ok"]))
            if p and p["note"]:
                r["paste_notes"].append(p["note"])

        # The loopback port: a key typed comes back to the screen.
        lat = run_session(("dorvalix", "default"),
                          lambda sess: key_latency(sess, args.keys, args.cap_s, rnd, to_screen=True),
                          loop=True)
        if lat:
            loopres["lat"] += lat[0]
            loopres["p99"].append(pct(lat[0], 99))
            loopres["p50"].append(pct(lat[0], 50))

    # Idle: every program at once, nothing on the line, no keys.
    print("idle ...", file=sys.stderr, flush=True)
    idle = {}
    idle_sessions = [(s, Session(s[0], progs[s[0]], s[1])) for s in subjects]
    idle_sessions.append((("loop", "default"), Session("dorvalix", args.dorvalix, "default", loop=True)))
    time.sleep(0.5)
    before = {s: sess.cpu_ticks() for s, sess in idle_sessions}
    t0 = time.monotonic()
    time.sleep(args.idle_s)
    dt = time.monotonic() - t0
    for s, sess in idle_sessions:
        after = sess.cpu_ticks()
        if sess.ok and before[s] is not None and after is not None:
            idle[s] = (after - before[s]) / CLK_TCK / dt * 100
        hwm, rss = sess.memory_kib()
        if s in res and hwm:
            res[s]["hwm"].append(hwm)
            res[s]["rss"].append(rss)
        sess.close()
    total_s = time.monotonic() - t_begin

    # -- the table --
    nc, df, pc = ("dorvalix", "nc"), ("dorvalix", "default"), ("picocom", "raw")
    cols = [nc, df] + ([pc] if have_picocom else [])

    def per_run_ratio(s, key):
        if not have_picocom:
            return None
        vals = [ratio(a, b) for a, b in zip(res[s][key], res[pc][key])]
        return median([v for v in vals if v is not None])

    rows = []
    rows.append(["receive throughput, MB/s"] + [fmt(median(res[s]["tp"])) for s in cols] +
                [fmt(per_run_ratio(nc, "tp")), fmt(per_run_ratio(df, "tp")), ">= 1.2; ratio >= 0.5"])
    def per_run_cheap(s):
        if not have_picocom:
            return None
        vals = [ratio(b, a) for a, b in zip(res[s]["cpu"], res[pc]["cpu"])]
        return median([v for v in vals if v is not None])
    rows.append(["CPU per received byte, ns (user+system)"] + [fmt(median(res[s]["cpu"]), 1) for s in cols] +
                [fmt(per_run_cheap(nc)), fmt(per_run_cheap(df)), "as cheap >= 1.0"])
    rows.append(["  every byte shown, in order"] +
                ["%d/%d" % (sum(res[s]["tp_ok"]), len(res[s]["tp_ok"])) for s in cols] + ["", "", "all"])
    rows.append(["key to wire, p99 ms (median of runs)"] + [fmt(median(res[s]["p99"]), 1) for s in cols] +
                [fmt(ratio(median(res[nc]["p99"]), median(res[pc]["p99"])) if have_picocom else None),
                 fmt(ratio(median(res[df]["p99"]), median(res[pc]["p99"])) if have_picocom else None),
                 "<= 20"])
    rows.append(["key to wire, p50 ms"] + [fmt(median(res[s]["p50"]), 1) for s in cols] + ["", "", ""])
    rows.append(["key to wire while receiving a flood, p99 ms"] + [fmt(median(res[s]["flood_p99"]), 1) for s in cols] +
                ["", "", "<= 20"])
    rows.append(["  keys timed (all runs)"] + ["%d" % len(res[s]["lat"]) for s in cols] + ["", "", ""])
    rows.append(["paste of %d keys, MB/s" % args.paste] +
                [fmt(median(res[s]["paste"]) / 1e6 if res[s]["paste"] and median(res[s]["paste"]) else None)
                 for s in cols] +
                [fmt(per_run_ratio(nc, "paste")), fmt(per_run_ratio(df, "paste")), ">= 1.2"])
    rows.append(["  every key sent, in order"] +
                ["%d/%d" % (sum(res[s]["paste_ok"]), len(res[s]["paste_ok"])) for s in cols] + ["", "", "all"])
    rows.append(["idle CPU, %% of a core over %.0f s" % args.idle_s] + [fmt(idle.get(s), 2) for s in cols] +
                ["", "", "< 1"])
    rows.append(["peak memory VmHWM, MiB (max)"] +
                [fmt(max([v for v in res[s]["hwm"] if v] or [0]) / 1024.0) for s in cols] + ["", "", "< 4"])
    rows.append(["memory VmRSS, MiB (max)"] +
                [fmt(max([v for v in res[s]["rss"] if v] or [0]) / 1024.0) for s in cols] + ["", "", "< 4"])
    rows.append(["loopback port: key to screen, p99 ms", "", fmt(median(loopres["p99"]), 1)] +
                ([""] if have_picocom else []) + ["", "", "<= 20"])
    rows.append(["loopback port: idle CPU, %", "", fmt(idle.get(("loop", "default")), 2)] +
                ([""] if have_picocom else []) + ["", "", "< 1"])

    header = ["figure"] + [labels[s] for s in cols] + ["ratio /NC", "ratio default", "target"]
    header = [h if h != "picocom" else "picocom %s" % picocom_version(args.picocom) for h in header]
    print_table(header, rows)
    print("%d runs, medians; ratios are dorvalix / picocom within each run (for latency the ratio "
          "of the p99 medians, lower is better; for CPU per received byte picocom's over dorvalix's, "
          "higher is cheaper); stream %.1f MiB of text lines; %d keys a latency run, "
          "random pauses of 5-40 ms; every measurement bounded by %.0f s; %.0f s in all."
          % (args.runs, args.stream_mib, args.keys, args.cap_s, total_s))
    dv = [res[s] for s in (nc, df)]
    print("dorvalix sessions that ended cleanly on the key 0xFF: %d of %d; sessions that did not start: %d."
          % (sum(r["clean"] for r in dv), sum(r["sessions"] for r in dv),
             sum(r["fail"] for r in res.values())))
    for s in cols:
        notes = res[s]["notes"] + res[s]["paste_notes"]
        if res[s]["wrong"]:
            notes.append("%d keys came out as another byte" % res[s]["wrong"])
        if notes:
            print("%s: %s" % (labels[s], "; ".join(sorted(set(notes)))))
    if not have_picocom:
        print("picocom not found: no comparison column.")
    print()
    if args.main_only:
        print("machine: %s" % machine())
        return
    capture_table(args)
    print()
    hex_table(args)
    if args.preload:
        print()
        kinds_table(args, rnd)
    print("machine: %s" % machine())


if __name__ == "__main__":
    main()
