// Placeholder provider: every call fails until the provider is written.
#include "provider.h"

HANDLE LoopOpen() { FailWith(ERROR_FILE_NOT_FOUND); return INVALID_HANDLE_VALUE; }
bool LoopOwns(HANDLE) { return false; }
BOOL LoopCloseHandle(HANDLE) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopReadFile(HANDLE, LPVOID, DWORD, LPDWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopGetCommState(HANDLE, LPDCB) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopSetCommState(HANDLE, LPDCB) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopPurgeComm(HANDLE, DWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopClearCommError(HANDLE, LPDWORD, LPCOMSTAT) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopGetCommProperties(HANDLE, LPCOMMPROP) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopEscapeCommFunction(HANDLE, DWORD) { return FailWith(ERROR_INVALID_HANDLE); }
BOOL LoopGetCommModemStatus(HANDLE, LPDWORD) { return FailWith(ERROR_INVALID_HANDLE); }
