#include <gtest/gtest.h>

#include "../../driver/serial_driver.h"
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
        size_t start = fakeConsole.output.find("(DTR on) (RTS on) ");
        return start == std::string::npos ? fakeConsole.output : fakeConsole.output.substr(start + 18);
    }
};

TEST_F(Monitor, WholeSession) {
    fakeConsole.keys = "\xFF";
    EXPECT_EQ(Session(), kShutdown);
    EXPECT_EQ(fakeConsole.output, std::string(DriverBanner) +
                                      "\r\nSampling from COM1, 9600 baud, 8 data bits, 1 stop bit, no parity...\r\n"
                                      "Tx buffer size: 4096 bytes\r\n\r\n"
                                      "Initial control lines (caps=on, lower case=off):\r\n"
                                      "dcd\tri\tDSR\tCTS\t    \t    \t\xEB" "DSR\t\xEB" "CTS\r\n\r\n"
                                      "Initial Rx status (caps=on, lower case=off):\r\n"
                                      "timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull\r\n\r\n"
                                      "(DTR on) (RTS on) " + kShutdown);
    EXPECT_EQ(fakeSerial.escapes, (std::vector<DWORD>{SETDTR, SETRTS, CLRDTR, CLRRTS}));
    EXPECT_FALSE(fakeSerial.open);
}

// Keys typed after start-up (a failing line command is scripted only then)
// and bytes received one per pass.
TEST_F(Monitor, KeysAndReceivedBytes) {
    const struct { bool plain; const char* rx; const char* keys; DWORD failing; const char* tx; std::string rest; } rows[] = {
        {0, "", "\x1B" "B\xFF", 0, "\xFF", "(Break on) " + kShutdown},
        {0, "", "\x1B" "B\xFF", SETBREAK, "\xFF", kShutdown},
        {0, "", "\x1B" "b\xFF", 0, "\xFF", "(Break off) " + kShutdown},
        {0, "", "\x1B" "b\xFF", CLRBREAK, "\xFF", kShutdown},
        {0, "", "\x1B" "D\xFF", 0, "\xFF", "(DTR on) " + kShutdown},
        {0, "", "\x1B" "D\xFF", SETDTR, "\xFF", kShutdown},
        {0, "", "\x1B" "d\xFF", 0, "\xFF", "(DTR off) " + kShutdown},
        {0, "", "\x1B" "d\xFF", CLRDTR, "\xFF", "(RTS off)\r\n"},
        {0, "", "\x1B" "R\xFF", 0, "\xFF", "(RTS on) " + kShutdown},
        {0, "", "\x1B" "R\xFF", SETRTS, "\xFF", kShutdown},
        {0, "", "\x1B" "r\xFF", 0, "\xFF", "(RTS off) " + kShutdown},
        {0, "", "\x1B" "r\xFF", CLRRTS, "\xFF", "(DTR off) "},
        {0, "", "\x1B\x1B\xFF", 0, "\x1B\xFF", kShutdown},
        {0, "", "\x1Bx\xFF", 0, "x\xFF", kShutdown},
        {0, "", "\x1B\xFFz", 0, "\xFF", kShutdown},
        {0, "", "\x1B\xE0\x48\xFF", 0, "\xE0\x48\xFF", kShutdown},
        {0, "", "Bd\x1B\xFF", 0, "Bd\xFF", kShutdown},
        {0, "\x41\x0D\x0A\x09\xE9", "abcd\xFF", 0, "abcd\xFF", "A(0D) \r\n(0A) (09) (E9) " + kShutdown},
        {1, "A\n\x1B\xFFq", "\x1B" "B\x1B\xFF" "c", 0, "\x1B" "B\x1B\xFF", "A\r\n\x1B\xFF" + kShutdown},
    };
    for (const auto& row : rows) {
        SetUp();
        fakeSerial.rx = row.rx;
        fakeConsole.keys = row.keys;
        DWORD failing = row.failing;
        fakeConsole.onKeyTest = [failing](unsigned) { fakeSerial.escapeFail[failing] = failing ? 5 : 0; };
        EXPECT_EQ(Session(row.plain), row.rest) << row.keys;
        EXPECT_EQ(fakeSerial.tx, row.tx) << row.keys;
        EXPECT_EQ(fakeConsole.output.find("Initial") == std::string::npos, row.plain);
        EXPECT_FALSE(fakeConsole.ranDry) << row.keys;
    }
}

// A key read that fails (-1, as a console whose read failed gives) is no
// key: nothing is sent for it, in either mode.
TEST_F(Monitor, FailedKeyReadSendsNothing) {
    for (bool plain : {false, true}) {
        SetUp();
        fakeConsole.keys = "a\xFF";
        fakeConsole.failedReads = 2;
        EXPECT_EQ(Session(plain), kShutdown);
        EXPECT_EQ(fakeSerial.tx, "a\xFF") << plain;
    }
}

