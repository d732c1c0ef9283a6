#include "control_monitor.h"

#include <cstdint>
#include <cstring>

#include "../driver/serial_driver.h"
#include "../platform/console.h"
#include "command_editor.h"
#include "display.h"
#include "hex_view.h"
#include "output.h"
#include "session_command.h"
#include "transfer_command.h"

namespace {

constexpr int kEsc = 0x1B;
constexpr int kEndKey = 0xFF;

// Monitor state, from ShowInitialTables to the end of the loop.
uint8_t prevStatus = 0;
bool escapePending = false;
int lastKey = 0;
bool hexView = false;

// The session's command line (ESC :): open, its line, and whether a line
// feed that follows is the end of a line that a CR ended (keys from a pipe).
bool lineOpen = false;
bool lineFeedDue = false;
bool endAfterCommand = false;  // a transfer was aborted with 0xFF: the session ends
CommandEditor editor;

// Received bytes are taken this many at a time at most (the tty port's
// read-ahead); what a run shows is gathered and handed to the console at
// once, so its buffer holds the longest item for every byte.
constexpr int kRunBytes = 4096;
constexpr size_t kLongestItem = 6;  // "(0D) \n"

// "(XX) " for every byte value, made once.
struct ItemTable {
    char text[256][5];
    ItemTable() {
        static const char kHex[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            char* t = text[b];
            t[0] = '(', t[1] = kHex[b >> 4], t[2] = kHex[b & 15], t[3] = ')', t[4] = ' ';
        }
    }
};
const ItemTable kItems;

// Whether the eight bytes of `word` are all printable (0x20..0x7E): none
// below 0x20, none above 0x7E (the tests of bytes less or more than a
// value in every byte at once, exact for "any").
inline bool AllPrintable(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const uint64_t below = (word - kOnes * 0x20) & ~word & kHigh;
    const uint64_t above = ((word + kOnes * (0x7F - 0x7E)) | word) & kHigh;
    return (below | above) == 0;
}

// The end of the printable bytes from `p` on, eight at a time while it can.
const uint8_t* PrintableEnd(const uint8_t* p, const uint8_t* end) {
    for (uint64_t word; end - p >= 8; p += 8) {
        std::memcpy(&word, p, 8);
        if (!AllPrintable(word)) break;
    }
    while (p != end && uint8_t(*p - 0x20) < 0x5F) ++p;
    return p;
}

// A run of received bytes: printable ones (0x20..0x7E) as they are, a span
// of them in one copy; any other as "(XX) ", a CR's item followed by a line
// break; all of it in one write to the console.
void ShowRun(const uint8_t* bytes, int count) {
    char shown[kRunBytes * kLongestItem];
    char* out = shown;
    const uint8_t* end = bytes + count;
    for (;;) {
        const uint8_t* span = bytes;
        bytes = PrintableEnd(bytes, end);
        std::memcpy(out, span, size_t(bytes - span));
        out += bytes - span;
        if (bytes == end) break;
        const uint8_t byte = *bytes++;
        std::memcpy(out, kItems.text[byte], 5);
        out += 5;
        if (byte == 0x0D) *out++ = '\n';
    }
    if (out != shown) ConsoleWriteRun(shown, size_t(out - shown));
}

// The item of a line command that worked, null for one that failed, or
// `notCommand` for a key that is no line command.
const char* LineCommand(int key, const char* notCommand) {
    switch (key) {
        case 'B': return BreakOn() ? "(Break on) " : nullptr;
        case 'b': return BreakOff() ? "(Break off) " : nullptr;
        case 'D': return DTROn() ? "(DTR on) " : nullptr;
        case 'd': return DTROff() ? "(DTR off) " : nullptr;
        case 'R': return RTSOn() ? "(RTS on) " : nullptr;
        case 'r': return RTSOff() ? "(RTS off) " : nullptr;
        default: return notCommand;
    }
}

// The key after ESC: a line command, the command line, or any other byte
// sent as it is.
void RunCommand(int key) {
    static const char kNotCommand[] = "";
    if (key == ':') {
        lineOpen = true;
        EditorOpen(editor, !ConsoleIsInteractive());
        ConsoleShowCommandLine(": ", editor.plain ? nullptr : "", 0, 0);
        return;
    }
    const char* item = LineCommand(key, kNotCommand);
    if (item == kNotCommand) {
        TxChar(key);
    } else if (item != nullptr) {
        if (hexView) HexViewCut();
        PutChangeItem(item);
    }
}

// A line of the command line's own (a command's answer), after what was
// shown: in the hex view after the frame so far.
void StartAnswer() {
    if (hexView) HexViewCut();
    ConsoleStartLine();
}

// A transfer command (xmodem, xmodem1k, ymodem and their words, split at
// blanks); false when `line` is none.
bool RunTransfer(const char* line) {
    static char copy[kMaxCommandLine + 1];
    std::strncpy(copy, line, kMaxCommandLine);
    copy[kMaxCommandLine] = '\0';
    const char* words[64];
    int count = 0;
    for (char* p = copy; *p != '\0' && count < 64;) {
        while (*p == ' ' || *p == '\t') *p++ = '\0';
        if (*p == '\0') break;
        words[count++] = p;
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    }
    if (count == 0 || !IsTransferCommand(words[0])) return false;
    StartAnswer();
    TransferReport report = RunTransferCommand(count, words);
    if (report.lineChanges != 0 || report.lineErrors != 0) {
        Print("During the transfer: %u line change%s, %u receive error%s.\n", report.lineChanges,
              report.lineChanges == 1 ? "" : "s", report.lineErrors, report.lineErrors == 1 ? "" : "s");
    }
    if (report.restCount > 0) {
        if (hexView) HexViewBytes(report.rest, report.restCount, ConsoleMilliseconds());
        else ShowRun(report.rest, int(report.restCount));
    }
    if (report.endSession) {
        TxChar(kEndKey);
        endAfterCommand = true;
    }
    return true;
}

void RunTypedCommand(const char* line) {
    static SessionCommand command;
    if (RunTransfer(line)) return;
    ParseSessionCommand(line, command);
    switch (command.kind) {
        case kCommandNone:
            return;
        case kCommandHelp:
            StartAnswer();
            PutText(kCommandHelpText);
            return;
        case kCommandError:
            StartAnswer();
            PutText(command.message);
            PutText("\n");
            return;
        case kCommandSend: {
            int sent = TxBytes(command.bytes, int(command.length));
            // A sent frame ends the one being received; the next one's gap
            // counts from the end of the send.
            if (hexView) HexViewEndFrame(ConsoleMilliseconds());
            StartAnswer();
            char text[3 * kMaxCommandLine + 64];
            FormatSentLine(command.bytes, sent > 0 ? size_t(sent) : 0, text, sizeof text);
            PutText(text);
            if (sent != int(command.length)) {
                Print("Not sent: %u of %u bytes (the port did not take them).\n",
                      unsigned(command.length - size_t(sent > 0 ? sent : 0)), unsigned(command.length));
            }
            return;
        }
    }
}

void CloseCommandLine() {
    lineOpen = false;
    ConsoleHideCommandLine();
}

// A key while the command line is open. 0xFF closes it and ends the
// session as always.
void CommandLineKey(int key) {
    if (key == kEndKey) {
        CloseCommandLine();
        TxChar(key);
        return;
    }
    switch (EditorKey(editor, key)) {
        case kEditChanged:
            if (!editor.plain) ConsoleShowCommandLine(": ", editor.text, editor.length, editor.cursor);
            return;
        case kEditRun:
            CloseCommandLine();
            lineFeedDue = editor.plain && key == '\r';
            RunTypedCommand(editor.text);
            return;
        case kEditClosed:
            CloseCommandLine();
            return;
        case kEditUnchanged:
            return;
    }
}

}  // namespace

