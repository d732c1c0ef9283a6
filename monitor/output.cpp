#include "output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../platform/console.h"

void Print(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) return;
    if (length >= int(sizeof text)) length = int(sizeof text) - 1;
    ConsoleWrite(text, size_t(length));
}

void PutByte(int byte) {
    char c = char(byte);
    ConsoleWrite(&c, 1);
}

void PutText(const char* text) { ConsoleWrite(text, std::strlen(text)); }

void StartChangeItem() { ConsoleStartStampedLine(); }

void PutChangeItem(const char* item) {
    StartChangeItem();
    PutText(item);
}
