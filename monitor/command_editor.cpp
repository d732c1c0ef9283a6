#include "command_editor.h"

#include <cstring>

namespace {

constexpr int kEnter = 0x0D;
constexpr int kLineFeed = 0x0A;
constexpr int kEsc = 0x1B;
constexpr int kUp = 0x48, kDown = 0x50, kLeft = 0x4B, kRight = 0x4D, kHome = 0x47, kEnd = 0x4F, kDelete = 0x53;

void Show(CommandEditor& e, const char* line) {
    std::strcpy(e.text, line);
    e.length = e.cursor = std::strlen(line);
}

void Remember(CommandEditor& e) {
    if (e.length == 0) return;
    if (e.historyCount > 0 && std::strcmp(e.history[e.historyCount - 1], e.text) == 0) return;
    if (e.historyCount == kCommandHistory) {
        std::memmove(e.history[0], e.history[1], sizeof e.history[0] * (kCommandHistory - 1));
        --e.historyCount;
    }
    std::strcpy(e.history[e.historyCount++], e.text);
}

EditResult MoveKey(CommandEditor& e, int code) {
    switch (code) {
        case kLeft: if (e.cursor == 0) return kEditUnchanged; --e.cursor; return kEditChanged;
        case kRight: if (e.cursor == e.length) return kEditUnchanged; ++e.cursor; return kEditChanged;
        case kHome: e.cursor = 0; return kEditChanged;
        case kEnd: e.cursor = e.length; return kEditChanged;
        case kDelete:
            if (e.cursor == e.length) return kEditUnchanged;
            std::memmove(e.text + e.cursor, e.text + e.cursor + 1, e.length - e.cursor);
            --e.length;
            return kEditChanged;
        case kUp:
            if (e.browsing == 0) return kEditUnchanged;
            if (e.browsing == e.historyCount) std::strcpy(e.draft, e.text);
            Show(e, e.history[--e.browsing]);
            return kEditChanged;
        case kDown:
            if (e.browsing == e.historyCount) return kEditUnchanged;
            ++e.browsing;
            Show(e, e.browsing == e.historyCount ? e.draft : e.history[e.browsing]);
            return kEditChanged;
        default:
            return kEditUnchanged;
    }
}

}  // namespace

void EditorOpen(CommandEditor& e, bool plain) {
    e.text[0] = '\0';
    e.length = e.cursor = 0;
    e.plain = plain;
    e.prefix = -1;
    e.browsing = e.historyCount;
    e.draft[0] = '\0';
}

EditResult EditorKey(CommandEditor& e, int key) {
    if (key < 0 || key > 0xFF) return kEditUnchanged;
    if (e.plain) {
        if (key == kEnter || key == kLineFeed) {
            Remember(e);
            return kEditRun;
        }
        if (key == 0 || e.length == kMaxCommandLine) return kEditUnchanged;
        e.text[e.length++] = char(key);
        e.text[e.length] = '\0';
        e.cursor = e.length;
        return kEditChanged;
    }
    if (e.prefix >= 0) {
        e.prefix = -1;
        return MoveKey(e, key);
    }
    if (key == 0xE0 || key == 0x00) {
        e.prefix = key;
        return kEditUnchanged;
    }
    if (key == kEnter || key == kLineFeed) {
        Remember(e);
        return kEditRun;
    }
    if (key == kEsc) return kEditClosed;
    if (key == 0x08 || key == 0x7F) {
        if (e.cursor == 0) return kEditUnchanged;
        std::memmove(e.text + e.cursor - 1, e.text + e.cursor, e.length - e.cursor + 1);
        --e.cursor;
        --e.length;
        return kEditChanged;
    }
    if (key < 0x20 || e.length == kMaxCommandLine) return kEditUnchanged;
    std::memmove(e.text + e.cursor + 1, e.text + e.cursor, e.length - e.cursor + 1);
    e.text[e.cursor++] = char(key);
    ++e.length;
    return kEditChanged;
}
