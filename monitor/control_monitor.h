// The control-line monitor: the default mode of a session.
#pragma once

// Prints the initial control-line and receive-status tables.
void ShowInitialTables();

// Runs the monitor loop until the byte 0xFF has been typed and sent.
void RunControlLineMonitor();
