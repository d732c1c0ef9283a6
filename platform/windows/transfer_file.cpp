// The transfer commands' files on Windows: file handles of kernel32. A
// received file is created beside its final name as "<name>.<pid>-<n>.part",
// flushed, and moved to its final name without replacing anything there.
#include <cstdio>
#include <cstring>

#include "../transfer_file.h"
#include "../win32_serial.h"

namespace {

// Temporary names tried before giving up.
constexpr int kTempTries = 100;

HANDLE Handle(const TransferFile* file) { return reinterpret_cast<HANDLE>(file->handle); }

void CloseFile(TransferFile* file) {
    if (file->handle != -1) CloseHandle(Handle(file));
    file->handle = -1;
}

void RemoveTemp(TransferFile* file) {
    if (file->tempPath[0] != '\0') DeleteFileA(file->tempPath);
    file->tempPath[0] = '\0';
}

}  // namespace

bool TransferFileOpenRead(const char* path, TransferFile* file, uint64_t* size, unsigned long* error) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    LARGE_INTEGER length;
    if (!GetFileSizeEx(h, &length)) {
        *error = GetLastError();
        CloseHandle(h);
        return false;
    }
    file->handle = reinterpret_cast<intptr_t>(h);
    file->tempPath[0] = '\0';
    *size = uint64_t(length.QuadPart);
    return true;
}

long TransferFileRead(TransferFile* file, void* data, size_t length, unsigned long* error) {
    DWORD got = 0;
    if (!ReadFile(Handle(file), data, DWORD(length > 0x100000 ? 0x100000 : length), &got, nullptr)) {
        *error = GetLastError();
        return -1;
    }
    return long(got);
}

bool TransferFileCreateTemp(const char* finalPath, TransferFile* file, unsigned long* error) {
    for (int n = 0; n < kTempTries; ++n) {
        int length = std::snprintf(file->tempPath, sizeof file->tempPath, "%s.%lu-%d.part", finalPath,
                                   (unsigned long)GetCurrentProcessId(), n);
        if (length < 0 || size_t(length) >= sizeof file->tempPath) {
            file->tempPath[0] = '\0';
            *error = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        HANDLE h = CreateFileA(file->tempPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            file->handle = reinterpret_cast<intptr_t>(h);
            return true;
        }
        *error = GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) break;
    }
    file->tempPath[0] = '\0';
    return false;
}

bool TransferFileWrite(TransferFile* file, const void* data, size_t length, unsigned long* error) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        DWORD written = 0;
        DWORD chunk = DWORD(length > 0x100000 ? 0x100000 : length);
        if (!WriteFile(Handle(file), bytes, chunk, &written, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (written == 0) {
            *error = ERROR_DISK_FULL;
            return false;
        }
        bytes += written;
        length -= written;
    }
    return true;
}

bool TransferFileFinish(TransferFile* file, const char* finalPath, unsigned long* error) {
    bool ok = true;
    if (!FlushFileBuffers(Handle(file))) {
        *error = GetLastError();
        ok = false;
    }
    if (!CloseHandle(Handle(file)) && ok) {
        *error = GetLastError();
        ok = false;
    }
    file->handle = -1;
    // No MOVEFILE_REPLACE_EXISTING: a file of that name makes it fail.
    if (ok && !MoveFileExA(file->tempPath, finalPath, MOVEFILE_WRITE_THROUGH)) {
        *error = GetLastError();
        ok = false;
    }
    if (ok) file->tempPath[0] = '\0';
    RemoveTemp(file);
    return ok;
}

void TransferFileDiscard(TransferFile* file) {
    CloseFile(file);
    RemoveTemp(file);
}

bool TransferPathExists(const char* path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool TransferFolderExists(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The system's message, its closing line break and blanks taken off.
void TransferErrorText(unsigned long error, char* text, size_t size) {
    if (size == 0) return;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(error), 0,
                             text, DWORD(size), nullptr);
    if (n == 0) {
        std::snprintf(text, size, "system error %lu", error);
        return;
    }
    size_t end = std::strlen(text);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '.'))
        --end;
    text[end] = '\0';
}
