#include <gtest/gtest.h>

#include "../driver/serial_driver.h"
#include "fake_console.h"
#include "fake_serial.h"

namespace {

const std::string kShutdown = "(DTR off) (RTS off)\r\n";

struct Monitor : ::testing::Test {
    void SetUp() override {
        ResetAll();
        fakeSerial.modem = MS_DSR_ON | MS_CTS_ON;
        fakeConsole.dryLimit = 20;
    }
    // Runs a session; returns what followed "(DTR on) (RTS on) ".
    static std::string Session(bool plain = false) {
        std::vector<const char*> args = {"1", "9600", "8", "1", "0"};
        if (plain) args.push_back("/NC");
        EXPECT_EQ(RunProgram(args), 0);
        const std::string& out = fakeConsole.output;
        size_t start = out.find("(DTR on) (RTS on) ");
        return start == std::string::npos ? out : out.substr(start + 18);
    }
};

TEST_F(Monitor, WholeSession) {
    fakeConsole.keys = "\xFF";
    EXPECT_EQ(Session(), kShutdown);
    EXPECT_EQ(fakeConsole.output,
              std::string(DriverBanner) + "\r\n" +
                  "Sampling from COM1, 9600 baud, 8 data bits, 1 stop bit, no parity...\r\n"
                  "Tx buffer size: 4096 bytes\r\n\r\n"
                  "Initial control lines (caps=on, lower case=off):\r\n"
                  "dcd\tri\tDSR\tCTS\t    \t    \t\xEB" "DSR\t\xEB" "CTS\r\n\r\n"
                  "Initial Rx status (caps=on, lower case=off):\r\n"
                  "timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull\r\n\r\n"
                  "(DTR on) (RTS on) " + kShutdown);
    EXPECT_EQ(fakeSerial.tx, "\xFF");
    EXPECT_EQ(fakeSerial.escapes, (std::vector<DWORD>{SETDTR, SETRTS, CLRDTR, CLRRTS}));
    EXPECT_FALSE(fakeSerial.open);
    EXPECT_FALSE(fakeConsole.ranDry);
}

// Keys typed after start-up; a failing line command is scripted only then.
TEST_F(Monitor, Keys) {
    const struct { const char* keys; DWORD failing; const char* tx; std::string rest; } rows[] = {
        {"\x1B" "B\xFF", 0, "\xFF", "(Break on) " + kShutdown},
        {"\x1B" "B\xFF", SETBREAK, "\xFF", kShutdown},
        {"\x1B" "b\xFF", 0, "\xFF", "(Break off) " + kShutdown},
        {"\x1B" "b\xFF", CLRBREAK, "\xFF", kShutdown},
        {"\x1B" "D\xFF", 0, "\xFF", "(DTR on) " + kShutdown},
        {"\x1B" "D\xFF", SETDTR, "\xFF", kShutdown},
        {"\x1B" "d\xFF", 0, "\xFF", "(DTR off) " + kShutdown},
        {"\x1B" "d\xFF", CLRDTR, "\xFF", "(RTS off)\r\n"},
        {"\x1B" "R\xFF", 0, "\xFF", "(RTS on) " + kShutdown},
        {"\x1B" "R\xFF", SETRTS, "\xFF", kShutdown},
        {"\x1B" "r\xFF", 0, "\xFF", "(RTS off) " + kShutdown},
        {"\x1B" "r\xFF", CLRRTS, "\xFF", "(DTR off) "},
        {"\x1B\x1B\xFF", 0, "\x1B\xFF", kShutdown},
        {"\x1Bx\xFF", 0, "x\xFF", kShutdown},
        {"\x1B\xFFz", 0, "\xFF", kShutdown},
        {"\x1B\xE0\x48\xFF", 0, "\xE0\x48\xFF", kShutdown},
        {"Bd\x1B\xFF", 0, "Bd\xFF", kShutdown},
    };
    for (const auto& row : rows) {
        SetUp();
        fakeConsole.keys = row.keys;
        DWORD failing = row.failing;
        fakeConsole.onKeyTest = [failing](unsigned) {
            if (failing != 0) fakeSerial.escapeFail[failing] = 5;
        };
        EXPECT_EQ(Session(), row.rest) << row.keys;
        EXPECT_EQ(fakeSerial.tx, row.tx) << row.keys;
        EXPECT_FALSE(fakeConsole.ranDry) << row.keys;
    }
}

TEST_F(Monitor, ReceivedBytes) {
    fakeSerial.rx = "\x41\x0D\x0A\x09\xE9";
    EXPECT_EQ(Session(), "A(0D) \r\n(0A) (09) (E9) " + kShutdown);
}

// CTS drops, then DSR before the next pass; both come back one by one.
TEST_F(Monitor, LineChangesShownWhenTheStatusMoves) {
    fakeConsole.onKeyTest = [](unsigned pass) {
        const DWORD modem[] = {MS_DSR_ON, 0, 0, MS_DSR_ON, MS_DSR_ON | MS_CTS_ON, MS_DSR_ON | MS_CTS_ON, MS_CTS_ON};
        if (pass >= 1 && pass <= 7) fakeSerial.modem = modem[pass - 1];
        if (pass == 8) fakeConsole.keys = "\xFF";
    };
    EXPECT_EQ(Session(), "(CTS off) (CTS on) (DSR off) " + kShutdown);
}

TEST_F(Monitor, PlainLoop) {
    fakeSerial.rx = "A\n\x1B\xFFq";
    fakeConsole.keys = "\x1B" "B\x1B\xFF" "c";
    EXPECT_EQ(Session(true), "A\r\n\x1B\xFF" + kShutdown);
    EXPECT_EQ(fakeSerial.tx, "\x1B" "B\x1B\xFF");
    EXPECT_EQ(fakeSerial.escapes.size(), 4u);  // DTR and RTS up and down only
    EXPECT_EQ(fakeConsole.output.find("Initial"), std::string::npos);
}

}  // namespace
