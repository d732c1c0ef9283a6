// Finding the serial ports without opening any: ports/scan_linux.cpp reads
// sysfs, /dev, /proc, the lock folders and the COM mappings; on Windows
// ports/scan_windows.cpp reads the device lists.
#pragma once

#include "port_list.h"

struct ScanOptions {
    const char* root;  // Linux: the tree to read, "/" but in tests
    bool probe;        // Windows: open each port to learn whether it is free
};

// Fills `list` with every port found, sorted, states and lines to copy set.
void ScanPorts(const ScanOptions& options, PortList& list);
