// Internal to platform/posix: what the Win32 entry points share with the
// kinds of port behind them. Each kind (the tty provider, the built-in
// loopback port, ...) fills in one PortOps table, as each Linux tty driver
// fills in a tty_operations; an open port is registered with its table and
// the handle leads straight to it.
#pragma once

#include <cstdint>

#include "api.h"

// Errors: every failing call sets the Win32 error through one of these.
BOOL FailWith(DWORD error);      // SetLastError(error); returns FALSE
BOOL FailErrno(int err);         // FailWith(Win32ErrorFromErrno(err))
DWORD Win32ErrorFromErrno(int err);

// Time-outs: how long a ReadFile of `length` bytes may wait in all, in
// milliseconds, and whether it waits at all (MAXDWORD, 0, 0 = return at once).
// Returns -1 for "no total time-out" (wait for the interval rule only).
long ReadTotalTimeoutMs(const COMMTIMEOUTS& t, DWORD length);
long WriteTotalTimeoutMs(const COMMTIMEOUTS& t, DWORD length);

// Monotonic clock in nanoseconds and in milliseconds.
long long MonotonicNs();
long long MonotonicMs();

// The wait of a port read. First writes out the console's gathered output
// (nothing may stay unshown while the process blocks), then waits up to `ms`
// milliseconds (-1: no limit) for `fd` to turn readable (-1: no descriptor,
// the time alone), and ends early when a key is waiting on the console, so
// that the caller's loop handles it in the same pass; to the caller such a
// read is one that gave up. Never waits without limit on nothing.
enum class PortWait { kReadable, kKey, kTimeOut, kFailed };  // kFailed: errno is set
PortWait WaitForPortOrKey(int fd, long ms);

// Checks a DCB as a Windows serial provider would (rate not 0, 5-8 data bits,
// known parity and stop codes, no 5 data bits with 2 stop bits, no 6-8 with
// 1.5). Returns false with ERROR_INVALID_PARAMETER set when it is refused.
bool CheckDcb(const DCB& dcb);

// The DCB a port starts with, before any SetCommState: binary, DTR and RTS
// raised (as a device is on open), no flow control, the usual XON/XOFF
// characters and limits; rate and format 0, for the kind to fill in.
DCB InitialDcb();

// The nominal output buffer size the kinds of port report as dwMaxTxQueue.
constexpr DWORD kNominalTxQueue = 4096;

// Fills a COMMPROP as a serial provider reports it: RS-232, every rate,
// 5-8 data bits, every stop-bit and parity setting, with the kind's own
// capability bits (PCF_*) and receive queue size, and the bytes queued now
// each way (cut at the queue sizes).
void FillCommProp(LPCOMMPROP prop, DWORD capabilities, DWORD maxRxQueue, DWORD txQueued, DWORD rxQueued);

// The operations of one kind of port, on the port object that kind's open
// made. The handle has been checked; ReadFile and WriteFile have set the
// count to 0. Each returns as its Win32 call does, with the error set.
struct PortOps {
    BOOL (*close)(void* port);
    BOOL (*read)(void* port, LPVOID buffer, DWORD length, LPDWORD done);
    BOOL (*write)(void* port, LPCVOID buffer, DWORD length, LPDWORD done);
    BOOL (*getState)(void* port, LPDCB dcb);
    BOOL (*setState)(void* port, LPDCB dcb);
    BOOL (*getTimeouts)(void* port, LPCOMMTIMEOUTS t);
    BOOL (*setTimeouts)(void* port, LPCOMMTIMEOUTS t);
    BOOL (*purge)(void* port, DWORD flags);
    BOOL (*clearError)(void* port, LPDWORD errors, LPCOMSTAT stat);
    BOOL (*getProperties)(void* port, LPCOMMPROP prop);
    BOOL (*escape)(void* port, DWORD func);
    BOOL (*modemStatus)(void* port, LPDWORD bits);
};

// The open ports (win32/handles.cpp). PortRegister gives a port its handle,
// or INVALID_HANDLE_VALUE with the error set when too many are open; the
// caller then closes what it opened. PortLookup returns the handle's slot,
// or nullptr for anything that is not an open port's handle.
struct PortSlot {
    const PortOps* ops;  // nullptr: a free slot
    void* port;
};
HANDLE PortRegister(const PortOps& ops, void* port);
void PortUnregister(PortSlot* slot);

// A handle is the address of its slot, so finding the port costs a few
// instructions (the monitor's loop makes several calls a pass).
constexpr int kMaxOpenPorts = 16;
extern PortSlot gPortSlots[kMaxOpenPorts];
inline PortSlot* PortLookup(HANDLE h) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(h);
    const uintptr_t first = reinterpret_cast<uintptr_t>(&gPortSlots[0]);
    if (at < first || at >= first + sizeof gPortSlots || (at - first) % sizeof(PortSlot) != 0) return nullptr;
    PortSlot* slot = &gPortSlots[(at - first) / sizeof(PortSlot)];
    return slot->ops != nullptr ? slot : nullptr;
}

// The kinds of port. Each open returns the new port's handle, or
// INVALID_HANDLE_VALUE with the error set.
HANDLE TtyOpen(const char* path);  // a tty device node (tty/port.cpp)
HANDLE LoopOpen();                 // the loopback port, one per process (loop/port.cpp)
HANDLE RemoteOpen(const char* name);  // rfc2217:// or tcp://, one per process (remote/port.cpp)
bool RemoteIsUrl(const char* name);   // a name RemoteOpen takes (remote/connect.cpp)
