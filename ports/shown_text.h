// Text from outside the program (process names, USB strings, file names,
// registry values, mappings) made safe to show on a terminal and to keep
// one line of the scripts' form: no byte of it can start an escape
// sequence or break a line.
#pragma once

#include <cstddef>

// How the bytes of a field are to be read.
enum class TextCoding {
    kUtf8,      // Linux, and Windows with UTF-8 as its ANSI code page
    kCodePage,  // a Windows ANSI code page: bytes from 0x80 up are its characters
};

// Writes `text` to `out` (`size` bytes, at least 1), ended by a NUL, and
// returns its length. A C0 control, DEL, and each byte of a C1 control
// (raw 0x80-0x9F, or U+0080-U+009F in UTF-8) or of invalid UTF-8 becomes
// \xHH (two lower-case hex digits); a backslash before an x becomes \x5c,
// so that every \x shown starts an escape. With kCodePage the bytes from
// 0x80 up are left as they are. An escape or a character that does not fit
// whole is left out with everything after it; kShownMax fits any field.
size_t ShowText(const char* text, TextCoding coding, char* out, size_t size);

constexpr size_t kShownMax = 4 * 512 + 64;

// The length in bytes of the escape or character that starts `shown` (a
// text ShowText wrote, not at its end), and in `columns` how many it takes
// on the screen.
size_t ShownUnit(const char* shown, TextCoding coding, int& columns);
