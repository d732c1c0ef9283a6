// The Windows port layer (platform/windows/serial_replug.cpp) over the
// scripted provider: every error that means "device gone", met by each call
// that meets it, closes the device within that call; the name is tried again
// every 250 ms while it is away; the device that comes back gets the port's
// settings and output conditions. Real adapters' errors cannot be produced
// under wine, so this is where they are tried.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../../platform/windows/serial_replug.h"
#include "fake_serial.h"

namespace {
unsigned long long fakeNowMs = 1000;
}  // namespace

unsigned long long ReplugNowMs() { return fakeNowMs; }
void ReplugPause(unsigned long ms) { fakeNowMs += ms; }

namespace {

BYTE byte;
DWORD count, bits;
COMSTAT stat;

HANDLE OpenPort() {
    return ReplugCreateFileA("\\\\.\\COM50", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Meeting {
    const char* failing;  // the provider call scripted to fail
    std::function<void(HANDLE)> call;  // the layer call that meets it
};

TEST(SerialReplug, LostDeviceClosedAtOnceTriedEvery250MsAndRestored) {
    const Meeting meetings[] = {
        {"ReadFile", [](HANDLE h) { ReplugReadFile(h, &byte, 1, &count, nullptr); }},
        {"ClearCommError", [](HANDLE h) { ReplugReadFile(h, &byte, 1, &count, nullptr); }},  // wine: reads say nothing
        {"WriteFile", [](HANDLE h) { ReplugWriteFile(h, &byte, 1, &count, nullptr); }},
        {"GetCommModemStatus", [](HANDLE h) { ReplugGetCommModemStatus(h, &bits); }},
        {"EscapeCommFunction", [](HANDLE h) { ReplugEscapeCommFunction(h, SETRTS); }},
    };
    for (DWORD error : {5u, 21u, 22u, 31u, 995u, 1167u, 1617u}) {
        for (const Meeting& m : meetings) {
            SCOPED_TRACE(std::string(m.failing) + " failing with " + std::to_string(error));
            ResetAll();
            HANDLE h = OpenPort();
            DCB dcb{};
            dcb.BaudRate = 2400, dcb.fDtrControl = DTR_CONTROL_ENABLE, dcb.fRtsControl = RTS_CONTROL_ENABLE;
            COMMTIMEOUTS timeouts{100, 100, 150, 100, 150};
            ASSERT_TRUE(ReplugSetCommState(h, &dcb) && ReplugSetCommTimeouts(h, &timeouts));
            ASSERT_TRUE(ReplugEscapeCommFunction(h, CLRDTR) && ReplugEscapeCommFunction(h, SETBREAK));

            fakeSerial.fail[m.failing] = error;
            m.call(h);
            EXPECT_FALSE(fakeSerial.open) << "closed within the call that met the loss";

            fakeSerial.fail = {{"CreateFileA", ERROR_FILE_NOT_FOUND}};
            unsigned long long began = fakeNowMs;
            EXPECT_TRUE(ReplugReadFile(h, &byte, 1, &count, nullptr));
            EXPECT_EQ(count, 0u);
            EXPECT_EQ(fakeNowMs - began, 250u) << "a gone read waits out its time-out";
            EXPECT_EQ(fakeSerial.calls["CreateFileA"], 3u) << "first open, then at once and 250 ms later";
            EXPECT_TRUE(ReplugGetCommModemStatus(h, &bits) && bits == 0);
            EXPECT_TRUE(ReplugClearCommError(h, &count, &stat));
            EXPECT_FALSE(ReplugWriteFile(h, &byte, 1, &count, nullptr));

            fakeSerial.fail.clear();
            fakeSerial.escapes.clear();
            fakeNowMs += 250;
            fakeSerial.rx = "!";
            EXPECT_TRUE(ReplugReadFile(h, &byte, 1, &count, nullptr) && count == 1 && byte == '!');
            EXPECT_EQ(fakeSerial.dcbSet.BaudRate, 2400u);
            EXPECT_EQ(fakeSerial.timeoutsSet.ReadTotalTimeoutConstant, 150u);
            EXPECT_EQ(fakeSerial.escapes, (std::vector<DWORD>{CLRDTR, SETRTS, SETBREAK}));
            EXPECT_TRUE(ReplugCloseHandle(h));
        }
    }
}

TEST(SerialReplug, OtherErrorsKeepTheDevice) {
    ResetAll();
    HANDLE h = OpenPort();
    fakeSerial.fail = {{"GetCommModemStatus", ERROR_NOT_SUPPORTED}, {"ClearCommError", ERROR_INVALID_PARAMETER}};
    EXPECT_FALSE(ReplugGetCommModemStatus(h, &bits));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(ReplugReadFile(h, &byte, 1, &count, nullptr));
    EXPECT_TRUE(fakeSerial.open);
    EXPECT_TRUE(ReplugCloseHandle(h));
    EXPECT_FALSE(ReplugCloseHandle(h)) << "a closed port is the system's to refuse";
}

TEST(SerialReplug, DeviceThatFailsRightAfterEachOpenIsTriedEvery250Ms) {
    ResetAll();
    HANDLE h = OpenPort();
    fakeSerial.fail = {{"ReadFile", ERROR_GEN_FAILURE}};
    unsigned long long began = fakeNowMs;
    for (int pass = 0; pass < 8; ++pass) ReplugReadFile(h, &byte, 1, &count, nullptr);
    EXPECT_LE(fakeSerial.calls["CreateFileA"], 1 + (fakeNowMs - began) / 250 + 1);
    EXPECT_GE(fakeNowMs - began, 3 * 250u) << "the reads wait while the device is away";
    ReplugCloseHandle(h);
}

// Receive errors: those an idle read's look takes from the system still
// reach the caller's ClearCommError; a gone device reports none.
TEST(SerialReplug, ReceiveErrorsKeptFromIdleReadsAndNoneWhileGone) {
    ResetAll();
    HANDLE h = OpenPort();
    fakeSerial.commErrors = CE_FRAME;
    EXPECT_TRUE(ReplugReadFile(h, &byte, 1, &count, nullptr) && count == 0);
    fakeSerial.commErrors = CE_OVERRUN;
    DWORD errors = 0;
    EXPECT_TRUE(ReplugClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, DWORD(CE_FRAME | CE_OVERRUN));
    EXPECT_TRUE(ReplugClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    fakeSerial.commErrors = CE_BREAK;
    EXPECT_TRUE(ReplugReadFile(h, &byte, 1, &count, nullptr));  // kept ...
    fakeSerial.fail["GetCommModemStatus"] = 1167;
    ReplugGetCommModemStatus(h, &bits);  // ... and the device goes
    fakeSerial.fail = {{"CreateFileA", ERROR_FILE_NOT_FOUND}};
    errors = 7;
    EXPECT_TRUE(ReplugClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    ReplugCloseHandle(h);
}

}  // namespace
