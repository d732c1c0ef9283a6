#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "../../driver/serial_driver.h"
#include "fake_serial.h"

namespace {

struct Driver : ::testing::Test {
    void SetUp() override { ResetAll(); }
    static int Open(int port = 1) { return OpenCOM(port, 9600, 8, 1, 0); }
};

// Every recording operation: result, code and text on success and when the
// platform call behind it fails with error 5. A null text means "left alone".
TEST_F(Driver, StatusCodesAndTexts) {
    const char* kOpened = "Serial port COM1: successfully reconfigured.";
    const char* kModem = "GetCommModemStatus failed with error 5.";
    const char* kEscape = "EscapeCommFunction";
    const struct { std::function<int()> op; const char* failing; int okResult; const char* okText; int failCode;
                   const char* failText; } rows[] = {
        {[] { return Open(); }, "CreateFileA", 1, kOpened, 2, "Error opening \\\\.\\COM1"},
        {[] { return Open(); }, "GetCommState", 1, kOpened, 3, "GetCommState failed with error 5."},
        {[] { return Open(); }, "SetCommState", 1, kOpened, 4, "SetCommState failed with error 5."},
        {ReleaseCOM, "CloseHandle", 1, "Serial port COM1: successfully closed.", 5, "ReleaseCOM failed with error 5."},
        {FlushRxBuf, "PurgeComm", 1, "Serial port COM1: Rx flushed OK.", 7, "FlushRxBuf failed with error 5."},
        {[] { return int(TxBufFree()); }, "GetCommProperties", 4096, nullptr, 9, "GetCommProperties failed with error 5."},
        {BreakOn, kEscape, 1, nullptr, 10, "BreakOn failed with error 5."},
        {BreakOff, kEscape, 1, nullptr, 11, "BreakOff failed with error 5."},
        {DTROn, kEscape, 1, nullptr, 12, "DTROn failed with error 5."},
        {DTROff, kEscape, 1, nullptr, 13, "DTROff failed with error 5."},
        {RTSOn, kEscape, 1, nullptr, 14, "RTSOn failed with error 5."},
        {RTSOff, kEscape, 1, nullptr, 15, "RTSOff failed with error 5."},
        {CTSState, "GetCommModemStatus", 1, nullptr, 16, kModem},
        {DSRState, "GetCommModemStatus", 1, nullptr, 17, kModem},
        {RIState, "GetCommModemStatus", 1, nullptr, 18, kModem},
        {DCDState, "GetCommModemStatus", 1, nullptr, 19, kModem},
    };
    for (const auto& row : rows) {
        for (bool fail : {false, true}) {
            SCOPED_TRACE(std::string(row.failText) + (fail ? " (failing)" : " (succeeding)"));
            ResetAll();
            fakeSerial.modem = 0xF0;
            if (row.okText != kOpened) { ASSERT_EQ(Open(), 1); }
            StatusCode = 99;
            std::strcpy(StatusText, "before");
            if (fail) fakeSerial.fail[row.failing] = 5;
            EXPECT_EQ(row.op(), fail ? 0 : row.okResult);
            EXPECT_EQ(StatusCode, fail ? row.failCode : 0);
            EXPECT_STREQ(StatusText, fail ? row.failText : row.okText ? row.okText : "before");
            // A port that failed to configure or to close stays held.
            EXPECT_EQ(PortHandle != INVALID_HANDLE_VALUE, fail ? row.failCode != 2 : row.failCode != 5);
        }
    }
}

// The error number is shown in signed decimal, whatever its size.
TEST_F(Driver, ErrorNumbersInSignedDecimal) {
    const struct { DWORD error; const char* text; } rows[] = {
        {1167, "DTROn failed with error 1167."},
        {0x7FFFFFFF, "DTROn failed with error 2147483647."},
        {0x80000000, "DTROn failed with error -2147483648."},
        {0xFFFFFFFF, "DTROn failed with error -1."},
    };
    for (const auto& row : rows) {
        ResetAll();
        ASSERT_EQ(Open(), 1);
        fakeSerial.fail["EscapeCommFunction"] = row.error;
        EXPECT_EQ(DTROn(), 0);
        EXPECT_STREQ(StatusText, row.text);
    }
}

// Only the named fields change; all others, reserved bits included, stay as read.
TEST_F(Driver, OpenSetsNamedDcbFieldsAndKeepsTheRest) {
    for (int fill : {0x00, 0xFF, 0xA5}) {
        ResetAll();
        std::memset(&fakeSerial.dcbIn, fill, sizeof(DCB));
        ASSERT_EQ(OpenCOM(1, 115200, 7, 2, 3), 1);
        DCB want = fakeSerial.dcbIn;
        want.BaudRate = 115200, want.ByteSize = 7, want.Parity = EVENPARITY, want.StopBits = TWOSTOPBITS;
        want.fBinary = 1, want.fParity = 0, want.fOutxCtsFlow = 0, want.fOutxDsrFlow = 0;
        want.fDtrControl = DTR_CONTROL_ENABLE, want.fDsrSensitivity = 0, want.fTXContinueOnXoff = 1;
        want.fOutX = 0, want.fInX = 0, want.fErrorChar = 0, want.fNull = 0;
        want.fRtsControl = RTS_CONTROL_ENABLE, want.fAbortOnError = 0;
        EXPECT_EQ(std::memcmp(&want, &fakeSerial.dcbSet, sizeof(DCB)), 0) << "fill " << fill;
        const COMMTIMEOUTS& t = fakeSerial.timeoutsSet;
        EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                      t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
                  std::vector<DWORD>({100, 100, 150, 100, 150}));
    }
}

