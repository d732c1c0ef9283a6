// Formatted and raw output for the monitor, through the console layer.
#pragma once

// printf-style text; the result is cut at 1023 bytes, so text of unbounded
// length (what the user typed) goes through PutText.
void Print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// One byte, unchanged (a 0x0A still becomes "\r\n" on the way out).
void PutByte(int byte);

// A NUL-terminated text of any length, whole.
void PutText(const char* text);

// An item that reports a change of a line (a line command's or a look at
// the input lines): with time stamps on it starts a stamped line of its own,
// so that every change carries its time; otherwise it runs on in the stream.
void StartChangeItem();

// A line command's item (`(DTR off) ` and the like), shown as a change item.
void PutChangeItem(const char* item);
