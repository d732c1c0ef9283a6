// The console configuration dialog, driven by scripted keys: on its own over
// a DCB, and through the driver's ConfigDialog on the loopback port.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "../../driver/serial_driver.h"
#include "../../platform/posix/win32/provider.h"
#include "../unit/fake_console.h"

namespace {

const std::string kUp = "\xE0\x48", kDown = "\xE0\x50", kLeft = "\xE0\x4B", kRight = "\xE0\x4D";

DCB BaseDcb() {  // 9600 8N1, no flow control, as OpenCOM leaves a port
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    return dcb;
}

BOOL RunDialog(const std::string& keys, DCB* dcb) {
    ResetFakeConsole();
    fakeConsole.keys = keys;
    COMMCONFIG cc;
    std::memset(&cc, 0, sizeof cc);
    cc.dwSize = sizeof cc;
    cc.dcb = *dcb;
    SetLastError(0);
    BOOL ok = CommConfigDialogA("COM50:", nullptr, &cc);
    *dcb = cc.dcb;
    return ok;
}

TEST(ConfigDialog, AcceptedChoicesReachTheDcb) {
    struct Case { const char* what; std::string keys; void (*expect)(DCB*); } cases[] = {
        {"unchanged", "\r", [](DCB*) {}},
        {"next rate", kRight + "\r", [](DCB* d) { d->BaudRate = 14400; }},
        {"previous rate", kLeft + "\r", [](DCB* d) { d->BaudRate = 4800; }},
        {"typed rate", "57600\r", [](DCB* d) { d->BaudRate = 57600; }},
        {"typed, mended", "1153\b200\r", [](DCB* d) { d->BaudRate = 115200; }},
        {"shown rate trimmed", "\b\b\r", [](DCB* d) { d->BaudRate = 96; }},
        {"odd rate kept by Tab", "250000\t\r", [](DCB* d) { d->BaudRate = 250000; }},
        {"digits beyond nine dropped", "12345678901\r", [](DCB* d) { d->BaudRate = 123456789; }},
        {"data bits down", kDown + kLeft + "\r", [](DCB* d) { d->ByteSize = 7; }},
        {"data bits wrap", "\t" + kRight + "\r", [](DCB* d) { d->ByteSize = 5; }},
        {"even parity", "\t\t  \r", [](DCB* d) { d->Parity = EVENPARITY; }},
        {"1.5 stop bits, not judged", "\t\t\t" + kRight + "\r", [](DCB* d) { d->StopBits = ONE5STOPBITS; }},
        {"hardware flow", kUp + kRight + "\r", [](DCB* d) { d->fOutxCtsFlow = 1; d->fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {"xon/xoff flow", kUp + kLeft + "\r", [](DCB* d) { d->fOutX = d->fInX = 1; d->XonChar = 0x11; d->XoffChar = 0x13; }},
        {"shift-tab", "\x1b[Z" + kRight + "\r", [](DCB* d) { d->fOutxCtsFlow = 1; d->fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {"function key ignored", std::string("\x00\x3B\r", 3), [](DCB*) {}},
    };
    for (const Case& c : cases) {
        DCB got = BaseDcb(), want = BaseDcb();
        c.expect(&want);
        EXPECT_TRUE(RunDialog(c.keys, &got)) << c.what;
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << c.what << ": rate " << got.BaudRate;
        EXPECT_TRUE(fakeConsole.keys.empty()) << c.what;
    }
}

TEST(ConfigDialog, FlowAndValuesItDoesNotOffer) {
    DCB dcb = BaseDcb();  // hardware flow back to none: RTS is driven again
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(RunDialog(kUp + kLeft + kLeft + "\r", &dcb));
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_ENABLE));

    DCB odd = BaseDcb();  // 4 data bits, parity 9, DSR flow: shown, kept as found
    odd.ByteSize = 4, odd.Parity = 9, odd.fOutxDsrFlow = 1;
    DCB got = odd;
    ASSERT_TRUE(RunDialog("\r", &got));
    EXPECT_EQ(std::memcmp(&got, &odd, sizeof got), 0);
    EXPECT_NE(fakeConsole.output.find("(4)"), std::string::npos);
    EXPECT_NE(fakeConsole.output.find("(custom)"), std::string::npos);
}

TEST(ConfigDialog, ScreenShowsCurrentValuesAndFits) {
    DCB dcb = BaseDcb();  // 57600 7O2, software flow
    dcb.BaudRate = 57600, dcb.ByteSize = 7, dcb.Parity = ODDPARITY, dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = dcb.fInX = 1;
    ASSERT_TRUE(RunDialog(kDown + "\r", &dcb));
    const std::string& out = fakeConsole.output;
    for (const char* shown : {"COM50:", "57600", "7", "Odd", "2", "Xon / Xoff"}) {
        EXPECT_NE(out.find(shown), std::string::npos) << shown;
    }
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
    size_t column = 0, widest = 0;  // columns used, escape sequences not counted
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\x1b') {
            while (i < out.size() && !(out[i] >= 0x40 && out[i] <= 0x7E && out[i] != '[')) ++i;
            EXPECT_TRUE(i < out.size() && out[i] != 'm') << "attribute set at " << i;
        } else if (out[i] == '\r' || out[i] == '\n') {
            column = 0;
        } else if (++column > widest) {
            widest = column;
        }
    }
    EXPECT_LT(widest, 80u);
}

TEST(ConfigDialog, CancelLeavesTheDcbAndEndsTheScreen) {
    struct Case { const char* what; std::string keys; } cases[] = {
        {"ESC", "\x1b"}, {"ESC after changes", kRight + kDown + kLeft + "\x1b"},
        {"ESC while typing", "123\x1b"}, {"end-of-session key", "\xFF"},
        {"keys run out", kRight}, {"keys run out inside a cursor key", "\xE0"},
        {"input ended", std::string("\x00\x00", 2)},
    };
    for (const Case& c : cases) {
        DCB dcb = BaseDcb(), want = BaseDcb();
        EXPECT_FALSE(RunDialog(c.keys, &dcb)) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_CANCELLED) << c.what;
        EXPECT_EQ(std::memcmp(&dcb, &want, sizeof dcb), 0) << c.what;
        EXPECT_FALSE(fakeConsole.ranDry) << c.what;  // gave up on its own, within its bound
        EXPECT_LE(fakeConsole.sleeps, 6000u) << c.what;
        EXPECT_EQ(fakeConsole.output.substr(fakeConsole.output.size() - 2), "\r\n") << c.what;
    }
}