TEST_F(Driver, OpenIgnoresFlushAndTimeoutFailures) {
    fakeSerial.fail = {{"PurgeComm", 31}, {"GetCommTimeouts", 31}, {"SetCommTimeouts", 31}};
    ASSERT_EQ(Open(257), 1);
    EXPECT_EQ(StatusCode, 0);
    EXPECT_STREQ(StatusText, "Serial port COM1: successfully reconfigured.");
}

TEST_F(Driver, ReleaseTwiceThenLineCommandOnTheNoPortHandle) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(ReleaseCOM(), 1);
    EXPECT_EQ(ReleaseCOM(), 1);
    EXPECT_EQ(fakeSerial.calls["CloseHandle"], 1u);
    EXPECT_STREQ(StatusText, "Serial port COM1: successfully closed.");
    EXPECT_EQ(DTROn(), 0);
    EXPECT_EQ(StatusCode, 12);
    EXPECT_STREQ(StatusText, "DTROn failed with error 6.");
}

TEST_F(Driver, FailedSendTexts) {
    const struct { DWORD errors, stat; bool clearFails; const char* text; } rows[] = {
        {0, 0, false, ""},
        {CE_FRAME | CE_OVERRUN, 0, false, "Framing error. Overrun - characters lost. "},
        {CE_BREAK | CE_TXFULL, 0x49, false,  // COMSTAT fCtsHold, fXoffHold, fTxim
         "Break detected. Transmit buffer full - unable to transmit character. Tx waiting for CTS. "
         "Tx suspended by XOFF.Tx has been overruled. "},
        {CE_FRAME, 0, true, "The device is not connected.\r\n"},
    };
    for (const auto& row : rows) {
        ResetAll();
        ASSERT_EQ(Open(), 1);
        fakeSerial.fail["WriteFile"] = 1167;
        if (row.clearFails) fakeSerial.fail["ClearCommError"] = 1167;
        fakeSerial.messages[1167] = "The device is not connected.\r\n";
        fakeSerial.commErrors = row.errors;
        std::memcpy(&fakeSerial.comstat, &row.stat, sizeof row.stat);
        EXPECT_EQ(TxChar('A'), 0xFFFF);
        EXPECT_EQ(StatusCode, 1);
        EXPECT_STREQ(StatusText, row.text);
        EXPECT_EQ(fakeSerial.allocations, 0);
    }
}

