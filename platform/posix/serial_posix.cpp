// The Win32 serial entry points on POSIX hosts. Each one checks the handle,
// then hands the call to the provider that owns it: the loopback port or the
// tty provider. Errors, message texts and the generic COMMCONFIG calls live
// here too.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <poll.h>

#include "console_hooks.h"
#include "provider.h"

namespace {

DWORD g_lastError = ERROR_SUCCESS;

// "\\.\COM<n>" with n a decimal number from 1 to 255 and nothing else after it.
// Returns the number, or 0 when the name is not of that form.
unsigned ParseComName(const char* name) {
    static const char kPrefix[] = "\\\\.\\COM";
    if (name == nullptr || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return 0;
    const char* p = name + sizeof kPrefix - 1;
    if (*p < '1' || *p > '9') return 0;
    unsigned n = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + unsigned(*p - '0');
        if (n > 255) return 0;
    }
    return n;
}

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

long ReadTotalTimeoutMs(const COMMTIMEOUTS& t, DWORD length) {
    // MAXDWORD interval and multiplier: wait up to the constant for the first byte.
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        if (t.ReadTotalTimeoutConstant == 0 || t.ReadTotalTimeoutConstant == MAXDWORD) return -1;
        return long(t.ReadTotalTimeoutConstant > 0x7FFFFFFFu ? 0x7FFFFFFFu : t.ReadTotalTimeoutConstant);
    }
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return -1;
    unsigned long long total =
        (unsigned long long)t.ReadTotalTimeoutMultiplier * length + t.ReadTotalTimeoutConstant;
    return total > 0x7FFFFFFFull ? 0x7FFFFFFFL : long(total);
}

long WriteTotalTimeoutMs(const COMMTIMEOUTS& t, DWORD length) {
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return -1;
    unsigned long long total =
        (unsigned long long)t.WriteTotalTimeoutMultiplier * length + t.WriteTotalTimeoutConstant;
    return total > 0x7FFFFFFFull ? 0x7FFFFFFFL : long(total);
}

long long MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long MonotonicMs() { return MonotonicNs() / 1000000; }

PortWait WaitForPortOrKey(int fd, long ms) {
    ConsoleFlushHook();
    long long deadline = ms < 0 ? -1 : MonotonicNs() + (long long)ms * 1000000LL;
    for (;;) {
        if (ConsoleKeysPendingHook()) return PortWait::kKey;
        pollfd p[2];
        nfds_t n = 0;
        int keyFd = ConsoleKeyFdHook();
        if (fd >= 0) p[n++] = {fd, POLLIN, 0};
        if (keyFd >= 0) p[n++] = {keyFd, POLLIN, 0};
        int left = -1;
        if (deadline >= 0) {
            long long ns = deadline - MonotonicNs();
            if (ns < 0) ns = 0;
            long long rounded = (ns + 999999) / 1000000;  // up: the whole time passes
            left = rounded > 0x7FFFFFFF ? 0x7FFFFFFF : int(rounded);
        } else if (n == 0) {
            return PortWait::kTimeOut;
        }
        int ready = poll(p, n, left);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return PortWait::kFailed;
        }
        if (ready == 0) {
            if (deadline >= 0 && MonotonicNs() < deadline) continue;  // woke a little early
            return PortWait::kTimeOut;
        }
        if (fd >= 0 && p[0].revents != 0) return PortWait::kReadable;
        return PortWait::kKey;  // input, its end or an error: the key test sees which
    }
}

bool CheckDcb(const DCB& dcb) {
    bool ok = dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
              dcb.StopBits <= TWOSTOPBITS;
    if (ok && dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) ok = false;
    if (ok && dcb.ByteSize > 5 && dcb.StopBits == ONE5STOPBITS) ok = false;
    if (!ok) FailWith(ERROR_INVALID_PARAMETER);
    return ok;
}

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    unsigned n = ParseComName(name);
    if (n == 0) {
        FailWith(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    char var[32];
    std::snprintf(var, sizeof var, "DORVALIX_COM%u", n);
    const char* mapped = std::getenv(var);
    if (mapped != nullptr && std::strcmp(mapped, "loop") == 0) return LoopOpen();
    if (mapped != nullptr && mapped[0] != '\0') return TtyOpen(mapped);
    char path[32];
    std::snprintf(path, sizeof path, "/dev/ttyS%u", n - 1);
    return TtyOpen(path);
}

#define DISPATCH(call, ...)                                              \
    do {                                                                 \
        if (h != INVALID_HANDLE_VALUE && LoopOwns(h)) return Loop##call(h, __VA_ARGS__); \
        if (h != INVALID_HANDLE_VALUE && TtyOwns(h)) return Tty##call(h, __VA_ARGS__);   \
        return FailWith(ERROR_INVALID_HANDLE);                           \
    } while (0)

BOOL CloseHandle(HANDLE h) {
    if (h != INVALID_HANDLE_VALUE && LoopOwns(h)) return LoopCloseHandle(h);
    if (h != INVALID_HANDLE_VALUE && TtyOwns(h)) return TtyCloseHandle(h);
    return FailWith(ERROR_INVALID_HANDLE);
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED) {
    if (done != nullptr) *done = 0;
    DISPATCH(ReadFile, buffer, length, done);
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED) {
    if (done != nullptr) *done = 0;
    DISPATCH(WriteFile, buffer, length, done);
}

BOOL GetCommState(HANDLE h, LPDCB dcb) { DISPATCH(GetCommState, dcb); }
BOOL SetCommState(HANDLE h, LPDCB dcb) { DISPATCH(SetCommState, dcb); }
BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) { DISPATCH(GetCommTimeouts, t); }
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) { DISPATCH(SetCommTimeouts, t); }
BOOL PurgeComm(HANDLE h, DWORD flags) { DISPATCH(PurgeComm, flags); }
BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) { DISPATCH(ClearCommError, errors, stat); }
BOOL GetCommProperties(HANDLE h, LPCOMMPROP prop) { DISPATCH(GetCommProperties, prop); }
BOOL EscapeCommFunction(HANDLE h, DWORD func) { DISPATCH(EscapeCommFunction, func); }
BOOL GetCommModemStatus(HANDLE h, LPDWORD bits) { DISPATCH(GetCommModemStatus, bits); }

// A COMMCONFIG is the port's DCB with a small header; the providers keep no
// provider-specific data, so both calls reduce to the DCB calls.
BOOL GetCommConfig(HANDLE h, LPCOMMCONFIG cc, LPDWORD size) {
    if (size == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (cc == nullptr || *size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    if (!GetCommState(h, &dcb)) return FALSE;
    std::memset(cc, 0, sizeof(COMMCONFIG));
    cc->dwSize = sizeof(COMMCONFIG);
    cc->wVersion = 1;
    cc->dcb = dcb;
    *size = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL SetCommConfig(HANDLE h, LPCOMMCONFIG cc, DWORD size) {
    if (cc == nullptr || size < sizeof(COMMCONFIG)) return FailWith(ERROR_INVALID_PARAMETER);
    DCB dcb = cc->dcb;
    return SetCommState(h, &dcb);
}

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
