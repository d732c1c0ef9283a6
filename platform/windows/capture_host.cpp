// The session capture's log file and clock on Windows: a file opened for
// appending and shared for reading, so another program can follow it while
// it grows; local time from GetLocalTime.
#include <cstring>

#include "../capture_host.h"
#include "../win32_serial.h"

namespace {

HANDLE gLog = INVALID_HANDLE_VALUE;

}  // namespace

// Appending access alone: every write lands at the end of the file, also
// when another program writes there meanwhile.
bool HostOpenLog(const char* path, unsigned long* error) {
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    gLog = h;
    return true;
}

size_t HostWriteLog(const char* data, size_t length, unsigned long* error) {
    DWORD written = 0;
    if (!WriteFile(gLog, data, DWORD(length > 0x10000000 ? 0x10000000 : length), &written, nullptr)) {
        *error = GetLastError();
        return 0;
    }
    if (written == 0) *error = ERROR_DISK_FULL;
    return written;
}

// Each write waits until done: nothing is kept.
bool HostFinishLog(unsigned long*) { return true; }

void HostCloseLog() {
    if (gLog != INVALID_HANDLE_VALUE) CloseHandle(gLog);
    gLog = INVALID_HANDLE_VALUE;
}

// The system's message, its closing line break and blanks taken off.
void HostErrorText(unsigned long error, char* text, size_t size) {
    if (size == 0) return;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(error), 0,
                             text, DWORD(size), nullptr);
    if (n == 0) {
        std::strncpy(text, "unknown error", size - 1);
        text[size - 1] = '\0';
        return;
    }
    size_t end = std::strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ')) --end;
    text[end] = '\0';
}

void HostLocalTime(LocalTime* now) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    *now = LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}
