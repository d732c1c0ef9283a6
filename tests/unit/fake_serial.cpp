#include "fake_serial.h"

#include <algorithm>
#include <cstring>

#include "../../driver/serial_driver.h"
#include "../../monitor/session.h"
#include "fake_console.h"

FakeSerialState fakeSerial;
const HANDLE kFakePort = reinterpret_cast<HANDLE>(intptr_t(0x5EA1));

void ResetAll() {
    fakeSerial = FakeSerialState();
    ResetFakeConsole();
    PortHandle = INVALID_HANDLE_VALUE;
    PortNumber = LineState = 0;
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
    DWORD error = h != kFakePort || !fakeSerial.open ? ERROR_INVALID_HANDLE
                  : fakeSerial.fail.count(name)      ? fakeSerial.fail[name]
                                                     : scripted;
    if (error != 0) fakeSerial.lastError = error;
    return error == 0;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    fakeSerial.device = name;
    bool inUse = fakeSerial.open;  // opened exclusively: a second open is refused
    fakeSerial.open = true;        // so that Allowed takes the handle as ours
    bool ok = Allowed("CreateFileA", kFakePort, inUse ? ERROR_ACCESS_DENIED : 0);
    fakeSerial.open = ok || inUse;
    return ok ? kFakePort : INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE h) { return Allowed("CloseHandle", h) ? (fakeSerial.open = false, TRUE) : FALSE; }

// Hands out what is queued, up to readLimit, stopping at an error's place,
// whose bits ClearCommError then reports.
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD count, LPOVERLAPPED) {
    *count = 0;  // an empty queue reads as the time-out running out
    if (!Allowed("ReadFile", h)) return FALSE;
    size_t n = std::min({size_t(length), fakeSerial.readLimit, fakeSerial.rx.size()});
    auto stop = fakeSerial.errorsAt.upper_bound(fakeSerial.rxTaken);
    if (stop != fakeSerial.errorsAt.end()) n = std::min(n, stop->first - fakeSerial.rxTaken);
    fakeSerial.rx.copy(static_cast<char*>(buffer), n);
    fakeSerial.rx.erase(0, n), fakeSerial.rxTaken += n, *count = DWORD(n);
    if (n != 0 && fakeSerial.errorsAt.count(fakeSerial.rxTaken)) fakeSerial.commErrors |= fakeSerial.errorsAt[fakeSerial.rxTaken];
    return TRUE;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD count, LPOVERLAPPED) {
    bool ok = Allowed("WriteFile", h);
    *count = ok ? length : 0;
    fakeSerial.tx.append(static_cast<const char*>(buffer), *count);
    return ok;
}

BOOL GetCommState(HANDLE h, LPDCB dcb) { return Allowed("GetCommState", h) ? (*dcb = fakeSerial.dcbIn, TRUE) : FALSE; }
BOOL SetCommState(HANDLE h, LPDCB dcb) { return Allowed("SetCommState", h) ? (fakeSerial.dcbSet = *dcb, TRUE) : FALSE; }
BOOL GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) { return Allowed("GetCommTimeouts", h) ? (*t = {}, TRUE) : FALSE; }
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    return Allowed("SetCommTimeouts", h) ? (fakeSerial.timeoutsSet = *t, TRUE) : FALSE;
}
BOOL PurgeComm(HANDLE h, DWORD) { return Allowed("PurgeComm", h); }
BOOL GetCommModemStatus(HANDLE h, LPDWORD bits) {
    return Allowed("GetCommModemStatus", h) ? (*bits = fakeSerial.modem, TRUE) : FALSE;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    if (!Allowed("ClearCommError", h)) return FALSE;
    *errors = fakeSerial.commErrors, fakeSerial.commErrors = 0;
    if (stat != nullptr) *stat = fakeSerial.comstat;  // optional, as on Windows
    return TRUE;
}

BOOL GetCommProperties(HANDLE h, LPCOMMPROP prop) {
    if (!Allowed("GetCommProperties", h)) return FALSE;
    *prop = {};
    prop->dwMaxTxQueue = fakeSerial.maxTxQueue, prop->dwCurrentTxQueue = fakeSerial.curTxQueue;
    fakeSerial.curTxQueue -= std::min(fakeSerial.curTxQueue, fakeSerial.txDrainStep);
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE h, DWORD function) {
    fakeSerial.escapes.push_back(function);
    auto scripted = fakeSerial.escapeFail.find(function);
    return Allowed("EscapeCommFunction", h, scripted == fakeSerial.escapeFail.end() ? 0 : scripted->second);
}

BOOL GetCommConfig(HANDLE h, LPCOMMCONFIG config, LPDWORD size) {
    if (!Allowed("GetCommConfig", h)) return FALSE;
    *config = {};
    config->dwSize = sizeof *config, config->dcb = fakeSerial.dcbSet, *size = fakeSerial.configSize;
    return TRUE;
}

BOOL SetCommConfig(HANDLE h, LPCOMMCONFIG config, DWORD) {
    return Allowed("SetCommConfig", h) ? (fakeSerial.dcbSet = config->dcb, TRUE) : FALSE;
}

BOOL CommConfigDialogA(LPCSTR name, HWND, LPCOMMCONFIG) {
    fakeSerial.dialogDevice = name;
    return Allowed("CommConfigDialogA", kFakePort);
}

DWORD GetLastError(void) { return fakeSerial.lastError; }
void SetLastError(DWORD error) { fakeSerial.lastError = error; }

DWORD FormatMessageA(DWORD, LPCVOID, DWORD id, DWORD, LPSTR buffer, DWORD, va_list*) {
    auto text = fakeSerial.messages.find(id);
    if (text == fakeSerial.messages.end()) return 0;
    char* copy = new char[text->second.size() + 1];
    *reinterpret_cast<char**>(buffer) = std::strcpy(copy, text->second.c_str());
    ++fakeSerial.allocations;
    return DWORD(text->second.size());
}

HLOCAL LocalFree(HLOCAL memory) {
    delete[] static_cast<char*>(memory);
    --fakeSerial.allocations;
    return nullptr;
}
