// End to end: the built program on ptys, pipes and the loopback port, its
// standard output compared byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "harness.h"

using e2e::Child;
using e2e::Keyboard;
using e2e::Options;
using e2e::Pty;
using e2e::Visible;

namespace {

const std::string kBannerStart = "ZEFT Serial Driver v2.1 ";
const std::string kUtf8 = "LANG=C.UTF-8";
const std::string kEndUtf8 = "\xC3\xBF";  // U+00FF typed in a UTF-8 terminal

// Each line followed by the console's line break.
std::string Lines(std::initializer_list<std::string> lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\r\n";
    return s;
}

std::string Settings115200(const char* com) {
    return std::string("Sampling from ") + com + ", 115200 baud, 8 data bits, 1 stop bit, no parity...\r\n";
}

// Checks the banner line and returns the output after it.
std::string AfterBanner(const std::string& out) {
    size_t end = out.find("\r\n");
    EXPECT_EQ(out.compare(0, kBannerStart.size(), kBannerStart), 0) << Visible(out);
    EXPECT_NE(end, std::string::npos);
    return end == std::string::npos ? std::string() : out.substr(end + 2);
}

std::string Map50(const std::string& device) { return "DORVALIX_COM50=" + device; }

std::string InitialTables(const std::string& lineRow) {
    return Lines({"", "Initial control lines (caps=on, lower case=off):", lineRow, "",
                  "Initial Rx status (caps=on, lower case=off):",
                  "timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull", ""});
}

void ExpectKeyboardRestored(const Child& c) {
    termios after;
    ASSERT_EQ(tcgetattr(c.keyboardSlave(), &after), 0);
    std::string why;
    EXPECT_TRUE(e2e::SameTermios(c.keyboardAtStart(), after, &why)) << "keyboard not restored: " << why;
}

// Fails the test with the output when the child does not exit in time.
#define EXPECT_EXIT_STATUS(child, expected) \
    EXPECT_EQ((child).WaitForExit(), (expected)) << Visible((child).output()) << (child).errors()

TEST(EndToEnd, TooFewArgumentsPrintUsage) {
    const std::string usageTail = "\r\n" + Lines({
        "Watches a COM port's data and control lines.", "",
        "DORVALIX port baud data stop parity [/NC] [/CFG]", "",
        "  port    Any valid COM port (1 - 9)",
        "  baud    Baud rate. Any value up to 115200.",
        "  data    Data bits. 5, 6, 7, or 8.",
        "  stop    Stop bits. 1, 2, or 5 (=1.5 stop bits with 5 data bits).",
        "  parity  Parity. 0 - None, 1 - Odd, 3 - Even, 5 - Mark, 7 - Space.",
        "  /NC     Optional: No control line display or change allowed.",
        "  /CFG    Optional: Configure using system dialog.", "",
        "DTR and RTS asserted by default for the duration of the session.",
        "Typing transmits characters.",
        "Typing ESC (1Bh) allows control of output lines:",
        "ESC 'B' transmits break; ESC 'b' releases break.",
        "ESC 'D' asserts DTR; ESC 'd' releases DTR.",
        "ESC 'R' asserts RTS; ESC 'r' releases RTS.",
        "ESC ESC transmits the ASCII ESCape character (1Bh).",
        "Type character 255 to terminate the session."});
    const std::string head = "DORVALIX v4.1" + std::string(38, ' ');
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"50", "9600", "8", "1"}}) {
        Child c({args, {Map50("/nonexistent/path")}, Keyboard::kPty});
        EXPECT_EXIT_STATUS(c, 1);
        const std::string& out = c.output();
        size_t end = out.find("\r\n");
        ASSERT_NE(end, std::string::npos) << Visible(out);
        EXPECT_EQ(out.compare(0, head.size(), head), 0) << Visible(out);
        EXPECT_GT(end, head.size()) << "no notice";
        EXPECT_NE(out[head.size()], ' ') << "notice must start in column 52";
        EXPECT_EQ(out.substr(end), usageTail) << Visible(out);
    }
}

TEST(EndToEnd, PortThatCannotBeOpenedIsReported) {
    struct Case {
        std::vector<std::string> args;
        std::string echo;
    } cases[] = {
        {{"50", "115200", "8", "1", "0"}, Settings115200("COM50")},
        {{"50", "300", "5", "5", "3", "/nc"},
         Lines({"Sampling from COM50, 300 baud, 5 data bits, 1.5 stop bits, even parity...",
                "(Ignoring control lines)"})},
        {{"50", "-1", "8", "02", "257", "/ncx"},
         Lines({"Sampling from COM50, 4294967295 baud, 8 data bits, 02 stop bits, wierd parity..."})},
    };
    for (const Case& k : cases) {
        Child c({k.args, {Map50("/nonexistent/path")}, Keyboard::kPty});
        EXPECT_EXIT_STATUS(c, 1);
        EXPECT_EQ(AfterBanner(c.output()), k.echo + "Unable to open COM port.\r\n") << Visible(c.output());
    }
}

