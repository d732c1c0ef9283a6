// Modem-status lines of a tty port. Shaped for the Linux drivers of the USB
// serial adapters people use and of UARTs: ftdi_sio and cp210x answer
// TIOCMGET with a blocking USB control transfer (1-2 ms); pl2303/ch341 and
// cdc-acm answer from the last interrupt-endpoint status, 8250 from a
// register (cheap). Their TIOCGICOUNT counters: ftdi_sio, cdc-acm and 8250
// count every line change (8250's RI only on its trailing edge); cp210x
// answers but never moves them; pl2303 has none.
//
// The monitor asks four times a pass, so asking the device each time would
// make every pass cost a USB round trip. Instead one reading answers many
// calls: it stands for a dozen query costs (at least 1 ms, at most 100 ms),
// which keeps queries under a tenth of the time, and is taken again at
// once when the counters show a line moved; a line that moved and came back
// between two readings (the counters moved, the level did not) is shown
// moved and back, as a loop asking all the time would have seen it. The
// port's read wait looks at the lines every 10 ms (or when a reading runs
// out), so an idle loop shows a change promptly, and the pass after a
// change has been answered does not wait, so the loop is ready for the next
// change at once. Lines whose counters never move (cp210x, 8250's RI going
// on, pl2303) are still caught by the time bound.
#include "modem.h"

#include <sys/ioctl.h>
#include <linux/serial.h>

#include <cerrno>

#include "../console/hooks.h"

namespace {

// A reading stands this many query costs, within these bounds.
constexpr long long kHoldFactor = 12;
constexpr long long kMinHoldNs = 1000000;    // cheap drivers: about a reading a millisecond
constexpr long long kMaxHoldNs = 100000000;  // however slow the device, a change shows within this
// The counters are looked at no more often than this (only where a reading
// stands longer).
constexpr long long kCounterGapNs = 1000000;
// A pulse found by the counters is shown for this many answers: enough for
// the monitor to show the line moved (up to four answers before its status
// check sees it, four for that check, four to show it) and for one more
// check to find it unchanged, so that its return shows as the next change.
constexpr int kPulseCalls = 16;
// ... and never for longer than this.
constexpr long long kPulseNs = 50000000;
// The read wait looks at the lines this often.
constexpr long kLookGapMs = 10;
// Answers given from the last reading before the clock is read again (the
// monitor asks four times a pass; the clock costs more than a pass).
constexpr unsigned kCallsPerClockRead = 16;
// A query dearer than this may block the process: console output gathered
// so far is written out first.
constexpr long long kFlushBeforeNs = 200000;

DWORD FromTiocm(int lines) {
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RI) status |= MS_RING_ON;
    if (lines & TIOCM_CD) status |= MS_RLSD_ON;
    return status;
}

const DWORD kCountedLines[4] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};  // counter order

// Takes the modem counters into `into`; false when there are none.
bool TakeCounters(ModemWatch& w, int into[4]) {
    serial_icounter_struct c;
    if (ioctl(w.fd, TIOCGICOUNT, &c) != 0) {
        // No counters (pl2303, a pty): the time bound alone. A device that
        // has gone (EIO) keeps them, and the next reading reports it.
        if (errno != EIO) w.countersWork = false;
        return false;
    }
    into[0] = c.cts;
    into[1] = c.dsr;
    into[2] = c.rng;
    into[3] = c.dcd;
    return true;
}

// True when the counters moved since the last look (or the device is gone).
bool CountersMoved(ModemWatch& w) {
    int now[4];
    if (!TakeCounters(w, now)) return w.countersWork;
    bool moved = false;
    for (int i = 0; i < 4; ++i) {
        if (now[i] != w.counts[i]) moved = true;
        w.counts[i] = now[i];
    }
    return moved;
}

