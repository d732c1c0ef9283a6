// End to end: receive errors shown where they happen. On a tty the
// fake-modem-lines instrument plays a UART's errors as n_tty would queue
// them under the termios the program set; on rfc2217:// a small server in
// the test sends NOTIFY-LINESTATE between data bytes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "../instrument/fake_modem_lines.h"

using e2e::Child;
using e2e::Visible;

namespace {

struct Received {
    FakeUartEvent event;
    int byte;
};
const FakeUartEvent D = FAKE_UART_DATA, F = FAKE_UART_FRAME, P = FAKE_UART_PARITY, B = FAKE_UART_BREAK;

// Every byte value once, and how the default mode (or /NC) shows them.
std::vector<Received> AllBytes() {
    std::vector<Received> rx;
    for (int b = 0; b < 256; ++b) rx.push_back({D, b});
    return rx;
}
std::string AllShown(bool plain) {
    std::string s;
    char item[8];
    for (int b = 0; b < 256; ++b) {
        std::snprintf(item, sizeof item, b >= 0x20 && b <= 0x7E ? "%c" : b == 0x0D ? "(0D) \n" : "(%02X) ", b);
        s += plain ? std::string(1, char(b)) : std::string(item);
    }
    return std::regex_replace(s, std::regex("\n"), "\r\n");
}

TEST(LineErrors, OnATtyAtTheirPlaces) {
    const struct {
        const char* name;
        FakeModemKind kind;
        const char* option;
        std::vector<Received> rx;
        std::string shown;  // after "(RTS on) ", stamps as <t>
    } rows[] = {
        {"framing", FAKE_MODEM_8250, "", {{D, 'A'}, {F, 'B'}, {D, 'C'}}, "AB(FRAME) C"},
        {"parity", FAKE_MODEM_FTDI_SIO, "", {{D, 'A'}, {P, 'B'}, {D, 'C'}}, "AB(PARITY) C"},
        {"two in a row", FAKE_MODEM_8250, "", {{F, 'A'}, {F, 'B'}}, "A(FRAME) B(FRAME) "},
        {"break", FAKE_MODEM_8250, "", {{D, 'A'}, {B, 0}, {D, 'B'}}, "A(BREAK) B"},
        {"break first", FAKE_MODEM_8250, "", {{B, 0}, {D, 'B'}}, "(BREAK) B"},
        {"framing on a NUL", FAKE_MODEM_8250, "", {{D, 'A'}, {F, 0}, {D, 'B'}}, "A(00) (FRAME) B"},
        {"framing on a NUL, a break", FAKE_MODEM_8250, "", {{D, 'A'}, {F, 0}, {D, 'B'}, {B, 0}, {D, 'C'}},
         "A(00) (FRAME) B(BREAK) C"},
        {"two at one place", FAKE_MODEM_8250, "", {{F, 'A'}, {B, 0}, {B, 0}}, "A(FRAME) (BREAK) (BREAK) "},
        {"overrun", FAKE_MODEM_8250, "", {{D, 'A'}, {FAKE_UART_OVERRUN, 0}}, "A(OVERRUN) "},
        {"buffer overflow", FAKE_MODEM_CDC_ACM, "", {{D, 'A'}, {FAKE_UART_BUF_OVERRUN, 0}}, "A(BUFFULL) "},
        {"0xFF", FAKE_MODEM_8250, "", {{D, 0xFF}, {D, 'A'}, {F, 0xFF}, {D, 0xFF}}, "(FF) A(FF) (FRAME) (FF) "},
        {"every byte", FAKE_MODEM_8250, "", AllBytes(), AllShown(false)},
        {"every byte /NC", FAKE_MODEM_8250, "/NC", AllBytes(), AllShown(true)},
        {"time stamps", FAKE_MODEM_8250, "/TS", {{D, 'A'}, {F, 'B'}, {D, 'C'}}, "AB\r\n<t>(FRAME) C"},
        {"plain mode", FAKE_MODEM_8250, "/NC", {{D, 'A'}, {F, 'B'}, {B, 0}, {F, 0}, {FAKE_UART_OVERRUN, 0}, {P, 0xFF}},
         {"AB\0\xFF", 4}},
        {"no counters, no PARMRK", FAKE_MODEM_PL2303, "", {{D, 0xFF}, {F, 'B'}}, "(FF) B"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        e2e::Pty port;
        char statePath[] = "/tmp/dorvalix-line-errors-XXXXXX";
        close(mkstemp(statePath));
        FakeModemLinesState* state = FakeModemLinesCreate(statePath, port.slave, row.kind, TIOCM_DSR | TIOCM_CTS);
        ASSERT_NE(state, nullptr);
        {
            Child c({{"50", "115200", "8", "1", "0", row.option},
                     {"DORVALIX_COM50=" + port.slavePath, "LANG=C", "LD_PRELOAD=" FAKE_MODEM_LINES_PRELOAD,
                      std::string(FAKE_MODEM_LINES_ENV "=") + statePath, "ASAN_OPTIONS=verify_asan_link_order=0"},
                     e2e::Keyboard::kPty});
            ASSERT_TRUE(c.WaitForOutput("(RTS on) ")) << Visible(c.output()) << c.errors();
            ASSERT_TRUE(c.WaitForRawKeyboard());
            EXPECT_EQ((state->iflag & (PARMRK | INPCK)) != 0, row.kind != FAKE_MODEM_PL2303);
            std::string wire;
            for (const Received& r : row.rx) wire += FakeUartReceive(state, r.event, (unsigned char)r.byte);
            ASSERT_TRUE(e2e::WriteAll(port.master, wire));
            c.WaitForOutput(row.shown, 1500);  // an overrun within a read wait (250 ms)
            c.Collect(300);
            std::string out = c.output().substr(c.output().find("(RTS on) ") + 9);
            out = std::regex_replace(out, std::regex(R"(\[\d\d:\d\d:\d\d\.\d{3}\] )"), "<t>");
            EXPECT_EQ(Visible(out), Visible(row.shown));
            c.Type("\xFF");
            EXPECT_EQ(c.WaitForExit(), 0);
        }
        FakeModemLinesRelease(state);
        unlink(statePath);
    }
}

// A small RFC 2217 server on 127.0.0.1, served from the test's own thread
// while it waits for the program's output: it tells its modem state and
// acknowledges every COM-PORT command with its value; `heard` is what the
// client sent on this connection.
struct PortServer {
    int listener = socket(AF_INET, SOCK_STREAM, 0), conn = -1, port = 0;
    size_t answered = 0;
    std::string heard;
    PortServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), n) == 0 && listen(listener, 2) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
    }
    ~PortServer() {
        close(conn);
        close(listener);
    }
    void Step() {
        pollfd p = {conn >= 0 ? conn : listener, POLLIN, 0};
        if (poll(&p, 1, 10) != 1) return;
        char b[512];
        ssize_t k = conn < 0 ? 0 : read(conn, b, sizeof b);
        if (conn < 0) {
            conn = accept(listener, nullptr, nullptr);
            heard.clear();
            answered = 0;
            e2e::WriteAll(conn, "\xFF\xFD\x2C\xFF\xFA\x2C\x6B\x30\xFF\xF0");
        } else if (k > 0) {
            heard.append(b, size_t(k));
        }
        for (size_t at, end; (at = heard.find("\xFF\xFA\x2C", answered)) != std::string::npos &&
                             (end = heard.find("\xFF\xF0", at)) != std::string::npos;
             answered = end + 2) {
            std::string reply = heard.substr(at, end + 2 - at);
            reply[3] = char(reply[3] + 100);
            e2e::WriteAll(conn, reply);
        }
    }
    // Serves until the program has shown `text` (bounded).
    bool Until(Child& c, const std::string& text) {
        for (int i = 0; i < 250; ++i) {
            Step();
            if (c.WaitForOutput(text, 10)) return true;
        }
        return false;
    }
};

