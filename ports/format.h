// The two forms of dorvalix-ports' output: a table for people that fits 80
// columns, and a form for scripts, one port a line.
#pragma once

#include <cstdio>

#include "port_list.h"

// The table: one line a port (COM, device, USB id, driver, state), lines
// below it for what does not fit (the whole device name, the by-id name,
// the description), a note when other users' processes could not be looked
// at, then the mapping lines to copy, written whole.
void WriteTable(const PortList& list, FILE* out);

// For scripts: one line a port, these fields in this order, separated by a
// tab, "-" for an empty one: COM numbers (comma-separated), device, by-id
// path, USB VID:PID, serial number, manufacturer, product (on Windows the
// friendly name), driver, state, mapping line to copy.
void WriteScript(const PortList& list, FILE* out);