// CTS drops, then DSR before the next pass; both come back one by one, and
// after a quiet pass DSR drops again.
TEST_F(Monitor, LineChangesShownWhenTheStatusMoves) {
    fakeConsole.onKeyTest = [](unsigned pass) {
        const DWORD modem[] = {MS_DSR_ON, 0, 0, MS_DSR_ON, MS_DSR_ON | MS_CTS_ON, MS_DSR_ON | MS_CTS_ON, MS_CTS_ON};
        if (pass >= 1 && pass <= 7) fakeSerial.modem = modem[pass - 1];
        if (pass == 8) fakeConsole.keys = "\xFF";
    };
    EXPECT_EQ(Session(), "(CTS off) (CTS on) (DSR off) " + kShutdown);
}

// Receive errors as ClearCommError reports them (scripted per pass, shown on
// the next pass after its byte): one item per bit, each time it comes, on
// CTRL's pass too; in the initial table when they come before it; none in
// the plain mode.
TEST_F(Monitor, ReceiveErrorsShownAfterTheirByte) {
    const DWORD all = CE_BREAK | CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER;
    const struct { bool plain; DWORD before; std::vector<DWORD> passes; DWORD modem; std::string rest; } rows[] = {
        {0, 0, {CE_FRAME}, MS_DSR_ON | MS_CTS_ON, "AB(FRAME) C" + kShutdown},
        {0, 0, {CE_FRAME, CE_FRAME}, MS_DSR_ON | MS_CTS_ON, "AB(FRAME) C(FRAME) " + kShutdown},
        {0, 0, {all}, MS_DSR_ON | MS_CTS_ON, "AB(BREAK) (FRAME) (PARITY) (OVERRUN) (BUFFULL) C" + kShutdown},
        {0, 0, {CE_RXPARITY | CE_TXFULL}, MS_DSR_ON, "AB(PARITY) (CTS off) C" + kShutdown},
        {0, CE_BREAK | CE_OVERRUN, {}, MS_DSR_ON | MS_CTS_ON, "ABC" + kShutdown},
        {1, CE_BREAK, {CE_FRAME, CE_BREAK}, MS_DSR_ON | MS_CTS_ON, "ABC" + kShutdown},
    };
    for (const auto& row : rows) {
        SetUp();
        fakeSerial.rx = "ABC";
        fakeSerial.commErrors = row.before;
        std::vector<DWORD> passes = row.passes;
        DWORD modem = row.modem;
        fakeConsole.onKeyTest = [passes, modem](unsigned pass) {
            if (pass >= 1 && pass <= passes.size()) fakeSerial.commErrors = passes[pass - 1];
            if (pass == 1) fakeSerial.modem = modem;
            if (pass == 4) fakeConsole.keys = "\xFF";
        };
        EXPECT_EQ(Session(row.plain), row.rest) << row.rest;
        const bool table = row.before != 0 && !row.plain;
        EXPECT_EQ(fakeConsole.output.find("timeout\tunused\tctrl\tBREAK\tframe\tparity\tOVERRUN\tbuffull") !=
                      std::string::npos, table);
    }
}

// Runs of received bytes: a run ends at an error's place, its item follows
// its byte, and a line change found after a run is shown after that run.
TEST_F(Monitor, RunsEndAtErrorsAndLooksComeBetweenThem) {
    fakeSerial.rx = "ABCDEF\rGH";
    fakeSerial.readLimit = 4096;
    fakeSerial.errorsAt = {{3, CE_FRAME}};
    fakeConsole.onKeyTest = [](unsigned pass) {
        if (pass == 1) fakeSerial.modem = MS_DSR_ON;
        if (pass == 3) fakeConsole.keys = "\xFF";
    };
    EXPECT_EQ(Session(), "ABC(FRAME) DEF(0D) \r\nGH(CTS off) " + kShutdown);
    EXPECT_EQ(fakeSerial.calls["ReadFile"], 3u);
}

// A key typed while a long run arrives is sent after the run it came
// during, not after all of them; every byte is shown, in both modes.
TEST_F(Monitor, KeyWhileALongRunArrives) {
    for (bool plain : {false, true}) {
        SetUp();
        std::string rx;
        for (int i = 0; i < 40000; ++i) rx += char(0x20 + i % 95);
        fakeSerial.rx = rx;
        fakeSerial.readLimit = 100000;
        fakeConsole.keys = "k";
        size_t leftWhenSent = 0;
        fakeConsole.onKeyTest = [&](unsigned pass) {
            if (pass == 2) leftWhenSent = fakeSerial.tx == "k" ? fakeSerial.rx.size() : 0;
            if (fakeSerial.rx.empty()) fakeConsole.keys = "\xFF";
        };
        EXPECT_EQ(Session(plain), rx + kShutdown) << plain;
        EXPECT_EQ(leftWhenSent, 40000u - 2 * 4096u) << plain;  // sent after the first run
        EXPECT_EQ(fakeSerial.tx, "k\xFF");
    }
}

}  // namespace