std::string Notify(int bits) { return std::string("\xFF\xFA\x2C\x6A", 4) + char(bits) + "\xFF\xF0"; }

TEST(LineErrors, Rfc2217NotificationsAtTheirPlaces) {
    PortServer server;
    ASSERT_GT(server.port, 0);
    Child c({{"50", "9600", "8", "1", "0"},
             {"DORVALIX_COM50=rfc2217://127.0.0.1:" + std::to_string(server.port), "LANG=C"}, e2e::Keyboard::kPty});
    const std::string mask("\xFF\xFA\x2C\x0A\x1E\xFF\xF0", 7);  // SET-LINESTATE-MASK, on every connection
    ASSERT_TRUE(server.Until(c, "(RTS on) ")) << Visible(c.output()) << c.errors();
    EXPECT_NE(server.heard.find(mask), std::string::npos);
    // Two at one place join; data ready (0x01) and the shift-register bits are no errors.
    e2e::WriteAll(server.conn, "AB" + Notify(0x09) + "C" + Notify(0x10) + "D" + Notify(0x02) + Notify(0x04) +
                                   "E" + Notify(0x61) + "F");
    EXPECT_TRUE(server.Until(c, "AB(FRAME) C(BREAK) D(PARITY) (OVERRUN) EF")) << Visible(c.output());
    close(server.conn);
    server.conn = -1;
    server.heard.clear();
    for (int i = 0; i < 250 && server.heard.find(mask) == std::string::npos; ++i) server.Step();
    EXPECT_NE(server.heard.find(mask), std::string::npos);
    ASSERT_TRUE(server.Until(c, "(DSR on) (CTS on) "));  // ready again
    e2e::WriteAll(server.conn, "G" + Notify(0x08) + "H");
    EXPECT_TRUE(server.Until(c, "G(FRAME) H")) << Visible(c.output());
    c.Type("\xFF");
    EXPECT_EQ(c.WaitForExit(), 0);
}

}  // namespace
