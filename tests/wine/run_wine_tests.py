#!/usr/bin/env python3
"""End-to-end runs of the Windows builds under wine.

    run_wine_tests.py X86_64_EXE I686_EXE
    run_wine_tests.py --x86_64-twice X86_64_EXE

Each build must be a self-contained executable of its kind. The two
architectures' sequences of cases run one after the other in one prefix,
each from a fresh start: a new wine server (no program, handle or port of
the run before), no COM links, and a folder of its own for every file its
cases make (logs, links, state files). After each run the prefix is compared
with what it held before: a file left outside the run's folder fails, a
registry key that appeared is reported. --x86_64-twice runs the x86_64 build
in both slots, so that whatever one sequence leaves for the next shows on a
machine without wine32 too. The program
then runs in a private wine prefix whose COM50 is a pty pair made here: the
test plays the peer on the pty master, types keys into the program's console
(itself a pty) and compares the program's standard output, a pipe, byte for
byte. Keys that a terminal cannot type exactly (a lone ESC, cursor and
function keys) are injected by conkeys.exe, a helper built here from
conkeys.cpp with mingw-w64.

What wine does with a pty as a serial port shapes the expected output: the
DTR/RTS functions and GetCommModemStatus fail there (so no "(DTR on)" items
and every line reads as off), break works, and the transmit figures give a
headroom of 0. One case gives COM50 modem lines with the fake-modem-lines
instrument (tests/instrument, preloaded into wine; $FAKE_MODEM_LINES_PRELOAD
names its library), and there the lines and DTR/RTS work.

For the i686 build the instrument is built 32-bit here (gcc -m32, package
gcc-multilib), since the wine that runs it is a 32-bit process; without
that compiler the cases that need it say so and are not run.

dorvalix-ports.exe, beside each dorvalix.exe, lists COM50 with its device
and "not probed" (it opens no port), and COM60, never mapped, not at all.

Exits 77 (skipped) when wine is not installed at all.
"""

import os
import pty
import re
import select
import signal
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

from can_run_32bit import why_not_32bit

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
WINE_ENV = {
    # No mount manager: otherwise wine links com1.. to the host's serial
    # devices again whenever its server starts.
    "WINEDLLOVERRIDES": "mscoree,mshtml=;mountmgr.sys=d",
    "WINEDEBUG": "-all",
    "LANG": "C.UTF-8",
    "LC_ALL": "C.UTF-8",
}
PORT = 50  # mapped to a pty of ours; ports below 50 are never used
NO_DEVICE_PORT = 60  # never mapped

failures = []
current_run = [""]  # the sequence under way, which names its failures


def log(text):
    print(text, flush=True)


def check(name, condition, detail=""):
    if condition:
        log(f"  ok    {name}")
    else:
        log(f"  FAIL  {name}{': ' + detail if detail else ''}")
        failures.append(f"{current_run[0]}: {name}" if current_run[0] else name)


# --- the executables -----------------------------------------------------------

def pe_machine(path):
    """(machine, optional-header magic) of a PE file, or None."""
    try:
        with open(path, "rb") as f:
            data = f.read(4096)
    except OSError:
        return None
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    return machine, magic


SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "user32.dll", "advapi32.dll", "setupapi.dll"}


def imported_dlls(path):
    objdump = shutil.which("x86_64-w64-mingw32-objdump") or shutil.which("objdump")
    if objdump is None:
        return None
    out = subprocess.run([objdump, "-p", path], capture_output=True, text=True, timeout=60).stdout
    return [line.split(":", 1)[1].strip() for line in out.splitlines() if "DLL Name:" in line]


def check_executable(name, path, machine, magic):
    log(f"{name}: {path}")
    found = pe_machine(path)
    check(f"{name} is a PE file of its kind", found == (machine, magic),
          f"found {found}, want {(machine, magic)}")
    dlls = imported_dlls(path)
    if dlls is None:
        log("  (no objdump: imports not checked)")
        return
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS and not d.lower().startswith("api-ms-win-")]
    check(f"{name} imports only system DLLs", not foreign and dlls, f"imports {dlls}")


# --- wine ---------------------------------------------------------------------

