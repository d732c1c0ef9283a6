// Internal to platform/posix: what the Win32 entry points share with the two
// kinds of port behind them, the tty provider (termios, ioctl, poll on a
// device node) and the built-in loopback port.
#pragma once

#include "win32_api.h"

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

// The tty provider. TtyOpen returns INVALID_HANDLE_VALUE with the error set.
HANDLE TtyOpen(const char* path);
bool TtyOwns(HANDLE h);
BOOL TtyCloseHandle(HANDLE h);
BOOL TtyReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done);
BOOL TtyWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD done);
BOOL TtyGetCommState(HANDLE h, LPDCB dcb);
BOOL TtySetCommState(HANDLE h, LPDCB dcb);
BOOL TtyGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t);
BOOL TtySetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t);
BOOL TtyPurgeComm(HANDLE h, DWORD flags);
BOOL TtyClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
BOOL TtyGetCommProperties(HANDLE h, LPCOMMPROP prop);
BOOL TtyEscapeCommFunction(HANDLE h, DWORD func);
BOOL TtyGetCommModemStatus(HANDLE h, LPDWORD bits);

// The loopback port: one per process, wired like a loopback test plug.
HANDLE LoopOpen();
bool LoopOwns(HANDLE h);
BOOL LoopCloseHandle(HANDLE h);
BOOL LoopReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done);
BOOL LoopWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD done);
BOOL LoopGetCommState(HANDLE h, LPDCB dcb);
BOOL LoopSetCommState(HANDLE h, LPDCB dcb);
BOOL LoopGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t);
BOOL LoopSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t);
BOOL LoopPurgeComm(HANDLE h, DWORD flags);
BOOL LoopClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
BOOL LoopGetCommProperties(HANDLE h, LPCOMMPROP prop);
BOOL LoopEscapeCommFunction(HANDLE h, DWORD func);
BOOL LoopGetCommModemStatus(HANDLE h, LPDWORD bits);

// Checks a DCB as a Windows serial provider would (rate not 0, 5-8 data bits,
// known parity and stop codes, no 5 data bits with 2 stop bits, no 6-8 with
// 1.5). Returns false with ERROR_INVALID_PARAMETER set when it is refused.
bool CheckDcb(const DCB& dcb);

// The nominal output buffer size both providers report as dwMaxTxQueue.
constexpr DWORD kNominalTxQueue = 4096;
