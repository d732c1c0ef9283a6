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

// Two errors at one place (a byte's own error and a break after it, two
// breaks in a row) are two marks: each is handed out by a ClearCommError of
// its own, in the order they came.
void AddMark(TtyRxErrors& e, size_t at, DWORD bits) {
    if (e.count == kTtyMaxMarks) return;  // cannot happen: a read holds fewer
    e.marks[e.count].at = uint16_t(at);
    e.marks[e.count].bits = uint16_t(bits);
    ++e.count;
}

// What the counters of one read have left to give to its marks.
struct Kinds {
    unsigned byteFrame, byteParity;          // kept for marks on bytes other than NUL
    unsigned nulFrame, nulParity, nulBreak;  // left for \377 \0 \0
};

// The marks on bytes other than NUL from bytes[in] on (a mark's last byte
// is at `in`) to the end of the read.
unsigned CountByteMarks(const unsigned char* bytes, size_t in, size_t n) {
    unsigned other = 0;
    uint8_t partial = 2;
    for (; in < n; ++in) {
        const unsigned char c = bytes[in];
        if (partial == 0) {
            if (c == 0xFF) partial = 1;
        } else if (partial == 1) {
            partial = c == 0 ? 2 : 0;
        } else {
            partial = 0;
            if (c != 0) ++other;
        }
    }
    return other;
}

// Shares the counts not yet shown among the marks of a read. A mark on a
// byte other than NUL is a framing or a parity error; \377 \0 \0 is a
// break, or a framing or parity error on a NUL. The marks on other bytes are
// served first, as only those two kinds can stand for them; of what is left,
// a NUL's mark is taken as a framing error first, then a parity error, then
// a break: with errors of different kinds in one read the counters cannot
// tell their order.
Kinds ShareCounts(const TtyRxErrors& e, const serial_icounter_struct& now, unsigned other) {
    const unsigned frame = Unshown(now.frame, e.shown.frame);
    const unsigned parity = Unshown(now.parity, e.shown.parity);
    Kinds k;
    k.byteFrame = other < frame ? other : frame;
    k.byteParity = other - k.byteFrame < parity ? other - k.byteFrame : parity;
    k.nulFrame = frame - k.byteFrame;
    k.nulParity = parity - k.byteParity;
    k.nulBreak = Unshown(now.brk, e.shown.brk);
    return k;
}

// Which error a mark stands for, from what the read's counts have left.
// Errors of one kind are taken in order. A mark the counts do not cover
// (counted before the counts were taken, or not counted) is a break on a
// NUL, else a framing error.
DWORD MarkKind(TtyRxErrors& e, Kinds& k, bool nul) {
    unsigned& frame = nul ? k.nulFrame : k.byteFrame;
    unsigned& parity = nul ? k.nulParity : k.byteParity;
    if (frame > 0) {
        --frame;
        ++e.shown.frame;
        return CE_FRAME;
    }
    if (parity > 0) {
        --parity;
        ++e.shown.parity;
        return CE_RXPARITY;
    }
    if (nul && k.nulBreak > 0) {
        --k.nulBreak;
        ++e.shown.brk;
        return CE_BREAK;
    }
    return nul ? CE_BREAK : CE_FRAME;
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
    Kinds kinds = {};
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
                kinds = ShareCounts(e, now, CountByteMarks(bytes, in, n));
            }
            DWORD kind = MarkKind(e, kinds, c == 0);
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
