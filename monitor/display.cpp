#include "display.h"

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
    static const char kChanged[4][5] = {
        {kChangeMark, 'D', 'C', 'D', '\0'},
        {kChangeMark, 'R', 'I', ' ', '\0'},
        {kChangeMark, 'D', 'S', 'R', '\0'},
        {kChangeMark, 'C', 'T', 'S', '\0'},
    };
    const char* fields[8];
    for (int i = 0; i < 4; ++i) {
        fields[i] = (lines & (0x80 >> i)) ? kOn[i] : kOff[i];
        fields[4 + i] = (lines & (0x08 >> i)) ? kChanged[i] : "    ";
    }
    Print("Initial control lines (caps=on, lower case=off):\n");
    ShowRow(fields);
}

void ShowLineChanges(uint8_t lines) {
    static const char* const kNames[4] = {"DCD", "RI", "DSR", "CTS"};
    for (int i = 0; i < 4; ++i) {
        if (lines & (0x08 >> i)) Print("(%s %s) ", kNames[i], (lines & (0x80 >> i)) ? "on" : "off");
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
