// Win32 errors on POSIX hosts: the last-error value, the errno mapping every
// kind of port reports through, and the message texts the driver asks for.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "provider.h"

namespace {

DWORD g_lastError = ERROR_SUCCESS;

}  // namespace

BOOL FailWith(DWORD error) {
    g_lastError = error;
    return FALSE;
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
        case ENOENT: case ENXIO: case ENODEV: case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        case EACCES: case EPERM: case EBUSY: case EWOULDBLOCK: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case EINVAL: case ERANGE: return ERROR_INVALID_PARAMETER;
        case ENOTTY: case ENOSYS: case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        case EIO: return ERROR_IO_DEVICE;
        case ENOTCONN: case EPIPE: case ESHUTDOWN: return ERROR_DEVICE_NOT_CONNECTED;
        default: return ERROR_GEN_FAILURE;
    }
}

BOOL FailErrno(int err) { return FailWith(Win32ErrorFromErrno(err)); }

DWORD GetLastError(void) { return g_lastError; }
void SetLastError(DWORD error) { g_lastError = error; }

namespace {

const char* ErrorText(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return "The operation completed successfully.";
        case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
        case ERROR_ACCESS_DENIED: return "Access is denied.";
        case ERROR_INVALID_HANDLE: return "The handle is invalid.";
        case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
        case ERROR_NOT_SUPPORTED: return "The request is not supported.";
        case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
        case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
        case ERROR_IO_DEVICE: return "The request could not be performed because of an I/O device error.";
        case ERROR_DEVICE_NOT_CONNECTED: return "The device is not connected.";
        case ERROR_CANCELLED: return "The operation was canceled by the user.";
        default: return nullptr;
    }
}

}  // namespace

// Only the form the driver uses is supported: a system message, allocated,
// with no inserts. The text ends in "\r\n" as Windows message texts do.
DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list*) {
    const char* text = ErrorText(messageId);
    if (text == nullptr || (flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        FailWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = std::strlen(text) + 2;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* copy = static_cast<char*>(std::malloc(length + 1));
        if (copy == nullptr) {
            FailWith(ERROR_GEN_FAILURE);
            return 0;
        }
        std::snprintf(copy, length + 1, "%s\r\n", text);
        *reinterpret_cast<char**>(buffer) = copy;
    } else {
        if (size < length + 1) {
            FailWith(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::snprintf(buffer, size, "%s\r\n", text);
    }
    return DWORD(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
