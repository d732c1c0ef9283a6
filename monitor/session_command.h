// The session's command line (ESC :): a typed command read into what it
// asks for. Words in any letter case. Only parses; sending and showing are
// the caller's.
//
//   send <items>   the bytes of the items, in one write; items are separated
//                  by blanks: two hex digits or a longer run of hex digit
//                  pairs (01, c5, 0103000A); a text in double quotes with the
//                  escapes \r \n \t \\ \" \xHH; crc16, the CRC-16/MODBUS of
//                  every byte before it, low byte first
//   help           the list of commands
#pragma once

#include <cstddef>
#include <cstdint>

// Longest command line taken, and so the most bytes one send can carry.
constexpr size_t kMaxCommandLine = 1024;

enum SessionCommandKind {
    kCommandNone,   // an empty line: nothing to do
    kCommandSend,   // `bytes` to send
    kCommandHelp,   // show kCommandHelpText
    kCommandError,  // `message` says what was wrong and where; nothing to send
};

struct SessionCommand {
    SessionCommandKind kind;
    uint8_t bytes[kMaxCommandLine];
    size_t length;
    char message[160];  // for kCommandError: one line, without its line break
};

// The lines of `help`, each ending in "\n".
extern const char kCommandHelpText[];

// Reads one command line (NUL-terminated, at most kMaxCommandLine bytes
// taken) into `command`.
void ParseSessionCommand(const char* line, SessionCommand& command);

// CRC-16/MODBUS (polynomial 0xA001 reflected, start 0xFFFF) of `length` bytes.
uint16_t Crc16Modbus(const uint8_t* data, size_t length);

// "Sent 8 bytes: 01 03 00 00 00 0A C5 CD\n" for the bytes of a send, into
// `text` of `size` bytes (at least 32); a line too long for it ends in "...".
// Returns its length.
size_t FormatSentLine(const uint8_t* bytes, size_t length, char* text, size_t size);