TEST(EndToEnd, PortInUseIsRefusedAndTheHolderCarriesOn) {
    Pty port;
    Child first({{"50", "115200", "8", "1", "0", "/NC"}, {Map50(port.slavePath), kUtf8}, Keyboard::kPty});
    ASSERT_TRUE(first.WaitForOutput(" bytes\r\n")) << Visible(first.output()) << first.errors();
    {
        Child second({{"50", "115200", "8", "1", "0", "/NC"}, {Map50(port.slavePath), kUtf8}, Keyboard::kPty});
        EXPECT_EXIT_STATUS(second, 1);
        EXPECT_EQ(AfterBanner(second.output()),
                  Settings115200("COM50") + "(Ignoring control lines)\r\nUnable to open COM port.\r\n");
    }
    std::string before = first.output();
    ASSERT_TRUE(e2e::WriteAll(port.master, "still here\n"));
    EXPECT_TRUE(first.WaitForOutput(before + "still here\r\n")) << Visible(first.output());
    ASSERT_TRUE(first.WaitForRawKeyboard()) << Visible(first.output()) << first.errors();
    first.Type("z" + kEndUtf8);
    EXPECT_EQ(e2e::ReadBytes(port.master, 2), "z\xFF");
    EXPECT_EXIT_STATUS(first, 0);
}

// A signal that ends the session removes its lock before the process ends,
// with keys from a terminal or from a pipe; the exit status tells the signal.
TEST(EndToEnd, EndingSignalRemovesTheLock) {
    if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "the lock folder is not writable here";
    for (auto [sig, keyboard] : {std::pair{SIGTERM, Keyboard::kPipe}, std::pair{SIGHUP, Keyboard::kPty}}) {
        SCOPED_TRACE(sig);
        Pty port;
        std::string lock = "/run/lock/LCK.." + port.slavePath.substr(5);
        lock[lock.rfind('/')] = '_';
        Child c({{"50", "115200", "8", "1", "0", "/NC"}, {Map50(port.slavePath), kUtf8}, keyboard});
        ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
        EXPECT_EQ(access(lock.c_str(), F_OK), 0) << "no lock taken";
        c.Signal(sig);
        EXPECT_EXIT_STATUS(c, 128 + sig);
        EXPECT_NE(access(lock.c_str(), F_OK), 0) << "lock left behind";
        unlink(lock.c_str());
    }
}

TEST(EndToEnd, PlainModeOnAPtyPassesBytesRaw) {
    struct Case {
        std::string lang, endKey;
    } cases[] = {{kUtf8, kEndUtf8}, {"LANG=C", "\xFF"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.lang);
        Pty port;
        Child c({{"50", "115200", "8", "1", "0", "/NC"}, {Map50(port.slavePath), k.lang}, Keyboard::kPty});
        ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
        ASSERT_TRUE(c.WaitForRawKeyboard()) << Visible(c.output()) << c.errors();
        const std::string header = Settings115200("COM50") + "(Ignoring control lines)\r\nTx buffer size: 4096 bytes\r\n";
        // Received: raw, only a line feed widened to CR LF.
        ASSERT_TRUE(e2e::WriteAll(port.master, std::string("A\0\x1B\x80\xEB\xFF\nB\r", 10)));
        const std::string shown = std::string("A\0\x1B\x80\xEB\xFF\r\nB\r", 11);
        EXPECT_TRUE(c.WaitForOutput(header + shown)) << Visible(c.output());
        // Typed: sent unchanged, ESC included.
        const std::string keys = "k\r\n\x01\t\x1Bx";
        c.TypeSlowly(keys, 30);
        EXPECT_EQ(Visible(e2e::ReadBytes(port.master, keys.size())), Visible(keys));
        c.Type(k.endKey);
        EXPECT_EQ(Visible(e2e::ReadBytes(port.master, 1)), "\\xFF");
        EXPECT_EXIT_STATUS(c, 0);
        EXPECT_EQ(Visible(AfterBanner(c.output())), Visible(header + shown));
        ExpectKeyboardRestored(c);
    }
}

TEST(EndToEnd, ControlLinesOnTheLoopbackPort) {
    Child c({{"50", "115200", "8", "1", "0"}, {Map50("loop"), kUtf8}, Keyboard::kPty});
    ASSERT_TRUE(c.WaitForOutput("(RTS on) ")) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard()) << Visible(c.output()) << c.errors();
    const std::string E = "\x1B";
    c.TypeSlowly("Hi\r" + E + "d" + E + "D" + E + "r" + E + "R" + E + "B" + E + "b" + E + E);
    c.Type(kEndUtf8);
    EXPECT_EXIT_STATUS(c, 0);
    const std::string expected =
        Settings115200("COM50") + "Tx buffer size: 4096 bytes\r\n" +
        InitialTables("DCD\tri\tDSR\tCTS\t\xEB" "DCD\t    \t\xEB" "DSR\t\xEB" "CTS") +
        "(DTR on) (RTS on) "
        "Hi(0D) \r\n"
        "(DTR off) (DCD off) (DSR off) "
        "(DTR on) (DCD on) (DSR on) "
        "(RTS off) (CTS off) "
        "(RTS on) (CTS on) "
        "(Break on) (BREAK) (Break off) "  // the plug's receiver sees the break
        "(1B) "
        "(DTR off) (RTS off)\r\n";
    EXPECT_EQ(Visible(AfterBanner(c.output())), Visible(expected));
    ExpectKeyboardRestored(c);
}

