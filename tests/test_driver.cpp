#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "../driver/serial_driver.h"
#include "fake_serial.h"

namespace {

struct Driver : ::testing::Test {
    void SetUp() override { ResetAll(); }
    static int Open(int port = 1, int stop = 1, int parity = 0) { return OpenCOM(port, 9600, 8, stop, parity); }
};

// Every recording operation: result, code and text on success and when the
// platform call behind it fails with error 5. A null text means "left alone".
TEST_F(Driver, StatusCodesAndTexts) {
    struct Row {
        std::function<int()> op;
        const char* failing;  // function name, or "" with an EscapeCommFunction code
        DWORD escape;
        int okResult;
        const char* okText;
        int failCode;
        const char* failText;
    };
    const char* kOpened = "Serial port COM1: successfully reconfigured.";
    const Row rows[] = {
        {[] { return Open(); }, "CreateFileA", 0, 1, kOpened, 2, "Error opening \\\\.\\COM1"},
        {[] { return Open(); }, "GetCommState", 0, 1, kOpened, 3, "GetCommState failed with error 5."},
        {[] { return Open(); }, "SetCommState", 0, 1, kOpened, 4, "SetCommState failed with error 5."},
        {ReleaseCOM, "CloseHandle", 0, 1, "Serial port COM1: successfully closed.", 5, "ReleaseCOM failed with error 5."},
        {FlushRxBuf, "PurgeComm", 0, 1, "Serial port COM1: Rx flushed OK.", 7, "FlushRxBuf failed with error 5."},
        {[] { return int(TxBufFree()); }, "GetCommProperties", 0, 4096, nullptr, 9,
         "GetCommProperties failed with error 5."},
        {BreakOn, "", SETBREAK, 1, nullptr, 10, "BreakOn failed with error 5."},
        {BreakOff, "", CLRBREAK, 1, nullptr, 11, "BreakOff failed with error 5."},
        {DTROn, "", SETDTR, 1, nullptr, 12, "DTROn failed with error 5."},
        {DTROff, "", CLRDTR, 1, nullptr, 13, "DTROff failed with error 5."},
        {RTSOn, "", SETRTS, 1, nullptr, 14, "RTSOn failed with error 5."},
        {RTSOff, "", CLRRTS, 1, nullptr, 15, "RTSOff failed with error 5."},
        {CTSState, "GetCommModemStatus", 0, 1, nullptr, 16, "GetCommModemStatus failed with error 5."},
        {DSRState, "GetCommModemStatus", 0, 1, nullptr, 17, "GetCommModemStatus failed with error 5."},
        {RIState, "GetCommModemStatus", 0, 1, nullptr, 18, "GetCommModemStatus failed with error 5."},
        {DCDState, "GetCommModemStatus", 0, 1, nullptr, 19, "GetCommModemStatus failed with error 5."},
        {ConfigDialog, "GetCommConfig", 0, 1, nullptr, 20, "GetCommConfig failed with error 5."},
    };
    for (const Row& row : rows) {
        for (bool fail : {false, true}) {
            SCOPED_TRACE(std::string(row.failText) + (fail ? " (failing)" : " (succeeding)"));
            ResetAll();
            fakeSerial.modem = 0xF0;
            bool opening = std::strcmp(row.okText ? row.okText : "", kOpened) == 0;
            if (!opening) {
                ASSERT_EQ(Open(), 1);
            }
            StatusCode = 99;
            std::strcpy(StatusText, "before");
            if (fail && row.escape != 0) fakeSerial.escapeFail[row.escape] = 5;
            if (fail && row.escape == 0) fakeSerial.fail[row.failing] = 5;
            EXPECT_EQ(row.op(), fail ? 0 : row.okResult);
            EXPECT_EQ(StatusCode, fail ? row.failCode : 0);
            EXPECT_STREQ(StatusText, fail ? row.failText : row.okText ? row.okText : "before");
            // A port that failed to configure or to close stays held.
            if (fail && row.failCode >= 3 && row.failCode <= 5) {
                EXPECT_EQ(PortHandle, kFakePort);
            }
        }
    }
}

// Only the named fields change; everything else, reserved bits included, is
// kept as GetCommState gave it.
TEST_F(Driver, OpenSetsNamedDcbFieldsAndKeepsTheRest) {
    for (int fill : {0x00, 0xFF, 0xA5}) {
        ResetAll();
        std::memset(&fakeSerial.dcbIn, fill, sizeof(DCB));
        ASSERT_EQ(OpenCOM(1, 115200, 7, 2, 3), 1);
        DCB want = fakeSerial.dcbIn;
        want.BaudRate = 115200;
        want.fBinary = 1, want.fParity = 0, want.fOutxCtsFlow = 0, want.fOutxDsrFlow = 0;
        want.fDtrControl = DTR_CONTROL_ENABLE, want.fDsrSensitivity = 0, want.fTXContinueOnXoff = 1;
        want.fOutX = 0, want.fInX = 0, want.fErrorChar = 0, want.fNull = 0;
        want.fRtsControl = RTS_CONTROL_ENABLE, want.fAbortOnError = 0;
        want.ByteSize = 7, want.Parity = EVENPARITY, want.StopBits = TWOSTOPBITS;
        EXPECT_EQ(std::memcmp(&want, &fakeSerial.dcbSet, sizeof(DCB)), 0) << "fill " << fill;
    }
}

TEST_F(Driver, ParityStopAndDeviceName) {
    // One code used as parity, stop and port code; only its low 8 bits count.
    const struct { int code; BYTE parity, stop; const char* device; } rows[] = {
        {0, NOPARITY, ONESTOPBIT, "\\\\.\\COM0"},     {1, ODDPARITY, ONESTOPBIT, "\\\\.\\COM1"},
        {2, NOPARITY, TWOSTOPBITS, "\\\\.\\COM2"},    {3, EVENPARITY, ONESTOPBIT, "\\\\.\\COM3"},
        {4, NOPARITY, ONESTOPBIT, "\\\\.\\COM4"},     {5, MARKPARITY, ONE5STOPBITS, "\\\\.\\COM5"},
        {6, NOPARITY, ONESTOPBIT, "\\\\.\\COM6"},     {7, SPACEPARITY, ONESTOPBIT, "\\\\.\\COM7"},
        {12, NOPARITY, ONESTOPBIT, "\\\\.\\COM12"},   {255, NOPARITY, ONESTOPBIT, "\\\\.\\COM255"},
        {257, ODDPARITY, ONESTOPBIT, "\\\\.\\COM1"},  {261, MARKPARITY, ONE5STOPBITS, "\\\\.\\COM5"},
        {258, NOPARITY, TWOSTOPBITS, "\\\\.\\COM2"},
    };
    for (const auto& row : rows) {
        ResetAll();
        ASSERT_EQ(Open(row.code, row.code, row.code), 1);
        EXPECT_EQ(fakeSerial.dcbSet.Parity, row.parity) << row.code;
        EXPECT_EQ(fakeSerial.dcbSet.StopBits, row.stop) << row.code;
        EXPECT_EQ(fakeSerial.device, row.device);
    }
}

TEST_F(Driver, OpenSetsTimeoutsAndIgnoresFlushAndTimeoutFailures) {
    fakeSerial.fail = {{"PurgeComm", 31}, {"GetCommTimeouts", 31}, {"SetCommTimeouts", 31}};
    ASSERT_EQ(Open(257), 1);
    EXPECT_EQ(StatusCode, 0);
    EXPECT_STREQ(StatusText, "Serial port COM1: successfully reconfigured.");
    ResetAll();
    ASSERT_EQ(Open(), 1);
    const COMMTIMEOUTS& t = fakeSerial.timeoutsSet;
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 150u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 150u);
    EXPECT_EQ(fakeSerial.purgeFlags, PURGE_RXABORT | PURGE_RXCLEAR);
}

