// The Win32 serial entry points on POSIX hosts. CreateFileA picks the kind of
// port from the name the COM number is mapped to; every other call goes
// through the handle straight to its port's table of operations. The generic
// COMMCONFIG calls live here too.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "provider.h"

namespace {

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

// The port behind a handle, or nullptr with ERROR_INVALID_HANDLE set.
PortSlot* Slot(HANDLE h) {
    PortSlot* slot = PortLookup(h);
    if (slot == nullptr) FailWith(ERROR_INVALID_HANDLE);
    return slot;
}

}  // namespace

// DORVALIX_COM<n> names what COM<n> is: "loop" for the loopback port,
// rfc2217://host:port or tcp://host:port a port served over the network,
// any other text a tty device node. Unmapped, COM<n> is /dev/ttyS<n-1>.
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
    if (mapped != nullptr && RemoteIsUrl(mapped)) return RemoteOpen(mapped);
    if (mapped != nullptr && mapped[0] != '\0') return TtyOpen(mapped);
    char path[32];
    std::snprintf(path, sizeof path, "/dev/ttyS%u", n - 1);
    return TtyOpen(path);
}

// A port is released whatever its close reports: the handle is gone.
BOOL CloseHandle(HANDLE h) {
    PortSlot* slot = Slot(h);
    if (slot == nullptr) return FALSE;
    const PortOps* ops = slot->ops;
    void* port = slot->port;
    PortUnregister(slot);
    return ops->close(port);
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED) {
    if (done != nullptr) *done = 0;
    PortSlot* slot = Slot(h);
    return slot != nullptr && slot->ops->read(slot->port, buffer, length, done);
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED) {
    if (done != nullptr) *done = 0;
    PortSlot* slot = Slot(h);
    return slot != nullptr && slot->ops->write(slot->port, buffer, length, done);
}

#define PORT_CALL(op, ...)                                        \
    do {                                                          \
        PortSlot* slot = Slot(h);                                 \
        return slot != nullptr && slot->ops->op(slot->port, __VA_ARGS__); \
    } while (0)

BOOL GetCommState(HANDLE h, LPDCB dcb) { PORT_CALL(getState, dcb); }
BOOL SetCommState(HANDLE h, LPDCB dcb) { PORT_CALL(setState, dcb); }
BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) { PORT_CALL(getTimeouts, t); }
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) { PORT_CALL(setTimeouts, t); }
BOOL PurgeComm(HANDLE h, DWORD flags) { PORT_CALL(purge, flags); }
BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) { PORT_CALL(clearError, errors, stat); }
BOOL GetCommProperties(HANDLE h, LPCOMMPROP prop) { PORT_CALL(getProperties, prop); }
BOOL EscapeCommFunction(HANDLE h, DWORD func) { PORT_CALL(escape, func); }
BOOL GetCommModemStatus(HANDLE h, LPDWORD bits) { PORT_CALL(modemStatus, bits); }

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
