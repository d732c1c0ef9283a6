#include "session_command.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Whether the word of `length` bytes at `word` is `name`, in any case.
bool WordIs(const char* word, size_t length, const char* name) {
    if (std::strlen(name) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(word[i])) != name[i]) return false;
    }
    return true;
}

void Fail(SessionCommand& command, const char* line, const char* at, const char* what) {
    command.kind = kCommandError;
    command.length = 0;
    std::snprintf(command.message, sizeof command.message, "%s at column %u", what, unsigned(at - line + 1));
}

bool Put(SessionCommand& command, uint8_t byte) {
    if (command.length == sizeof command.bytes) return false;
    command.bytes[command.length++] = byte;
    return true;
}

// A quoted text from its opening quote at `p`; returns the byte after the
// closing quote, or null after a failure.
const char* ReadText(SessionCommand& command, const char* line, const char* p) {
    const char* open = p++;
    for (;; ++p) {
        if (*p == '\0') {
            Fail(command, line, open, "send: unclosed quote");
            return nullptr;
        }
        if (*p == '"') return p + 1;
        uint8_t byte = uint8_t(*p);
        if (*p == '\\') {
            const char* escape = p++;
            switch (*p) {
                case 'r': byte = '\r'; break;
                case 'n': byte = '\n'; break;
                case 't': byte = '\t'; break;
                case '\\': byte = '\\'; break;
                case '"': byte = '"'; break;
                case 'x': case 'X': {
                    int high = HexValue(p[1]);
                    int low = high < 0 ? -1 : HexValue(p[2]);
                    if (low < 0) {
                        Fail(command, line, escape, "send: \\x needs two hex digits");
                        return nullptr;
                    }
                    byte = uint8_t(high << 4 | low);
                    p += 2;
                    break;
                }
                default:
                    Fail(command, line, escape, "send: unknown escape");
                    return nullptr;
            }
        }
        if (!Put(command, byte)) {
            Fail(command, line, p, "send: too many bytes");
            return nullptr;
        }
    }
}

void ReadSendItems(SessionCommand& command, const char* line, const char* p) {
    command.kind = kCommandSend;
    command.length = 0;
    for (;;) {
        while (IsBlank(*p)) ++p;
        if (*p == '\0') break;
        const char* item = p;
        if (*p == '"') {
            p = ReadText(command, line, p);
            if (p == nullptr) return;
            if (*p != '\0' && !IsBlank(*p)) return Fail(command, line, p, "send: a blank must follow a quoted text");
            continue;
        }
        while (*p != '\0' && !IsBlank(*p)) ++p;
        size_t length = size_t(p - item);
        if (WordIs(item, length, "crc16")) {
            uint16_t crc = Crc16Modbus(command.bytes, command.length);
            if (!Put(command, uint8_t(crc)) || !Put(command, uint8_t(crc >> 8))) {
                return Fail(command, line, item, "send: too many bytes");
            }
            continue;
        }
        for (const char* q = item; q < p; ++q) {
            if (HexValue(*q) < 0) return Fail(command, line, q, "send: not a hex digit, a quoted text or crc16");
        }
        if (length % 2 != 0) return Fail(command, line, item, "send: odd number of hex digits");
        for (const char* q = item; q < p; q += 2) {
            if (!Put(command, uint8_t(HexValue(q[0]) << 4 | HexValue(q[1])))) {
                return Fail(command, line, q, "send: too many bytes");
            }
        }
    }
    if (command.length == 0) Fail(command, line, p, "send: nothing to send");
}

}  // namespace

const char kCommandHelpText[] =
    "send <items>  send bytes: hex (01 c5 0103000A), \"text\" (\\r \\n \\t \\\\ \\\" \\xHH), crc16 (CRC-16/MODBUS)\n"
    "xmodem send <path>, xmodem1k send <path>, ymodem send <path> [<path> ...]   send files\n"
    "xmodem receive <path>, ymodem receive [<folder>]                            receive files\n"
    "help          this list\n";

void ParseSessionCommand(const char* line, SessionCommand& command) {
    command.kind = kCommandNone;
    command.length = 0;
    command.message[0] = '\0';
    if (std::strlen(line) > kMaxCommandLine) return Fail(command, line, line + kMaxCommandLine, "line too long");
    const char* p = line;
    while (IsBlank(*p)) ++p;
    if (*p == '\0') return;
    const char* word = p;
    while (*p != '\0' && !IsBlank(*p)) ++p;
    size_t length = size_t(p - word);
    if (WordIs(word, length, "send")) return ReadSendItems(command, line, p);
    if (WordIs(word, length, "help")) {
        while (IsBlank(*p)) ++p;
        if (*p != '\0') return Fail(command, line, p, "help takes nothing after it");
        command.kind = kCommandHelp;
        return;
    }
    Fail(command, line, word, "unknown command (help lists them)");
}

uint16_t Crc16Modbus(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

size_t FormatSentLine(const uint8_t* bytes, size_t length, char* text, size_t size) {
    int head = std::snprintf(text, size, "Sent %u byte%s:", unsigned(length), length == 1 ? "" : "s");
    size_t at = head < 0 ? 0 : size_t(head);
    for (size_t i = 0; i < length; ++i) {
        if (at + 3 + 5 > size) {  // room for " XX" and "...\n" with its NUL
            std::memcpy(text + at, "...\n", 5);
            return at + 4;
        }
        text[at++] = ' ';
        text[at++] = kHex[bytes[i] >> 4];
        text[at++] = kHex[bytes[i] & 15];
    }
    text[at++] = '\n';
    text[at] = '\0';
    return at;
}
