// A scripted console linked in place of the platform's: keys come from a
// queue, output is collected exactly as it would reach standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct FakeConsoleState {
    std::string keys;          // bytes still to be read, one per key read
    unsigned failedReads = 0;  // key reads that fail (-1) before those bytes come
    std::string output;        // what reached "standard output" ("\n" as "\r\n")
    unsigned keyTests = 0;     // calls of ConsoleKeyWaiting
    unsigned sleptMs = 0;      // sum of ConsoleSleep arguments
    unsigned sleeps = 0;       // calls of ConsoleSleep
    // Called at the start of every key test with its running number, so a
    // test can change the world between loop passes (lines, received bytes).
    std::function<void(unsigned)> onKeyTest;
    // A loop whose keys ran out would poll forever: after this many key tests
    // with nothing queued the console types 0xFF itself and sets ranDry.
    unsigned dryLimit = 10000;
    unsigned dryTests = 0;
    bool ranDry = false;
    bool interactive = true;   // what ConsoleIsInteractive answers
    bool screen = true;        // what ConsoleIsScreen answers
    uint64_t nowMs = 0;        // what ConsoleMilliseconds answers (0: the real clock)
    // The command line: shown, its text and cursor as last drawn, and the
    // output held while it is shown (as "standard output" would get it).
    bool promptShown = false;
    std::string prompt;
    size_t promptCursor = 0;
    std::string held;
    size_t holdLimit = size_t(1) << 20;
};

extern FakeConsoleState fakeConsole;

void ResetFakeConsole();
