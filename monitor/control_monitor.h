// The control-line monitor: the default mode of a session.
#pragma once

#include <cstdint>

// Prints the initial control-line and receive-status tables.
void ShowInitialTables();

// Runs the monitor loop until the byte 0xFF has been typed and sent. With a
// gap (not 0) the received bytes are shown in the hex view, in frames that
// end where the line has been idle that many milliseconds.
void RunControlLineMonitor(uint32_t hexGapMs = 0);
