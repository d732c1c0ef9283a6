// Line and status display: turn a control-line byte or a receive status
// byte into console text. These only format; they never call the driver.
#pragma once

#include <cstdint>

// The change mark written before a line name: delta in code page 437, the
// byte that goes out where standard output is a pipe or a file (the console
// layer writes it, ConsoleWriteChangeMark).
constexpr char kChangeMark = char(0xEB);

void ShowLineTable(uint8_t lines);
void ShowLineChanges(uint8_t lines);
void ShowStatusTable(uint8_t status);
// One item per receive error bit of a status byte (bits 4..0); none for 0.
void ShowReceiveErrors(uint8_t status);
