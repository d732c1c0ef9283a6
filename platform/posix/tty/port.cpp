// The tty provider: Win32 serial calls carried out on a Linux tty device
// (a serial port or a pseudo-terminal) with termios2, ioctl and poll; its
// table of operations.
//
// The device is opened non-blocking (tty/open.cpp) and every wait is a poll
// on it, bounded by the port's COMMTIMEOUTS. Line settings go through
// termios2 (tty/termios.cpp); the modem-status lines are watched as
// tty/modem.h tells.
//
// Notes on what the kernel does with pseudo-terminals, which have no line:
// - the pty forces CS8 and clears PARENB on every TCSETS2 (rate, CSTOPB,
//   PARODD and CMSPAR are kept), so GetCommState on a pty reports 8 data bits
//   and no parity whatever was applied; it reports the device as it is;
// - modem-line ioctls (TIOCMGET/TIOCMBIS/TIOCMBIC) fail with ENOTTY, so
//   GetCommModemStatus and the DTR/RTS escape functions fail with
//   ERROR_NOT_SUPPORTED;
// - TIOCSBRK/TIOCCBRK succeed without any effect;
// - TIOCGICOUNT fails with ENOTTY: the pty is read raw (no PARMRK) and
//   ClearCommError reports no errors (tty/line_errors.h);
// - once the master side is closed, the slave is hung up: poll reports
//   POLLHUP, read returns 0 and write fails with EIO.
//
// A device that goes away (hang-up, unplug) is closed at once and opened
// again when its name is back; tty/reconnect.h tells how. While it is away
// the port's descriptor is -1.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asm/termbits.h>
#include <linux/serial.h>

#include <cerrno>
#include <cstring>

#include "../console/hooks.h"
#include "../win32/provider.h"
#include "claim.h"
#include "device.h"
#include "line_errors.h"
#include "modem.h"
#include "output.h"
#include "reconnect.h"

