// Internal to platform/: what each system supplies to the session capture
// (capture.h): the one log file, appended to, and the local time.
#pragma once

#include <cstddef>

struct LocalTime {
    int year, month, day;                   // month 1..12, day 1..31
    int hour, minute, second, millisecond;  // 0..23, 0..59, 0..59 (60 for a leap second), 0..999
};

// Opens the log file at `path` for appending, creating it if missing. On
// failure returns false with the system's error number in `error`.
bool HostOpenLog(const char* path, unsigned long* error);

// Writes up to `length` bytes at the end of the log file; returns how many
// went out or are kept to go out (at least 1), or 0 on failure with the
// error number in `error`. On POSIX only async-signal-safe calls.
size_t HostWriteLog(const char* data, size_t length, unsigned long* error);

// At the end of the session: waits a short, bounded time for a log that does
// not take bytes at once to take what is kept for it. False, with the error
// number in `error`, when it did not.
bool HostFinishLog(unsigned long* error);

void HostCloseLog();

// The system's text for an error number, without a line break; cut to fit.
void HostErrorText(unsigned long error, char* text, size_t size);

// The local date and time now.
void HostLocalTime(LocalTime* now);
