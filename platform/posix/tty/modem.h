// Internal to platform/posix: the modem-status input lines of a tty port,
// answered so that asking costs the caller's loop almost nothing whatever
// the device's driver charges for a query (tty/modem.cpp says how and why).
#pragma once

#include "../win32/provider.h"

struct ModemWatch {
    int fd;
    int unsupported;        // the device does not implement the query (ENOTTY): answered without asking again
    bool haveReading;
    bool stale;             // the last reading no longer stands (output lines driven since)
    int readingErrno;       // 0: `lines` is the last reading; otherwise the query failed with it
    DWORD lines;            // MS_* bits of the last reading
    DWORD answered;         // what the caller was last told (0 after a failure)
    bool answerMoved;       // that answer differs from the one before it
    long long readAtNs;     // when the last reading ended
    long long costNs;       // smoothed time one query takes
    long long holdNs;       // how long a reading stands, from that cost
    bool countersWork;      // TIOCGICOUNT answers
    int counts[4];          // its CTS, DSR, RI, DCD counters at the last look
    bool afterCountsValid;
    int afterCounts[4];     // ... and just after the last reading
    DWORD pulse;            // lines that moved and came back between two readings
    int pulseCalls;         // answers still to show them moved
    long long pulseEndsNs;  // and the time by which that ends
    long long countedAtNs;
    unsigned callsSinceClock;  // answers given since the clock was last read
    bool clockDue;          // time has passed (a wait): read the clock at the next call
};

// For a port just opened on `fd`.
void ModemWatchStart(ModemWatch& w, int fd);

// GetCommModemStatus: MS_* bits, or FALSE with the error set.
BOOL ModemStatus(ModemWatch& w, LPDWORD bits);

// The output lines were driven: the next answer comes from a fresh reading
// (a device may answer DTR with DSR, a loop-back plug at once).
void ModemLinesDriven(ModemWatch& w);

// WaitForPortOrKey for a port read, which also ends (as a time-out) when an
// input line has moved since the caller's last answer, so that its loop
// shows the change without waiting out the read time-out. The first read
// after an answer that moved does not wait at all: the caller's next look
// comes at once, so a change that follows soon after is not taken for part
// of the one just shown (the monitor shows a change only when its status
// byte moves, and leaves one that comes in the pass after a shown one
// pending).
PortWait ModemAwareWait(ModemWatch& w, long ms);