namespace {

// PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD | PCF_PARITY_CHECK | PCF_XONXOFF |
// PCF_SETXCHAR | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS
constexpr DWORD kCapabilities = 0x000000FF;

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// What one read() may take from the device. A read takes what the device
// already has, up to this much, and later reads are answered from it.
constexpr DWORD kReadAhead = kTtyReadAhead;

// While keys keep every pass busy, a device found empty is asked again at
// most this often.
constexpr long long kBusyLookNs = 1000000;

// Open ports, in a fixed table: no allocation.
struct TtyPort {
    bool open;
    int fd;
    COMMTIMEOUTS timeouts;
    DCB applied;             // last applied DCB: fields termios cannot hold
    TtyRxErrors errors;      // receive errors at their places (tty/line_errors.h)
    ModemWatch modem;        // the modem-status lines (tty/modem.h)
    bool dropShown;          // lines just answered off for a lost device: reopen only after the next look
    DWORD aheadStart;        // received bytes taken from the device, not yet read:
    DWORD aheadCount;        // ahead[aheadStart .. aheadStart + aheadCount)
    unsigned char ahead[kReadAhead];
    TtyReconnect link;       // the name, and what is put back when the device returns
    TtyOutput out;           // typed bytes gathered into few writes (tty/output.h)
    long long emptyAtNs;     // when a read last found the device empty (0: it had bytes)
};

constexpr int kMaxPorts = 8;
TtyPort g_ports[kMaxPorts];

// The device is lost: closed at once, the port gone until it is back.
// What was gathered to send is dropped with it.
void Lost(TtyPort* port) {
    port->out.count = 0;
    TtyErrorsDrop(port->errors, -1);
    port->errors.due = 0;  // a gone device reports no errors
    ReconnectLost(port->link, port->fd);
}

// Writes out the gathered bytes (see TtyFlushGathered). A device found gone
// is lost; any other failure is kept, and reported by the next WriteFile or
// by CloseHandle, so that it is never taken for a success.
void Flush(TtyPort* port, bool wait) {
    if (port->out.count == 0 || port->fd < 0) return;
    int err = TtyFlushGathered(port->out, port->fd, port->timeouts, wait);
    if (err != 0 && DeviceGoneError(err)) Lost(port);
    else if (err != 0) port->out.failed = err;
}

// The failure of a write of gathered bytes, reported now.
BOOL ReportFailedFlush(TtyPort* port) {
    int err = port->out.failed;
    port->out.failed = 0;
    return FailErrno(err);
}

// Output line calls on a device just opened again. A device without modem
// lines refuses them and is used without them, as on the first open; only a
// device that went away again fails the restore.
bool Restored(bool ok) { return ok || !DeviceGoneError(errno); }

// A device back under its name gets the port's last applied DCB, then DTR,
// RTS and break as last set (applying the DCB set them as it says).
bool Restore(TtyPort* port) {
    const TtyReconnect& r = port->link;
    int fd = port->fd;
    TtyErrorsStart(port->errors, fd);
    if (r.haveSettings && !TtyApplyDcb(fd, r.settings, port->errors.counted)) return false;
    return Restored(TtyModemLines(fd, r.dtr ? TIOCMBIS : TIOCMBIC, TIOCM_DTR, false)) &&
           Restored(TtyModemLines(fd, r.rts ? TIOCMBIS : TIOCMBIC, TIOCM_RTS, false)) &&
           Restored(!r.brk || ioctl(fd, TIOCSBRK) == 0);
}

// Whether the device is open, trying to open a lost one again when an
// attempt is due. A device that is back starts afresh: its error counters
// (taken by Restore) and modem-status support are its own.
bool Present(TtyPort* port) {
    if (port->fd >= 0) return true;
    if (!ReconnectTry(port->link, port->fd)) return false;
    if (!Restore(port)) {
        ReconnectFailed(port->link, port->fd);
        return false;
    }
    ModemWatchStart(port->modem, port->fd);
    return true;
}

// Milliseconds from now until `deadline`, never negative; -1 for no deadline.
long Remaining(long long deadline) {
    if (deadline < 0) return -1;
    long long left = deadline - MonotonicMs();
    return left > 0 ? long(left) : 0;
}

// The one place the provider waits: for `events` on `fd` for at most
// `timeoutMs` (-1 = no limit). A negative fd makes it a plain sleep.
// Returns the events that occurred, 0 on time-out, -1 with errno set.
int WaitFd(int fd, short events, long timeoutMs) {
    long long deadline = timeoutMs < 0 ? -1 : MonotonicMs() + timeoutMs;
    for (;;) {
        pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        long wait = Remaining(deadline);
        int rc = poll(&p, 1, wait > 0x7FFFFFFFL ? 0x7FFFFFFF : int(wait));
        if (rc > 0) return p.revents;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

// Bytes waiting in a queue (FIONREAD or TIOCOUTQ); 0 where the device
// does not tell.
bool QueueBytes(int fd, unsigned long request, DWORD& bytes) {
    int n = 0;
    if (ioctl(fd, request, &n) != 0) {
        // EIO: the line is hung up and the kernel has dropped both queues, so
        // nothing waits (the end-of-session wait must not run out its bound).
        if (!TtyUnsupported(errno) && errno != EIO) {
            FailErrno(errno);
            return false;
        }
        n = 0;
    }
    bytes = n > 0 ? DWORD(n) : 0;
    return true;
}


// Hands out bytes taken ahead, at most `want`, up to the place of the next
// receive error; `reached` tells whether an error is due there now.
DWORD TakeAhead(TtyPort* port, unsigned char* to, DWORD want, bool& reached) {
    DWORD n = want < port->aheadCount ? want : port->aheadCount;
    n = DWORD(TtyErrorsRoom(port->errors, port->aheadStart, n));
    std::memcpy(to, port->ahead + port->aheadStart, n);
    port->aheadStart += n;
    port->aheadCount -= n;
    reached = TtyErrorsReached(port->errors, port->aheadStart);
    return n;
}

BOOL TtyCloseHandle(void* p) {
    TtyPort* port = static_cast<TtyPort*>(p);
    Flush(port, true);
    int fd = port->fd;
    int failed = port->out.failed;
    port->open = false;
    port->fd = -1;
    port->aheadCount = 0;
    port->out.count = 0;
    port->out.failed = 0;
    TtyClaimRelease(port->link.claim);
    if (fd < 0) return TRUE;  // the device went away and was closed then
    ConsoleFlushHook();  // close() may wait for the output to drain
    // Unlocking and TIOCNXCL fail on a hung-up device; close() drops the lock
    // anyway and the exclusive flag only guards further opens, so their
    // results do not decide whether the port was released.
    (void)flock(fd, LOCK_UN);
    (void)ioctl(fd, TIOCNXCL);
    // Linux releases the descriptor even when close reports an error; only
    // errors other than an interruption are passed on.
    if (close(fd) != 0 && errno != EINTR) return FailErrno(errno);
    if (failed != 0) return FailErrno(failed);
    return TRUE;
}

// Windows read time-out rules:
// - ReadIntervalTimeout MAXDWORD with both total values 0: return at once
//   with what has arrived;
// - ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD with a
//   constant between them: return as soon as a byte is there, or after the
//   constant;
// - otherwise the read ends when `length` bytes are there, when the total
//   time-out expires, or (after the first byte, interval not 0) when no byte
//   follows within the interval. No total and no interval: wait for all.
// A time-out is a success with the bytes read so far, possibly none.
//
// Bytes come from what an earlier read took ahead first; the device is then
// read without waiting, and only when it has nothing does the read wait (the
// console's gathered output is written out first, and a key waiting on the
// console ends the wait as a time-out does).
//
// A device found gone (hung up, unplugged) is closed and the read goes on as
// one on an idle line: it waits out its time-out, trying the name again when
// an attempt is due, and reads a device that is back in time.
BOOL TtyReadFile(void* p, LPVOID buffer, DWORD length, LPDWORD done) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (length == 0) return TRUE;
    if (buffer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (port->out.count != 0 && TtyGatheredDue(port->out)) Flush(port, false);
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    DWORD got = 0;
    const COMMTIMEOUTS& t = port->timeouts;
    bool anyByte = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                   t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    if (port->aheadCount > 0 || TtyErrorsPending(port->errors)) {
        // The common case: a one-byte read with bytes taken ahead. Errors
        // not reached yet (the second of two at one place, maybe after the
        // last byte) are handed out before the device is read again.
        bool reached = false;
        got = TakeAhead(port, bytes, length, reached);
        if (got == length || reached) {
            if (done != nullptr) *done = got;
            return TRUE;
        }
    }
    bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                  t.ReadTotalTimeoutConstant == 0;
    long total;
    if (atOnce) total = 0;
    else if (anyByte) total = t.ReadTotalTimeoutConstant > 0x7FFFFFFFu ? 0x7FFFFFFFL : long(t.ReadTotalTimeoutConstant);
    else total = ReadTotalTimeoutMs(t, length);
    long interval = (atOnce || anyByte) ? 0
                    : t.ReadIntervalTimeout > 0x7FFFFFFFu ? 0x7FFFFFFFL : long(t.ReadIntervalTimeout);
    long long deadline = total < 0 ? -1 : MonotonicMs() + total;

    long long lastByteAt = got > 0 ? MonotonicMs() : 0;
    bool readable = false;  // the last wait found the device readable
    int err = 0;
    while (got < length) {
        // The lines of a lost device have just been answered off. A device
        // back before the caller looks again would make its lines return
        // within one look of the drop, and a monitor that shows a change
        // only when its status moves would never show that return. This one
        // read does not reopen and does not wait.
        if (port->fd < 0 && port->dropShown) {
            port->dropShown = false;
            break;
        }
        if (!Present(port)) {
            if (got > 0) break;
            long wait = Remaining(deadline);
            if (wait == 0) break;
            long due = ReconnectDueInMs(port->link);
            bool untilDue = due >= 0 && (wait < 0 || due < wait);
            if (untilDue) wait = due;
            if (WaitForPortOrKey(-1, wait) == PortWait::kTimeOut && untilDue) continue;
            break;  // time-out, or a key to handle
        }
        // Keys keep the caller's loop busy (a paste) and the device had
        // nothing a moment ago: the read gives up at once, as its wait
        // would, without asking the device again. It is asked at least
        // every kBusyLookNs, so received bytes still show within that.
        if (got == 0 && port->emptyAtNs != 0 && ConsoleKeysPendingHook() &&
            MonotonicNs() - port->emptyAtNs < kBusyLookNs) {
            break;
        }
        ssize_t n = read(port->fd, port->ahead, kReadAhead);
        port->emptyAtNs = n == 0 || (n < 0 && errno == EAGAIN) ? MonotonicNs() : 0;
        if (n > 0) {
            // Receive errors are decoded out of what came; a read ends at
            // an error's place, so the next ClearCommError reports it there.
            port->aheadStart = 0;
            port->aheadCount = DWORD(TtyErrorsDecode(port->errors, port->fd, port->ahead, size_t(n)));
            bool reached = TtyErrorsReached(port->errors, 0);
            DWORD take = reached ? 0 : TakeAhead(port, bytes + got, length - got, reached);
            got += take;
            readable = false;
            if (take == 0 && !reached) continue;  // marks only, cut by the end of the read
            lastByteAt = MonotonicMs();
            if (anyByte || reached) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            err = errno;
            if (!DeviceGoneError(err)) break;
            err = 0;
            Lost(port);
            readable = false;
            continue;
        }
        // Nothing from a device that the wait found readable: it has hung up.
        if (n == 0 && readable) {
            Lost(port);
            readable = false;
            continue;
        }
        if (anyByte && got > 0) break;  // bytes taken ahead, and no more now
        long wait = Remaining(deadline);
        if (got > 0 && interval > 0) {
            long long gapLeft = lastByteAt + interval - MonotonicMs();
            if (gapLeft < 0) gapLeft = 0;
            if (wait < 0 || gapLeft < wait) wait = long(gapLeft);
        }
        if (wait == 0) break;  // time-out
        // The line is idle: overruns counted meanwhile are shown now.
        if (TtyErrorsLook(port->errors, port->fd, false)) break;
        // Gathered bytes go out before a wait, unless keys are waiting:
        // the wait then ends at once and more keys join them.
        if (port->out.count != 0 && !ConsoleKeysPendingHook()) {
            Flush(port, false);
            if (port->fd < 0) continue;
        }
        PortWait w = ModemAwareWait(port->modem, wait);
        if (w == PortWait::kFailed) {
            err = errno;
            break;
        }
        if (w != PortWait::kReadable) break;  // time-out, or a key to handle
        readable = true;
    }
    if (done != nullptr) *done = got;
    if (err == 0 || got > 0) return TRUE;  // a failure after data shows on the next call
    // A device that fails at once would make a polling caller spin: the
    // failure is reported only when the time-out has passed.
    if (deadline >= 0 && Remaining(deadline) > 0) ConsoleFlushHook();
    while (deadline >= 0 && Remaining(deadline) > 0) {
        if (WaitFd(-1, 0, Remaining(deadline)) < 0) break;
    }
    return FailErrno(err);
}

// A write that follows another within a millisecond (a paste), and fits,
// is gathered and reported done at once; the gathered bytes go out when
// 4 KiB are there, when the first of them is 1 ms old, or
// before anything that must come after them (a read that waits, a line
// command, a purge, new settings, the queue counts, the close). Any other
// write goes out at once, after what is gathered, and ends when every byte is
// written or the total write time-out expires (no total: no limit); a
// time-out is a success with the count written so far.
BOOL TtyWriteFile(void* p, LPCVOID buffer, DWORD length, LPDWORD done) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (length == 0) return TRUE;
    if (buffer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!Present(port)) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    if (port->out.failed != 0) return ReportFailedFlush(port);
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    if (TtyGathers(port->out, length)) {
        if (TtyGather(port->out, bytes, length)) Flush(port, false);
        if (port->fd < 0) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
        if (port->out.failed != 0) return ReportFailedFlush(port);
        if (done != nullptr) *done = length;
        return TRUE;
    }
    Flush(port, true);
    if (port->fd < 0) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    if (port->out.failed != 0) return ReportFailedFlush(port);
    DWORD sent = 0;
    int err = 0;
    if (port->out.count == 0) {  // else the time ran out on what was gathered
        long total = WriteTotalTimeoutMs(port->timeouts, length);
        sent = TtySend(port->fd, bytes, length, total < 0 ? -1 : MonotonicMs() + total, err);
        port->out.lastNs = MonotonicNs();  // a write that waited for room is not a key typed long ago
    }
    if (done != nullptr) *done = sent;
    if (err != 0 && DeviceGoneError(err)) {
        Lost(port);
        return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (err != 0) return FailErrno(err);
    return TRUE;
}

BOOL TtyGetCommState(void* p, LPDCB dcb) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (dcb == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!Present(port)) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    return TtyReadDcb(port->fd, port->applied, dcb);
}

BOOL TtySetCommState(void* p, LPDCB dcb) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (dcb == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!CheckDcb(*dcb)) return FALSE;
    bool softFlow = dcb->fOutX || dcb->fInX;
    if (softFlow && dcb->XonChar == dcb->XoffChar) return FailWith(ERROR_INVALID_PARAMETER);
    if (!Present(port)) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    Flush(port, true);
    if (port->fd < 0) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    if (!TtyApplyDcb(port->fd, *dcb, port->errors.counted)) return FALSE;
    port->applied = *dcb;
    ReconnectNoteSettings(port->link, *dcb);
    return TRUE;
}

BOOL TtyGetCommTimeouts(void* p, LPCOMMTIMEOUTS t) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (t == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *t = port->timeouts;
    return TRUE;
}

BOOL TtySetCommTimeouts(void* p, LPCOMMTIMEOUTS t) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (t == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    port->timeouts = *t;
    return TRUE;
}

BOOL TtyPurgeComm(void* p, DWORD flags) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    // No read or write is ever pending here (calls are synchronous), so an
    // abort reduces to discarding the queue. A gone device has none.
    // Gathered bytes were sent before the purge: they go out first.
    Flush(port, true);
    if (port->fd < 0) {
        if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) {
            port->aheadCount = 0;
            TtyErrorsDrop(port->errors, -1);
        }
        return TRUE;
    }
    if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) {
        if (ioctl(port->fd, TCFLSH, TCIFLUSH) != 0) return FailErrno(errno);
        port->aheadCount = 0;
        TtyErrorsDrop(port->errors, port->fd);
    }
    if ((flags & (PURGE_TXCLEAR | PURGE_TXABORT)) && ioctl(port->fd, TCFLSH, TCOFLUSH) != 0) return FailErrno(errno);
    return TRUE;
}

