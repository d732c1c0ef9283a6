// Internal to the tty provider: a port whose device goes away (a USB adapter
// unplugged, a board that re-enumerates) and comes back under the same name.
//
// When the device is lost the provider closes it at once, so the kernel can
// hand the same node out again, and the port is "gone": reads time out as
// usual, writes fail, the modem lines read as off. The name is then opened
// again at most every kRetryMs, only from calls the program makes anyway
// (nothing runs in between, no CPU is used). Once it opens, with the same
// locks as the first open, the last applied DCB is applied again and DTR, RTS
// and break are put back as they were last set. A name that appears as
// something other than a tty, or that another process holds, is simply tried
// again later. Only a device that may be the one lost is opened again: a
// pty only under a link re-made or re-pointed since (tty/identity.h).
//
// A pty slave named directly (/dev/pts/N) is never reopened: its number goes
// to the next pseudo-terminal anyone makes, which is not the same device.
#pragma once

#include <climits>

#include "claim.h"
#include "../win32/api.h"

// Spacing of the attempts to open a lost device again, in milliseconds.
constexpr long kRetryMs = 250;

struct TtyReconnect {
    char path[PATH_MAX];   // the name opened; empty: never reopened
    bool gone;             // the device was lost and is not open now
    long long nextTryMs;   // monotonic time of the next attempt
    bool haveSettings;     // a DCB has been applied: apply it again on return
    DCB settings;
    bool dtr, rts, brk;    // the output conditions as last set
    TtyClaim claim;        // what the name resolved to at the last open, and the session's lock
};

// At open: remembers the name and starts with DTR and RTS raised (as the
// kernel raises them on open) and no break.
void ReconnectStart(TtyReconnect& r, const char* path);

// Errors of a read, write or ioctl that mean the device has gone: hang-up
// (EIO), unplugged (ENODEV, ENXIO), node removed (ENOENT).
bool DeviceGoneError(int err);

// The device is lost: closes `fd` at once (it becomes -1) and marks the port
// gone; the first attempt to open it again is due at once.
void ReconnectLost(TtyReconnect& r, int& fd);

// For a gone port whose next attempt is due: opens the name again, with the
// port's locks, into `fd`. Returns true when the device has just been opened
// again; the caller then applies the remembered settings and output
// conditions, and calls ReconnectFailed when that fails. While the device
// stays away `fd` stays -1 and the next attempt is due kRetryMs later.
bool ReconnectTry(TtyReconnect& r, int& fd);

// The device opened again could not be given its settings: closed again,
// the next attempt kRetryMs later.
void ReconnectFailed(TtyReconnect& r, int& fd);

// Milliseconds until the next attempt is due (0: now; -1: none will come).
long ReconnectDueInMs(const TtyReconnect& r);

// Hooks of the calls that change what is put back: a DCB applied, an output
// condition set by EscapeCommFunction.
void ReconnectNoteSettings(TtyReconnect& r, const DCB& dcb);
void ReconnectNoteEscape(TtyReconnect& r, DWORD func);
