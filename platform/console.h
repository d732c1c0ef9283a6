// The console as the monitor sees it: a non-blocking key test, a key read
// that yields one byte at a time, and output that reaches the screen at once.
#pragma once

#include <cstddef>
#include <cstdint>

// Called once at start-up, before the port is opened: the console takes note
// of how it was found, which is how it is left at the end (a terminal's
// settings, taken before any port could change them).
void ConsoleStart();

// True when a byte of a key press is waiting (also the second byte of a
// two-byte cursor or function key). Never blocks.
bool ConsoleKeyWaiting();

// The next byte of a key press, 0..255, without echo; blocks until there is one.
// Cursor and function keys give two bytes: a prefix (0xE0 for the cursor
// block, 0x00 for the others) and the key's PC extended code. -1 when no key
// can come (the input has ended or cannot be read): that is no key at all,
// never a typed byte.
int ConsoleReadKey();

// Writes bytes to standard output. Every "\n" goes out as "\r\n"; every other
// byte goes out unchanged.
void ConsoleWrite(const char* data, size_t length);

// Writes one run of received bytes as they are to be shown, as ConsoleWrite
// does. They arrived together: with time stamps on, the lines they start
// share one reading of the clock.
void ConsoleWriteRun(const char* data, size_t length);

// Writes the change mark of the line table: the byte 0xEB (a delta in code
// page 437) where standard output is a pipe or a file, so that the bytes stay
// what scripts compare; a delta in the console's own encoding where it is a
// console or terminal whose encoding is known, so that it can be seen there.
void ConsoleWriteChangeMark();

// True when keys come from a person at a terminal (not a pipe or a file),
// so that interactive screens such as the configuration dialog make sense.
bool ConsoleIsInteractive();

// True when standard output is a console or terminal, where a line can be
// drawn again in place (the command line, a transfer's progress); false for
// a pipe or a file.
bool ConsoleIsScreen();

// Session capture, both off until started.
//
// Opens `path` for appending (creating it) so that from now on everything
// written to standard output also goes to that file, exactly as standard
// output gets it when it is a file: "\n" as "\r\n", the change mark as the
// byte 0xEB, everything else unchanged. The file is written out no later
// than the screen. False when the file cannot be opened, with the system's
// reason in `reason`. Should a write fail later, a warning line goes to the
// screen and the output goes on without the file.
bool ConsoleStartLog(const char* path, char* reason, size_t reasonSize);

// From now on a local time stamp, "[hh:mm:ss.mmm] " (the first one, and the
// first on a new day, "[YYYY-MM-DD hh:mm:ss.mmm] "), goes before the first
// byte of every line, stamped as that byte is written.
void ConsoleStartTimeStamps();

// With time stamps on, ends a line that has begun, so that what is written
// next starts a stamped line of its own; otherwise does nothing.
void ConsoleStartStampedLine();

// Ends a line that what was written so far has begun (with "\n"), so that
// what is written next starts a line of its own; otherwise does nothing.
void ConsoleStartLine();

// Pauses the caller for about `milliseconds`, for polling waits.
void ConsoleSleep(unsigned milliseconds);

// Milliseconds of a clock that only goes forward (not the time of day).
uint64_t ConsoleMilliseconds();

// The session's command line, or a transfer's progress, on the screen
// only: never in the log. The first call puts it on a line of its own below
// the output (`prompt` and `text`, the cursor at `cursor` in the text), the
// next ones draw it again; a null `text` draws nothing (keys that are not
// typed at a terminal). While it is
// shown, output still reaches the log, with its time stamps, as it is
// written, but the screen gets it only once ConsoleHideCommandLine has
// taken the line away, then all of it in order. Where standard output is
// not a console or terminal nothing is drawn, and output is held all the
// same.
void ConsoleShowCommandLine(const char* prompt, const char* text, size_t length, size_t cursor);
void ConsoleHideCommandLine();

// True while the output held for the screen is near what can be held: the
// caller then takes no more received bytes until the line is taken away.
bool ConsoleHoldFull();