void ShowInitialTables() {
    escapePending = false;
    lastKey = 0;
    Print("\n");
    ShowLineTable(ControlLines());
    Print("\n");
    prevStatus = RxStatus();
    ShowStatusTable(prevStatus);
    Print("\n");
}

void RunControlLineMonitor(uint32_t hexGapMs) {
    uint8_t run[kRunBytes];
    hexView = hexGapMs != 0;
    lineOpen = lineFeedDue = endAfterCommand = false;
    if (hexView) HexViewStart(hexGapMs, ConsoleMilliseconds());
    for (;;) {
        // The bytes that have arrived, a run at a time: the looks below are
        // made once a run. A run ends where an error's item must follow.
        // While the command line holds more output than it can keep for the
        // screen, the bytes wait in the port.
        int count = 0;
        if (!lineOpen || !ConsoleHoldFull()) count = RxRun(run, kRunBytes);
        else ConsoleSleep(10);
        if (hexView) {
            const uint64_t now = ConsoleMilliseconds();
            if (count > 0) HexViewBytes(run, size_t(count), now);
            else HexViewIdle(now);
        } else if (count > 0) {
            ShowRun(run, count);
        }

        // Receive errors come with the last byte just shown; each is shown
        // every time it comes. Line changes are judged on CTRL alone.
        uint8_t status = RxStatus();
        if (status & RX_ERRORS) {
            if (hexView) HexViewCut();
            ShowReceiveErrors(status);
        }
        if ((status ^ prevStatus) & RX_CTRL) {
            prevStatus = status;
            if (status & RX_CTRL) {
                const uint8_t lines = ControlLines();
                if (hexView && (lines & 0x0F)) HexViewCut();
                ShowLineChanges(lines);
            }
        }

        // A key read that fails (-1) is no key: nothing is sent.
        int key = ConsoleKeyWaiting() ? ConsoleReadKey() : -1;
        if (key >= 0 && lineFeedDue) {
            lineFeedDue = false;
            if (key == '\n') continue;  // the rest of the CR LF that ended a command
        }
        if (key >= 0 && lineOpen) {
            lastKey = key;
            CommandLineKey(key);
            if (endAfterCommand) lastKey = kEndKey;
        } else if (key >= 0) {
            lastKey = key;
            if (escapePending) {
                escapePending = false;
                RunCommand(lastKey);
            } else if (lastKey == kEsc) {
                escapePending = true;
                continue;  // the end test waits for the key after ESC
            } else {
                TxChar(lastKey);
            }
        }

        if (lastKey == kEndKey) {
            if (hexView) HexViewCut();
            return;
        }
    }
}
