#include <gtest/gtest.h>

#include "../../monitor/display.h"
#include "fake_console.h"

namespace {

TEST(Display, ExactText) {
    const std::string lines = "Initial control lines (caps=on, lower case=off):\r\n";
    const std::string status = "Initial Rx status (caps=on, lower case=off):\r\n";
    const struct { void (*show)(uint8_t); uint8_t value; std::string text; } rows[] = {
        {ShowLineTable, 0x00, lines + "dcd\tri\tdsr\tcts\t    \t    \t    \t    \r\n"},
        {ShowLineTable, 0xFF, lines + "DCD\tRI\tDSR\tCTS\t\xEB" "DCD\t\xEBRI \t\xEB" "DSR\t\xEB" "CTS\r\n"},
        {ShowLineTable, 0x33, lines + "dcd\tri\tDSR\tCTS\t    \t    \t\xEB" "DSR\t\xEB" "CTS\r\n"},
        {ShowLineChanges, 0x99, "(DCD on) (CTS on) "},
        {ShowLineChanges, 0x01, "(CTS off) "},
        {ShowLineChanges, 0xF0, ""},
        {ShowLineChanges, 0x6F, "(DCD off) (RI on) (DSR on) (CTS off) "},
        {ShowStatusTable, 0x20, status + "timeout\tunused\tCTRL\tbreak\tframe\tparity\toverrun\tbuffull\r\n"},
        {ShowStatusTable, 0x00, status + "timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull\r\n"},
        {ShowStatusTable, 0x81, status + "TIMEOUT\tunused\tctrl\tbreak\tframe\tparity\toverrun\tBUFFULL\r\n"},
    };
    for (const auto& row : rows) {
        ResetFakeConsole();
        row.show(row.value);
        EXPECT_EQ(fakeConsole.output, row.text) << int(row.value);
    }
}

}  // namespace
