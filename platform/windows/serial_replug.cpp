// The Windows port layer: a lost device is closed at once and its name opened
// again, at most every kReplugRetryMs, until it is back; then the port gets
// its settings and output conditions back (see serial_replug.h). The calls
// below are the system's own: this file is never built with the driver's
// routing of platform/win32_serial.h.
#include "serial_replug.h"

#include <cstring>

#ifdef DORVALIX_SERIAL_REPLUG
#error "the port layer calls the system itself: build it without DORVALIX_SERIAL_REPLUG"
#endif

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// Error numbers of winerror.h, spelled out so that the layer also builds over
// headers that lack some of them.
constexpr DWORD kAccessDenied = 5;
constexpr DWORD kNotReady = 21;
constexpr DWORD kBadCommand = 22;
constexpr DWORD kGenFailure = 31;
constexpr DWORD kOperationAborted = 995;
constexpr DWORD kDeviceNotConnected = 1167;
constexpr DWORD kDeviceRemoved = 1617;

// Ports handed out. A handle is the address of its slot, the same for the
// caller whatever happens to the device behind it.
struct Port {
    bool open;
    HANDLE device;               // the system's handle; INVALID_HANDLE_VALUE while gone
    char name[64];               // what CreateFileA was given, to open again
    DWORD access, share, creation, flags;
    unsigned long long nextTryMs;  // when the next attempt to open again is due
    bool haveDcb, haveTimeouts, haveProp;
    DCB dcb;                     // last applied
    COMMTIMEOUTS timeouts;       // last applied
    COMMPROP prop;               // last reported, for the queue figures while gone
    bool dtr, rts, brk;          // the output conditions as last set
    DWORD errors;                // receive errors an idle read's look took from the system, not yet reported
};

constexpr int kMaxPorts = 4;
Port ports[kMaxPorts];

Port* Owned(HANDLE h) {
    for (Port& port : ports) {
        if (port.open && static_cast<void*>(&port) == h) return &port;
    }
    return nullptr;
}

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The device is gone: its handle is closed at once (a provider may spin on it
// until then, and the system can only hand the device out again once it is
// closed). The next attempt to open it again is due at once, but never
// sooner than kReplugRetryMs after the last one: a device that opens and
// fails straight away again must not be reopened on every call.
void Lose(Port* port) {
    if (port->device != INVALID_HANDLE_VALUE) (void)CloseHandle(port->device);
    port->device = INVALID_HANDLE_VALUE;
    port->errors = 0;  // a gone device reports no errors
    unsigned long long now = ReplugNowMs();
    if (port->nextTryMs < now) port->nextTryMs = now;
}

// After a system call on the device failed: closes it when the error says the
// device is gone, and returns the failure with the call's own error.
BOOL Failed(Port* port) {
    DWORD error = GetLastError();
    if (ReplugGoneError(error)) Lose(port);
    return FailWith(error);
}

void NoteSettings(Port* port, const DCB& dcb) {
    port->haveDcb = true;
    port->dcb = dcb;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) port->dtr = true;
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE) port->dtr = false;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) port->rts = true;
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) port->rts = false;
}

// Whether the device is open, opening a lost one again when an attempt is
// due. A device that opens gets the last DCB, time-outs and output conditions;
// one that refuses them, or goes again meanwhile, is closed and tried later.
bool Present(Port* port) {
    if (port->device != INVALID_HANDLE_VALUE) return true;
    unsigned long long now = ReplugNowMs();
    if (now < port->nextTryMs) return false;
    port->nextTryMs = now + kReplugRetryMs;
    HANDLE device = CreateFileA(port->name, port->access, port->share, nullptr, port->creation, port->flags, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;  // not there yet, or held elsewhere
    port->device = device;
    DCB dcb = port->dcb;
    COMMTIMEOUTS timeouts = port->timeouts;
    bool refused = port->haveDcb && !SetCommState(device, &dcb);
    if (!refused && port->haveTimeouts && !SetCommTimeouts(device, &timeouts)) {
        refused = ReplugGoneError(GetLastError());
    }
    // A device without modem lines refuses the line commands and is used
    // without them, as after the first open; only its loss counts here.
    const DWORD commands[] = {DWORD(port->dtr ? SETDTR : CLRDTR), DWORD(port->rts ? SETRTS : CLRRTS), SETBREAK};
    for (int i = 0; !refused && i < (port->brk ? 3 : 2); ++i) {
        refused = !EscapeCommFunction(device, commands[i]) && ReplugGoneError(GetLastError());
    }
    if (refused) {
        (void)CloseHandle(device);
        port->device = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

// How long a read of `length` bytes may wait in all, by the Windows time-out
// rules; -1 for no total time-out. Never set: one attempt's spacing.
long long ReadWaitMs(const Port* port, DWORD length) {
    if (!port->haveTimeouts) return kReplugRetryMs;
    const COMMTIMEOUTS& t = port->timeouts;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        return 0;
    }
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
        return t.ReadTotalTimeoutConstant;
    }
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return -1;
    return (long long)t.ReadTotalTimeoutMultiplier * length + t.ReadTotalTimeoutConstant;
}

// A read on a gone device: waits as a read on an idle line would, trying the
// name again whenever an attempt is due. A device back in time ends the wait
// early, as a read that gave up; the next read takes its bytes.
void WaitWhileGone(Port* port, long long totalMs) {
    unsigned long long deadline = ReplugNowMs() + (totalMs > 0 ? (unsigned long long)totalMs : 0);
    for (;;) {
        if (Present(port)) return;
        unsigned long long now = ReplugNowMs();
        if (totalMs >= 0 && now >= deadline) return;
        unsigned long long wait = port->nextTryMs > now ? port->nextTryMs - now : 0;
        if (totalMs >= 0 && deadline - now < wait) wait = deadline - now;
        ReplugPause((unsigned long)wait);
    }
}

}  // namespace