TEST_F(Driver, TxBufFreeWrapsAndClamps) {
    const struct { DWORD max, cur; uint16_t free; } rows[] = {
        {0, 0, 0}, {4096, 96, 4000}, {0xFFFF, 0, 0xFFFF}, {1, 3, 0xFFFF}, {0x20000, 0, 0xFFFF}};
    ASSERT_EQ(Open(), 1);
    for (const auto& row : rows) {
        fakeSerial.maxTxQueue = row.max, fakeSerial.curTxQueue = row.cur;
        EXPECT_EQ(TxBufFree(), row.free) << row.max << " " << row.cur;
    }
}

TEST_F(Driver, ConfigDialog) {
    const struct { const char* failing; DWORD size; int result; const char* text; } rows[] = {
        {"", 52, 1, "before"},
        {"", 51, 0, "GetCommConfig failed with error 77."},  // the error an earlier call left
        {"GetCommConfig", 52, 0, "GetCommConfig failed with error 31."},
        {"CommConfigDialogA", 52, 0, "CommConfigDialog failed with error 31."},
        {"SetCommConfig", 52, 0, "SetCommConfig failed with error 31."},
    };
    for (const auto& row : rows) {
        ResetAll();
        ASSERT_EQ(Open(255), 1);
        std::strcpy(StatusText, "before");
        SetLastError(77);
        fakeSerial.fail[row.failing] = 31;
        fakeSerial.configSize = row.size;
        EXPECT_EQ(ConfigDialog(), row.result);
        EXPECT_EQ(StatusCode, row.result ? 0 : 20);
        EXPECT_STREQ(StatusText, row.text);
    }
    EXPECT_EQ(fakeSerial.dialogDevice, "COM255:");
}

// A run: the time-outs set once an open, then what has arrived up to the
// size asked for; a port that refuses them gives runs of one byte.
TEST_F(Driver, RxRunSetsItsTimeoutsOnceAndTakesWhatHasArrived) {
    uint8_t run[8];
    for (bool refused : {false, true}) {
        ResetAll();
        ASSERT_EQ(Open(), 1);
        if (refused) fakeSerial.fail["SetCommTimeouts"] = 31;
        fakeSerial.rx = "abcdefghijk", fakeSerial.readLimit = 100;
        EXPECT_EQ(RxRun(run, 8), refused ? 1 : 8);
        EXPECT_EQ(RxChar(), refused ? 'b' : 'i');
        EXPECT_EQ(RxRun(run, 8), refused ? 1 : 2);
        EXPECT_EQ(fakeSerial.calls["SetCommTimeouts"], 2u);  // OpenCOM's and the first run's
        const COMMTIMEOUTS& t = fakeSerial.timeoutsSet;
        EXPECT_EQ(t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                      t.ReadTotalTimeoutConstant == 250 && t.WriteTotalTimeoutConstant == 150, !refused);
    }
}

TEST_F(Driver, RxCharAndLineStatus) {
    ASSERT_EQ(Open(), 1);
    fakeSerial.rx = "\xFF";
    EXPECT_EQ(RxChar(), 255);
    EXPECT_EQ(RxChar(), -1);
    fakeSerial.modem = MS_DSR_ON | MS_CTS_ON;
    EXPECT_EQ(ControlLines(), 0x33);
    EXPECT_EQ(ControlLines(), 0x30);
    fakeSerial.modem = MS_DSR_ON;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(RxStatus(), RX_CTRL);
    EXPECT_EQ(ControlLines(), 0x21);
    fakeSerial.modem = MS_DSR_ON | MS_RLSD_ON;  // DCD on and off again between calls
    fakeSerial.modem = MS_DSR_ON;
    EXPECT_EQ(RxStatus(), 0);
    fakeSerial.fail["GetCommModemStatus"] = 31;  // a failing query reads as off
    EXPECT_EQ(ControlLines(), 0x02);
}

}  // namespace