TEST_F(Driver, ReleaseTwiceThenLineCommandOnTheNoPortHandle) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(ReleaseCOM(), 1);
    EXPECT_EQ(ReleaseCOM(), 1);
    EXPECT_EQ(fakeSerial.calls["CloseHandle"], 1u);
    EXPECT_STREQ(StatusText, "Serial port COM1: successfully closed.");
    EXPECT_EQ(FlushRxBuf(), 1);  // nothing to flush
    EXPECT_EQ(fakeSerial.calls["PurgeComm"], 1u);
    EXPECT_EQ(DTROn(), 0);
    EXPECT_EQ(StatusCode, 12);
    EXPECT_STREQ(StatusText, "DTROn failed with error 6.");
}

TEST_F(Driver, FailedSendTexts) {
    const struct { DWORD errors, stat; bool clearFails; const char* text; } rows[] = {
        {0, 0, false, ""},
        {CE_FRAME | CE_OVERRUN, 0, false, "Framing error. Overrun - characters lost. "},
        {0, 0x18, false, "Tx suspended by XOFF.XOFF has been sent and Tx suspended. "},
        {0xFFFF, 0x7F, false,
         "Break detected. A parallel device is not selected. Framing error. I/O error. Invalid mode/handle. "
         "Out of paper. Overrun - characters lost. Parallel time-out. Input buffer overflow - characters lost. "
         "Receive parity fault. Transmit buffer full - unable to transmit character. Tx waiting for CTS. "
         "Tx waiting for DSR. Tx waiting for RLSD. Tx suspended by XOFF.XOFF has been sent and Tx suspended. "
         "EOF has been received. Tx has been overruled. "},
        {CE_FRAME, 0, true, "The device is not connected.\r\n"},
    };
    for (const auto& row : rows) {
        ResetAll();
        ASSERT_EQ(Open(), 1);
        fakeSerial.fail["WriteFile"] = 1167;
        if (row.clearFails) fakeSerial.fail["ClearCommError"] = 1167;
        fakeSerial.messages[1167] = "The device is not connected.\r\n";
        fakeSerial.commErrors = row.errors;
        DWORD stat = row.stat;
        std::memcpy(&fakeSerial.comstat, &stat, sizeof stat);
        EXPECT_EQ(TxChar('A'), 0xFFFF);
        EXPECT_EQ(StatusCode, 1);
        EXPECT_STREQ(StatusText, row.text);
        EXPECT_EQ(fakeSerial.allocations, 0);
    }
    fakeSerial.fail.clear();
    EXPECT_EQ(TxChar(0x141), 0);  // low 8 bits only
    EXPECT_EQ(fakeSerial.tx, "A");
}