bool ReplugGoneError(DWORD error) {
    switch (error) {
        case kAccessDenied: case kNotReady: case kBadCommand: case kGenFailure:
        case kOperationAborted: case kDeviceNotConnected: case kDeviceRemoved:
            return true;
        default:
            return false;
    }
}

HANDLE ReplugCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                         DWORD flags, HANDLE templateFile) {
    HANDLE device = CreateFileA(name, access, share, security, creation, flags, templateFile);
    if (device == INVALID_HANDLE_VALUE) return device;
    // Only a plain open can be repeated; anything else stays the system's.
    size_t length = std::strlen(name);
    Port* port = nullptr;
    for (Port& p : ports) {
        if (!p.open) {
            port = &p;
            break;
        }
    }
    if (port == nullptr || length >= sizeof port->name || security != nullptr || templateFile != nullptr) {
        return device;
    }
    std::memset(port, 0, sizeof *port);
    port->open = true;
    port->device = device;
    std::memcpy(port->name, name, length + 1);
    port->access = access;
    port->share = share;
    port->creation = creation;
    port->flags = flags;
    // A serial port opens with DTR and RTS raised and no break.
    port->dtr = true;
    port->rts = true;
    return static_cast<HANDLE>(port);
}

BOOL ReplugCloseHandle(HANDLE h) {
    Port* port = Owned(h);
    if (port == nullptr) return CloseHandle(h);
    if (port->device != INVALID_HANDLE_VALUE && !CloseHandle(port->device)) return FALSE;
    port->open = false;
    port->device = INVALID_HANDLE_VALUE;
    return TRUE;
}

BOOL ReplugReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
    Port* port = Owned(h);
    if (port == nullptr) return ReadFile(h, buffer, length, done, overlapped);
    if (done != nullptr) *done = 0;
    if (!Present(port)) {
        WaitWhileGone(port, ReadWaitMs(port, length));
        return TRUE;
    }
    DWORD got = 0;
    if (!ReadFile(port->device, buffer, length, &got, overlapped)) return Failed(port);
    if (done != nullptr) *done = got;
    if (got == 0 && length != 0) {
        // Nothing came: the line is idle, or the device is gone and the
        // provider does not say so to a read.
        // That look clears the receive errors: they are kept for the
        // caller's own ClearCommError.
        DWORD errors = 0;
        COMSTAT stat;
        if (!ClearCommError(port->device, &errors, &stat)) {
            if (ReplugGoneError(GetLastError())) Lose(port);
        } else {
            port->errors |= errors;
        }
    }
    return TRUE;
}

BOOL ReplugWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
    Port* port = Owned(h);
    if (port == nullptr) return WriteFile(h, buffer, length, done, overlapped);
    if (!Present(port)) {
        if (done != nullptr) *done = 0;
        return FailWith(kDeviceNotConnected);
    }
    return WriteFile(port->device, buffer, length, done, overlapped) ? TRUE : Failed(port);
}

BOOL ReplugGetCommState(HANDLE h, LPDCB dcb) {
    Port* port = Owned(h);
    if (port == nullptr) return GetCommState(h, dcb);
    if (!Present(port)) return FailWith(kDeviceNotConnected);
    return GetCommState(port->device, dcb) ? TRUE : Failed(port);
}

BOOL ReplugSetCommState(HANDLE h, LPDCB dcb) {
    Port* port = Owned(h);
    if (port == nullptr) return SetCommState(h, dcb);
    if (!Present(port)) return FailWith(kDeviceNotConnected);
    if (!SetCommState(port->device, dcb)) return Failed(port);
    NoteSettings(port, *dcb);  // the call succeeded, so dcb was there
    return TRUE;
}