// Ctrl+C ends the process at once, without the shutdown steps, but the
// keyboard is still put back as it was.
TEST(EndToEnd, CtrlCEndsAtOnceAndRestoresTheKeyboard) {
    Child c({{"50", "115200", "8", "1", "0"}, {Map50("loop"), kUtf8}, Keyboard::kPty});
    ASSERT_TRUE(c.WaitForOutput("(RTS on) ")) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard()) << Visible(c.output()) << c.errors();
    c.Type("x");
    EXPECT_TRUE(c.WaitForOutput("(RTS on) x"));
    c.Collect(100);  // back in its wait, not inside the write that showed x
    c.Type("\x03");
    EXPECT_EXIT_STATUS(c, 128 + SIGINT);
    const std::string& out = c.output();
    EXPECT_EQ(Visible(out.substr(out.find("(DTR on) "))), "(DTR on) (RTS on) x");
    ExpectKeyboardRestored(c);
}

TEST(EndToEnd, ControlLinesOnAPtyWithoutModemLines) {
    Pty port;
    Child c({{"50", "115200", "8", "1", "0"}, {Map50(port.slavePath), kUtf8}, Keyboard::kPty});
    const std::string header = Settings115200("COM50") + "Tx buffer size: 4096 bytes\r\n" +
                               InitialTables("dcd\tri\tdsr\tcts\t    \t    \t    \t    ");
    ASSERT_TRUE(c.WaitForOutput("buffull\r\n\r\n")) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard()) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(e2e::WriteAll(port.master, "A\r\n\t\xE9"));
    const std::string shown = "A(0D) \r\n(0A) (09) (E9) ";
    EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
    c.TypeSlowly("\x1B");
    c.Type(kEndUtf8);
    EXPECT_EQ(Visible(e2e::ReadBytes(port.master, 1)), "\\xFF");
    EXPECT_EXIT_STATUS(c, 0);
    EXPECT_EQ(Visible(AfterBanner(c.output())), Visible(header + shown));
    EXPECT_EQ(e2e::ReadFor(port.master, 50), "") << "ESC must not be sent";
}

// Started with standard output or input closed, the port must not take
// descriptor 1 or 0: no program text on the serial line, no port byte read
// as a key.
TEST(EndToEnd, ClosedStandardStreamsNeverMeetThePort) {
    {
        Pty port;
        Options o{{"50", "115200", "8", "1", "0", "/NC"}, {Map50(port.slavePath), kUtf8}, Keyboard::kPty};
        o.outputClosed = true;
        Child c(o);
        ASSERT_TRUE(c.WaitForRawKeyboard()) << c.errors();
        c.Type("k" + kEndUtf8);
        EXPECT_EXIT_STATUS(c, 0);
        EXPECT_EQ(Visible(e2e::ReadFor(port.master, 300)), "k\\xFF") << "only the typed bytes on the port";
    }
    {
        Pty port;
        Child c({{"50", "115200", "8", "1", "0", "/NC"}, {Map50(port.slavePath), kUtf8}, Keyboard::kClosed});
        ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
        ASSERT_TRUE(e2e::WriteAll(port.master, "ab\xFF"));
        EXPECT_TRUE(c.WaitForOutput(" bytes\r\nab\xFF")) << Visible(c.output());
        EXPECT_EQ(Visible(e2e::ReadFor(port.master, 300)), "") << "port bytes taken as keys";
        EXPECT_TRUE(c.Running());
    }
}

TEST(EndToEnd, KeysFromAPipe) {
    const std::string start = Settings115200("COM50") + "(Ignoring control lines)\r\nTx buffer size: 4096 bytes\r\n";
    // 0xFF through the pipe ends the session after the keys before it.
    {
        Child c({{"50", "115200", "8", "1", "0"}, {Map50("loop"), "LANG=C"}, Keyboard::kPipe});
        ASSERT_TRUE(c.WaitForOutput("(RTS on) ")) << Visible(c.output()) << c.errors();
        c.Type("ab\xFF");
        EXPECT_EXIT_STATUS(c, 0);
        EXPECT_EQ(Visible(c.output().substr(c.output().find("(DTR on)"))),
                  "(DTR on) (RTS on) ab(DTR off) (RTS off)\\x0D\\x0A\n");
    }
    // End of input: no more keys, no phantom bytes sent, the session goes on.
    {
        Child c({{"50", "115200", "8", "1", "0", "/NC"}, {Map50("loop"), "LANG=C"}, Keyboard::kPipe});
        ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
        c.Type("ab");
        c.CloseKeyboard();
        EXPECT_TRUE(c.WaitForOutput("ab"));
        c.Collect(700);
        EXPECT_TRUE(c.Running()) << "ended at end of input";
        EXPECT_EQ(Visible(AfterBanner(c.output())), Visible(start + "(DTR on) (RTS on) ab"));
    }
}

}  // namespace