// Through the driver on the loopback port, opened as "COM50 9600 8 1 0".
struct DialogOnLoop : ::testing::Test {
    void SetUp() override {
        setenv("DORVALIX_COM50", "loop", 1);
        ResetFakeConsole();
        ASSERT_EQ(OpenCOM(50, 9600, 8, 1, 0), 1);
    }
    void TearDown() override { ReleaseCOM(); }
    DCB PortState() {
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        EXPECT_TRUE(GetCommState(PortHandle, &dcb));
        return dcb;
    }
};

TEST_F(DialogOnLoop, ChosenSettingsBecomeThePorts) {
    fakeConsole.keys = "57600" + kDown + kLeft + kDown + kRight + kRight + kDown + kRight + kRight + "\r";
    EXPECT_EQ(ConfigDialog(), 1);
    EXPECT_EQ(StatusCode, 0);
    DCB dcb = PortState();
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_TRUE(dcb.ByteSize == 7 && dcb.Parity == EVENPARITY && dcb.StopBits == TWOSTOPBITS);
}

TEST_F(DialogOnLoop, FailuresKeepTheCommandLineSettings) {
    struct Case { const char* what; std::string keys; bool interactive; const char* text; } cases[] = {
        {"5 data bits with 2 stop bits", "115200" + kDown + kLeft + kLeft + kLeft + kDown + kDown + kLeft + "\r", true,
         "SetCommConfig failed with error 87."},
        {"cancelled", "115200" + kDown + kLeft + "\x1b", true, "CommConfigDialog failed with error 1223."},
        {"not a terminal", "115200\r", false, "CommConfigDialog failed with error 50."},
    };
    for (const Case& c : cases) {
        ResetFakeConsole();
        fakeConsole.keys = c.keys;
        fakeConsole.interactive = c.interactive;
        EXPECT_EQ(ConfigDialog(), 0) << c.what;
        EXPECT_EQ(StatusCode, 20) << c.what;
        EXPECT_STREQ(StatusText, c.text) << c.what;
        EXPECT_EQ(fakeConsole.output.empty(), !c.interactive) << c.what;  // no terminal: nothing printed
        DCB dcb = PortState();
        EXPECT_EQ(dcb.BaudRate, 9600u) << c.what;
        EXPECT_TRUE(dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT) << c.what;
    }
}

}  // namespace
