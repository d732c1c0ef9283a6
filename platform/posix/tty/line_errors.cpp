// The receive errors of a tty (tty/line_errors.h): PARMRK marks decoded out
// of the received bytes, told apart by the error counters.
#include "line_errors.h"

#include <sys/ioctl.h>

#include <cstring>

namespace {

// The counters now; false (and `now` untouched) when the device cannot tell.
bool AskCounters(int fd, serial_icounter_struct& now) { return ioctl(fd, TIOCGICOUNT, &now) == 0; }

// Counts not yet accounted for by an error shown; the counters only grow
// (they wrap as unsigned numbers do).
unsigned Unshown(int now, int shown) { return unsigned(now) - unsigned(shown); }

void AddMark(TtyRxErrors& e, size_t at, DWORD bits) {
    if (e.count > e.next && e.marks[e.count - 1].at == at) {
        e.marks[e.count - 1].bits = uint16_t(e.marks[e.count - 1].bits | bits);  // two at one place: one look
        return;
    }
    if (e.count == kTtyMaxMarks) return;  // cannot happen: a read holds fewer
    e.marks[e.count].at = uint16_t(at);
    e.marks[e.count].bits = uint16_t(bits);
    ++e.count;
}

// Which error a mark stands for, by the counts not yet shown: a \377 \0 \0
// is a break if a break was counted, else a framing or parity error on a
// NUL; any other marked byte a framing error, else a parity error. Errors
// of one kind are taken in order; with several kinds in one read the
// counters cannot tell which came first, and a framing error is taken first.
DWORD MarkKind(TtyRxErrors& e, const serial_icounter_struct& now, bool nul) {
    if (nul && Unshown(now.brk, e.shown.brk) > 0) {
        ++e.shown.brk;
        return CE_BREAK;
    }
    if (Unshown(now.frame, e.shown.frame) > 0) {
        ++e.shown.frame;
        return CE_FRAME;
    }
    if (Unshown(now.parity, e.shown.parity) > 0) {
        ++e.shown.parity;
        return CE_RXPARITY;
    }
    return nul ? CE_BREAK : CE_FRAME;  // counted before the counts were taken, or not counted
}

// Overruns and buffer overflows counted since they were last shown.
DWORD Overruns(TtyRxErrors& e, const serial_icounter_struct& now) {
    DWORD bits = 0;
    if (Unshown(now.overrun, e.shown.overrun) > 0) bits |= CE_OVERRUN;
    if (Unshown(now.buf_overrun, e.shown.buf_overrun) > 0) bits |= CE_RXOVER;
    e.shown.overrun = now.overrun;
    e.shown.buf_overrun = now.buf_overrun;
    return bits;
}

}  // namespace

void TtyErrorsStart(TtyRxErrors& e, int fd) {
    std::memset(&e, 0, sizeof e);
    e.counted = AskCounters(fd, e.shown);
}

void TtyErrorsDrop(TtyRxErrors& e, int fd) {
    e.partial = 0;
    e.next = e.count = 0;
    if (e.counted && fd >= 0) (void)AskCounters(fd, e.shown);
}

size_t TtyErrorsDecode(TtyRxErrors& e, int fd, unsigned char* bytes, size_t n) {
    e.next = e.count = 0;  // the buffer was empty: every earlier place has been reached
    if (!e.counted) return n;
    size_t in = 0;
    if (e.partial == 0) {
        // The common case: no \377 at all, nothing to move.
        const void* first = std::memchr(bytes, 0xFF, n);
        if (first == nullptr) return n;
        in = size_t(static_cast<const unsigned char*>(first) - bytes);
    }
    size_t out = in;
    bool asked = false;
    serial_icounter_struct now = e.shown;
    for (; in < n; ++in) {
        const unsigned char c = bytes[in];
        if (e.partial == 0) {
            if (c == 0xFF) e.partial = 1;
            else bytes[out++] = c;
        } else if (e.partial == 1) {
            e.partial = 0;
            if (c == 0) {
                e.partial = 2;
            } else {
                // \377 \377 is a real \377. Anything else cannot come under
                // PARMRK (only from before it was set): both bytes are data
                // where there is room for both.
                if (c != 0xFF && out < in) bytes[out++] = 0xFF;
                bytes[out++] = c;
            }
        } else {
            e.partial = 0;
            if (!asked) {
                (void)AskCounters(fd, now);  // once a read: the counts of every byte in it are in
                asked = true;
            }
            DWORD kind = MarkKind(e, now, c == 0);
            if (kind != CE_BREAK) bytes[out++] = c;  // a break's NUL is not data
            AddMark(e, out, kind);
        }
    }
    if (asked) {
        DWORD lost = Overruns(e, now);
        if (lost != 0) AddMark(e, out, lost);
    }
    return out;
}

bool TtyErrorsLook(TtyRxErrors& e, int fd, bool now) {
    if (!e.counted || fd < 0) return false;
    long long at = MonotonicNs();
    if (!now && at - e.lookedNs < kTtyIdleLookNs) return false;
    e.lookedNs = at;
    serial_icounter_struct counts;
    DWORD found = AskCounters(fd, counts) ? Overruns(e, counts) : 0;
    e.due |= found;
    return found != 0;
}
