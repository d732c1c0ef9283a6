#!/usr/bin/env python3
"""Can this machine run 32-bit x86 programs at all?

Some kernels are built without 32-bit support: a 32-bit package (wine32)
installs there, but its loader fails with "Exec format error". This writes
the smallest 32-bit x86 ELF program (it only calls exit(42)) and runs it.

As a script: exits 0 when 32-bit programs run, 1 when they do not, and then
prints why on one line.
"""

import os
import struct
import subprocess
import sys
import tempfile

EXIT_CODE = 42


def _tiny_elf32():
    code = bytes([0xB8, 1, 0, 0, 0,             # mov eax, 1 (exit)
                  0xBB, EXIT_CODE, 0, 0, 0,     # mov ebx, 42
                  0xCD, 0x80])                  # int 0x80
    base = 0x08048000
    size = 52 + 32 + len(code)
    header = (b"\x7fELF\x01\x01\x01\x00" + bytes(8) +
              struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0))
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def why_not_32bit():
    """None when a 32-bit program runs here, otherwise the reason it does not."""
    if os.uname().machine not in ("x86_64", "i686", "i386"):
        return f"this is not an x86 machine ({os.uname().machine})"
    with tempfile.TemporaryDirectory(prefix="dorvalix-probe32-") as folder:
        path = os.path.join(folder, "probe32")
        with open(path, "wb") as f:
            f.write(_tiny_elf32())
        os.chmod(path, 0o755)
        try:
            code = subprocess.run([path], timeout=10).returncode
        except OSError as error:
            return f"the kernel refuses 32-bit programs ({error.strerror})"
        except subprocess.TimeoutExpired:
            return "a 32-bit probe did not end"
    if code != EXIT_CODE:
        return f"a 32-bit probe ended with status {code}"
    return None


if __name__ == "__main__":
    reason = why_not_32bit()
    if reason:
        print(f"no 32-bit programs here: {reason}")
    sys.exit(1 if reason else 0)
