// Internal to the tty provider: the receive errors of a tty, each kept at
// its place among the received bytes (tty/line_errors.cpp).
//
// A device that keeps error counters (it answers TIOCGICOUNT) is read with
// PARMRK and INPCK: n_tty then marks a byte received with a framing or
// parity error as \377 \0 X, a break (or a framing error on a NUL) as
// \377 \0 \0, and doubles a real \377. The marks are taken out of what a
// read() brought as it is decoded; the counters, asked only when a read held
// a mark, tell which error each mark stands for (a break from a framing
// error on a NUL), and they alone tell of overruns and buffer overflows,
// which are also asked for while the line is idle. A device without
// counters (a pty) is read raw: no marks, nothing to decode.
//
// Positions count decoded bytes from the start of the read-ahead buffer; an
// error at position p is reported once the byte before p has been handed
// out (a byte's own error right after it, a break between its neighbours);
// several at one place one after the other, each reported alone.
#pragma once

#include <linux/serial.h>

#include <cstddef>
#include <cstdint>

#include "../win32/provider.h"

// Marks one read() of up to kTtyReadAhead bytes can hold (3 bytes each),
// and one for the overruns found with them.
constexpr size_t kTtyReadAhead = 4096;
constexpr unsigned kTtyMaxMarks = kTtyReadAhead / 3 + 2;

// How often an idle line's counters are asked at most.
constexpr long long kTtyIdleLookNs = 50000000;

struct TtyMark {
    uint16_t at;   // decoded bytes before the place of the error
    uint16_t bits; // CE_ bits
};

struct TtyRxErrors {
    bool counted;                   // the device keeps counters: it is read with PARMRK
    uint8_t partial;                // a mark cut by the end of a read: 1 after \377, 2 after \377 \0
    serial_icounter_struct shown;   // the counts the errors found so far account for
    long long lookedNs;             // when the counters were last asked
    DWORD due;                      // CE_ bits for the next ClearCommError
    unsigned next, count;           // marks[next .. count): places not reached yet
    TtyMark marks[kTtyMaxMarks];
};

// A device just opened (or back): whether it keeps counters, and the counts
// to start from; nothing found or due.
void TtyErrorsStart(TtyRxErrors& e, int fd);

// Bytes not handed out were dropped (a purge, a lost device): their marks go
// with them, and so do errors counted for bytes the purge dropped (`fd`, or
// -1 for a lost device; what is due stays due).
void TtyErrorsDrop(TtyRxErrors& e, int fd);

// Decodes `n` bytes just read into the empty read-ahead buffer, in place;
// returns the count of data bytes. The errors found are kept at their places.
size_t TtyErrorsDecode(TtyRxErrors& e, int fd, unsigned char* bytes, size_t n);

// Looks at the counters of an idle line (at most every kTtyIdleLookNs unless
// `now`): overruns and buffer overflows become due. Whether this look found
// any (errors due from before do not count: a reader that never asks for
// them, as the plain mode, must not see its reads end early for them).
bool TtyErrorsLook(TtyRxErrors& e, int fd, bool now);

// How many of `want` bytes from position `start` may be handed out before
// the next error's place.
inline size_t TtyErrorsRoom(const TtyRxErrors& e, size_t start, size_t want) {
    if (e.next == e.count) return want;
    size_t left = size_t(e.marks[e.next].at) - start;
    return left < want ? left : want;
}

// Bytes have been handed out up to position `at`: the first error placed
// there not yet due becomes due. Whether one did. Two errors at one place
// are two marks, made due one at a time: the bytes after them wait (Room is
// 0) until each has been reached, so each comes with a ClearCommError of
// its own.
inline bool TtyErrorsReached(TtyRxErrors& e, size_t at) {
    if (e.next == e.count || e.marks[e.next].at != at) return false;
    e.due |= e.marks[e.next++].bits;
    return true;
}

// Whether errors found are still to be reached, possibly at the end of the
// bytes taken ahead (the buffer must not be read into again before).
inline bool TtyErrorsPending(const TtyRxErrors& e) { return e.next != e.count; }

// The errors due, which are then cleared (ClearCommError).
inline DWORD TtyErrorsTake(TtyRxErrors& e) {
    DWORD due = e.due;
    e.due = 0;
    return due;
}
