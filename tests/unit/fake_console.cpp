#include "fake_console.h"

#include <chrono>

#include "../../platform/console.h"

FakeConsoleState fakeConsole;

void ResetFakeConsole() { fakeConsole = FakeConsoleState(); }

void ConsoleStart() {}

bool ConsoleKeyWaiting() {
    ++fakeConsole.keyTests;
    if (fakeConsole.onKeyTest) fakeConsole.onKeyTest(fakeConsole.keyTests);
    if (!fakeConsole.keys.empty()) return true;
    if (++fakeConsole.dryTests >= fakeConsole.dryLimit) {
        fakeConsole.ranDry = true;
        fakeConsole.keys.push_back(char(0xFF));
        return true;
    }
    return false;
}

int ConsoleReadKey() {
    if (fakeConsole.failedReads > 0) {
        --fakeConsole.failedReads;
        return -1;
    }
    if (fakeConsole.keys.empty()) return 0;
    unsigned char key = static_cast<unsigned char>(fakeConsole.keys[0]);
    fakeConsole.keys.erase(0, 1);
    return key;
}

void ConsoleWrite(const char* data, size_t length) {
    std::string& to = fakeConsole.promptShown ? fakeConsole.held : fakeConsole.output;
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == '\n') to += '\r';
        to += data[i];
    }
}

// Standard output taken as a pipe: the mark is the byte 0xEB.
void ConsoleWriteRun(const char* data, size_t length) { ConsoleWrite(data, length); }

void ConsoleWriteChangeMark() { fakeConsole.output += char(0xEB); }

void ConsoleSleep(unsigned milliseconds) {
    ++fakeConsole.sleeps;
    fakeConsole.sleptMs += milliseconds;
}

bool ConsoleIsInteractive() { return fakeConsole.interactive; }

bool ConsoleIsScreen() { return fakeConsole.screen; }

// No capture: the session's own output is what the tests compare.
bool ConsoleStartLog(const char*, char*, size_t) { return true; }
void ConsoleStartTimeStamps() {}
void ConsoleStartStampedLine() {}

// The scripted time where a test sets one, else the real monotonic clock
// (the transfer tests wait on a real peer).
uint64_t ConsoleMilliseconds() {
    if (fakeConsole.nowMs != 0) return fakeConsole.nowMs;
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count());
}

void ConsoleShowCommandLine(const char*, const char* text, size_t length, size_t cursor) {
    fakeConsole.promptShown = true;
    fakeConsole.prompt = text != nullptr ? std::string(text, length) : "(none)";
    fakeConsole.promptCursor = cursor;
}

void ConsoleHideCommandLine() {
    if (!fakeConsole.promptShown) return;
    fakeConsole.promptShown = false;
    fakeConsole.output += fakeConsole.held;
    fakeConsole.held.clear();
}

void ConsoleStartLine() {
    const std::string& to = fakeConsole.promptShown ? fakeConsole.held : fakeConsole.output;
    const std::string& before = to.empty() && fakeConsole.promptShown ? fakeConsole.output : to;
    if (!before.empty() && before.back() != '\n') ConsoleWrite("\n", 1);
}

bool ConsoleHoldFull() { return fakeConsole.promptShown && fakeConsole.held.size() > fakeConsole.holdLimit; }