BOOL ReplugGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    Port* port = Owned(h);
    if (port == nullptr) return GetCommTimeouts(h, timeouts);
    if (port->device != INVALID_HANDLE_VALUE) return GetCommTimeouts(port->device, timeouts) ? TRUE : Failed(port);
    if (!port->haveTimeouts) return FailWith(kDeviceNotConnected);
    if (timeouts == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *timeouts = port->timeouts;
    return TRUE;
}

// While the device is gone the time-outs are kept, to be applied on its return.
BOOL ReplugSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    Port* port = Owned(h);
    if (port == nullptr) return SetCommTimeouts(h, timeouts);
    if (port->device != INVALID_HANDLE_VALUE && !SetCommTimeouts(port->device, timeouts)) return Failed(port);
    if (timeouts == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    port->haveTimeouts = true;
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL ReplugPurgeComm(HANDLE h, DWORD flags) {
    Port* port = Owned(h);
    if (port == nullptr) return PurgeComm(h, flags);
    if (port->device == INVALID_HANDLE_VALUE) return TRUE;  // nothing is queued
    return PurgeComm(port->device, flags) ? TRUE : Failed(port);
}

BOOL ReplugClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    Port* port = Owned(h);
    if (port == nullptr) return ClearCommError(h, errors, stat);
    if (port->device != INVALID_HANDLE_VALUE) {
        if (!ClearCommError(port->device, errors, stat)) return Failed(port);
        if (errors != nullptr) *errors |= port->errors;
        port->errors = 0;
        return TRUE;
    }
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) std::memset(stat, 0, sizeof *stat);
    return TRUE;
}

// While the device is gone: the sizes it last reported, nothing queued (so a
// wait for the transmit queue to empty ends at once).
BOOL ReplugGetCommProperties(HANDLE h, LPCOMMPROP prop) {
    Port* port = Owned(h);
    if (port == nullptr) return GetCommProperties(h, prop);
    if (port->device != INVALID_HANDLE_VALUE) {
        if (!GetCommProperties(port->device, prop)) return Failed(port);
        port->haveProp = true;
        port->prop = *prop;
        return TRUE;
    }
    if (!port->haveProp) return FailWith(kDeviceNotConnected);
    if (prop == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *prop = port->prop;
    prop->dwCurrentTxQueue = 0;
    prop->dwCurrentRxQueue = 0;
    return TRUE;
}

BOOL ReplugEscapeCommFunction(HANDLE h, DWORD function) {
    Port* port = Owned(h);
    if (port == nullptr) return EscapeCommFunction(h, function);
    if (!Present(port)) return FailWith(kDeviceNotConnected);
    if (!EscapeCommFunction(port->device, function)) return Failed(port);
    switch (function) {
        case SETDTR: port->dtr = true; break;
        case CLRDTR: port->dtr = false; break;
        case SETRTS: port->rts = true; break;
        case CLRRTS: port->rts = false; break;
        case SETBREAK: port->brk = true; break;
        case CLRBREAK: port->brk = false; break;
        default: break;
    }
    return TRUE;
}

// A gone device has all its lines off; nothing is asked of the system.
BOOL ReplugGetCommModemStatus(HANDLE h, LPDWORD bits) {
    Port* port = Owned(h);
    if (port == nullptr) return GetCommModemStatus(h, bits);
    if (port->device != INVALID_HANDLE_VALUE) return GetCommModemStatus(port->device, bits) ? TRUE : Failed(port);
    if (bits == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *bits = 0;
    return TRUE;
}

BOOL ReplugGetCommConfig(HANDLE h, LPCOMMCONFIG config, LPDWORD size) {
    Port* port = Owned(h);
    if (port == nullptr) return GetCommConfig(h, config, size);
    if (!Present(port)) return FailWith(kDeviceNotConnected);
    return GetCommConfig(port->device, config, size) ? TRUE : Failed(port);
}

BOOL ReplugSetCommConfig(HANDLE h, LPCOMMCONFIG config, DWORD size) {
    Port* port = Owned(h);
    if (port == nullptr) return SetCommConfig(h, config, size);
    if (!Present(port)) return FailWith(kDeviceNotConnected);
    if (!SetCommConfig(port->device, config, size)) return Failed(port);
    NoteSettings(port, config->dcb);
    return TRUE;
}

#ifdef _WIN32
unsigned long long ReplugNowMs() { return GetTickCount64(); }
void ReplugPause(unsigned long ms) { Sleep(DWORD(ms)); }
#endif
