// A scripted serial provider linked in place of the platform's: every Win32
// communications call the driver makes is answered from fakeSerial.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "../../platform/win32_serial.h"

struct FakeSerialState {
    std::map<std::string, DWORD> fail;      // function name -> error it fails with
    std::map<DWORD, DWORD> escapeFail;      // EscapeCommFunction code -> error
    std::map<std::string, unsigned> calls;  // function name -> calls
    std::string device, dialogDevice;       // names CreateFileA and CommConfigDialogA saw
    DCB dcbIn{}, dcbSet{};                  // what GetCommState gives; last DCB applied
    COMMTIMEOUTS timeoutsSet{};
    std::string rx, tx;                     // bytes still to be received; bytes written
    size_t readLimit = 1;                   // bytes one ReadFile hands out at most
    size_t rxTaken = 0;                     // bytes ReadFile has handed out
    std::map<size_t, DWORD> errorsAt;       // errors due once rxTaken reaches the key: a read stops there
    std::vector<DWORD> escapes;             // every EscapeCommFunction code
    DWORD modem = 0;                        // GetCommModemStatus bits
    DWORD commErrors = 0;                   // ClearCommError's bits (cleared by it)
    COMSTAT comstat{};
    DWORD maxTxQueue = 4096, curTxQueue = 0;
    DWORD txDrainStep = 0;                  // curTxQueue falls by this per GetCommProperties
    DWORD configSize = sizeof(COMMCONFIG);  // size GetCommConfig writes back
    std::map<DWORD, std::string> messages;  // FormatMessageA texts by error number
    DWORD lastError = 0;
    int allocations = 0;                    // FormatMessageA buffers not yet freed
    bool open = false;
};

extern FakeSerialState fakeSerial;
extern const HANDLE kFakePort;  // the one handle CreateFileA hands out

// Driver globals back to their initial values, both fakes reset.
void ResetAll();
// RunDorvalix with these arguments after the program name.
int RunProgram(std::vector<const char*> args);
