// The console as the monitor sees it: a non-blocking key test, a key read
// that yields one byte at a time, and output that reaches the screen at once.
#pragma once

#include <cstddef>

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

// Writes the change mark of the line table: the byte 0xEB (a delta in code
// page 437) where standard output is a pipe or a file, so that the bytes stay
// what scripts compare; a delta in the console's own encoding where it is a
// console or terminal whose encoding is known, so that it can be seen there.
void ConsoleWriteChangeMark();

// True when keys come from a person at a terminal (not a pipe or a file),
// so that interactive screens such as the configuration dialog make sense.
bool ConsoleIsInteractive();

// Pauses the caller for about `milliseconds`, for polling waits.
void ConsoleSleep(unsigned milliseconds);
