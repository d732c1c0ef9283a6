// The editing of the session's command line (ESC :), key by key, as the
// console's key read gives them: printable keys go in at the cursor,
// Backspace (0x08 or 0x7F) takes out the byte before it, Left and Right move
// it, Up and Down step through the earlier commands of the session, Enter
// runs the line, ESC closes it. From a keyboard that is not a terminal the
// line is every byte up to the next CR or LF, with no editing. Only keeps
// the line; drawing it is the console's.
#pragma once

#include <cstddef>

#include "session_command.h"

constexpr unsigned kCommandHistory = 16;

struct CommandEditor {
    char text[kMaxCommandLine + 1];  // the line, NUL-terminated
    size_t length, cursor;
    bool plain;             // keys from a pipe or a file: no editing
    int prefix;             // the first byte of a two-byte key, or -1
    char history[kCommandHistory][kMaxCommandLine + 1];  // oldest first
    unsigned historyCount;
    unsigned browsing;      // history entry shown (historyCount: the new line)
    char draft[kMaxCommandLine + 1];  // the new line while history is shown
};

enum EditResult {
    kEditUnchanged,  // the key changed nothing that is shown
    kEditChanged,    // the line or the cursor moved: draw it again
    kEditRun,        // Enter (or CR/LF): `text` is the command; it went into the history
    kEditClosed,     // ESC: closed without running anything
};

// Opens an empty line (the history stays).
void EditorOpen(CommandEditor& editor, bool plain);

EditResult EditorKey(CommandEditor& editor, int key);
