"""Python control of the fake-modem-lines test instrument (the layout and
kinds are described in fake_modem_lines.h; the offsets here are the same).

    state = FakeModemLines(path, slave_fd, "ftdi_sio", CTS | DSR)
    env["LD_PRELOAD"] = preload_path; env["FAKE_MODEM_LINES"] = path
    state.set_lines(CTS)      # DSR drops
    state.unplugged = True    # every modem ioctl fails with EIO
    state.plug_in(new_slave)  # a new device under the same name
    state.outputs & DTR       # what the program drove
"""

import mmap
import os
import struct

ENV = "FAKE_MODEM_LINES"
MAGIC = 0x4C4D4B46
SIZE = 192
KINDS = {"8250": 0, "ftdi_sio": 1, "cp210x": 2, "pl2303": 3, "cdc-acm": 4}
COST_US = {"ftdi_sio": 2000, "cp210x": 2000}

# Linux TIOCM_* bits.
DTR, RTS, CTS, CD, RI, DSR = 0x002, 0x004, 0x020, 0x040, 0x080, 0x100
LINE_ORDER = (CTS, DSR, RI, CD)  # order of rise[] and fall[]

_FIELDS = {  # name: (offset, struct format)
    "magic": (0, "I"), "kind": (4, "I"), "rdev": (8, "Q"), "query_us": (16, "I"),
    "unplugged": (20, "I"), "lines": (24, "I"), "outputs": (60, "I"), "brk": (64, "I"),
    "mget_calls": (72, "Q"), "mget_ns": (80, "Q"), "icount_calls": (88, "Q"),
    "set_calls": (96, "Q"), "miwait_calls": (104, "Q"), "iflag": (112, "I"),
    "rx_frame": (116, "I"), "rx_parity": (120, "I"), "rx_brk": (124, "I"),
    "rx_overrun": (128, "I"), "rx_buf_overrun": (132, "I"),
}
PARMRK = 0o10  # Linux c_iflag bit
RISE, FALL = 28, 44


class FakeModemLines:
    def __init__(self, path, slave_fd, kind, lines):
        self.path = path
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            os.ftruncate(fd, SIZE)
            self.map = mmap.mmap(fd, SIZE, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
        finally:
            os.close(fd)
        self._put("kind", KINDS[kind])
        self._put("rdev", os.fstat(slave_fd).st_rdev)
        self._put("query_us", COST_US.get(kind, 0))
        self._put("lines", lines)
        self._put("outputs", DTR | RTS)
        self._put("magic", MAGIC)

    def _put(self, name, value):
        offset, fmt = _FIELDS[name]
        struct.pack_into("=" + fmt, self.map, offset, value)

    def _get(self, name):
        offset, fmt = _FIELDS[name]
        return struct.unpack_from("=" + fmt, self.map, offset)[0]

    def __getattr__(self, name):
        if name in _FIELDS:
            return self._get(name)
        raise AttributeError(name)

    def __setattr__(self, name, value):
        if name in _FIELDS:
            self._put(name, int(value))
        else:
            object.__setattr__(self, name, value)

    def set_lines(self, lines):
        """Moves the input lines, counting each edge before the new state."""
        was = self._get("lines")
        for i, bit in enumerate(LINE_ORDER):
            if (was ^ lines) & bit:
                offset = (RISE if lines & bit else FALL) + 4 * i
                count = struct.unpack_from("=I", self.map, offset)[0]
                struct.pack_into("=I", self.map, offset, (count + 1) & 0xFFFFFFFF)
        self._put("lines", lines)

    def data(self, payload):
        """Received bytes as n_tty queues them under the program's termios:
        a real 0xFF doubled when it asked for PARMRK."""
        return payload.replace(b"\xff", b"\xff\xff") if self.iflag & PARMRK else payload

    def plug_in(self, slave_fd):
        """A device plugged back in as a new pty (its number is not the old
        one's): the lines follow that slave from now on, through its rdev,
        which the library compares at every ioctl; DTR and RTS start raised,
        as on a device just opened; the modem ioctls work again."""
        self._put("rdev", os.fstat(slave_fd).st_rdev)
        self._put("outputs", DTR | RTS)
        self._put("unplugged", 0)

    def close(self):
        self.map.close()
