// Internal to platform/posix: what the serial providers ask of the console
// around their waits, and at a signal that ends the process, with neither
// library linked to the other.
//
// The console gathers standard output while the program has more to do and
// writes it out before anything may block; the read wait of a port ends
// early when a key is waiting, so the key is handled in the same pass. The
// console fills these hooks in when it is part of the program; a provider
// linked without it (its own tests) finds them empty and waits on the port
// alone.
#pragma once

struct ConsoleHooks {
    // Writes out everything gathered for standard output.
    void (*flush)();
    // The descriptor that turns readable when a key is typed, or -1 when no
    // key can come (key input not started yet, or ended).
    int (*keyFd)();
    // True when key bytes have been read and wait for the key read.
    bool (*keysPending)();
};

// One object in the whole program (an inline variable), empty until the
// console fills it in.
inline ConsoleHooks gConsoleHooks = {nullptr, nullptr, nullptr};

inline void ConsoleFlushHook() {
    if (gConsoleHooks.flush != nullptr) gConsoleHooks.flush();
}

inline int ConsoleKeyFdHook() { return gConsoleHooks.keyFd != nullptr ? gConsoleHooks.keyFd() : -1; }

inline bool ConsoleKeysPendingHook() {
    return gConsoleHooks.keysPending != nullptr && gConsoleHooks.keysPending();
}

// Filled in by the console: from now on every catchable signal whose default
// action ends the process calls `cleanup` before the process ends (the tty
// provider removes its lock files so), also when the keys do not come from a
// terminal. `cleanup` runs in the signal handler: async-signal-safe calls
// only. One cleanup; a later call replaces it.
inline void (*gCatchEndingSignals)(void (*cleanup)()) = nullptr;

inline void ConsoleCatchEndingSignalsHook(void (*cleanup)()) {
    if (gCatchEndingSignals != nullptr) gCatchEndingSignals(cleanup);
}

// Filled in by the console: `line` (one line of plain text, no line break)
// is shown on a line of its own at the next flush, for what the user must
// know although the open went through (a port opened without the UUCP lock
// other programs look for). The driver only sees return values; a provider
// linked without the console shows nothing.
inline void (*gConsoleNotice)(const char* line) = nullptr;

inline void ConsoleNoticeHook(const char* line) {
    if (gConsoleNotice != nullptr) gConsoleNotice(line);
}
