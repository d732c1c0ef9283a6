// Placeholder provider: every call fails until the provider is written.
#include "provider.h"

HANDLE TtyOpen(const char*) { FailWith(ERROR_FILE_NOT_FOUND); return INVALID_HANDLE_VALUE; }
bool TtyOwns(HANDLE) { return false; }
BOOL TtyCloseHandle(HANDLE) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyReadFile(HANDLE, LPVOID, DWORD, LPDWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyGetCommState(HANDLE, LPDCB) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtySetCommState(HANDLE, LPDCB) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtySetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyPurgeComm(HANDLE, DWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyClearCommError(HANDLE, LPDWORD, LPCOMSTAT) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyGetCommProperties(HANDLE, LPCOMMPROP) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyEscapeCommFunction(HANDLE, DWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL TtyGetCommModemStatus(HANDLE, LPDWORD) { return FailWith(ERROR_INVALID_HANDLE); }