def find_wine(runs_32bit):
    """The wine loader to use. `wine` prefers the 32-bit loader whenever
    wine32 is installed, which cannot even start where the kernel runs no
    32-bit programs; there the 64-bit loader is called directly."""
    candidates = ("wine", "wine64", "/usr/lib/wine/wine64")
    if not runs_32bit:
        candidates = ("wine64", "/usr/lib/wine/wine64", "wine")
    for candidate in candidates:
        path = shutil.which(candidate)
        if path:
            return path
    return None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    def __init__(self, loader):
        self.loader = loader
        self.prefix = tempfile.mkdtemp(prefix="dorvalix-wine-")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, **WINE_ENV)
        if os.path.basename(loader) == "wine64":
            # Processes that wine itself starts use the same 64-bit loader.
            self.env["WINELOADER"] = loader
        self.env.pop("DISPLAY", None)
        self.work = self.prefix  # each run's own folder (begin_run)

    def boot(self):
        start = time.monotonic()
        result = subprocess.run(["timeout", "120", self.loader, "wineboot", "-i"], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        log(f"wine prefix {self.prefix} made in {time.monotonic() - start:.1f} s")
        if result.returncode != 0:
            raise RuntimeError(f"wineboot failed ({result.returncode}): {result.stderr[-400:]!r}")
        self.clear_com_links()
        self.start_server()

    def start_server(self):
        # One server for a whole run, started here with no pipes of ours, so
        # that no session's program starts one holding that session's output.
        subprocess.run(["timeout", "30", self.server(), "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop_server(self):
        """Ends every wine process of the prefix and its server, and waits
        until the server has written the registry and gone."""
        server = self.server()
        subprocess.run(["timeout", "30", server, "-k"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["timeout", "30", server, "-w"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def begin_run(self, name):
        """A new folder for the files one sequence of cases makes (the server
        is new: from boot or from the end of the run before)."""
        self.clear_com_links()
        self.work = tempfile.mkdtemp(prefix=f"run-{name.replace(' ', '-')}-", dir=self.prefix)

    def end_run(self):
        """Ends every program and handle of the run with its server, so that
        the registry is written and nothing is held; returns what the prefix
        then holds; starts a new server for what follows."""
        self.stop_server()
        self.clear_com_links()
        state = self.state()
        self.start_server()
        return state

    def state(self):
        """What the prefix holds: its files (the runs' own folders left out)
        and the registry's keys."""
        files, keys = set(), set()
        for top, dirs, names in os.walk(self.prefix):
            rel = os.path.relpath(top, self.prefix)
            if rel == ".":
                dirs[:] = [d for d in dirs if not d.startswith("run-")]
            for entry in names + [d for d in dirs if os.path.islink(os.path.join(top, d))]:
                files.add(os.path.normpath(os.path.join(rel, entry)))
        for hive in ("system.reg", "user.reg", "userdef.reg"):
            try:
                with open(os.path.join(self.prefix, hive), encoding="utf-8", errors="replace") as f:
                    keys |= {f"{hive} {line.split(']')[0]}]" for line in f if line.startswith("[")}
            except OSError:
                pass
        return files, keys

    def server(self):
        return shutil.which("wineserver") or "/usr/lib/wine/wineserver64"

    def dosdevices(self):
        return os.path.join(self.prefix, "dosdevices")

    def clear_com_links(self):
        for entry in os.listdir(self.dosdevices()):
            if entry.lower().startswith("com"):
                os.unlink(os.path.join(self.dosdevices(), entry))

    def map_port(self, number, device):
        self.clear_com_links()
        os.symlink(device, os.path.join(self.dosdevices(), f"com{number}"))

    def shutdown(self):
        self.stop_server()
        shutil.rmtree(self.prefix, ignore_errors=True)


class Reader:
    """Collects everything that arrives on a file descriptor, until stopped.
    The descriptor is closed only after the thread has stopped, so its number
    cannot be reused under a reader that is still at work."""

    def __init__(self, fd):
        self.fd = fd
        self.data = bytearray()
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping.is_set():
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                return
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def stop(self):
        """Takes what is still waiting, then ends the thread."""
        time.sleep(0.1)
        self.stopping.set()
        self.thread.join(5)

    def bytes(self):
        with self.lock:
            return bytes(self.data)

    def wait_for(self, wanted, seconds=10.0):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if wanted in self.bytes():
                return True
            time.sleep(0.02)
        return False


class Session:
    """One run of the program: console on a pty, stdout on a pipe, and
    optionally COM50 on a pty whose master we hold."""

    def __init__(self, wine, exe, args, with_port=False, keys_helper=None, limit=40, stdin=None,
                 helper_pipe=False, env=None, before_start=None):
        self.wine = wine
        self.port_master = None
        self.port_slave = None
        if with_port:
            self.port_master, self.port_slave = pty.openpty()
            tty.setraw(self.port_slave)
            wine.map_port(PORT, os.ttyname(self.port_slave))
        else:
            wine.clear_com_links()
        if before_start is not None:
            before_start(self)  # e.g. give the port modem lines before the program opens it
        # Standard input: a console on a pty, or what the caller gives (a pipe
        # or a file, in place of a console).
        if stdin is None:
            self.console_master, console_slave = pty.openpty()
            self.console = Reader(self.console_master)  # what wine's console shows
            program_input = console_slave
        else:
            self.console_master = console_slave = None
            self.console = None
            program_input = stdin
        self.commands = None
        command = ["timeout", str(limit), wine.loader]
        if keys_helper:
            fd, self.commands = tempfile.mkstemp(prefix="keys-", dir=wine.work)
            os.close(fd)
            command += [keys_helper] + (["-p"] if helper_pipe else [])
            command += [windows_path(self.commands), windows_path(exe)]
        else:
            command += [exe]
        self.process = subprocess.Popen(command + list(args), env=env or wine.env, stdin=program_input,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if console_slave is not None:
            os.close(console_slave)
        self.out = Reader(self.process.stdout.fileno())
        self.err = Reader(self.process.stderr.fileno())
        self.port = Reader(self.port_master) if with_port else None

    def peer_sends(self, data):
        os.write(self.port_master, data)

    def type(self, data):
        os.write(self.console_master, data)

    def keys(self, *lines):
        with open(self.commands, "a") as f:
            f.write("".join(line + "\n" for line in lines))

    def finish(self, seconds=15.0):
        try:
            code = self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        for reader in (self.out, self.err, self.console, self.port):
            if reader is not None:
                reader.stop()
        for fd in (self.console_master, self.port_master, self.port_slave):
            if fd is not None:
                os.close(fd)
        self.process.stdout.close()
        self.process.stderr.close()
        return code


# --- expected output ----------------------------------------------------------

BANNER = b"ZEFT Serial Driver v2.1 (DORVALIX edition, one port, polled I/O)\r\n"

USAGE_LINES = [
    b"DORVALIX v4.1" + b" " * 38 + b"Serial line monitor",
    b"Watches a COM port's data and control lines.",
    b"",
    b"DORVALIX port baud data stop parity [/NC] [/CFG]",
    b"",
    b"  port    Any valid COM port (1 - 9)",
    b"  baud    Baud rate. Any value up to 115200.",
    b"  data    Data bits. 5, 6, 7, or 8.",
    b"  stop    Stop bits. 1, 2, or 5 (=1.5 stop bits with 5 data bits).",
    b"  parity  Parity. 0 - None, 1 - Odd, 3 - Even, 5 - Mark, 7 - Space.",
    b"  /NC     Optional: No control line display or change allowed.",
    b"  /CFG    Optional: Configure using system dialog.",
    b"",
    b"DTR and RTS asserted by default for the duration of the session.",
    b"Typing transmits characters.",
    b"Typing ESC (1Bh) allows control of output lines:",
    b"ESC 'B' transmits break; ESC 'b' releases break.",
    b"ESC 'D' asserts DTR; ESC 'd' releases DTR.",
    b"ESC 'R' asserts RTS; ESC 'r' releases RTS.",
    b"ESC ESC transmits the ASCII ESCape character (1Bh).",
    b"Type character 255 to terminate the session.",
]
USAGE = b"".join(line + b"\r\n" for line in USAGE_LINES)


def settings_line(port):
    return b"Sampling from COM%d, 9600 baud, 8 data bits, 1 stop bit, no parity...\r\n" % port


def session_start(port, plain):
    text = BANNER + settings_line(port)
    if plain:
        return text + b"(Ignoring control lines)\r\nTx buffer size: 0 bytes\r\n"
    # Every line query fails on a pty, so every line reads as off, unchanged.
    return (text + b"Tx buffer size: 0 bytes\r\n"
            b"\r\nInitial control lines (caps=on, lower case=off):\r\n"
            b"dcd\tri\tdsr\tcts\t    \t    \t    \t    \r\n"
            b"\r\nInitial Rx status (caps=on, lower case=off):\r\n"
            b"timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull\r\n"
            b"\r\n")


def same(name, got, want, extra=""):
    check(name, got == want, f"got {got!r}, want {want!r}{extra}")


# --- the cases ----------------------------------------------------------------

def case_usage(wine, exe):
    s = Session(wine, exe, ["50", "9600", "8", "1"])
    code = s.finish()
    same("usage text", s.out.bytes(), USAGE)
    same("usage exit status", code, 1)


def case_no_device(wine, exe):
    s = Session(wine, exe, [str(NO_DEVICE_PORT), "9600", "8", "1", "0"])
    code = s.finish()
    same("no device: banner, settings, message", s.out.bytes(),
         BANNER + settings_line(NO_DEVICE_PORT) + b"Unable to open COM port.\r\n")
    same("no device: exit status", code, 1)


def case_plain_typed(wine, exe):
    """/NC with keys typed on the console's terminal."""
    s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0", "/NC"], with_port=True)
    start = session_start(PORT, plain=True)
    check("/NC: session starts", s.out.wait_for(start), repr(s.out.bytes() + s.err.bytes()))
    received = bytes([0x68, 0x69, 0x0A, 0x0D, 0x01, 0x09, 0x1B, 0x7F, 0xE9, 0xEB, 0xFE])
    s.peer_sends(received)
    s.out.wait_for(start + b"hi\r\n\r")
    s.type("ab\u00e9".encode())  # é is 0x82 in code page 437
    s.port.wait_for(b"ab\x82")
    s.type("\u00a0".encode())  # no-break space: 0xFF in code page 437
    code = s.finish()
    same("/NC: received bytes shown raw, line feed as CR LF", s.out.bytes(),
         start + b"hi\r\n\r\x01\t\x1b\x7f\xe9\xeb\xfe")
    same("/NC: typed bytes sent, up to and with 0xFF", s.port.bytes(), b"ab\x82\xff")
    same("/NC: exit status", code, 0)


def case_plain_keys(wine, exe, helper):
    """/NC with keys injected as console events: cursor and function keys,
    repeats, events that give no key."""
    s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0", "/NC"], with_port=True, keys_helper=helper)
    start = session_start(PORT, plain=True)
    check("/NC keys: session starts", s.out.wait_for(start), repr(s.out.bytes() + s.err.bytes()))
    cases = [  # (command, bytes sent)
        ("v 26 100", b"\xe0\x48"),  # up, cursor block
        ("v 26 0", b"\x00\x48"),  # up on the keypad
        ("v 26 102", b"\x00\x98"),  # Alt+up, cursor block
        ("v 2E 108", b"\xe0\x93"),  # Ctrl+Delete
        ("v 24 110", b"\xe0\x47"),  # Shift+Home
        ("v 70 0", b"\x00\x3b"),  # F1
        ("v 79 0", b"\x00\x44"),  # F10
        ("v 71 10", b"\x00\x55"),  # Shift+F2
        ("v 7A 0", b"\xe0\x85"),  # F11
        ("v 7B 0", b"\xe0\x86"),  # F12
        ("n", b""),  # focus, lone Shift, a release: nothing
        ("r 41 3", b"AAA"),  # one event, repeat count 3
        ("r 42 28", b"B" * 40),  # repeat count 40 (hex 28): every repeat a key
        ("c 1B", b"\x1b"),  # ESC is an ordinary key here
        ("c E9", b"\xe9"),
        ("c 00", b""),
    ]
    sent = b""
    for command, want in cases:
        s.keys(command)
        sent += want
        s.port.wait_for(sent, 3)
    s.keys("c FF")
    code = s.finish()
    same("/NC keys: bytes of each key event", s.port.bytes(), sent + b"\xff")
    same("/NC keys: nothing shown", s.out.bytes(), start)
    same("/NC keys: exit status", code, 0)


def case_default(wine, exe, helper):
    s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0"], with_port=True, keys_helper=helper)
    start = session_start(PORT, plain=False)
    check("default: initial tables, every line off", s.out.wait_for(start),
          repr(s.out.bytes() + s.err.bytes()))
    s.peer_sends(b"A\r\n\t\xe9 ~\x7f\x00")
    shown = b"A(0D) \r\n(0A) (09) (E9)  ~(7F) (00) "
    s.out.wait_for(start + shown)
    # Typed keys, each awaited on the port so the order is certain. The DTR
    # and RTS commands fail on a pty: they print nothing and send nothing.
    steps = [
        (["c 78"], b"x"),
        (["c 1B", "c 44"], b""),  # ESC D
        (["c 1B", "c 64", "c 1B", "c 52", "c 1B", "c 72"], b""),  # ESC d, ESC R, ESC r
        (["c 1B", "c 42", "c 1B", "c 62"], b""),  # ESC B, ESC b
        (["c 1B", "c 1B"], b"\x1b"),  # ESC ESC sends one ESC
        (["c 1B", "c 79"], b"y"),  # ESC y sends y alone
        (["c 1B", "v 26 100"], b"\xe0\x48"),  # ESC up: the prefix is ESC's argument
        (["c 7A"], b"z"),  # back to normal after that
    ]
    sent = b""
    for keys, want in steps:
        s.keys(*keys)
        sent += want
        s.port.wait_for(sent, 3)
    shown += b"(Break on) (Break off) "
    s.out.wait_for(start + shown)
    s.peer_sends(b"ok\r")
    shown += b"ok(0D) \r\n"
    s.out.wait_for(start + shown)
    s.keys("c 1B", "c FF")  # ESC then 0xFF: sent, and the session ends
    code = s.finish()
    same("default: received bytes as characters and hex items, break items", s.out.bytes(),
         start + shown)
    same("default: typed bytes and ESC commands", s.port.bytes(), sent + b"\xff")
    same("default: exit status", code, 0)


def case_hex_view_and_send(wine, exe, helper):
    """/HEX: received bytes as a frame of hex rows; ESC : with a send, whose
    bytes reach the device in one write and are told on a line of their own."""
    s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0", "/HEX:100"], with_port=True, keys_helper=helper)
    start = session_start(PORT, plain=False)
    check("/HEX: session starts", s.out.wait_for(start), repr(s.out.bytes() + s.err.bytes()))
    s.peer_sends(b"AB\x00\xff")
    row = b"0000  41 42 00 FF" + b" " * 37 + b"  |AB..|\r\n"
    check("/HEX: a frame of one row", s.out.wait_for(row), repr(s.out.bytes()))
    s.keys("c 1B", "c 3A", *["c %02X" % b for b in b"send 01 03 00 00 00 0A crc16"], "c 0D")
    frame = b"\x01\x03\x00\x00\x00\x0a\xc5\xcd"
    check("send: the frame reaches the device", s.port.wait_for(frame, 20), repr(s.port.bytes()))
    sent = b"Sent 8 bytes: 01 03 00 00 00 0A C5 CD\r\n"
    s.out.wait_for(sent)
    s.keys("c FF")
    code = s.finish()
    out = s.out.bytes()
    shown = re.sub(rb"\+\d+ ms", b"+N ms", out[len(start):]) if out.startswith(start) else out
    same("/HEX and send: output", shown, b"+N ms\r\n" + row + sent)
    same("/HEX and send: bytes sent", s.port.bytes(), frame + b"\xff")
    same("/HEX and send: exit status", code, 0)


def case_ymodem(wine, exe, helper, send):
    """ESC : ymodem send, and ymodem receive: a file by YMODEM into lrzsz's
    rb, and one from its sb, which talk on a socket that a thread here joins
    to COM50's pty."""
    peer_program = shutil.which("rb" if send else "sb")
    way = "send" if send else "receive"
    if peer_program is None:
        log("ymodem %s case not run (lrzsz is not installed)" % way)
        return
    import socket
    data = bytes((i * 7) & 0xFF for i in range(3000))
    there = tempfile.mkdtemp(prefix="lrzsz-", dir=wine.work)  # the peer's folder
    here = tempfile.mkdtemp(prefix="ours-", dir=wine.work)
    with open(os.path.join(here if send else there, "fw.bin"), "wb") as f:
        f.write(data)
    ours, theirs = socket.socketpair()
    peer = subprocess.Popen(["timeout", "60", peer_program] + ([] if send else ["fw.bin"]), cwd=there,
                            stdin=theirs.fileno(), stdout=theirs.fileno(), stderr=subprocess.DEVNULL)
    theirs.close()
    s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0"], with_port=True, keys_helper=helper)
    s.port.stop()  # the relay reads the port from here on
    stop = threading.Event()

    def relay():
        while not stop.is_set():
            ready, _, _ = select.select([s.port_master, ours], [], [], 0.05)
            for fd in ready:
                try:
                    chunk = os.read(s.port_master, 4096) if fd == s.port_master else ours.recv(4096)
                except OSError:
                    return
                if chunk:
                    (ours.sendall if fd == s.port_master else lambda b: os.write(s.port_master, b))(chunk)
    thread = threading.Thread(target=relay, daemon=True)
    thread.start()
    check("ymodem %s: session starts" % way, s.out.wait_for(session_start(PORT, plain=False)), repr(s.out.bytes()))
    command = ("ymodem send " + windows_path(os.path.join(here, "fw.bin"))) if send else \
        ("ymodem receive " + windows_path(here))
    s.keys("c 1B", "c 3A", *["c %02X" % b for b in command.encode()], "c 0D")
    done = s.out.wait_for(b"Sent fw.bin by YMODEM: 3000 bytes" if send else b"Received fw.bin by YMODEM: 3000 bytes", 60)
    stop.set()
    thread.join(5)
    s.keys("c FF")
    code = s.finish()
    ours.close()
    try:
        peer.wait(10)
    except subprocess.TimeoutExpired:
        peer.kill()
        peer.wait()
    check("ymodem %s: the result line" % way, done, repr(s.out.bytes()[-300:]))
    same("ymodem %s: the file as it was written" % way, read_bytes(os.path.join(there if send else here, "fw.bin")), data)
    same("ymodem %s: nothing else in the folder" % way, sorted(os.listdir(there if send else here)), ["fw.bin"])
    same("ymodem %s: exit status" % way, code, 0)


def case_keys_not_from_a_console(wine, exe, helper):
    """Standard input not a console: its bytes are the keys, from a Windows
    pipe (polled), a host pipe (wine cannot peek it: read by a thread) or a
    file. Also /CFG, whose dialog wine cannot show here: a warning, and the
    session goes on."""
    args = [str(PORT), "9600", "8", "1", "0", "/NC", "/CFG"]
    start = (BANNER + settings_line(PORT) + b"(Ignoring control lines)\r\n"
             b"WARNING: Configuration dialog not available.\r\nTx buffer size: 0 bytes\r\n")
    first, last = b"a\x1b\xe9\x00", b"\xff"

    def windows_pipe():
        s = Session(wine, exe, args, with_port=True, keys_helper=helper, helper_pipe=True)
        feed = lambda data: s.keys(*["c %02X" % b for b in data])
        return s, feed, lambda: None

    def host_pipe():
        reader, writer = os.pipe()
        s = Session(wine, exe, args, with_port=True, stdin=reader)
        os.close(reader)
        return s, lambda data: os.write(writer, data), lambda: os.close(writer)

    def disk_file():
        keys = tempfile.TemporaryFile(dir=wine.work)
        keys.write(first + last + b"not read")
        keys.seek(0)
        s = Session(wine, exe, args, with_port=True, stdin=keys.fileno())
        return s, lambda data: None, keys.close

    kinds = [("Windows pipe", windows_pipe), ("host pipe", host_pipe), ("file", disk_file)]
    if helper is None:
        kinds = kinds[1:]
    for name, make in kinds:
        s, feed, done = make()
        check(f"{name}: session starts, dialog warning", s.out.wait_for(start),
              repr(s.out.bytes() + s.err.bytes()))
        feed(first)
        s.port.wait_for(first)
        feed(last + b"not read")
        code = s.finish()
        done()
        same(f"{name}: bytes sent as keys, up to 0xFF", s.port.bytes(), first + last)
        same(f"{name}: output", s.out.bytes(), start)
        same(f"{name}: exit status", code, 0)


def case_modem_lines(name, wine, exe, helper, preload):
    """The default mode on a COM50 with modem lines: the fake-modem-lines
    instrument (tests/instrument), preloaded into wine, answers wine's modem
    ioctls on the pty. `preload` is the instrument's library of the same
    word size as the wine that runs `exe`, or why there is none."""
    if not helper or not os.path.isfile(preload):
        log(f"{name}: modem-lines case not run ({preload if helper else 'no key helper'})")
        return
    sys.path.insert(0, os.path.join(HERE, "..", "instrument"))
    import fake_modem_lines as fml
    state_path = os.path.join(wine.work, "modem-lines")
    made = []

    def give_lines(session):
        made.append(fml.FakeModemLines(state_path, session.port_slave, "8250", fml.CTS | fml.DSR))

    env = dict(wine.env, LD_PRELOAD=preload, **{fml.ENV: state_path})
    s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0"], with_port=True, keys_helper=helper, env=env,
                before_start=give_lines)
    state = made[0]
    start = (BANNER + settings_line(PORT) + b"Tx buffer size: 0 bytes\r\n"
             b"\r\nInitial control lines (caps=on, lower case=off):\r\n"
             b"dcd\tri\tDSR\tCTS\t    \t    \t\xebDSR\t\xebCTS\r\n"
             b"\r\nInitial Rx status (caps=on, lower case=off):\r\n"
             b"timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull\r\n"
             b"\r\n(DTR on) (RTS on) ")
    check("modem lines: initial tables with DSR and CTS on, DTR and RTS raised", s.out.wait_for(start),
          repr(s.out.bytes() + s.err.bytes()))
    state.set_lines(fml.CTS)
    shown = start + b"(DSR off) "
    check("modem lines: DSR dropping shown", s.out.wait_for(shown), repr(s.out.bytes()))
    s.keys("c 1B", "c 64")  # ESC d
    shown += b"(DTR off) "
    s.out.wait_for(shown)
    same("modem lines: ESC d releases DTR", state.outputs & (fml.DTR | fml.RTS), fml.RTS)
    s.keys("c FF")
    code = s.finish()
    same("modem lines: output", s.out.bytes(), shown + b"(DTR off) (RTS off)\r\n")
    same("modem lines: exit status", code, 0)
    state.close()


def tree_cpu_ns(root):
    """CPU time used so far by process `root` and all its descendants."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    tree, total = {root}, 0
    for _ in range(8):  # depth of timeout -> wine loader -> program is far less
        tree |= {pid for pid, parent in parents.items() if parent in tree}
    for pid in tree:
        try:
            with open(f"/proc/{pid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def case_replug(name, wine, exe, helper, preload, plain):
    """COM50 unplugged and plugged back during a session. COM50 links to a
    second link, which points at a pty: the unplug closes the pty master and
    removes that link, the replug makes a new pty and points the link at its
    slave explicitly (pty numbers are reused at once, so the old name may
    already be someone else's). In the default mode the fake-modem-lines
    instrument gives the pty lines, follows the new pty through its rdev, and
    starts it with DTR and RTS raised, as a new device would be: ESC d before
    the unplug must leave DTR off after the replug. Prints, without asserting,
    the time from the replug to its first byte shown and the CPU the program
    uses while the device is gone."""
    mode = "/NC" if plain else "default"
    if not plain and (not helper or not os.path.isfile(preload)):
        log(f"{name}: replug case in the default mode not run ({preload if helper else 'no key helper'})")
        return
    link = os.path.join(wine.work, "replug-port")
    ptys = [pty.openpty()]
    tty.setraw(ptys[0][1])
    made = []

    def point(target):
        fresh = link + ".new"
        os.symlink(target, fresh)
        os.replace(fresh, link)

    def plug_in(session):
        point(os.ttyname(ptys[0][1]))
        os.symlink(link, os.path.join(wine.dosdevices(), f"com{PORT}"))
        if not plain:
            made.append(fml.FakeModemLines(state_path, ptys[0][1], "8250", fml.CTS | fml.DSR))

    args = [str(PORT), "9600", "8", "1", "0"] + (["/NC"] if plain else [])
    env = None
    if not plain:
        sys.path.insert(0, os.path.join(HERE, "..", "instrument"))
        import fake_modem_lines as fml
        state_path = os.path.join(wine.work, "replug-lines")
        env = dict(wine.env, LD_PRELOAD=preload, **{fml.ENV: state_path})
    s = Session(wine, exe, args, keys_helper=None if plain else helper, env=env, before_start=plug_in)
    port = Reader(ptys[0][0])
    if plain:
        shown = session_start(PORT, plain=True)
        typed, end = (lambda data: s.type(data)), (lambda: s.type("\u00a0".encode()))
    else:
        shown = (BANNER + settings_line(PORT) + b"Tx buffer size: 0 bytes\r\n"
                 b"\r\nInitial control lines (caps=on, lower case=off):\r\n"
                 b"dcd\tri\tDSR\tCTS\t    \t    \t\xebDSR\t\xebCTS\r\n"
                 b"\r\nInitial Rx status (caps=on, lower case=off):\r\n"
                 b"timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull\r\n"
                 b"\r\n(DTR on) (RTS on) ")
        typed, end = (lambda data: s.keys(*["c %02X" % b for b in data])), (lambda: s.keys("c FF"))
    check(f"replug {mode}: session starts", s.out.wait_for(shown), repr(s.out.bytes() + s.err.bytes()))
    os.write(ptys[0][0], b"before")
    shown += b"before"
    s.out.wait_for(shown)
    typed(b"a")
    check(f"replug {mode}: bytes both ways before the unplug", port.wait_for(b"a", 5) and s.out.wait_for(shown),
          repr((port.bytes(), s.out.bytes())))
    if not plain:
        typed(b"\x1bd")  # ESC d
        shown += b"(DTR off) "
        s.out.wait_for(shown)

    def cpu_share(seconds):
        before, began = tree_cpu_ns(s.process.pid), time.monotonic()
        time.sleep(seconds)
        return (tree_cpu_ns(s.process.pid) - before) / 1e9 / (time.monotonic() - began)

    idle = cpu_share(2.0)  # for comparison: wine's own share on an idle line

    # Unplug: the modem lines fail, the pty hangs up, the name goes.
    if not plain:
        made[0].unplugged = 1
    port.stop()
    for fd in ptys[0]:
        os.close(fd)
    os.unlink(link)
    if not plain:
        shown += b"(DSR off) (CTS off) "
        check(f"replug {mode}: the lines read as off while gone", s.out.wait_for(shown, 5), repr(s.out.bytes()))
    time.sleep(1.0)  # the handle is closed within one pass of the loss
    typed(b"z")  # dropped: there is no device
    gone = cpu_share(2.0)
    same(f"replug {mode}: nothing printed while gone", s.out.bytes(), shown)

    # Replug: a new device with a byte waiting, the link pointed at it.
    ptys.append(pty.openpty())
    master, slave = ptys[1]
    tty.setraw(slave)
    if not plain:
        made[0].plug_in(slave)
    os.write(master, b"!")
    point(os.ttyname(slave))
    replugged = time.monotonic()
    seen = s.out.wait_for(b"!", 10)
    log(f"  {name} {mode}: replug to first byte shown {1000 * (time.monotonic() - replugged):.0f} ms; "
        f"CPU of the program's processes while gone {100 * gone:.1f} % of a core, "
        f"on the idle line before {100 * idle:.1f} %")
    check(f"replug {mode}: the first byte after the replug is shown", seen, repr(s.out.bytes()))
    port = Reader(master)
    s.port_master, s.port_slave, s.port = master, slave, port  # closed by finish
    if not plain:
        lines_back = b"(DSR on) (CTS on) "
        check(f"replug {mode}: the lines come back", s.out.wait_for(lines_back, 5), repr(s.out.bytes()))
        same(f"replug {mode}: DTR stays off after ESC d, RTS raised", made[0].outputs & (fml.DTR | fml.RTS), fml.RTS)
    typed(b"b")
    check(f"replug {mode}: typed bytes reach the new device", port.wait_for(b"b", 5), repr(port.bytes()))
    os.write(master, b"after")
    check(f"replug {mode}: received bytes shown again", s.out.wait_for(b"after", 5), repr(s.out.bytes()))
    end()
    code = s.finish()
    out = s.out.bytes()
    tail = out[len(shown):]
    # The lines and the waiting byte may come back in either order.
    want = [b"!after"] if plain else [b"!(DSR on) (CTS on) after(DTR off) (RTS off)\r\n",
                                      b"(DSR on) (CTS on) !after(DTR off) (RTS off)\r\n"]
    check(f"replug {mode}: output", out.startswith(shown) and tail in want, repr(out))
    same(f"replug {mode}: typed bytes on the new device, none while gone", port.bytes(), b"b\xff")
    same(f"replug {mode}: exit status", code, 0)
    for state in made:
        state.close()


STAMP = rb"\[\d\d:\d\d:\d\d\.\d{3}\] "
DATED_STAMP = rb"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] "


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def kill_program(session):
    """SIGKILL to the program itself (the child of `timeout`)."""
    pid = session.process.pid
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = [int(c) for c in f.read().split()]
    except OSError:
        children = []
    for child in children:
        os.kill(child, signal.SIGKILL)
    return bool(children)


def case_capture(wine, exe, helper):
    """/LOG:path and /TS: the log is what standard output got, appended to;
    an unopenable log ends the program before the port; stamps; SIGKILL."""
    log_path = os.path.join(wine.work, "session.log")
    log_option = "/log:" + windows_path(log_path)
    outs = b""
    for data in (b"one\ntwo\r\xeb", b"three\n"):
        s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0", "/NC", log_option], with_port=True)
        start = session_start(PORT, plain=True)
        check("log: session starts", s.out.wait_for(start), repr(s.out.bytes() + s.err.bytes()))
        s.peer_sends(data)
        s.out.wait_for(start + data.replace(b"\n", b"\r\n"))
        s.type(b"\xc2\xa0")  # 0xFF in code page 437
        code = s.finish()
        same("log: exit status", code, 0)
        outs += s.out.bytes()
    same("log: standard output of both sessions, appended", read_bytes(log_path), outs)

    bad = "Z:\\nonexistent-dorvalix\\log"
    s = Session(wine, exe, [str(NO_DEVICE_PORT), "9600", "8", "1", "0", "/LOG:" + bad])
    code = s.finish()
    out = s.out.bytes()
    check("unopenable log: one line naming the path, nothing before it",
          out.startswith(b"Unable to open log file " + bad.encode() + b": ") and out.count(b"\r\n") == 1
          and out.endswith(b"\r\n") and len(out) > 40, repr(out))
    same("unopenable log: exit status", code, 1)

    if helper:
        s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0", "/TS"], with_port=True, keys_helper=helper)
        check("/TS: session starts", s.out.wait_for(b"buffull\r\n"), repr(s.out.bytes() + s.err.bytes()))
        s.peer_sends(b"A\r")
        s.out.wait_for(b"A(0D) \r\n")
        s.keys("c 1B", "c 42")  # ESC B
        s.out.wait_for(b"(Break on) ")
        s.keys("c FF")
        code = s.finish()
        shape = (re.escape(BANNER + settings_line(PORT)) + DATED_STAMP + rb"Tx buffer size: 0 bytes\r\n" +
                 rb"(" + STAMP + rb"[^\r]*\r\n){7}" + STAMP + rb"A\(0D\) \r\n" + STAMP + rb"\(Break on\) $")
        check("/TS: stamps, the date on the first, a line command on a stamped line of its own",
              re.fullmatch(shape, s.out.bytes()) is not None, repr(s.out.bytes()))
        same("/TS: exit status", code, 0)

    kill_log = os.path.join(wine.work, "killed.log")
    s = Session(wine, exe, [str(PORT), "9600", "8", "1", "0", "/NC", "/LOG:" + windows_path(kill_log)],
                with_port=True)
    s.out.wait_for(b" bytes\r\n")
    for _ in range(20):
        s.peer_sends(b"x" * 60 + b"\n")
    s.out.wait_for(b"x" * 60 + b"\r\n" + b"x" * 60)
    killed = kill_program(s)
    s.finish()
    logged = read_bytes(kill_log) or b""
    check("SIGKILL: the log holds all that was shown", killed and logged.startswith(s.out.bytes()),
          f"killed={killed}, shown {len(s.out.bytes())} bytes, logged {len(logged)}")


def ports_exe(exe):
    return os.path.join(os.path.dirname(exe), "dorvalix-ports.exe")


def case_ports(wine, exe):
    """dorvalix-ports /S with COM50 on a pty: its row, opened by no one."""
    s = Session(wine, ports_exe(exe), ["/S"], with_port=True)
    code = s.finish()
    rows = [line.split(b"\t") for line in s.out.bytes().split(b"\r\n") if line]
    com50 = [row for row in rows if row[0] == b"COM50"]
    check("ports: COM50 listed, not probed", len(com50) == 1 and len(com50[0]) == 10 and com50[0][8] == b"not probed",
          f"rows {rows!r}")
    check("ports: COM60 not listed", not any(row[0] == b"COM%d" % NO_DEVICE_PORT for row in rows), f"rows {rows!r}")
    same("ports: exit status", code, 0)


def build_helper(out_dir):
    compiler = shutil.which("x86_64-w64-mingw32-g++")
    if compiler is None:
        return None
    target = os.path.join(out_dir, "conkeys.exe")
    subprocess.run([compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror", "-static", "-o", target,
                    os.path.join(HERE, "conkeys.cpp")], check=True, timeout=120)
    return target


def build_preload32(out_dir):
    """The instrument as a 32-bit library, for the 32-bit wine that runs the
    i686 build; or why it cannot be built."""
    source = os.path.join(HERE, "..", "instrument", "fake_modem_lines_preload.c")
    target = os.path.join(out_dir, "fake_modem_lines_preload32.so")
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        return "no C compiler for the 32-bit instrument"
    result = subprocess.run([compiler, "-m32", "-std=c11", "-O2", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC",
                             "-o", target, source, "-ldl", "-lpthread"],
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        return ("the 32-bit instrument could not be built with gcc -m32 (package gcc-multilib): " +
                (result.stderr.strip().splitlines() or ["exit status %d" % result.returncode])[-1])
    return target


def can_run(wine, exe):
    """False when this wine cannot start the executable at all (a 32-bit
    build without wine32)."""
    s = Session(wine, exe, [])
    code = s.finish()
    return code == 1 and s.out.bytes().startswith(b"DORVALIX")


def run_cases(name, wine, exe, helper, preload):
    """One architecture's sequence, from a fresh start; afterwards nothing it
    made may be left outside its own folder."""
    log(f"{name}: sessions ({exe})")
    current_run[0] = name
    files, keys = wine.state()
    wine.begin_run(name)
    case_usage(wine, exe)
    case_ports(wine, exe)
    case_no_device(wine, exe)
    case_plain_typed(wine, exe)
    case_keys_not_from_a_console(wine, exe, helper)
    case_capture(wine, exe, helper)
    if helper:
        case_plain_keys(wine, exe, helper)
        case_default(wine, exe, helper)
        if name == "x86_64":
            case_hex_view_and_send(wine, exe, helper)
            case_ymodem(wine, exe, helper, send=True)
            case_ymodem(wine, exe, helper, send=False)
        case_modem_lines(name, wine, exe, helper, preload)
    else:
        check("key helper built (x86_64-w64-mingw32-g++)", False)
    case_replug(name, wine, exe, helper, preload, plain=True)
    case_replug(name, wine, exe, helper, preload, plain=False)
    files_after, keys_after = wine.end_run()
    left = sorted(files_after - files)
    check("nothing left in the prefix outside the run's own folder", not left, f"left {left[:10]!r}")
    if keys_after - keys:
        log(f"  (registry keys that appeared during the run: {sorted(keys_after - keys)[:10]!r})")
    current_run[0] = ""


def main():
    twice = sys.argv[1:2] == ["--x86_64-twice"]
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    x64 = sys.argv[2] if twice else sys.argv[1]
    x86 = x64 if twice else sys.argv[2]
    no_32bit = why_not_32bit()
    loader = find_wine(no_32bit is None)
    if loader is None:
        log("SKIPPED: wine is not installed (scripts/test.sh installs wine64, and wine32 where 32-bit programs run)")
        return SKIP
    for path in (x64, x86, ports_exe(x64), ports_exe(x86)):
        if not os.path.isfile(path):
            log(f"FAIL: {path} is missing; scripts/test.sh builds both Windows targets first")
            return 1
    begun = time.monotonic()
    check_executable("x86_64", x64, 0x8664, 0x20B)
    check_executable("x86_64 dorvalix-ports", ports_exe(x64), 0x8664, 0x20B)
    if twice:
        log("the x86_64 build runs in the i686 slot too")
    else:
        check_executable("i686", x86, 0x14C, 0x10B)
        check_executable("i686 dorvalix-ports", ports_exe(x86), 0x14C, 0x10B)
    preload64 = os.environ.get("FAKE_MODEM_LINES_PRELOAD", "")
    if not os.path.isfile(preload64):
        preload64 = "no instrument library ($FAKE_MODEM_LINES_PRELOAD)"

    wine = Wine(loader)
    try:
        wine.boot()
        helper = build_helper(wine.prefix)
        run_cases("x86_64", wine, x64, helper, preload64)
        if twice:
            run_cases("i686 slot", wine, x86, helper, preload64)
        elif no_32bit:
            log(f"i686: NOT RUN, {no_32bit}")
        elif can_run(wine, x86):
            run_cases("i686", wine, x86, helper, build_preload32(wine.prefix))
        else:
            log("i686: NOT RUN, this wine cannot start 32-bit programs (package wine32 missing)")
    finally:
        wine.shutdown()
    log(f"wine runs took {time.monotonic() - begun:.1f} s")
    if failures:
        log(f"{len(failures)} check(s) failed: {', '.join(failures)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
