#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <sstream>

#include "../../driver/serial_driver.h"
#include "../../monitor/session.h"
#include "fake_console.h"
#include "fake_serial.h"

namespace {

struct Session : ::testing::Test {
    void SetUp() override { ResetAll(); }
    // Runs the program on space-separated arguments, 0xFF typed at once;
    // `script` adjusts the fakes before the start.
    static int Run(const std::string& line, const std::function<void()>& script = {}) {
        ResetAll();
        fakeConsole.keys = "\xFF";
        if (script) script();
        std::istringstream in(line);
        std::vector<std::string> words(std::istream_iterator<std::string>(in), {});
        std::vector<const char*> args;
        for (const std::string& w : words) args.push_back(w.c_str());
        return RunProgram(args);
    }
};

const std::string kBanner = std::string(DriverBanner) + "\r\n";
const std::string kShutdown = "(DTR off) (RTS off)\r\n";
const std::string& Out() { return fakeConsole.output; }

TEST_F(Session, EchoAndOpenArguments) {
    const std::string longStop(1500, 'x');  // more than any formatting buffer holds
    const struct { std::string args, echo; int port; DWORD baud; BYTE parity, stop; bool lines, dialog; } rows[] = {
        {"1 115200 8 1 0", "COM1, 115200 baud, 8 data bits, 1 stop bit, no", 1, 115200, NOPARITY, ONESTOPBIT, 1, 0},
        {"2 300 5 5 3", "COM2, 300 baud, 5 data bits, 1.5 stop bits, even", 2, 300, EVENPARITY, ONE5STOPBITS, 1, 0},
        {"1 300 8 2 4", "COM1, 300 baud, 8 data bits, 2 stop bits, wierd", 1, 300, NOPARITY, TWOSTOPBITS, 1, 0},
        {"1 300 8 02 0", "COM1, 300 baud, 8 data bits, 02 stop bits, no", 1, 300, NOPARITY, TWOSTOPBITS, 1, 0},
        {"1 300 8 x 5", "COM1, 300 baud, 8 data bits, x stop bit, mark", 1, 300, MARKPARITY, ONESTOPBIT, 1, 0},
        {"1 300 8 1.5 1", "COM1, 300 baud, 8 data bits, 1.5 stop bit, odd", 1, 300, ODDPARITY, ONESTOPBIT, 1, 0},
        {"1 300 8 261 0", "COM1, 300 baud, 8 data bits, 261 stop bits, no", 1, 300, NOPARITY, ONE5STOPBITS, 1, 0},
        {"1 300 8 1 257", "COM1, 300 baud, 8 data bits, 1 stop bit, wierd", 1, 300, ODDPARITY, ONESTOPBIT, 1, 0},
        {"257 300 8 1 0", "COM257, 300 baud, 8 data bits, 1 stop bit, no", 1, 300, NOPARITY, ONESTOPBIT, 1, 0},
        {"1 -1 8 1 0", "COM1, 4294967295 baud, 8 data bits, 1 stop bit, no", 1, 0xFFFFFFFF, NOPARITY, ONESTOPBIT, 1, 0},
        {"1 4294967297 8 1 0", "COM1, 1 baud, 8 data bits, 1 stop bit, no", 1, 1, NOPARITY, ONESTOPBIT, 1, 0},
        {"1 300 8 1 0 /NC /foo /Cfg", "COM1, 300 baud, 8 data bits, 1 stop bit, no", 1, 300, NOPARITY, ONESTOPBIT, 0, 1},
        {"1 300 8 1 0 /ncx", "COM1, 300 baud, 8 data bits, 1 stop bit, no", 1, 300, NOPARITY, ONESTOPBIT, 1, 0},
        {"12 300 8 3 7", "COM12, 300 baud, 8 data bits, 3 stop bits, space", 12, 300, SPACEPARITY, ONESTOPBIT, 1, 0},
        {"1 300 8 1 6", "COM1, 300 baud, 8 data bits, 1 stop bit, wierd", 1, 300, NOPARITY, ONESTOPBIT, 1, 0},
        {"1 300 8 1 /nc", "COM1, 300 baud, 8 data bits, 1 stop bit, no", 1, 300, NOPARITY, ONESTOPBIT, 1, 0},
        {"1 300 8 " + longStop + " 3", "COM1, 300 baud, 8 data bits, " + longStop + " stop bit, even", 1, 300,
         EVENPARITY, ONESTOPBIT, 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.substr(0, 40));
        EXPECT_EQ(Run(row.args), 0);
        EXPECT_EQ(Out().rfind(kBanner + "Sampling from " + row.echo + " parity...\r\n", 0), 0u) << Out();
        EXPECT_EQ(fakeSerial.device, "\\\\.\\COM" + std::to_string(row.port));
        EXPECT_EQ(fakeSerial.dcbSet.BaudRate, row.baud);
        EXPECT_EQ(fakeSerial.dcbSet.Parity, row.parity);
        EXPECT_EQ(fakeSerial.dcbSet.StopBits, row.stop);
        EXPECT_EQ(Out().find("(Ignoring control lines)\r\n") == std::string::npos, row.lines);
        EXPECT_EQ(Out().find("Initial control lines") != std::string::npos, row.lines);
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
    for (const char* args : {"", "1 9600 8 1"}) {
        EXPECT_EQ(Run(args), 1);
        size_t first = Out().find("\r\n");
        ASSERT_GT(first, 52u);
        EXPECT_EQ(Out().substr(0, 51), "DORVALIX v4.1" + std::string(38, ' '));
        EXPECT_NE(Out()[51], ' ');
        EXPECT_EQ(Out().substr(first + 2), rest);
        EXPECT_EQ(fakeSerial.calls["CreateFileA"], 0u);
    }
}

TEST_F(Session, Failures) {
    const std::string head = kBanner + "Sampling from COM3, 9600 baud, 8 data bits, 1 stop bit, no parity...\r\n";
    const std::string plain = "(Ignoring control lines)\r\n";
    const std::string session = "Tx buffer size: 4096 bytes\r\n(DTR on) (RTS on) " + kShutdown;
    const struct { const char* failing; const char* args; int exit; std::string out; } rows[] = {
        {"CreateFileA", "", 1, head + "Unable to open COM port.\r\n"},
        {"GetCommState", "", 1, head + "Unable to open COM port.\r\n"},
        {"SetCommState", "", 1, head + "Unable to open COM port.\r\n"},
        {"CommConfigDialogA", " /nc /cfg", 0, head + plain + "WARNING: Configuration dialog not available.\r\n" + session},
        {"CloseHandle", " /nc", 0, head + plain + session + "Unable to Release COM port.\r\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Run(std::string("3 9600 8 1 0") + row.args, [&] { fakeSerial.fail[row.failing] = 5; }), row.exit);
        EXPECT_EQ(Out(), row.out) << row.failing;
        EXPECT_EQ(fakeSerial.calls["CloseHandle"], row.exit ? 0u : 1u);  // a failed open is not released
    }
}

// The capture options: /LOG's name in any case up to its first colon, the
// path after it as written, the last one counting; /TS as a whole word.
TEST(CaptureOptions, LogPathAndTimeStamps) {
    const struct { std::vector<const char*> options; const char* path; bool stamps; } rows[] = {
        {{"/LOG:a.log"}, "a.log", false},
        {{"/log:C:\\x:y", "/Ts"}, "C:\\x:y", true},
        {{"/Log"}, "", false},
        {{"/LOG:", "/ts"}, "", true},
        {{"/LOG:one", "/log:two"}, "two", false},
        {{"/LOGX:a", "/LO:a", "/TSX", "/T", "log:a"}, nullptr, false},
    };
    for (const auto& row : rows) {
        std::vector<const char*> argv = {"dorvalix", "1", "300", "8", "1", "0"};
        argv.insert(argv.end(), row.options.begin(), row.options.end());
        SessionSettings settings;
        ASSERT_TRUE(ParseCommandLine(int(argv.size()), argv.data(), &settings));
        EXPECT_STREQ(settings.logPath, row.path) << row.options[0];
        EXPECT_EQ(settings.timeStamps, row.stamps) << row.options[0];
    }
}

// /HEX and /HEX:<ms>: the gap given, or 3.5 characters at the line
// settings but at least 20 ms; a bad gap, or /NC beside it, is refused
// before anything is opened or shown.
TEST_F(Session, HexOption) {
    const struct { const char* args; bool hex; uint32_t gap; const char* refused; } rows[] = {
        {"1 9600 8 1 0 /hex", true, 20, nullptr},
        {"1 300 8 1 0 /HEX", true, 117, nullptr},
        {"1 300 8 2 3 /HEX", true, 140, nullptr},
        {"1 110 5 5 0 /Hex", true, 239, nullptr},
        {"1 9600 8 1 0 /HEX:5", true, 5, nullptr},
        {"1 9600 8 1 0 /HEX:60000", true, 60000, nullptr},
        {"1 9600 8 1 0 /HEXA /HE", false, 20, nullptr},
        {"1 9600 8 1 0 /HEX:0", true, 0, "/HEX:0: the gap must be 1 to 60000 ms.\r\n"},
        {"1 9600 8 1 0 /HEX:60001", true, 0, "/HEX:60001: the gap must be 1 to 60000 ms.\r\n"},
        {"1 9600 8 1 0 /HEX:1x", true, 0, "/HEX:1x: the gap must be 1 to 60000 ms.\r\n"},
        {"1 9600 8 1 0 /HEX: /nc", true, 0, "/HEX cannot be combined with /NC.\r\n"},
        {"1 9600 8 1 0 /NC /hex:10", true, 10, "/HEX cannot be combined with /NC.\r\n"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> words;
        std::istringstream in(std::string("dorvalix ") + row.args);
        for (std::string word; in >> word;) words.push_back(word);
        std::vector<const char*> argv;
        for (const auto& word : words) argv.push_back(word.c_str());
        SessionSettings settings;
        ASSERT_TRUE(ParseCommandLine(int(argv.size()), argv.data(), &settings));
        EXPECT_EQ(settings.hexView, row.hex) << row.args;
        if (row.gap != 0) {
            EXPECT_EQ(HexGapMs(settings), row.gap) << row.args;
        }
        if (row.refused == nullptr) continue;
        EXPECT_EQ(Run(row.args), 1) << row.args;
        EXPECT_EQ(Out(), row.refused);
        EXPECT_EQ(fakeSerial.calls["CreateFileA"], 0u);
    }
}

// The end-of-session wait: the transmit queue fills when the end key is
// typed and drains (or not) while the session waits for it.
TEST_F(Session, EndOfSessionWait) {
    const struct { DWORD max, drain; bool propsFail; DWORD portBaud; unsigned minSleeps, maxSleeps; } rows[] = {
        {0, 0, false, 0, 0, 0},         // headroom 0 at start: nothing to wait for
        {4096, 30, false, 0, 4, 4},     // drains over a few polls
        {4096, 0, false, 0, 100, 102},  // never drains: about a second
        {4096, 0, true, 0, 100, 143},   // headroom unreadable (0): a second and the queue's time
        {4096, 0, false, 300, 500, 502},  // the port runs at 300 baud (as a dialog set it): 100 bytes take 4 s more
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Run("1 115200 8 1 0 /nc", [&] {
                      fakeSerial.maxTxQueue = row.max, fakeSerial.txDrainStep = row.drain;
                      fakeSerial.dcbIn.BaudRate = row.portBaud;  // what GetCommState reports; 0: the port cannot tell
                      fakeConsole.onKeyTest = [&](unsigned) {
                          fakeSerial.curTxQueue = 100;
                          if (row.propsFail) fakeSerial.fail["GetCommProperties"] = 31;
                      };
                  }),
                  0);
        EXPECT_GE(fakeConsole.sleeps, row.minSleeps) << row.drain;
        EXPECT_LE(fakeConsole.sleeps, row.maxSleeps) << row.drain;
        EXPECT_EQ(Out().substr(Out().size() - kShutdown.size()), kShutdown);
    }
}

}  // namespace
