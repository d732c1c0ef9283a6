// Internal to platform/: the session capture that each console puts its
// output through: time stamps at the start of lines, and the log file. The
// console hands every piece of output here (CapturePiece) before it shows
// it, and writes the log before it writes the screen, so the file always
// holds at least what was shown. Where the bytes a console has gathered for
// the screen are already what the log must get, it writes those to the log
// (CaptureWriteLog); where they differ (a terminal that adds the "\r"
// itself, a change mark in UTF-8) it has the capture keep a copy in the
// log's form (CapturePiece with `copy`) and writes that (CaptureFlushLog).
// Plain logic over the few calls of capture_host.h; it never writes to the
// screen itself.
#pragma once

#include <cstddef>

// Longest stamp: "[YYYY-MM-DD hh:mm:ss.mmm] ".
constexpr size_t kMaxStampLength = 26;

struct CaptureStamp {
    char text[kMaxStampLength + 1];
    size_t length;  // 0: no stamp before this piece
};

// True once a log is open or time stamps are on: output must then go
// through CapturePiece. Set by CaptureOpenLog and CaptureStartStamps.
inline bool gCaptureActive = false;
inline bool CaptureActive() { return gCaptureActive; }

// Opens the log file for appending; on failure false, with the system's
// reason in `reason`.
bool CaptureOpenLog(const char* path, char* reason, size_t reasonSize);

// Writes out every byte the log's copy holds. On POSIX it may run in a
// signal handler: a call made while another is writing returns at once.
// A failed write closes the log for the rest of the session.
void CaptureFlushLog();

// Writes out the log's copy, then `data` as it is, to the log (nothing
// without an open log); as CaptureFlushLog otherwise.
void CaptureWriteLog(const char* data, size_t length);

// At the end of the session: writes out the log's copy and waits a short,
// bounded time for a log that is behind (a slow pipe) to take the rest;
// one that does not counts as a failed write.
void CaptureFinishLog();

// True once after a log write has failed (the log is then closed), with
// the warning line to show on the screen (ending in "\n") in `line`.
bool CaptureTakeLogFailure(char* line, size_t lineSize);

// From now on every line starts with a time stamp of the local time;
// `atLineStart` tells whether the output stands at the start of a line.
void CaptureStartStamps(bool atLineStart);

// True when time stamps are on.
inline bool gCaptureStamping = false;
inline bool CaptureStamping() { return gCaptureStamping; }

// False when the current line has begun, as the pieces taken so far tell.
inline bool gCaptureAtLineStart = true;
inline bool CaptureMidLine() { return !gCaptureAtLineStart; }

// True when a piece of `length` bytes needs nothing of CapturePiece but to
// be written as it is: stamps off, or one byte in the middle of a line that
// does not end it (most received bytes). The log's copy aside.
inline bool CapturePassesAsIs(const char* data, size_t length) {
    return !gCaptureStamping || (length == 1 && !gCaptureAtLineStart && *data != '\n');
}

// While `on`, the stamps made read the clock once, at the first of them, and
// share that time: the lines of one run of received bytes (ConsoleWriteRun).
void CaptureShareClock(bool on);

// Takes the next piece of output: returns how many bytes of `data` (length
// at least 1) to write next, up to and with the first "\n", and fills
// `stamp` with what goes before them: with stamps on, a piece that starts a
// line gets the stamp of now; the first stamp, and the first on another day
// than the one before, carry the date. With `copy`, stamp and piece are
// added to the log's copy in the form standard output gets in a file ("\n"
// as "\r\n", every other byte unchanged), which is written out when full.
size_t CapturePiece(const char* data, size_t length, CaptureStamp* stamp, bool copy);
