// The Windows build's port layer: the driver's Win32 serial calls pass
// through it (platform/win32_serial.h routes them here), so that a session
// carries on when its device goes away and comes back, as a USB adapter
// unplugged and plugged in again does. Each call keeps the arguments, results
// and effects of the system call of the same name; what the layer adds:
//
// - Loss. A call that fails with an error meaning "device gone"
//   (ReplugGoneError) closes the system handle at once. A read that brings
//   nothing also asks ClearCommError, because some providers (wine's) never
//   report the loss to ReadFile and keep it spinning until the handle is
//   closed.
// - Meanwhile the caller's handle stays the same and stays valid: reads wait
//   out their time-out as on an idle line, writes and line commands fail with
//   ERROR_DEVICE_NOT_CONNECTED, the modem lines read as off, and the queue
//   and error queries report nothing queued.
// - Return. The name is opened again at most every kReplugRetryMs, only from
//   calls the program makes anyway (a read waits for the next attempt inside
//   its own time-out, so nothing spins and no CPU is used). Once it opens,
//   the last DCB and time-outs are applied again and DTR, RTS and break are
//   put back as they were last set.
//
// Handles the layer did not hand out (the no-port value among them) go to the
// system unchanged. The layer builds off Windows too, over the scripted
// provider of the unit tests.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "../posix/win32/api.h"
#endif

// Spacing of the attempts to open a lost device again, in milliseconds.
constexpr unsigned long kReplugRetryMs = 250;

// Errors of a call on an open port that mean its device has gone: what
// Windows serial drivers give once a USB adapter is pulled (5, 22, 31, 995
// for I/O in flight, 1167, 1617), and what wine gives for a hung-up tty (21).
bool ReplugGoneError(DWORD error);

HANDLE ReplugCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                         DWORD flags, HANDLE templateFile);
BOOL ReplugCloseHandle(HANDLE h);
BOOL ReplugReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped);
BOOL ReplugWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped);
BOOL ReplugGetCommState(HANDLE h, LPDCB dcb);
BOOL ReplugSetCommState(HANDLE h, LPDCB dcb);
BOOL ReplugGetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);
BOOL ReplugSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);
BOOL ReplugPurgeComm(HANDLE h, DWORD flags);
BOOL ReplugClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
BOOL ReplugGetCommProperties(HANDLE h, LPCOMMPROP prop);
BOOL ReplugEscapeCommFunction(HANDLE h, DWORD function);
BOOL ReplugGetCommModemStatus(HANDLE h, LPDWORD bits);
BOOL ReplugGetCommConfig(HANDLE h, LPCOMMCONFIG config, LPDWORD size);
BOOL ReplugSetCommConfig(HANDLE h, LPCOMMCONFIG config, DWORD size);

// The layer's clock (milliseconds, monotonic) and its pause: GetTickCount64
// and Sleep on Windows; a host that builds the layer elsewhere supplies them.
unsigned long long ReplugNowMs();
void ReplugPause(unsigned long ms);
