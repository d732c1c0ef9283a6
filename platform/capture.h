// Internal to platform/: the session capture that each console puts its
// output through: time stamps at the start of lines, and a copy of the
// output for the log file. The console hands every piece of output here
// (CapturePiece) before it shows it, and writes the log out
// (CaptureFlushLog) before it writes the screen, so the file always holds
// at least what was shown.
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
// through CapturePiece. A single flag test.
bool CaptureActive();

// Opens the log file for appending; on failure false, with the system's
// reason in `reason`.
bool CaptureOpenLog(const char* path, char* reason, size_t reasonSize);

// Writes out every byte the log's copy holds. On POSIX it may run in a
// signal handler: a call made while another is writing returns at once.
// A failed write closes the log for the rest of the session.
void CaptureFlushLog();

// True once after a log write has failed (the log is then closed), with
// the warning line to show on the screen (ending in "\n") in `line`.
bool CaptureTakeLogFailure(char* line, size_t lineSize);

// From now on every line starts with a time stamp of the local time.
void CaptureStartStamps();

// True when time stamps are on.
bool CaptureStamping();

// True when the current line has begun (followed once a log is open or
// time stamps are on).
bool CaptureMidLine();

// Takes the next piece of output: returns how many bytes of `data` (length
// at least 1) to write next, up to and with the first "\n", and fills
// `stamp` with what goes before them: with stamps on, a piece that starts a
// line gets the stamp of now; the first stamp, and the first on another day
// than the one before, carry the date. Stamp and piece are added to the
// log's copy in the form standard output gets in a file ("\n" as "\r\n",
// every other byte unchanged), which is written out when full.
size_t CapturePiece(const char* data, size_t length, CaptureStamp* stamp);
