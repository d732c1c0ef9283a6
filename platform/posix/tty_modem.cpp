// Modem-status lines of a tty port, shaped for the Linux drivers of the
// USB serial adapters people use (ftdi_sio and cp210x answer TIOCMGET with
// a blocking USB control transfer of 1-2 ms; pl2303/ch341 and cdc-acm from
// the last interrupt-endpoint status; 8250 UARTs from a register) and for
// their modem counters (TIOCGICOUNT: ftdi_sio, cdc-acm and 8250 count line
// changes, 8250's RI only on its trailing edge; cp210x answers but its
// counters never move; pl2303 has none). The monitor asks four times a
// pass, so one reading answers many calls: it stands for a time scaled to
// what a query costs (short on the cheap drivers, about a dozen query costs
// on the USB round-trip ones, so queries stay well under a tenth of the
// time), is taken again at once when the counters show a line moved, and
// the port's read wait looks at the lines every few milliseconds so an idle
// loop shows a change promptly (and the pass after a change shown does not
// wait, so the loop is ready for the next one at once). Lines whose counters never move (cp210x,
// 8250 RI going on) are still caught by the time bound.
#include "tty_modem.h"

#include <sys/ioctl.h>
#include <linux/serial.h>

#include <cerrno>
#include <ctime>

#include "console_hooks.h"

namespace {

// A reading stands this many query costs, within these bounds.
constexpr long long kHoldFactor = 12;
constexpr long long kMinHoldNs = 1000000;    // cheap drivers: about a reading a millisecond
constexpr long long kMaxHoldNs = 100000000;  // however slow the device, a change shows within this
// The counters are looked at no more often than this (only where a reading
// stands longer).
constexpr long long kCounterGapNs = 1000000;
// The read wait looks at the lines this often.
constexpr long kLookGapMs = 10;
// Answers given from the last reading before the clock is read again (the
// monitor asks four times a pass; the clock costs more than a pass).
constexpr unsigned kCallsPerClockRead = 16;
// A query dearer than this may block the process: console output gathered
// so far is written out first.
constexpr long long kFlushBeforeNs = 200000;

long long NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

DWORD FromTiocm(int lines) {
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RI) status |= MS_RING_ON;
    if (lines & TIOCM_CD) status |= MS_RLSD_ON;
    return status;
}

// Takes the modem counters; true when they moved since the last look.
bool CountersMoved(ModemWatch& w) {
    serial_icounter_struct c;
    if (ioctl(w.fd, TIOCGICOUNT, &c) != 0) {
        // No counters (pl2303, a pty): the time bound alone. A device that
        // has gone (EIO) is read again, which reports it.
        if (errno == EIO) return true;
        w.countersWork = false;
        return false;
    }
    const int now[4] = {c.cts, c.dsr, c.rng, c.dcd};
    bool moved = false;
    for (int i = 0; i < 4; ++i) {
        if (now[i] != w.counts[i]) moved = true;
        w.counts[i] = now[i];
    }
    return moved;
}

// One TIOCMGET, timed; the counters are taken just before it, so that only
// movement after the reading counts as new.
void Read(ModemWatch& w) {
    if (w.costNs > kFlushBeforeNs) ConsoleFlushHook();
    if (w.countersWork && w.holdNs > kCounterGapNs) (void)CountersMoved(w);
    int lines = 0;
    long long start = NowNs();
    int rc;
    do {
        rc = ioctl(w.fd, TIOCMGET, &lines);
    } while (rc != 0 && errno == EINTR);
    int err = rc != 0 ? errno : 0;
    long long end = NowNs();
    long long cost = end - start;
    w.costNs = w.haveReading ? (7 * w.costNs + cost) / 8 : cost;
    long long hold = w.costNs * kHoldFactor;
    w.holdNs = hold < kMinHoldNs ? kMinHoldNs : hold > kMaxHoldNs ? kMaxHoldNs : hold;
    w.readAtNs = end;
    w.countedAtNs = end;
    w.haveReading = true;
    w.stale = false;
    w.readingErrno = err;
    if (err == 0) w.lines = FromTiocm(lines);
    else if (err == ENOTTY) w.unsupported = ENOTTY;
}

// Reads again when the last reading no longer stands at `now`.
void Refresh(ModemWatch& w, long long now) {
    bool stale = !w.haveReading || w.stale || now - w.readAtNs >= w.holdNs;
    if (!stale && w.countersWork && w.holdNs > kCounterGapNs && now - w.countedAtNs >= kCounterGapNs) {
        w.countedAtNs = now;
        stale = CountersMoved(w);
    }
    if (stale) Read(w);
}

DWORD Current(const ModemWatch& w) { return w.readingErrno == 0 ? w.lines : 0; }

}  // namespace

void ModemWatchStart(ModemWatch& w, int fd) {
    w = ModemWatch{};
    w.fd = fd;
    w.countersWork = true;
    w.clockDue = true;
}

BOOL ModemStatus(ModemWatch& w, LPDWORD bits) {
    if (w.unsupported != 0) return FailErrno(w.unsupported);
    if (!w.haveReading || w.clockDue || ++w.callsSinceClock >= kCallsPerClockRead) {
        w.callsSinceClock = 0;
        w.clockDue = false;
        Refresh(w, NowNs());
    }
    DWORD answer = Current(w);
    if (answer != w.answered) w.answerMoved = true;
    w.answered = answer;
    if (w.readingErrno != 0) return FailErrno(w.readingErrno);
    *bits = w.lines;
    return TRUE;
}

void ModemLinesDriven(ModemWatch& w) {
    w.stale = true;
    w.clockDue = true;
}

PortWait ModemAwareWait(ModemWatch& w, long ms) {
    w.clockDue = true;
    if (w.answerMoved) {
        w.answerMoved = false;
        return PortWait::kTimeOut;
    }
    // Nothing to watch: lines that cannot be read, or not asked for yet.
    if (w.unsupported != 0 || !w.haveReading) return WaitForPortOrKey(w.fd, ms);
    long long deadline = ms < 0 ? -1 : NowNs() + (long long)ms * 1000000LL;
    for (;;) {
        long slice = kLookGapMs;
        long long now = NowNs();
        // Where a reading stands longer than the gap, the look comes when it
        // runs out rather than at the next gap after it.
        long long untilStale = w.readAtNs + w.holdNs - now;
        if (w.holdNs >= kLookGapMs * 1000000LL && untilStale > 0 && untilStale < slice * 1000000LL) {
            slice = long((untilStale + 999999) / 1000000);
        }
        if (deadline >= 0) {
            long long left = (deadline - now + 999999) / 1000000;
            if (left <= 0) return PortWait::kTimeOut;
            if (left < slice) slice = long(left);
        }
        PortWait r = WaitForPortOrKey(w.fd, slice);
        if (r != PortWait::kTimeOut) return r;
        Refresh(w, NowNs());
        // A line moved, or the query turned out unsupported after all.
        if (Current(w) != w.answered || w.unsupported != 0) return PortWait::kTimeOut;
    }
}
