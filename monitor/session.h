// Command line, its echo, and the session frame.
#pragma once

#include <cstdint>

struct SessionSettings {
    int32_t port = 0;
    uint32_t baud = 0;
    int32_t dataBits = 0;
    int32_t stopCode = 0;
    const char* stopText = "";  // argument 4 exactly as typed
    int32_t parityCode = 0;
    bool showLines = true;
    bool useDialog = false;
    const char* logPath = nullptr;  // "/LOG:path": the session also goes to this file
    bool timeStamps = false;        // "/TS": every line after the port is open starts with the time
    bool hexView = false;           // "/HEX" or "/HEX:<ms>": received bytes as hex rows, in frames
    uint32_t hexGapMs = 0;          // the idle time that ends a frame; 0: from the line settings
    const char* badHexGap = nullptr;  // a "/HEX:" option whose gap is not 1..60000 ms
};

// The gap that ends a frame of the hex view: `settings.hexGapMs`, or 3.5
// character times at the line settings, but at least 20 ms (USB adapters
// deliver in packets).
uint32_t HexGapMs(const SessionSettings& settings);

// Decimal conversion as atoi/atol do it, but wrapping in 32 bits instead of
// saturating: "4294967297" gives 1 and "-1" gives 0xFFFFFFFF.
uint32_t ConvertNumber(const char* text);

// Fills `settings` from the arguments; false when fewer than five follow the
// program name. Options, after the fifth argument: /NC, /CFG, /TS, and
// /LOG:path (the name without letter case, the path after the first colon as
// written; /LOG alone names the empty path), /HEX and /HEX:<ms>. The last
// /LOG and the last /HEX count; anything else is ignored.
bool ParseCommandLine(int argc, const char* const argv[], SessionSettings* settings);

void ShowUsage();
void ShowSettings(const SessionSettings& settings);

// The whole program: returns the exit status.
int RunDorvalix(int argc, const char* const argv[]);
