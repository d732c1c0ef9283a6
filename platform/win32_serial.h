// The Win32 serial communications subset the driver is written against.
// On Windows this is the system's own <windows.h>; elsewhere our provider in
// platform/posix/ supplies the same names, types, layouts and results.
//
// The Windows build compiles the driver with DORVALIX_SERIAL_REPLUG (see
// CMakeLists.txt): its port calls then go through the port layer of
// platform/windows/serial_replug.h, which carries a session over a device
// that goes away and comes back. Nothing else is routed there.
//
// That include is the one that runs from this interface down into a host's
// folder, and it stays: the driver is one source on every host and includes
// this header alone, so the routing can reach it only here. Taking it out
// would mean a forced include from the build, which hides from a reader of
// the driver where its calls go. serial_replug.h itself never includes this
// header, so no circle forms.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#ifdef DORVALIX_SERIAL_REPLUG
#include "windows/serial_replug.h"
#define CreateFileA ReplugCreateFileA
#define CloseHandle ReplugCloseHandle
#define ReadFile ReplugReadFile
#define WriteFile ReplugWriteFile
#define GetCommState ReplugGetCommState
#define SetCommState ReplugSetCommState
#define GetCommTimeouts ReplugGetCommTimeouts
#define SetCommTimeouts ReplugSetCommTimeouts
#define PurgeComm ReplugPurgeComm
#define ClearCommError ReplugClearCommError
#define GetCommProperties ReplugGetCommProperties
#define EscapeCommFunction ReplugEscapeCommFunction
#define GetCommModemStatus ReplugGetCommModemStatus
#define GetCommConfig ReplugGetCommConfig
#define SetCommConfig ReplugSetCommConfig
#endif
#else
#include "posix/win32/api.h"
#endif

// The provider-specific words of COMMPROP (dwProvSpec1, dwProvSpec2) by
// which a port says that what it sends comes back to its own receive side,
// with no far end to answer: "LOOP" "BACK". The built-in loopback port of
// platform/posix/ reports them; a Windows provider puts its own data there,
// and none is known to put these two values.
constexpr DWORD kProvSpecLoopsBack1 = 0x504F4F4C;
constexpr DWORD kProvSpecLoopsBack2 = 0x4B434142;
