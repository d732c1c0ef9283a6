// Internal to the tty provider: bytes to send, gathered so that keys typed
// faster than one per pass of the caller's loop (a paste) reach the device
// in few writes, while a single key still goes out at once.
#pragma once

#include "../win32/provider.h"

// At most this much is gathered; a longer write goes to the device directly.
constexpr DWORD kGatherBytes = 4096;
// Gathered bytes go out at the latest this long after the first of them.
constexpr long long kGatherNs = 1000000;

struct TtyOutput {
    unsigned char bytes[kGatherBytes];
    DWORD count;         // bytes gathered, not yet written
    long long sinceNs;   // when the first of them was gathered
    int failed;          // errno of a write of gathered bytes that failed, not yet reported
    long long lastNs;    // when bytes were last handed to the device or gathered
};

// A deadline for TtySend: no waiting, what the device takes at once.
constexpr long long kNoWait = -2;

// Writes `length` bytes to `fd`, waiting for room until `deadlineMs`
// (monotonic milliseconds, -1: no limit, kNoWait). Returns the count written; `err`
// is the errno that stopped it, 0 when all went out or the time ran out.
DWORD TtySend(int fd, const unsigned char* bytes, DWORD length, long long deadlineMs, int& err);

// Whether a write of `length` bytes is to be gathered: it fits, and it
// comes within kGatherNs of the one before (keys faster than a person
// types). A write that comes alone goes to the device at once.
bool TtyGathers(TtyOutput& out, DWORD length);

// Gathers `length` bytes (at most the room left), right after TtyGathers
// said so. Returns whether they are due to go out: the gathering is full, or
// its first byte is old enough.
bool TtyGather(TtyOutput& out, const unsigned char* bytes, DWORD length);

// Whether gathered bytes are old enough to go out (reads the clock only
// when something is gathered).
bool TtyGatheredDue(const TtyOutput& out);

// Writes out the gathered bytes: with `wait`, all of them, waiting for room
// as a write of that many bytes may under `timeouts`; otherwise what the
// device takes at once. Returns 0, or the errno of a failed write (the
// gathered bytes are then dropped).
int TtyFlushGathered(TtyOutput& out, int fd, const COMMTIMEOUTS& timeouts, bool wait);
