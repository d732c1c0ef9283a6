#include "display.h"

#include "../platform/console.h"
#include "output.h"

namespace {

// Prints eight tab-separated fields and a line break.
void ShowRow(const char* const fields[8]) {
    Print("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
          fields[6], fields[7]);
}

}  // namespace

void ShowLineTable(uint8_t lines) {
    static const char* const kOn[4] = {"DCD", "RI", "DSR", "CTS"};
    static const char* const kOff[4] = {"dcd", "ri", "dsr", "cts"};
    static const char* const kChanged[4] = {"DCD", "RI ", "DSR", "CTS"};
    Print("Initial control lines (caps=on, lower case=off):\n");
    for (int i = 0; i < 4; ++i) Print("%s\t", (lines & (0x80 >> i)) ? kOn[i] : kOff[i]);
    // The change fields: the mark, handed to the console, which writes it in
    // the form its output can show, then the name; four characters on a
    // console that shows the mark as one.
    for (int i = 0; i < 4; ++i) {
        if (lines & (0x08 >> i)) {
            ConsoleWriteChangeMark();
            Print("%s", kChanged[i]);
        } else {
            Print("    ");
        }
        Print(i < 3 ? "\t" : "\n");
    }
}

// The items of one look at the lines start a line of their own when time
// stamps are on (StartChangeItem).
void ShowLineChanges(uint8_t lines) {
    static const char* const kNames[4] = {"DCD", "RI", "DSR", "CTS"};
    if (lines & 0x0F) StartChangeItem();
    for (int i = 0; i < 4; ++i) {
        if (lines & (0x08 >> i)) Print("(%s %s) ", kNames[i], (lines & (0x80 >> i)) ? "on" : "off");
    }
}

// The items of one look at the receive errors, in the order of their bits
// (BREAK first); with time stamps on they start a stamped line, as line
// changes do.
void ShowReceiveErrors(uint8_t status) {
    static const char* const kNames[5] = {"BREAK", "FRAME", "PARITY", "OVERRUN", "BUFFULL"};
    if ((status & 0x1F) == 0) return;
    StartChangeItem();
    for (int i = 0; i < 5; ++i) {
        if (status & (0x10 >> i)) Print("(%s) ", kNames[i]);
    }
}

void ShowStatusTable(uint8_t status) {
    static const char* const kOn[8] = {"TIMEOUT", "UNUSED", "CTRL", "BREAK", "FRAME", "PARITY", "OVERRUN", "BUFFULL"};
    static const char* const kOff[8] = {"timeout", "unused", "ctrl", "break", "frame", "parity", "overrun", "buffull"};
    const char* fields[8];
    for (int i = 0; i < 8; ++i) fields[i] = (status & (0x80 >> i)) ? kOn[i] : kOff[i];
    Print("Initial Rx status (caps=on, lower case=off):\n");
    ShowRow(fields);
}