// The bytes received and not yet read, and those still to go out, each
// with what the provider holds itself. Gathered keys go out first: a caller
// waiting for the queue to empty asks here.
bool QueueFigures(TtyPort* port, DWORD& inQueue, DWORD& outQueue) {
    Flush(port, false);
    inQueue = 0;
    outQueue = 0;
    if (port->fd >= 0 &&
        (!QueueBytes(port->fd, FIONREAD, inQueue) || !QueueBytes(port->fd, TIOCOUTQ, outQueue))) {
        return false;
    }
    inQueue += port->aheadCount;
    outQueue += port->out.count;
    return true;
}

// With a COMSTAT: the queue figures, after what the counters tell now.
__attribute__((noinline)) BOOL ClearErrorWithStat(TtyPort* port, LPDWORD errors, LPCOMSTAT stat) {
    (void)TtyErrorsLook(port->errors, port->fd, true);
    DWORD inQueue, outQueue;
    if (!QueueFigures(port, inQueue, outQueue)) return FALSE;
    if (errors != nullptr) *errors = TtyErrorsTake(port->errors);
    std::memset(stat, 0, sizeof *stat);
    stat->cbInQue = inQueue;
    stat->cbOutQue = outQueue;
    return TRUE;
}

// The errors are those found at their places in the bytes handed out so
// far, and overruns the counters show; a caller without a COMSTAT (the
// monitor, every pass) costs no system call and a few instructions. A gone
// device reports none.
BOOL TtyClearCommError(void* p, LPDWORD errors, LPCOMSTAT stat) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (stat != nullptr) return ClearErrorWithStat(port, errors, stat);
    if (errors != nullptr) *errors = TtyErrorsTake(port->errors);
    return TRUE;
}

