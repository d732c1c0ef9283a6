#include <gtest/gtest.h>

#include "../driver/serial_driver.h"
#include "fake_console.h"
#include "fake_serial.h"

namespace {

struct Session : ::testing::Test {
    void SetUp() override {
        ResetAll();
        fakeConsole.keys = "\xFF";
    }
};

const std::string kBanner = std::string(DriverBanner) + "\r\n";

TEST_F(Session, EchoAndOpenArguments) {
    const struct {
        std::vector<const char*> args;
        const char* line;
        const char* device;
        DWORD baud;
        BYTE parity, stop;
        bool lines, dialog;
    } rows[] = {
        {{"1", "115200", "8", "1", "0"}, "COM1, 115200 baud, 8 data bits, 1 stop bit, no", "\\\\.\\COM1", 115200,
         NOPARITY, ONESTOPBIT, true, false},
        {{"2", "300", "5", "5", "3"}, "COM2, 300 baud, 5 data bits, 1.5 stop bits, even", "\\\\.\\COM2", 300,
         EVENPARITY, ONE5STOPBITS, true, false},
        {{"1", "300", "8", "2", "4"}, "COM1, 300 baud, 8 data bits, 2 stop bits, wierd", "\\\\.\\COM1", 300, NOPARITY,
         TWOSTOPBITS, true, false},
        {{"1", "300", "8", "02", "0"}, "COM1, 300 baud, 8 data bits, 02 stop bits, no", "\\\\.\\COM1", 300, NOPARITY,
         TWOSTOPBITS, true, false},
        {{"1", "300", "8", "x", "0"}, "COM1, 300 baud, 8 data bits, x stop bit, no", "\\\\.\\COM1", 300, NOPARITY,
         ONESTOPBIT, true, false},
        {{"1", "300", "8", "1.5", "0"}, "COM1, 300 baud, 8 data bits, 1.5 stop bit, no", "\\\\.\\COM1", 300,
         NOPARITY, ONESTOPBIT, true, false},
        {{"1", "300", "8", "261", "0"}, "COM1, 300 baud, 8 data bits, 261 stop bits, no", "\\\\.\\COM1", 300,
         NOPARITY, ONE5STOPBITS, true, false},
        {{"1", "300", "8", "1", "257"}, "COM1, 300 baud, 8 data bits, 1 stop bit, wierd", "\\\\.\\COM1", 300,
         ODDPARITY, ONESTOPBIT, true, false},
        {{"257", "300", "8", "1", "0"}, "COM257, 300 baud, 8 data bits, 1 stop bit, no", "\\\\.\\COM1", 300,
         NOPARITY, ONESTOPBIT, true, false},
        {{"1", "-1", "8", "1", "0"}, "COM1, 4294967295 baud, 8 data bits, 1 stop bit, no", "\\\\.\\COM1",
         0xFFFFFFFF, NOPARITY, ONESTOPBIT, true, false},
        {{"1", "4294967297", "8", "1", "0"}, "COM1, 1 baud, 8 data bits, 1 stop bit, no", "\\\\.\\COM1", 1,
         NOPARITY, ONESTOPBIT, true, false},
        {{"1", "300", "8", "1", "0", "/NC", "/foo", "/Cfg"}, "COM1, 300 baud, 8 data bits, 1 stop bit, no",
         "\\\\.\\COM1", 300, NOPARITY, ONESTOPBIT, false, true},
        {{"1", "300", "8", "1", "0", "/ncx"}, "COM1, 300 baud, 8 data bits, 1 stop bit, no", "\\\\.\\COM1", 300,
         NOPARITY, ONESTOPBIT, true, false},
        {{"1", "300", "8", "1", "/nc"}, "COM1, 300 baud, 8 data bits, 1 stop bit, no", "\\\\.\\COM1", 300, NOPARITY,
         ONESTOPBIT, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        ResetAll();
        fakeConsole.keys = "\xFF";
        EXPECT_EQ(RunProgram(row.args), 0);
        const std::string& out = fakeConsole.output;
        EXPECT_EQ(out.rfind(kBanner + "Sampling from " + row.line + " parity...\r\n", 0), 0u) << out;
        EXPECT_EQ(fakeSerial.device, row.device);
        EXPECT_EQ(fakeSerial.dcbSet.BaudRate, row.baud);
        EXPECT_EQ(fakeSerial.dcbSet.Parity, row.parity);
        EXPECT_EQ(fakeSerial.dcbSet.StopBits, row.stop);
        EXPECT_EQ(out.find("(Ignoring control lines)\r\n") == std::string::npos, row.lines);
        EXPECT_EQ(out.find("Initial control lines") != std::string::npos, row.lines);
        EXPECT_EQ(fakeSerial.calls["CommConfigDialogA"], row.dialog ? 1u : 0u);
    }
}

TEST_F(Session, UsageWithFewerThanFiveArguments) {
    const std::string rest =
        "Watches a COM port's data and control lines.\r\n\r\n"
        "DORVALIX port baud data stop parity [/NC] [/CFG]\r\n\r\n"
        "  port    Any valid COM port (1 - 9)\r\n"
        "  baud    Baud rate. Any value up to 115200.\r\n"
        "  data    Data bits. 5, 6, 7, or 8.\r\n"
        "  stop    Stop bits. 1, 2, or 5 (=1.5 stop bits with 5 data bits).\r\n"
        "  parity  Parity. 0 - None, 1 - Odd, 3 - Even, 5 - Mark, 7 - Space.\r\n"
        "  /NC     Optional: No control line display or change allowed.\r\n"
        "  /CFG    Optional: Configure using system dialog.\r\n\r\n"
        "DTR and RTS asserted by default for the duration of the session.\r\n"
        "Typing transmits characters.\r\n"
        "Typing ESC (1Bh) allows control of output lines:\r\n"
        "ESC 'B' transmits break; ESC 'b' releases break.\r\n"
        "ESC 'D' asserts DTR; ESC 'd' releases DTR.\r\n"
        "ESC 'R' asserts RTS; ESC 'r' releases RTS.\r\n"
        "ESC ESC transmits the ASCII ESCape character (1Bh).\r\n"
        "Type character 255 to terminate the session.\r\n";
    for (const auto& args : {std::vector<const char*>{}, std::vector<const char*>{"1", "9600", "8", "1"}}) {
        ResetAll();
        EXPECT_EQ(RunProgram(args), 1);
        const std::string& out = fakeConsole.output;
        size_t first = out.find("\r\n");
        ASSERT_GT(first, 52u);
        EXPECT_EQ(out.substr(0, 51), "DORVALIX v4.1" + std::string(38, ' '));
        EXPECT_NE(out[51], ' ');
        EXPECT_EQ(out.substr(first + 2), rest);
        EXPECT_EQ(fakeSerial.calls["CreateFileA"], 0u);
    }
}

TEST_F(Session, FailedOpenEndsWithoutRelease) {
    const std::string want = kBanner + "Sampling from COM3, 9600 baud, 8 data bits, 1 stop bit, no parity...\r\n" +
                             "Unable to open COM port.\r\n";
    for (const char* failing : {"CreateFileA", "GetCommState", "SetCommState"}) {
        ResetAll();
        fakeSerial.fail[failing] = 5;
        EXPECT_EQ(RunProgram({"3", "9600", "8", "1", "0"}), 1);
        EXPECT_EQ(fakeConsole.output, want) << failing;
        EXPECT_EQ(fakeSerial.calls["CloseHandle"], 0u);
    }
}

TEST_F(Session, DialogAndReleaseFailures) {
    fakeSerial.fail = {{"CommConfigDialogA", ERROR_CANCELLED}, {"CloseHandle", 5}};
    EXPECT_EQ(RunProgram({"1", "9600", "8", "1", "0", "/nc", "/cfg"}), 0);
    const std::string& out = fakeConsole.output;
    EXPECT_NE(out.find("WARNING: Configuration dialog not available.\r\nTx buffer size: 4096 bytes\r\n"),
              std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 50), "(DTR off) (RTS off)\r\nUnable to Release COM port.\r\n");
}

// The end-of-session wait: the transmit queue fills when the end key is
// typed and drains (or not) while the session waits for it.
TEST_F(Session, EndOfSessionWait) {
    const struct { DWORD max, queued, drain; bool propsFail; unsigned minSleeps, maxSleeps; } rows[] = {
        {0, 100, 0, false, 0, 0},        // headroom 0 at start: nothing to wait for
        {4096, 100, 30, false, 4, 4},    // drains over a few polls
        {4096, 100, 0, false, 100, 102}, // never drains: about a second
        {4096, 100, 0, true, 100, 143},  // headroom unreadable: reads as 0
    };
    for (const auto& row : rows) {
        ResetAll();
        fakeConsole.keys = "\xFF";
        fakeSerial.maxTxQueue = row.max;
        fakeSerial.txDrainStep = row.drain;
        fakeConsole.onKeyTest = [&row](unsigned) {
            fakeSerial.curTxQueue = row.queued;
            if (row.propsFail) fakeSerial.fail["GetCommProperties"] = 31;
        };
        EXPECT_EQ(RunProgram({"1", "115200", "8", "1", "0", "/nc"}), 0);
        EXPECT_GE(fakeConsole.sleeps, row.minSleeps) << row.drain;
        EXPECT_LE(fakeConsole.sleeps, row.maxSleeps) << row.drain;
        const std::string& out = fakeConsole.output;
        EXPECT_EQ(out.substr(out.size() - 21), "(DTR off) (RTS off)\r\n");
    }
}

}  // namespace
