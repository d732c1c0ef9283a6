// The session's command line read into commands, and the hex view's rows.
#include <gtest/gtest.h>

#include <string>

#include "../../monitor/command_editor.h"
#include "../../monitor/hex_rows.h"
#include "../../monitor/session_command.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) text += std::string(i ? " " : "") + kHex[bytes[i] >> 4] + kHex[bytes[i] & 15];
    return text;
}

TEST(SessionCommand, SendItemsAndFaults) {
    const struct { const char* line; SessionCommandKind kind; const char* result; } rows[] = {
        {"send 01 03 00 00 00 0A crc16", kCommandSend, "01 03 00 00 00 0A C5 CD"},
        {"  SEND 0103000a CRC16 ", kCommandSend, "01 03 00 0A 71 DF"},
        {"send \"A\\r\\n\\t\\\\\\\"\\x7f\" ff", kCommandSend, "41 0D 0A 09 5C 22 7F FF"},
        {"send \"\" 00", kCommandSend, "00"},
        {"send crc16", kCommandSend, "FF FF"},
        {"", kCommandNone, ""},
        {"   ", kCommandNone, ""},
        {"Help", kCommandHelp, ""},
        {"send 010", kCommandError, "send: odd number of hex digits at column 6"},
        {"send 01 0g", kCommandError, "send: not a hex digit, a quoted text or crc16 at column 10"},
        {"send \"a\\q\"", kCommandError, "send: unknown escape at column 8"},
        {"send \"a\\x4\"", kCommandError, "send: \\x needs two hex digits at column 8"},
        {"send 01 \"open", kCommandError, "send: unclosed quote at column 9"},
        {"send \"a\"b", kCommandError, "send: a blank must follow a quoted text at column 9"},
        {"send", kCommandError, "send: nothing to send at column 5"},
        {"sendx 01", kCommandError, "unknown command (help lists them) at column 1"},
        {"help me", kCommandError, "help takes nothing after it at column 6"},
    };
    for (const auto& row : rows) {
        SessionCommand command;
        ParseSessionCommand(row.line, command);
        EXPECT_EQ(command.kind, row.kind) << row.line;
        EXPECT_EQ(row.kind == kCommandError ? std::string(command.message) : Hex(command.bytes, command.length),
                  row.result) << row.line;
    }
    std::string full = "send " + std::string(2 * kMaxCommandLine, '0');
    SessionCommand command;
    ParseSessionCommand(full.c_str(), command);
    EXPECT_EQ(command.kind, kCommandError);
}

TEST(SessionCommand, SentLine) {
    char text[64];
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(std::string(text, FormatSentLine(frame, 8, text, sizeof text)), "Sent 8 bytes: 01 03 00 00 00 0A C5 CD\n");
    EXPECT_EQ(std::string(text, FormatSentLine(frame, 1, text, sizeof text)), "Sent 1 byte: 01\n");
    uint8_t many[40] = {};
    std::string cut(text, FormatSentLine(many, 40, text, sizeof text));
    EXPECT_EQ(cut.substr(cut.size() - 4), "...\n");
    EXPECT_LT(cut.size(), sizeof text);
}

TEST(HexRows, Layout) {
    uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = uint8_t(i == 9 ? 0x5B : 0x30 + i);
    char text[kMaxHexRow];
    const struct { uint32_t offset; size_t count; const char* row; } rows[] = {
        {0x0000, 16, "0000  30 31 32 33 34 35 36 37  38 5B 3A 3B 3C 3D 3E 3F  |012345678[:;<=>?|\n"},
        {0x0010, 9, "0010  30 31 32 33 34 35 36 37  38                       |012345678|\n"},
        {0x0020, 1, "0020  30                                                |0|\n"},
        {0x12340, 2, "12340  30 31                                             |01|\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(std::string(text, FormatHexRow(row.offset, bytes, row.count, text)), row.row);
    }
    const uint8_t edges[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0xFF};
    EXPECT_EQ(std::string(text, FormatHexRow(0, edges, 6, text)),
              "0000  00 1F 20 7E 7F FF                                 |.. ~..|\n");
}

}  // namespace

namespace {

// Keys typed into an open line, written as text with {L} {R} {U} {D} {H}
// {B} for Left, Right, Up, Down, Home and Backspace; the lines run.
std::string Type(CommandEditor& editor, const std::string& keys, bool plain = false) {
    std::string runs;
    EditorOpen(editor, plain);
    for (size_t i = 0; i < keys.size(); ++i) {
        std::string key(1, keys[i]);
        if (keys[i] == '{') key = keys.substr(i + 1, 1), i += 2;
        int codes[2] = {-1, -1};
        if (key == "L") codes[0] = 0xE0, codes[1] = 0x4B;
        else if (key == "R") codes[0] = 0xE0, codes[1] = 0x4D;
        else if (key == "U") codes[0] = 0xE0, codes[1] = 0x48;
        else if (key == "D") codes[0] = 0x00, codes[1] = 0x50;
        else if (key == "H") codes[0] = 0xE0, codes[1] = 0x47;
        else if (key == "B") codes[0] = 0x7F;
        else codes[0] = static_cast<unsigned char>(key[0]);
        for (int code : codes) {
            if (code < 0) continue;
            EditResult result = EditorKey(editor, code);
            if (result == kEditRun) runs += std::string(editor.text) + "|", EditorOpen(editor, plain);
            if (result == kEditClosed) runs += "closed|", EditorOpen(editor, plain);
        }
    }
    return runs + editor.text;
}

TEST(CommandEditor, KeysAndHistory) {
    const struct { const char* keys; bool plain; const char* result; } rows[] = {
        {"sxnd{L}{L}{B}e\r", false, "send|"},
        {"ab{H}x{L}{B}\r", false, "xab|"},
        {"one\rtwo\r{U}{U}{U}{D}\r", false, "one|two|two|"},
        {"one\rdraft{U}{D}", false, "one|draft"},
        {"x\x1b" "y\r", false, "closed|y|"},
        {"\r", false, "|"},
        {"a{L}\x1b[b\n", true, "a\xE0" "K\x1b[b|"},
    };
    for (const auto& row : rows) {
        static CommandEditor editor;
        editor.historyCount = 0;
        EXPECT_EQ(Type(editor, row.keys, row.plain), row.result) << row.keys;
    }
}

}  // namespace
