#include "fake_serial.h"

#include <cstring>

#include "../driver/serial_driver.h"
#include "../monitor/session.h"
#include "fake_console.h"

FakeSerialState fakeSerial;
const HANDLE kFakePort = reinterpret_cast<HANDLE>(intptr_t(0x5EA1));

void ResetFakeSerial() { fakeSerial = FakeSerialState(); }

void ResetAll() {
    ResetFakeSerial();
    ResetFakeConsole();
    PortHandle = INVALID_HANDLE_VALUE;
    PortNumber = 0;
    LineState = 0;
    StatusCode = 0;
    StatusText[0] = '\0';
}

int RunProgram(std::vector<const char*> args) {
    args.insert(args.begin(), "dorvalix");
    return RunDorvalix(int(args.size()), args.data());
}

namespace {

// Counts the call, then fails it as the platform would for a handle we did not
// hand out (or closed), or as scripted; true when the call may go ahead.
bool Allowed(const char* name, HANDLE h, DWORD scripted = 0) {
    ++fakeSerial.calls[name];
    DWORD error = 0;
    if (h != kFakePort || !fakeSerial.open) error = ERROR_INVALID_HANDLE;
    else if (fakeSerial.fail.count(name)) error = fakeSerial.fail[name];
    else error = scripted;
    if (error != 0) fakeSerial.lastError = error;
    return error == 0;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    fakeSerial.device = name;
    if (fakeSerial.open) {  // in use: the port is opened exclusively
        fakeSerial.lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    fakeSerial.open = true;
    if (!Allowed("CreateFileA", kFakePort)) return fakeSerial.open = false, INVALID_HANDLE_VALUE;
    return kFakePort;
}

BOOL CloseHandle(HANDLE h) {
    if (!Allowed("CloseHandle", h)) return FALSE;
    fakeSerial.open = false;
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD, LPDWORD count, LPOVERLAPPED) {
    *count = 0;
    if (!Allowed("ReadFile", h)) return FALSE;
    if (fakeSerial.rx.empty()) return TRUE;  // the read time-out ran out
    *static_cast<char*>(buffer) = fakeSerial.rx[0];
    fakeSerial.rx.erase(0, 1);
    *count = 1;
    return TRUE;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD count, LPOVERLAPPED) {
    *count = 0;
    if (!Allowed("WriteFile", h)) return FALSE;
    fakeSerial.tx.append(static_cast<const char*>(buffer), length);
    *count = length;
    return TRUE;
}

BOOL GetCommState(HANDLE h, LPDCB dcb) { return Allowed("GetCommState", h) ? (*dcb = fakeSerial.dcbIn, TRUE) : FALSE; }
BOOL SetCommState(HANDLE h, LPDCB dcb) { return Allowed("SetCommState", h) ? (fakeSerial.dcbSet = *dcb, TRUE) : FALSE; }
BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    return Allowed("GetCommTimeouts", h) ? (*t = fakeSerial.timeoutsIn, TRUE) : FALSE;
}
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    return Allowed("SetCommTimeouts", h) ? (fakeSerial.timeoutsSet = *t, TRUE) : FALSE;
}
BOOL PurgeComm(HANDLE h, DWORD flags) { return Allowed("PurgeComm", h) ? (fakeSerial.purgeFlags = flags, TRUE) : FALSE; }

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    if (!Allowed("ClearCommError", h)) return FALSE;
    *errors = fakeSerial.commErrors;
    *stat = fakeSerial.comstat;
    fakeSerial.commErrors = 0;
    return TRUE;
}

BOOL GetCommProperties(HANDLE h, LPCOMMPROP prop) {
    if (!Allowed("GetCommProperties", h)) return FALSE;
    std::memset(prop, 0, sizeof *prop);
    prop->dwMaxTxQueue = fakeSerial.maxTxQueue;
    prop->dwCurrentTxQueue = fakeSerial.curTxQueue;
    fakeSerial.curTxQueue -= fakeSerial.curTxQueue < fakeSerial.txDrainStep ? fakeSerial.curTxQueue
                                                                             : fakeSerial.txDrainStep;
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE h, DWORD function) {
    fakeSerial.escapes.push_back(function);
    auto scripted = fakeSerial.escapeFail.find(function);
    return Allowed("EscapeCommFunction", h, scripted == fakeSerial.escapeFail.end() ? 0 : scripted->second);
}

BOOL GetCommModemStatus(HANDLE h, LPDWORD bits) {
    return Allowed("GetCommModemStatus", h) ? (*bits = fakeSerial.modem, TRUE) : FALSE;
}

BOOL GetCommConfig(HANDLE h, LPCOMMCONFIG config, LPDWORD size) {
    if (!Allowed("GetCommConfig", h)) return FALSE;
    std::memset(config, 0, sizeof *config);
    config->dwSize = sizeof *config;
    config->dcb = fakeSerial.dcbSet;
    *size = fakeSerial.configSize;
    return TRUE;
}

BOOL SetCommConfig(HANDLE h, LPCOMMCONFIG config, DWORD) {
    return Allowed("SetCommConfig", h) ? (fakeSerial.dcbSet = config->dcb, TRUE) : FALSE;
}

BOOL CommConfigDialogA(LPCSTR name, HWND, LPCOMMCONFIG) {
    fakeSerial.dialogDevice = name;
    return Allowed("CommConfigDialogA", kFakePort) ? TRUE : FALSE;
}

DWORD GetLastError(void) { return fakeSerial.lastError; }
void SetLastError(DWORD error) { fakeSerial.lastError = error; }

DWORD FormatMessageA(DWORD, LPCVOID, DWORD id, DWORD, LPSTR buffer, DWORD, va_list*) {
    auto text = fakeSerial.messages.find(id);
    if (text == fakeSerial.messages.end()) return 0;
    char* copy = new char[text->second.size() + 1];
    std::memcpy(copy, text->second.c_str(), text->second.size() + 1);
    *reinterpret_cast<char**>(buffer) = copy;
    ++fakeSerial.allocations;
    return DWORD(text->second.size());
}

HLOCAL LocalFree(HLOCAL memory) {
    delete[] static_cast<char*>(memory);
    --fakeSerial.allocations;
    return nullptr;
}
