// End to end: the hex view (/HEX) on a pty that the fake-modem-lines
// instrument gives lines and receive errors, and the session's command line
// (ESC :) sending frames, from a terminal and from a pipe, and a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "../instrument/fake_modem_lines.h"

using e2e::Child;
using e2e::Visible;

namespace {

// What the peer does: bytes (received with errors as the instrument plays
// them), a move of the input lines, or a pause.
struct Step {
    enum Kind { kBytes, kLines, kPause } kind;
    std::vector<std::pair<FakeUartEvent, int>> rx;
    uint32_t lines = 0;
    int ms = 0;
};
Step Bytes(const std::string& text) {
    Step s{Step::kBytes, {}, 0, 0};
    for (unsigned char c : text) s.rx.push_back({FAKE_UART_DATA, c});
    return s;
}
Step Framed(const std::string& before, int bad) {
    Step s = Bytes(before);
    s.rx.push_back({FAKE_UART_FRAME, bad});
    return s;
}
Step Lines(uint32_t lines) { return Step{Step::kLines, {}, lines, 0}; }
Step Pause(int ms) { return Step{Step::kPause, {}, 0, ms}; }

// A row as hexdump -C lays it out, with four offset digits.
std::string Row(int offset, const std::string& bytes) {
    char row[96];
    int n = std::snprintf(row, sizeof row, "%04X ", offset);
    for (size_t i = 0; i < 16; ++i) {
        const char* group = i == 8 ? " " : "";
        if (i < bytes.size()) n += std::snprintf(row + n, sizeof row - size_t(n), "%s %02X", group, (unsigned char)bytes[i]);
        else n += std::snprintf(row + n, sizeof row - size_t(n), "%s   ", group);
    }
    std::string text(row, size_t(n));
    text += "  |";
    for (unsigned char b : bytes) text += b >= 0x20 && b <= 0x7E ? char(b) : '.';
    return text + "|\r\n";
}

std::string EveryRows() {
    std::string rows;
    for (int r = 0; r < 16; ++r) {
        std::string bytes;
        for (int i = 0; i < 16; ++i) bytes += char(r * 16 + i);
        rows += Row(r * 16, bytes);
    }
    return rows;
}

std::string Every() {
    std::string all;
    for (int b = 0; b < 256; ++b) all += char(b);
    return all;
}

// Stamps as <t>, frame headers' times as +N.
std::string Normal(const std::string& out) {
    std::string s = std::regex_replace(out, std::regex(R"(\[(\d{4}-\d\d-\d\d )?\d\d:\d\d:\d\d\.\d{3}\] )"), "<t>");
    return std::regex_replace(s, std::regex(R"(\+\d+ ms)"), "+N ms");
}

struct Port {
    e2e::Pty pty;
    char statePath[40] = "/tmp/dorvalix-hex-view-XXXXXX";
    FakeModemLinesState* state = nullptr;
    Port() {
        close(mkstemp(statePath));
        state = FakeModemLinesCreate(statePath, pty.slave, FAKE_MODEM_8250, TIOCM_DSR | TIOCM_CTS);
    }
    ~Port() {
        FakeModemLinesRelease(state);
        unlink(statePath);
    }
    std::vector<std::string> Env() const {
        return {"DORVALIX_COM50=" + pty.slavePath, "LANG=C", "LD_PRELOAD=" FAKE_MODEM_LINES_PRELOAD,
                std::string(FAKE_MODEM_LINES_ENV "=") + statePath, "ASAN_OPTIONS=verify_asan_link_order=0"};
    }
};

const std::string kStart = "(RTS on) ";

TEST(HexView, FramesRowsAndItems) {
    const std::string log = "/tmp/dorvalix-hex-view-" + std::to_string(getpid()) + ".log";
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::vector<Step> steps;
        std::string shown;  // after "(RTS on) ", normalized
    } rows[] = {
        {"frames split at gaps", {"/HEX:150"}, {Bytes("ABC"), Pause(400), Bytes("0123456789abcdefXY")},
         "\r\n+N ms\r\n" + Row(0, "ABC") +
         "+N ms\r\n0000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\r\n" + Row(16, "XY")},
        {"a row cut by a line change", {"/HEX:1000"}, {Bytes("AB"), Pause(100), Lines(TIOCM_DSR), Pause(100), Bytes("C")},
         "\r\n+N ms\r\n" + Row(0, "AB") + "(CTS off) \r\n" + Row(2, "C")},
        {"an error item after its byte", {"/HEX:300"}, {Framed("A", 'B'), Bytes("C")},
         "\r\n+N ms\r\n" + Row(0, "AB") + "(FRAME) \r\n" + Row(2, "C")},
        {"time stamps, log", {"/HEX:150", "/TS", "/LOG:" + log}, {Bytes("Hi")},
         "\r\n<t>+N ms\r\n<t>" + Row(0, "Hi")},
        {"every byte value", {"/HEX:300"}, {Bytes(Every())}, "\r\n+N ms\r\n" + EveryRows()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(log.c_str());
        Port port;
        ASSERT_NE(port.state, nullptr);
        std::vector<std::string> args = {"50", "115200", "8", "1", "0"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        Child c({args, port.Env(), e2e::Keyboard::kPty});
        ASSERT_TRUE(c.WaitForOutput(kStart)) << Visible(c.output()) << c.errors();
        ASSERT_TRUE(c.WaitForRawKeyboard());
        for (const Step& step : row.steps) {
            std::string wire;
            for (const auto& rx : step.rx) wire += FakeUartReceive(port.state, rx.first, (unsigned char)rx.second);
            if (step.kind == Step::kBytes) {
                ASSERT_TRUE(e2e::WriteAll(port.pty.master, wire));
            }
            if (step.kind == Step::kLines) FakeModemLinesSet(port.state, step.lines);
            usleep(useconds_t(step.ms) * 1000);
        }
        c.Collect(1500);  // the last frame ends
        c.Type("\xFF");
        EXPECT_EQ(c.WaitForExit(), 0);
        const std::string out = c.output().substr(c.output().find(kStart) + kStart.size());
        const bool stamped = row.options.size() > 1;
        EXPECT_EQ(Visible(Normal(out)),
                  Visible(row.shown + (stamped ? "<t>(DTR off) \r\n<t>(RTS off)\r\n" : "(DTR off) (RTS off)\r\n")));
        if (row.name == std::string("frames split at gaps")) {
            std::smatch m;
            std::string tail = out.substr(out.find("|ABC|"));
            ASSERT_TRUE(std::regex_search(tail, m, std::regex(R"(\+(\d+) ms)")));
            EXPECT_GE(std::stoi(m[1]), 300) << "the idle time before the second frame";
        }
        if (row.name == std::string("time stamps, log")) {
            std::ifstream in(log, std::ios::binary);
            std::stringstream logged;
            logged << in.rdbuf();
            EXPECT_EQ(Visible(logged.str()), Visible(c.output()));
            unlink(log.c_str());
        }
    }
}

// The command line: what is sent, what is said, what came meanwhile.
TEST(HexView, CommandLine) {
    const std::string up = "\x1B[A";
    const struct {
        const char* name;
        e2e::Keyboard keyboard;
        std::vector<std::string> keys;  // each typed alone, a pause after it
        std::string peerSends;          // while the line is open
        std::string sent;               // what the device got
        std::string shown;              // after "(RTS on) "
    } rows[] = {
        {"send", e2e::Keyboard::kPty, {"\x1B:", "send 01 03 00 00 00 0A crc16\r"}, "", std::string("\x01\x03\0\0\0\x0A\xC5\xCD", 8),
         "\r\n" "Sent 8 bytes: 01 03 00 00 00 0A C5 CD\r\n"},
        {"text and escapes", e2e::Keyboard::kPty, {"\x1B:", "SEND \"a\\r\\n\\t\\\\\\\"\\x00\" ff\r"}, "",
         std::string("a\r\n\t\\\"\0\xFF", 8), "\r\n" "Sent 8 bytes: 61 0D 0A 09 5C 22 00 FF\r\n"},
        {"malformed", e2e::Keyboard::kPty,
         {"\x1B:", "send 010\r", "\x1B:", "send \"a\\q\"\r", "\x1B:", "send \"open\r", "\x1B:", "what\r"}, "", "",
         "\r\n" "send: odd number of hex digits at column 6\r\nsend: unknown escape at column 8\r\n"
         "send: unclosed quote at column 6\r\nunknown command (help lists them) at column 1\r\n"},
        {"history", e2e::Keyboard::kPty, {"\x1B:", "send 41\r", "\x1B:", "send 42\r", "\x1B:", up, up, "\r"}, "", "ABA",
         "\r\n" "Sent 1 byte: 41\r\nSent 1 byte: 42\r\nSent 1 byte: 41\r\n"},
        {"bytes while open", e2e::Keyboard::kPty, {"\x1B:", "send 5A"}, "xyz", "Z", ""},
        {"keys from a pipe", e2e::Keyboard::kPipe, {"\x1B:send 51 52\r\nq"}, "", "QRq", "\r\n" "Sent 2 bytes: 51 52\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Port port;
        ASSERT_NE(port.state, nullptr);
        Child c({{"50", "115200", "8", "1", "0"}, port.Env(), row.keyboard});
        ASSERT_TRUE(c.WaitForOutput(kStart)) << Visible(c.output()) << c.errors();
        if (row.keyboard == e2e::Keyboard::kPty) {
            ASSERT_TRUE(c.WaitForRawKeyboard());
        }
        for (const std::string& keys : row.keys) {
            c.Type(keys);
            usleep(100000);
        }
        std::string shown = row.shown;
        if (!row.peerSends.empty()) {
            // Shown only once the line is closed (here by its Enter), in order.
            ASSERT_TRUE(e2e::WriteAll(port.pty.master, row.peerSends));
            c.Collect(400);
            EXPECT_EQ(c.output().find(row.peerSends), std::string::npos) << "shown while the line was open";
            c.Type("\r");
            shown = row.peerSends + "\r\nSent 1 byte: 5A\r\n";
        }
        EXPECT_EQ(Visible(e2e::ReadBytes(port.pty.master, row.sent.size(), 2000)), Visible(row.sent));
        c.WaitForOutput(shown, 2000);
        c.Type("\xFF");
        EXPECT_EQ(c.WaitForExit(), 0);
        const std::string out = c.output().substr(c.output().find(kStart) + kStart.size());
        EXPECT_EQ(Visible(out), Visible(shown + "(DTR off) (RTS off)\r\n"));
    }
}

}  // namespace

namespace {

// A YMODEM send from the command line (keys from a pipe) into lrzsz's rb,
// which talks on a socket that a thread joins to the pty's master.
TEST(HexView, TransferFromTheCommandLine) {
    if (system("command -v rb >/dev/null 2>&1") != 0) GTEST_SKIP() << "lrzsz (rb) is not installed";
    char dir[] = "/tmp/dorvalix-e2e-transfer-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/firmware.bin", into = std::string(dir) + "/in";
    std::string data;
    for (int i = 0; i < 3000; ++i) data += char(i * 7);
    std::ofstream(path, std::ios::binary) << data;
    ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    Port port;
    ASSERT_NE(port.state, nullptr);
    pid_t rb = fork();
    if (rb == 0) {
        if (chdir(into.c_str()) != 0) _exit(126);
        dup2(sockets[1], 0);
        dup2(sockets[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execlp("rb", "rb", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::atomic<bool> stop{false};
    std::thread relay([&] {
        char buf[4096];
        for (int rounds = 0; !stop && rounds < 3000; ++rounds) {  // 30 s at most
            pollfd p[2] = {{port.pty.master, POLLIN, 0}, {sockets[0], POLLIN, 0}};
            if (poll(p, 2, 10) <= 0) continue;
            for (int side = 0; side < 2; ++side) {
                ssize_t n = (p[side].revents & POLLIN) ? read(p[side].fd, buf, sizeof buf) : 0;
                if (n > 0) e2e::WriteAll(side == 0 ? sockets[0] : port.pty.master, std::string(buf, size_t(n)));
            }
        }
    });
    Child c({{"50", "115200", "8", "1", "0"}, port.Env(), e2e::Keyboard::kPipe});
    ASSERT_TRUE(c.WaitForOutput(kStart)) << Visible(c.output()) << c.errors();
    c.Type("\x1B:ymodem send " + path + "\n");
    const bool sent = c.WaitForOutput("Sent firmware.bin by YMODEM: 3000 bytes", 30000);
    c.Type("\xFF");
    EXPECT_EQ(c.WaitForExit(), 0);
    stop = true;
    relay.join();
    int status = 0;
    for (int i = 0; i < 500 && waitpid(rb, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(rb, &status, WNOHANG) == 0) kill(rb, SIGKILL), waitpid(rb, &status, 0);
    close(sockets[0]);
    close(sockets[1]);
    EXPECT_TRUE(sent) << Visible(c.output());
    // Standard output is a pipe: the progress as a line at the start and at the end.
    EXPECT_NE(c.output().find("YMODEM send firmware.bin: 0 of 3000 bytes (0%), "), std::string::npos);
    EXPECT_NE(c.output().find("YMODEM send firmware.bin: 3000 of 3000 bytes (100%), "), std::string::npos);
    std::ifstream in(into + "/firmware.bin", std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), data);
    EXPECT_EQ(system(("rm -rf '" + std::string(dir) + "'").c_str()), 0);
}

// What the loopback port sends comes back to it: no transfer starts, and
// nothing goes out (the next byte read is the typed "A").
TEST(HexView, NoTransferOnTheLoopbackPort) {
    Child c({{"50", "115200", "8", "1", "0"}, {"DORVALIX_COM50=loop"}, e2e::Keyboard::kPipe});
    ASSERT_TRUE(c.WaitForOutput(kStart)) << Visible(c.output()) << c.errors();
    c.Type("\x1B:ymodem receive\nA");
    EXPECT_TRUE(c.WaitForOutput("Receiving by YMODEM failed: this port has no far end (what it sends comes back to "
                                "it); nothing was started\r\nA", 5000)) << Visible(c.output());
    c.Type("\xFF");
    EXPECT_EQ(c.WaitForExit(), 0);
}

}  // namespace