// dwCurrentTxQueue is the count of bytes still queued for sending, so the
// headroom (max less current) comes back to its full value once they have
// gone out.
BOOL TtyGetCommProperties(void* p, LPCOMMPROP prop) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (prop == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    DWORD inQueue, outQueue;
    if (!QueueFigures(port, inQueue, outQueue)) return FALSE;
    FillCommProp(prop, kCapabilities, kNominalTxQueue, outQueue, inQueue);
    return TRUE;
}

BOOL TtyEscapeCommFunction(void* p, DWORD func) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (func < SETRTS || func == RESETDEV || func > CLRBREAK) return FailWith(ERROR_INVALID_PARAMETER);
    if (!Present(port)) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    Flush(port, true);  // typed before the command: on the line before it
    if (port->fd < 0) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    int fd = port->fd;
    if (func == SETDTR || func == CLRDTR || func == SETRTS || func == CLRRTS) ModemLinesDriven(port->modem);
    bool ok = false;
    switch (func) {
        case SETDTR: ok = TtyModemLines(fd, TIOCMBIS, TIOCM_DTR, false); break;
        case CLRDTR: ok = TtyModemLines(fd, TIOCMBIC, TIOCM_DTR, false); break;
        case SETRTS: ok = TtyModemLines(fd, TIOCMBIS, TIOCM_RTS, false); break;
        case CLRRTS: ok = TtyModemLines(fd, TIOCMBIC, TIOCM_RTS, false); break;
        case SETBREAK: ok = ioctl(fd, TIOCSBRK) == 0 || FailErrno(errno); break;
        default: ok = ioctl(fd, TIOCCBRK) == 0 || FailErrno(errno); break;
    }
    if (ok) {
        ReconnectNoteEscape(port->link, func);
        return TRUE;
    }
    if (DeviceGoneError(errno)) {
        Lost(port);
        return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    }
    return FALSE;
}

