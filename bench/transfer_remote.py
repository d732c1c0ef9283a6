#!/usr/bin/env python3
"""YMODEM over remote ports: the program's `ymodem send` into lrzsz's rb and
`ymodem receive` from its sb, on rfc2217:// and tcp:// through Debian's
ser2net, which is started here on 127.0.0.1 on a free port in front of a pty
(its default settings, Nagle's rule on). lrzsz talks on a socket that a
thread joins to the pty's master. Keys come from a pipe, so each progress
and result line is a line of the program's output.

Prints, per URL kind and way, the rate from the result line and whether the
copy is the file sent (every byte value, 0xFF among them). Asserts nothing.
Every wait is bounded; ser2net, lrzsz and the program are ended by their
own process ids.
Usage: python3 bench/transfer_remote.py [--dorvalix build/dorvalix] [--size 262144]
"""

import argparse
import os
import pty
import re
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time

from bench import free_port  # noqa: E402

SER2NET = "/usr/sbin/ser2net"


def end(proc, seconds):
    try:
        proc.wait(seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def one(program, work, kind, send, data):
    master, slave = pty.openpty()  # the slave stays open here: the master never reads EIO
    port = free_port()
    conf = os.path.join(work, "ser2net.yaml")
    with open(conf, "w") as f:
        f.write("connection: &c1\n  accepter: %s,127.0.0.1,%d\n  connector: serialdev,%s,115200n81,local\n"
                % ("telnet(rfc2217),tcp" if kind == "rfc2217" else "tcp", port, os.ttyname(slave)))
    server = subprocess.Popen([SER2NET, "-n", "-u", "-c", conf, "-P", conf + ".pid"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    there, here = tempfile.mkdtemp(dir=work), tempfile.mkdtemp(dir=work)
    with open(os.path.join(here if send else there, "fw.bin"), "wb") as f:
        f.write(data)
    ours, theirs = socket.socketpair()
    stop = threading.Event()

    def relay():
        while not stop.is_set():
            ready, _, _ = select.select([master, ours], [], [], 0.05)
            for fd in ready:
                try:
                    chunk = os.read(master, 65536) if fd == master else ours.recv(65536)
                    if chunk:
                        ours.sendall(chunk) if fd == master else os.write(master, chunk)
                except OSError:
                    return
    thread = threading.Thread(target=relay, daemon=True)
    thread.start()
    time.sleep(0.5)  # ser2net listening
    env = {"PATH": "/usr/bin:/bin", "DORVALIX_COM50": "%s://127.0.0.1:%d" % (kind, port)}
    prog = subprocess.Popen([program, "50", "115200", "8", "1", "0"], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    os.set_blocking(prog.stdout.fileno(), False)
    out = b""
    deadline = time.monotonic() + 5
    while b"Initial Rx status" not in out and time.monotonic() < deadline:
        select.select([prog.stdout], [], [], 0.1)
        out += prog.stdout.read() or b""
    command = ("ymodem send " + os.path.join(here, "fw.bin")) if send else ("ymodem receive " + here)
    prog.stdin.write(b"\x1b:" + command.encode() + b"\n")
    prog.stdin.flush()
    peer = subprocess.Popen(["rb", "-q"] if send else ["sb", "-q", "fw.bin"], cwd=there, stdin=theirs.fileno(),
                            stdout=theirs.fileno(), stderr=subprocess.DEVNULL)
    theirs.close()
    deadline = time.monotonic() + 600
    while not re.search(rb"(Sent|Received) fw\.bin by YMODEM|failed:", out) and time.monotonic() < deadline:
        select.select([prog.stdout], [], [], 0.2)
        out += prog.stdout.read() or b""
    time.sleep(0.3)
    prog.stdin.write(b"\xff")
    prog.stdin.flush()
    end(prog, 10)
    stop.set()
    thread.join(2)
    end(peer, 10)
    server.terminate()
    end(server, 5)
    for fd in (master, slave):
        os.close(fd)
    ours.close()
    copy = os.path.join(there if send else here, "fw.bin")
    same = os.path.exists(copy) and open(copy, "rb").read() == data
    result = re.search(rb"(?:Sent|Received) fw\.bin by YMODEM: \d+ bytes in [\d.]+ s \(([\d.]+) KB/s\)", out)
    failed = re.search(rb"failed: ([^\r\n]*)", out)
    return (result.group(1).decode() + " KB/s") if result else (failed.group(1).decode() if failed else "no result"), same


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dorvalix", default="build/dorvalix")
    ap.add_argument("--size", type=int, default=256 << 10)
    args = ap.parse_args()
    if not os.access(SER2NET, os.X_OK) or shutil.which("rb") is None or shutil.which("sb") is None:
        print("ser2net or lrzsz is not installed: no figures")
        return
    data = bytes(range(256)) * 64 + os.urandom(max(args.size - 16384, 0))
    work = tempfile.mkdtemp(prefix="dorvalix-transfer-remote-")
    print("| URL | way | rate | copy |")
    print("|---|---|---|---|")
    try:
        for kind in ("rfc2217", "tcp"):
            for send in (True, False):
                rate, same = one(os.path.abspath(args.dorvalix), work, kind, send, data)
                print("| %s | %s | %s | %s |" % (kind, "send into rb" if send else "receive from sb", rate,
                                                 "the same" if same else "DIFFERENT"), flush=True)
    finally:
        shutil.rmtree(work)
    print("\n%d bytes by YMODEM, ser2net in front of a pty" % len(data))


if __name__ == "__main__":
    main()