// One TIOCMGET, timed, between two looks at the counters. Movement after
// the first look makes the next look read again. A line counted between
// the previous reading and this one (after the look that followed that
// reading, before the look that precedes this one) that reads as it did
// then has been somewhere else meanwhile: a pulse shorter than a reading
// (on 8250, a ring: RI is counted on its trailing edge only). It is shown
// the way a loop asking all the time would have seen it: the next answers
// carry the line moved, then it comes back.
void Read(ModemWatch& w) {
    if (w.costNs > kFlushBeforeNs) ConsoleFlushHook();
    bool counted = false;
    if (w.countersWork) {
        int now[4];
        counted = TakeCounters(w, now);
        for (int i = 0; counted && i < 4; ++i) w.counts[i] = now[i];
    }
    int lines = 0;
    long long start = MonotonicNs();
    int rc;
    do {
        rc = ioctl(w.fd, TIOCMGET, &lines);
    } while (rc != 0 && errno == EINTR);
    int err = rc != 0 ? errno : 0;
    long long end = MonotonicNs();
    long long cost = end - start;
    w.costNs = w.haveReading ? (7 * w.costNs + cost) / 8 : cost;
    long long hold = w.costNs * kHoldFactor;
    w.holdNs = hold < kMinHoldNs ? kMinHoldNs : hold > kMaxHoldNs ? kMaxHoldNs : hold;
    w.readAtNs = end;
    w.countedAtNs = end;
    DWORD was = w.lines;
    bool comparable = counted && w.haveReading && w.readingErrno == 0 && err == 0 && w.afterCountsValid;
    w.haveReading = true;
    w.stale = false;
    w.readingErrno = err;
    if (err == 0) w.lines = FromTiocm(lines);
    else if (err == ENOTTY) w.unsupported = ENOTTY;
    DWORD pulse = 0;
    for (int i = 0; comparable && i < 4; ++i) {
        if (w.counts[i] != w.afterCounts[i] && ((was ^ w.lines) & kCountedLines[i]) == 0) pulse |= kCountedLines[i];
    }
    if (pulse != 0) {
        w.pulse = pulse;
        w.pulseCalls = kPulseCalls;
        w.pulseEndsNs = end + kPulseNs;
    }
    w.afterCountsValid = w.countersWork && TakeCounters(w, w.afterCounts);
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

// The answer now: the reading, with a pulse it hid still being shown.
DWORD Current(const ModemWatch& w) {
    if (w.readingErrno != 0) return 0;
    return w.pulseCalls > 0 ? w.lines ^ w.pulse : w.lines;
}

}  // namespace

void ModemWatchStart(ModemWatch& w, int fd) {
    w = ModemWatch{};
    w.fd = fd;
    w.countersWork = true;
    w.clockDue = true;
}

BOOL ModemStatus(ModemWatch& w, LPDWORD bits) {
    if (w.unsupported != 0) return FailWith(ERROR_NOT_SUPPORTED);  // ENOTTY, asked once
    if (!w.haveReading || w.clockDue || ++w.callsSinceClock >= kCallsPerClockRead) {
        w.callsSinceClock = 0;
        w.clockDue = false;
        Refresh(w, MonotonicNs());
    }
    DWORD answer = Current(w);
    if (w.pulseCalls > 0) --w.pulseCalls;
    if (answer != w.answered) w.answerMoved = true;
    w.answered = answer;
    if (w.readingErrno != 0) return FailErrno(w.readingErrno);
    *bits = answer;
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
    // A pulse still being shown: the caller's loop takes its next passes
    // without waiting until the pulse is over.
    if (w.pulseCalls > 0) {
        if (MonotonicNs() < w.pulseEndsNs) return PortWait::kTimeOut;
        w.pulseCalls = 0;
    }
    // Nothing to watch: lines that cannot be read, or not asked for yet.
    if (w.unsupported != 0 || !w.haveReading) return WaitForPortOrKey(w.fd, ms);
    long long deadline = ms < 0 ? -1 : MonotonicNs() + (long long)ms * 1000000LL;
    for (;;) {
        long slice = kLookGapMs;
        long long now = MonotonicNs();
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
        Refresh(w, MonotonicNs());
        // A line moved, or the query turned out unsupported after all.
        if (Current(w) != w.answered || w.unsupported != 0) return PortWait::kTimeOut;
    }
}