BOOL TtyGetCommModemStatus(void* p, LPDWORD bits) {
    TtyPort* port = static_cast<TtyPort*>(p);
    if (bits == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    // A gone device has all its lines off; nothing is asked of the system.
    if (port->fd < 0) {
        if (port->modem.answered != 0) port->dropShown = true;
        port->modem.answered = 0;
        *bits = 0;
        return TRUE;
    }
    return ModemStatus(port->modem, bits);
}

const PortOps kTtyOps = {
    TtyCloseHandle,     TtyReadFile,         TtyWriteFile,       TtyGetCommState,
    TtySetCommState,    TtyGetCommTimeouts,  TtySetCommTimeouts, TtyPurgeComm,
    TtyClearCommError,  TtyGetCommProperties, TtyEscapeCommFunction, TtyGetCommModemStatus,
};

}  // namespace

HANDLE TtyOpen(const char* path) {
    TtyPort* port = nullptr;
    for (TtyPort& p : g_ports) {
        if (!p.open) {
            port = &p;
            break;
        }
    }
    if (port == nullptr) {
        FailErrno(EMFILE);
        return INVALID_HANDLE_VALUE;
    }
    static TtyClaim claim;  // large: kept off the stack
    std::memset(&claim, 0, sizeof claim);
    int fd = TtyOpenDevice(path, claim);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    std::memset(port, 0, sizeof *port);
    port->open = true;
    port->fd = fd;
    port->applied = InitialDcb();
    ReconnectStart(port->link, path);
    port->link.claim = claim;
    ModemWatchStart(port->modem, fd);
    // The baseline for the receive errors: errors from before the open are
    // not this session's. It also decides whether the device is read with
    // PARMRK.
    TtyErrorsStart(port->errors, fd);
    HANDLE h = PortRegister(kTtyOps, port);
    if (h == INVALID_HANDLE_VALUE) (void)TtyCloseHandle(port);
    return h;
}

