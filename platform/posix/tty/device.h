// Internal to the tty provider: the device node itself, opened as a port and
// set up from a DCB (tty/open.cpp, tty/termios.cpp).
#pragma once

#include "../win32/provider.h"
#include "claim.h"

// Opens a tty as CreateFileA does, after the checks of tty/claim.h (which
// note what the name resolved to and hold the session's lock in `claim`),
// with the share-mode-0 locks (flock and TIOCEXCL) and CLOCAL | CREAD.
// Returns the descriptor, or -1 with the Win32 error set.
int TtyOpenDevice(const char* path, TtyClaim& claim);

// Applies a checked DCB: raw mode, size, parity, stop bits, flow control and
// rate, then DTR and RTS as its modes ask (a device without modem lines, a
// pty, takes the settings without them). With `markErrors` (a device that
// counts its receive errors) the line discipline marks them in the data
// (PARMRK, INPCK; tty/line_errors.h). FALSE with the error set.
BOOL TtyApplyDcb(int fd, const DCB& dcb, bool markErrors);

// The DCB the device has now: what termios holds, the rest from `last`, the
// DCB last applied.
BOOL TtyReadDcb(int fd, const DCB& last, LPDCB out);

// Raises (TIOCMBIS) or lowers (TIOCMBIC) modem output lines. A device
// without modem lines gives the ioctl's error; `quiet` ignores exactly that.
bool TtyModemLines(int fd, unsigned long request, int bits, bool quiet);

// Errors an ioctl gives on a device that lacks the feature (ptys for modem
// lines and error counters).
bool TtyUnsupported(int err);
