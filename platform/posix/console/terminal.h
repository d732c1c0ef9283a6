// Internal to platform/posix: what the console offers beyond platform/console.h.
//
// How the POSIX console behaves:
//   - Keys come from standard input. When it is a terminal, its settings are
//     taken at ConsoleStart (before the port is opened), and the first key
//     test or key read puts it in raw mode (no echo, no line editing, no
//     output processing; Ctrl+C still raises SIGINT, while Ctrl+\ (0x1C),
//     Ctrl+Z and Ctrl+S are plain keys). The settings taken come back at
//     every exit: normal end, and every signal whose default action ends the
//     process (SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM, ... and the
//     real-time ones), which then still ends it as that signal. SIGTSTP from
//     outside puts them back and stops the process; on SIGCONT raw mode goes
//     on again (also after SIGSTOP). The terminal is set only while the
//     process is in its foreground: in the background it is the shell's.
//     Once a provider has asked for it (console/hooks.h: the tty kind, for
//     its lock files), those same ending signals also run its cleanup
//     first, whatever standard input is.
//   - From a terminal the bytes are decoded (console/key_decoder.h): cursor and
//     function keys as two-byte PC keys, and U+0080..U+00FF as one Latin-1
//     byte (in any locale when the character's UTF-8 bytes come in one read). Standard input that is not a terminal (a pipe, a
//     file) is data: its bytes come through unchanged, as they arrive.
//   - Output is gathered while the program has more to do and written out
//     before anything may block: before a port's read or write wait (through
//     console/hooks.h), before a key read, before a pause, and at every exit
//     (also the signals above), and once it has been gathered for 5 ms, so
//     that it shows within 10 ms while data keeps the program from waiting.
//     A person sees everything at once.
//   - Descriptors 0, 1 and 2 the process was started without are opened on
//     /dev/null before main() runs, so the port never takes one of them.
//   - The line table's change mark is a delta in UTF-8 on a terminal in a
//     UTF-8 locale, the byte 0xEB everywhere else.
//   - Once standard input has ended (end of file, or the terminal is gone)
//     there are no more keys: ConsoleKeyWaiting is false from then on and
//     ConsoleReadKey returns -1 (no key is made up). Callers read only after
//     a true key test, so they never see it.
#pragma once

// The descriptor to poll for keys (standard input), or -1 once the input
// has ended. Bytes already decoded are not seen by a poll on it: test
// ConsolePendingKeys as well.
int ConsoleInputFd();

// True when decoded key bytes are waiting to be read.
bool ConsolePendingKeys();

// Writes out all output gathered so far.
void ConsoleFlush();
