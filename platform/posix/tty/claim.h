// Internal to the tty provider: the checks that make a port's open refuse a
// device that is not free for this session, as Windows refuses a port that
// another program holds, and the UUCP lock the session holds on it.
//
// Before the device is opened (only lstat, stat, readlink and /proc are
// looked at, so a refused device gets nothing):
// - after a loss, what the name resolves to now must be allowed by the rule
//   of tty/identity.h (a pty is never adopted again under an untouched link);
// - the device is not the program's own terminal: not the device of standard
//   input, output or error, not the controlling terminal (nor /dev/tty, which
//   is that terminal under another number, nor /dev/tty0 from a virtual
//   console);
// - no live UUCP lock file names it (LCK..<name> in /var/lock or /run/lock,
//   <name> the node's own path below /dev, every link resolved, with '/' as
//   '_', holding the locker's process number: a udev by-id link and the node
//   give the same name). A lock whose process lives is live, whatever any
//   clock says; a process lives while any of its threads does (a leader in
//   state Z whose threads go on is alive). A lock is stale only when no
//   process has its number, when it and all its threads have ended, or when
//   it holds no number for half a second (the monotonic clock);
// - no other process that the system lets us see holds it open (its
//   /proc/<pid>/fd entries, or its threads' /proc/<pid>/task/*/fd when its
//   own list is empty). The process that started this one is left out: a
//   port it holds, it has handed over (test rigs and wrappers keep the far
//   end of a pty that way). A device found held counts as held, without a
//   new look, for a second;
// - then the session's UUCP lock is taken where the lock folder is
//   writable, before the open: a port locked meanwhile is never opened.
// After the open, before anything is changed on the device: the descriptor
// must be the device that was checked (the name was not changed in
// between); a refusal there, or a failed open, releases the lock.
// The lock folder is everyone's: nothing in it is ever opened through a link
// or in a way that could wait (a FIFO), a lock is read only from a regular
// file, and the session's lock is written to a new file of its own under a
// name no one can foresee, which is then linked under the lock's name. A
// stale lock is swapped for it in one step (RENAME_EXCHANGE: the name is
// never empty, so no third party takes it meanwhile), and what was swapped
// out is removed only if it is the file that was read; anything else is
// swapped back. It is released when the port closes (a pty's already when
// it is lost), and a signal that ends the process removes it too (through
// console/hooks.h); every step that makes, links, swaps or removes a file
// in the lock folder runs with the signals held, so a signal at any moment
// leaves no temporary file and no lock of ours. After SIGKILL the next open
// finds it stale. Where no lock can be made the open goes ahead, and
// TtyClaimCompleted says so once on the console.
#pragma once

#include <climits>

#include "identity.h"

struct TtyClaim {
    TtyIdentity opened;      // what the name resolved to when the device was last opened
    TtyIdentity checking;    // what it resolves to in the open being made
    char lockFile[PATH_MAX]; // the session's lock file; empty: none
    bool lockTaken;          // that lock was taken by the open being made
    bool pending;            // the open being made has passed TtyClaimOpened
    bool unlocked;           // it goes ahead without a lock (no lock folder we may write to)
    long long heldSeenMs;    // when another process was last found holding the device (0: not found)
    dev_t heldFsDev, heldRdev;  // the device then found held
    ino_t heldIno;
};

// Before open(): false, with the Win32 error set, when the device behind
// `path` may not be opened now (ERROR_FILE_NOT_FOUND: not the lost device;
// ERROR_ACCESS_DENIED: the console's terminal, locked or held elsewhere).
// Once the checks pass, it takes the session's lock, before the open.
bool TtyClaimBeforeOpen(const char* path, TtyClaim& claim);

// After open(), before the descriptor is used: false, with the error set,
// when `fd` is not the device checked (then TtyClaimUndo releases the lock).
bool TtyClaimOpened(int fd, TtyClaim& claim);

// The open went through: says once on the console (console/hooks.h) when
// a port was opened without a lock, as other programs then see it free.
void TtyClaimCompleted(const TtyClaim& claim);

// The open failed: undoes what TtyClaimBeforeOpen and TtyClaimOpened did
// for it (the lock taken, the identity noted).
void TtyClaimUndo(TtyClaim& claim);

// The device is lost. The lock of a pty goes at once: its number is
// someone else's from now on. Any other device keeps its lock while it is
// away, so that no one else takes the port before it is back.
void TtyClaimLost(TtyClaim& claim);

// The port closes: releases the session's lock.
void TtyClaimRelease(TtyClaim& claim);

// Whether the device is the program's own terminal (the device of standard
// input, output or error, the controlling terminal, /dev/tty, /dev/tty0 from
// a virtual console): an open refuses it.
bool TtyIsOwnTerminal(const TtyIdentity& id);

// Who holds a device, as the checks before an open would find it, for a
// list of ports that must change nothing: nothing is opened, no lock is
// taken and a stale lock stays where it is.
struct TtyHolder {
    long lockPid;   // the process number in a UUCP lock naming the device; 0: no lock
    bool lockLive;  // that lock is live (else stale)
    long openBy;    // a process (not this one; its parent too) with the device open; 0: none
};

// Fills holders[i] for each of the `count` devices, in one pass over /proc.
// Unlike an open's check, the process that started this one counts: for a
// list, the port the calling shell holds is in use by it.
// `root` is put before /proc and the lock folders ("" for the system's own);
// each identity's target is the node's path as seen from there. Returns
// how many processes had descriptors the system would not show (other
// users' processes, to one who is not root).
int TtyFindHolders(const TtyIdentity* ids, int count, const char* root, TtyHolder* holders);