TEST_F(Driver, TxBufFreeWrapsAndClamps) {
    const struct { DWORD max, cur; uint16_t free; } rows[] = {
        {0, 0, 0}, {4096, 96, 4000}, {10, 11, 0xFFFF}, {0x1FFFF, 0x10000, 0xFFFF}, {0x20000, 0x10001, 0xFFFF}};
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
        ASSERT_EQ(OpenCOM(255, 9600, 8, 1, 0), 1);
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

TEST_F(Driver, RxChar) {
    ASSERT_EQ(Open(), 1);
    fakeSerial.rx = "\xFF";
    EXPECT_EQ(RxChar(), 255);
    EXPECT_EQ(RxChar(), -1);
    fakeSerial.fail["ReadFile"] = 31;
    StatusCode = 42;
    EXPECT_EQ(RxChar(), -1);
    EXPECT_EQ(StatusCode, 42);
}

TEST_F(Driver, ControlLinesAndPendingChanges) {
    ASSERT_EQ(Open(), 1);
    fakeSerial.modem = MS_DSR_ON | MS_CTS_ON;
    EXPECT_EQ(ControlLines(), 0x33);
    EXPECT_EQ(ControlLines(), 0x30);
    EXPECT_EQ(RxStatus(), 0);
    fakeSerial.modem = MS_DSR_ON;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(RxStatus(), RX_CTRL);
    EXPECT_EQ(ControlLines(), 0x21);
    EXPECT_EQ(RxStatus(), 0);
    fakeSerial.modem = MS_DSR_ON | MS_RLSD_ON;  // DCD on and off again between calls
    fakeSerial.modem = MS_DSR_ON;
    EXPECT_EQ(RxStatus(), 0);
    fakeSerial.fail["GetCommModemStatus"] = 31;  // a failing query reads as off
    EXPECT_EQ(ControlLines(), 0x02);
    EXPECT_EQ(StatusCode, 16);
}

}  // namespace
