// The rows dorvalix-ports shows: one serial port each, with the COM numbers
// that reach it, what it is and who holds it. Both scans fill the same
// rows; the formats (ports/format.h) write them out.
#pragma once

#include <cstddef>

constexpr int kMaxComsPerPort = 8;  // COM numbers kept for one device

struct PortRow {
    unsigned com[kMaxComsPerPort];  // COM numbers reaching the port, ascending
    int comCount;
    char device[256];        // device node, device object, or what the mapping says (loop, URL)
    char byId[320];          // its stable name, /dev/serial/by-id/...; empty: none
    char vidPid[16];         // USB "vvvv:pppp"; empty: not USB
    char serial[128];        // USB serial number
    char manufacturer[128];
    char product[128];       // the product, or on Windows the friendly name
    char driver[64];         // the kernel driver or the Windows service
    char state[128];         // "free", "in use by ...", "missing", ...
    char suggestion[400];    // a mapping line to copy; empty: none
};

// Zero-initialised, a list is empty; rows are added without a limit.
struct PortList {
    PortRow* rows;  // `count` rows, room for `capacity` (grown as rows are added; never freed)
    int count;
    int capacity;
    bool holdersUnseen;  // some processes could not be looked at: a port they hold shows as free
    bool codePage;       // the text is in the Windows ANSI code page, not UTF-8
};

// A new empty row at the end (earlier rows may move), or nullptr when no
// memory is left.
PortRow* AppendPort(PortList& list);

// Adds COM number n to the row, keeping the numbers ascending and single.
void AddCom(PortRow& row, unsigned n);

// Copies `text` into `field` (of `size` bytes), cut to fit. The bytes are
// kept as they came; the formats show them safely (ports/shown_text.h).
void SetField(char* field, size_t size, const char* text);
#define SET_FIELD(field, text) SetField(field, sizeof(field), text)

// Orders the rows: by lowest COM number, then the ones without, by device
// name with numbers compared as numbers (ttyUSB2 before ttyUSB10).
void SortPorts(PortList& list);
