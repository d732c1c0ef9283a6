// End to end: receive errors shown where they happen. On a tty the
// fake-modem-lines instrument plays a UART's errors as n_tty would queue
// them under the termios the program set; on rfc2217:// a small server in
// the test sends NOTIFY-LINESTATE between data bytes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "../instrument/fake_modem_lines.h"

using e2e::Child;
using e2e::Keyboard;
using e2e::Pty;
using e2e::Visible;

namespace {

struct Received {
    FakeUartEvent event;
    int byte;
};

const FakeUartEvent D = FAKE_UART_DATA, F = FAKE_UART_FRAME, P = FAKE_UART_PARITY, B = FAKE_UART_BREAK,
                    O = FAKE_UART_OVERRUN, Q = FAKE_UART_BUF_OVERRUN;

// What follows the start-up items, stamps taken off.
std::string Shown(const std::string& out) {
    size_t at = out.find("(RTS on) ");
    std::string s = at == std::string::npos ? out : out.substr(at + 9);
    return std::regex_replace(s, std::regex(R"(\[\d\d:\d\d:\d\d\.\d{3}\] )"), "<t>");
}

// Every byte value once, as received data, and how each mode shows it.
std::vector<Received> AllBytes() {
    std::vector<Received> rx;
    for (int b = 0; b < 256; ++b) rx.push_back({D, b});
    return rx;
}
std::string AllShown(bool plain) {
    std::string s;
    for (int b = 0; b < 256; ++b) {
        char item[8];
        std::snprintf(item, sizeof item, "(%02X) ", unsigned(b));
        if (plain) s += b == 0x0A ? std::string("\r\n") : std::string(1, char(b));
        else s += b >= 0x20 && b <= 0x7E ? std::string(1, char(b)) : std::string(item) + (b == 0x0D ? "\r\n" : "");
    }
    return s;
}

TEST(LineErrors, OnATtyAtTheirPlaces) {
    const struct {
        const char* name;
        FakeModemKind kind;
        const char* option;  // nullptr, "/TS" or "/NC"
        std::vector<Received> rx;
        std::string shown;
    } rows[] = {
        {"framing", FAKE_MODEM_8250, nullptr, {{D, 'A'}, {F, 'B'}, {D, 'C'}}, "AB(FRAME) C"},
        {"parity", FAKE_MODEM_FTDI_SIO, nullptr, {{D, 'A'}, {P, 'B'}, {D, 'C'}}, "AB(PARITY) C"},
        {"two in a row", FAKE_MODEM_8250, nullptr, {{F, 'A'}, {F, 'B'}}, "A(FRAME) B(FRAME) "},
        {"break", FAKE_MODEM_8250, nullptr, {{D, 'A'}, {B, 0}, {D, 'B'}}, "A(BREAK) B"},
        {"break first", FAKE_MODEM_8250, nullptr, {{B, 0}, {D, 'B'}}, "(BREAK) B"},
        {"framing on a NUL", FAKE_MODEM_8250, nullptr, {{D, 'A'}, {F, 0}, {D, 'B'}}, "A(00) (FRAME) B"},
        {"overrun", FAKE_MODEM_8250, nullptr, {{D, 'A'}, {O, 0}}, "A(OVERRUN) "},
        {"buffer overflow", FAKE_MODEM_CDC_ACM, nullptr, {{D, 'A'}, {Q, 0}}, "A(BUFFULL) "},
        {"0xFF under PARMRK", FAKE_MODEM_8250, nullptr, {{D, 0xFF}, {D, 'A'}, {F, 0xFF}, {D, 0xFF}},
         "(FF) A(FF) (FRAME) (FF) "},
        {"time stamps", FAKE_MODEM_8250, "/TS", {{D, 'A'}, {F, 'B'}, {D, 'C'}}, "AB\r\n<t>(FRAME) C"},
        {"plain mode", FAKE_MODEM_8250, "/NC", {{D, 'A'}, {F, 'B'}, {B, 0}, {F, 0}, {D, 0xFF}, {P, 0xFF}},
         std::string("AB\0\xFF\xFF", 5)},
        {"all byte values under PARMRK", FAKE_MODEM_8250, nullptr, AllBytes(), AllShown(false)},
        {"all byte values under PARMRK, plain mode", FAKE_MODEM_8250, "/NC", AllBytes(), AllShown(true)},
        {"no counters, no PARMRK", FAKE_MODEM_PL2303, nullptr, {{D, 0xFF}, {F, 'B'}}, "(FF) B"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Pty port;
        char statePath[] = "/tmp/dorvalix-line-errors-XXXXXX";
        int fd = mkstemp(statePath);
        ASSERT_GE(fd, 0);
        close(fd);
        FakeModemLinesState* state = FakeModemLinesCreate(statePath, port.slave, row.kind, TIOCM_DSR | TIOCM_CTS);
        ASSERT_NE(state, nullptr);
        std::vector<std::string> args = {"50", "115200", "8", "1", "0"};
        if (row.option != nullptr) args.push_back(row.option);
        {
            Child c({args,
                     {"DORVALIX_COM50=" + port.slavePath, "LANG=C", "LD_PRELOAD=" FAKE_MODEM_LINES_PRELOAD,
                      std::string(FAKE_MODEM_LINES_ENV "=") + statePath, "ASAN_OPTIONS=verify_asan_link_order=0"},
                     Keyboard::kPty});
            ASSERT_TRUE(c.WaitForOutput(row.option && row.option[1] == 'N' ? "\r\n" : "(RTS on) "))
                << Visible(c.output()) << c.errors();
            ASSERT_TRUE(c.WaitForRawKeyboard());
            const bool marked = row.kind != FAKE_MODEM_PL2303;
            EXPECT_EQ((state->iflag & (PARMRK | INPCK)) != 0, marked);
            std::string wire;
            for (const Received& r : row.rx) wire += FakeUartReceive(state, r.event, (unsigned char)r.byte);
            ASSERT_TRUE(e2e::WriteAll(port.master, wire));
            // Positionless errors within one read wait (250 ms) and a bit.
            c.WaitForOutput(row.shown, 1500);
            c.Collect(300);
            std::string out = row.option && row.option[1] == 'N' ? c.output().substr(c.output().size() - row.shown.size())
                                                                 : Shown(c.output());
            EXPECT_EQ(Visible(out), Visible(row.shown));
            c.Type("\xFF");
            EXPECT_EQ(c.WaitForExit(), 0);
        }
        FakeModemLinesRelease(state);
        unlink(statePath);
    }
}

// A small RFC 2217 server on 127.0.0.1, on a thread of its own: it takes a
// connection, tells its modem state, acknowledges every COM-PORT command
// with its value (as a port server does), keeps what the client sent, and
// sends what the test gives it. Every wait is bounded.
class PortServer {
public:
    PortServer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), n) == 0 && listen(listener_, 2) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~PortServer() {
        stop_ = true;
        thread_.join();
        if (conn_ >= 0) close(conn_);
        close(listener_);
    }
    int port() const { return port_; }
    // Waits (bounded) until the `n`th connection has been taken.
    bool Connected(int n) {
        for (int i = 0; i < 250 && accepted_ < n; ++i) usleep(20000);
        return accepted_ >= n;
    }
    bool Send(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        return conn_ >= 0 && e2e::WriteAll(conn_, bytes);
    }
    // What the client has sent on this connection so far.
    std::string Heard() {
        std::lock_guard<std::mutex> lock(mutex_);
        return heard_;
    }
    void Drop() {
        std::lock_guard<std::mutex> lock(mutex_);
        close(conn_);
        conn_ = -1;
    }

private:
    void Serve() {
        while (!stop_) {
            const int fd = conn_;
            pollfd p = {fd >= 0 ? fd : listener_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (conn_ < 0) {
                conn_ = accept(listener_, nullptr, nullptr);
                heard_.clear();
                answered_ = 0;
                ++accepted_;
                (void)e2e::WriteAll(conn_, std::string("\xFF\xFD\x2C\xFF\xFA\x2C\x6B\x30\xFF\xF0"));
                continue;
            }
            char buf[512];
            ssize_t n = read(conn_, buf, sizeof buf);
            if (n <= 0) {
                close(conn_);
                conn_ = -1;
                continue;
            }
            heard_.append(buf, size_t(n));
            // Each complete COM-PORT command (IAC SB 44 c value IAC SE) is answered once.
            for (size_t at; (at = heard_.find("\xFF\xFA\x2C", answered_)) != std::string::npos;) {
                size_t end = heard_.find("\xFF\xF0", at);
                if (end == std::string::npos) break;
                std::string reply = heard_.substr(at, end + 2 - at);
                reply[3] = char(reply[3] + 100);
                (void)e2e::WriteAll(conn_, reply);
                answered_ = end + 2;
            }
        }
    }
    int listener_ = -1, port_ = -1;
    std::atomic<int> conn_{-1}, accepted_{0};
    std::atomic<bool> stop_{false};
    size_t answered_ = 0;
    std::string heard_;
    std::mutex mutex_;
    std::thread thread_;
};

std::string Notify(int bits) { return std::string("\xFF\xFA\x2C\x6A", 4) + char(bits) + "\xFF\xF0"; }

TEST(LineErrors, Rfc2217NotificationsAtTheirPlaces) {
    PortServer server;
    ASSERT_GT(server.port(), 0);
    Child c({{"50", "9600", "8", "1", "0"},
             {"DORVALIX_COM50=rfc2217://127.0.0.1:" + std::to_string(server.port()), "LANG=C"},
             Keyboard::kPty});
    ASSERT_TRUE(server.Connected(1));
    ASSERT_TRUE(c.WaitForOutput("(RTS on) ")) << Visible(c.output()) << c.errors();
    const std::string mask("\xFF\xFA\x2C\x0A\x1E\xFF\xF0", 7);
    EXPECT_NE(server.Heard().find(mask), std::string::npos) << Visible(server.Heard());
    // Data ready (0x01) and the shift-register bits are no errors.
    ASSERT_TRUE(server.Send("AB" + Notify(0x09) + "C" + Notify(0x10) + "D" + Notify(0x02) + Notify(0x04) +
                            "E" + Notify(0x61) + "F"));
    EXPECT_TRUE(c.WaitForOutput("AB(FRAME) C(BREAK) D(PARITY) (OVERRUN) EF")) << Visible(c.output());
    // A new connection asks for the line state again.
    server.Drop();
    ASSERT_TRUE(server.Connected(2));
    c.Collect(500);
    EXPECT_NE(server.Heard().find(mask), std::string::npos) << Visible(server.Heard());
    ASSERT_TRUE(server.Send("G" + Notify(0x08) + "H"));
    EXPECT_TRUE(c.WaitForOutput("G(FRAME) H")) << Visible(c.output());
    c.Type("\xFF");
    EXPECT_EQ(c.WaitForExit(), 0);
}

}  // namespace
