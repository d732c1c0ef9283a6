// End to end on remote ports: the built program on rfc2217:// and tcp://
// ports served by Debian's ser2net, which each test starts on 127.0.0.1 on a
// free port, in front of a pty that the fake-modem-lines instrument (loaded
// into ser2net) gives modem lines (skipped where ser2net is not installed);
// and on a small server of the test's own that streams or floods.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"
#include "../instrument/fake_modem_lines.h"

using e2e::Child;
using e2e::Keyboard;
using e2e::Pty;
using e2e::Visible;

namespace {

const char kSer2net[] = "/usr/sbin/ser2net";

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), n) == 0 && getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// One ser2net serving `device` on 127.0.0.1; started and stopped by the test.
class Ser2net {
public:
    Ser2net(const std::string& device, const std::string& accepter, const std::string& modemState, int port = -1)
        : port_(port > 0 ? port : FreePort()), state_(modemState) {
        static int made = 0;
        ++made;
        std::snprintf(config_, sizeof config_, "/tmp/dorvalix-ser2net-%d-%d.yaml", int(getpid()), made);
        // Its own pid file: ser2net deletes the file at exit.
        std::snprintf(pidFile_, sizeof pidFile_, "/tmp/dorvalix-ser2net-%d-%d.pid", int(getpid()), made);
        FILE* f = std::fopen(config_, "w");
        if (f == nullptr) return;
        std::fprintf(f, "connection: &c1\n  accepter: %s,127.0.0.1,%d\n  connector: serialdev,%s,9600n81,local\n",
                     accepter.c_str(), port_, device.c_str());
        std::fclose(f);
    }
    ~Ser2net() {
        Stop();
        unlink(config_);
        unlink(pidFile_);
    }
    // Starts it and waits (bounded) until it accepts connections.
    bool Start() {
        pid_ = fork();
        if (pid_ == 0) {
            std::string preload = "LD_PRELOAD=" FAKE_MODEM_LINES_PRELOAD;
            std::string state = std::string(FAKE_MODEM_LINES_ENV "=") + state_;
            char* env[] = {&preload[0], &state[0], nullptr};
            char* noEnv[] = {nullptr};
            freopen("/dev/null", "w", stderr);
            execle(kSer2net, kSer2net, "-n", "-u", "-c", config_, "-P", pidFile_, nullptr,
                   state_.empty() ? noEnv : env);
            _exit(127);
        }
        for (int i = 0; i < 150; ++i) {  // up to 3 s
            if (Listening()) return true;
            usleep(20000);
        }
        return false;
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(20000);
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    int port() const { return port_; }

private:
    // Its port is listening: /proc/net/tcp has it in state 0A.
    bool Listening() const {
        FILE* f = std::fopen("/proc/net/tcp", "r");
        if (f == nullptr) return false;
        char line[256];
        char want[32];
        std::snprintf(want, sizeof want, ":%04X 00000000:0000 0A", port_);
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr) found = std::strstr(line, want) != nullptr;
        std::fclose(f);
        return found;
    }
    int port_;
    std::string state_;
    char config_[96] = "";
    char pidFile_[96] = "";
    pid_t pid_ = -1;
};

std::string Tables(const std::string& lineRow) {
    return "\r\nInitial control lines (caps=on, lower case=off):\r\n" + lineRow +
           "\r\n\r\nInitial Rx status (caps=on, lower case=off):\r\n"
           "timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull\r\n\r\n";
}

class Remote : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kSer2net, X_OK) != 0) GTEST_SKIP() << "ser2net is not installed";
        ASSERT_GE(port.slave, 0);
        int fd = mkstemp(statePath);
        ASSERT_GE(fd, 0);
        close(fd);
        state = FakeModemLinesCreate(statePath, port.slave, FAKE_MODEM_FTDI_SIO, TIOCM_DSR | TIOCM_CTS);
        ASSERT_NE(state, nullptr);
    }
    void TearDown() override {
        FakeModemLinesRelease(state);
        unlink(statePath);
    }
    Pty port;
    char statePath[40] = "/tmp/dorvalix-modem-lines-XXXXXX";
    FakeModemLinesState* state = nullptr;
};

// The default mode on rfc2217://: the remote lines in the tables, settings,
// DTR, RTS and break reaching the device, a change shown, and the session
// carrying on across a server stopped and started again.
TEST_F(Remote, LinesSettingsAndAServerRestart) {
    Ser2net server(port.slavePath, "telnet(rfc2217),tcp", statePath);
    ASSERT_TRUE(server.Start());
    Child c({{"50", "115200", "8", "2", "0"},
             {"DORVALIX_COM50=rfc2217://127.0.0.1:" + std::to_string(server.port()), "LANG=C.UTF-8"},
             Keyboard::kPty});
    std::string shown = "Sampling from COM50, 115200 baud, 8 data bits, 2 stop bits, no parity...\r\n"
                        "Tx buffer size: 4096 bytes\r\n" +
                        Tables("dcd\tri\tDSR\tCTS\t    \t    \t\xEB" "DSR\t\xEB" "CTS") + "(DTR on) (RTS on) ";
    ASSERT_TRUE(c.WaitForOutput(shown)) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard());
    EXPECT_EQ(state->outputs, unsigned(TIOCM_DTR | TIOCM_RTS));
    termios t{};
    ASSERT_EQ(tcgetattr(port.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_TRUE(t.c_cflag & CSTOPB);

    // A change, then the output commands.
    FakeModemLinesSet(state, TIOCM_DSR | TIOCM_CTS | TIOCM_CD);
    shown += "(DCD on) ";
    EXPECT_TRUE(c.WaitForOutput(shown, 5000)) << Visible(c.output());
    struct Command {
        char key;
        const char* item;
        unsigned outputs, brk;
    };
    const Command commands[] = {
        {'d', "(DTR off) ", TIOCM_RTS, 0},  {'r', "(RTS off) ", 0, 0},
        {'D', "(DTR on) ", TIOCM_DTR, 0},   {'R', "(RTS on) ", TIOCM_DTR | TIOCM_RTS, 0},
        {'B', "(Break on) ", TIOCM_DTR | TIOCM_RTS, 1}, {'b', "(Break off) ", TIOCM_DTR | TIOCM_RTS, 0},
        {'d', "(DTR off) ", TIOCM_RTS, 0},
    };
    for (const Command& k : commands) {
        c.TypeSlowly(std::string("\x1B") + k.key, 20);
        shown += k.item;
        EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
        EXPECT_EQ(state->outputs, k.outputs) << k.key;
        EXPECT_EQ(state->brk, k.brk) << k.key;
    }

    // Server gone: the lines drop. A server without its device answers with
    // a complaint and closes: nothing shows. Back: the lines return, DTR
    // stays off, and data flows both ways again.
    server.Stop();
    shown += "(DCD off) (DSR off) (CTS off) ";
    EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
    {
        Ser2net deviceless("/nonexistent/tty", "telnet(rfc2217),tcp", "", server.port());
        ASSERT_TRUE(deviceless.Start());
        c.Collect(1000);
        EXPECT_EQ(Visible(c.output().substr(c.output().size() - 30)), Visible(shown.substr(shown.size() - 30)));
    }
    ASSERT_TRUE(server.Start());
    shown += "(DCD on) (DSR on) (CTS on) ";
    EXPECT_TRUE(c.WaitForOutput(shown, 8000)) << Visible(c.output());
    EXPECT_EQ(state->outputs, unsigned(TIOCM_RTS));
    ASSERT_TRUE(e2e::WriteAll(port.master, "back"));
    shown += "back";
    EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
    c.Type("xy");
    EXPECT_EQ(e2e::ReadBytes(port.master, 2), "xy");
    c.Type("\xC3\xBF");
    EXPECT_EQ(c.WaitForExit(), 0) << c.errors();
}

// Every byte value both ways, through telnet (IAC doubled) and raw TCP.
TEST_F(Remote, AllByteValuesBothWays) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    const struct {
        const char* accepter;
        const char* scheme;
    } kinds[] = {{"telnet(rfc2217),tcp", "rfc2217"}, {"tcp", "tcp"}};
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.scheme);
        Ser2net server(port.slavePath, k.accepter, statePath);
        ASSERT_TRUE(server.Start());
        Child c({{"50", "9600", "8", "1", "0", "/NC"},
                 {"DORVALIX_COM50=" + std::string(k.scheme) + "://127.0.0.1:" + std::to_string(server.port()),
                  "LANG=C"},
                 Keyboard::kPipe});
        ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
        e2e::ReadFor(port.master, 200);  // what ser2net's open left behind
        ASSERT_TRUE(e2e::WriteAll(port.master, all));
        std::string shown = all;  // the console ends a line with CR LF
        shown.replace(size_t('\n'), 1, "\r\n");
        EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
        // ser2net drops what it has read from the network but not yet
        // written to its device when the connection ends: the device has the
        // bytes before the end key (0xFF, sent too) goes. On rfc2217:// the
        // line drops at the end are round trips, which give it the time.
        c.Type(all.substr(0, 255));
        EXPECT_EQ(Visible(e2e::ReadBytes(port.master, 255)), Visible(all.substr(0, 255)));
        c.Type("\xFF");
        if (k.scheme == std::string("rfc2217")) {
            EXPECT_EQ(Visible(e2e::ReadBytes(port.master, 1)), "\\xFF");
        }
        EXPECT_EQ(c.WaitForExit(), 0) << c.errors();
    }
}

// ser2net on a device without modem lines never answers DTR or RTS: the
// session shows what it shows for a pty and does not stall.
TEST_F(Remote, DeviceWithoutModemLines) {
    Ser2net server(port.slavePath, "telnet(rfc2217),tcp", "");
    ASSERT_TRUE(server.Start());
    Child c({{"50", "9600", "8", "1", "0"},
             {"DORVALIX_COM50=rfc2217://127.0.0.1:" + std::to_string(server.port()), "LANG=C.UTF-8"},
             Keyboard::kPty});
    const std::string start = Tables("dcd\tri\tdsr\tcts\t    \t    \t    \t    ");
    ASSERT_TRUE(c.WaitForOutput(start)) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard());
    c.Type("\x1B" "D" "\x1B" "R" "ok");
    EXPECT_EQ(e2e::ReadBytes(port.master, 2, 3000), "ok");
    c.Type("\xC3\xBF");
    EXPECT_EQ(c.WaitForExit(), 0) << c.errors();
    EXPECT_EQ(c.output().find("(DTR"), std::string::npos) << Visible(c.output());
}

// An RFC 2217 server on 127.0.0.1 in a thread of the test. It answers each
// COM-PORT command (command + 100, the value as sent), unless `answers` is
// off, and tells a modem state. Then it sends its stream as fast as TCP
// takes it, answers behind it: numbered records "<0000000>" once the session
// has purged its input at the open, until StopSending; or, once the six
// opening commands are in, a telnet flood without end.
class Peer {
public:
    enum Kind { kRecords, kNop, kModemState, kLongSub, kDo };
    Peer(Kind kind, bool answers = true) : kind_(kind), answers_(answers) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), n) == 0 && listen(listen_, 1) == 0 &&
            getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    void StopSending() { sending_ = false; }
    std::atomic<unsigned> records{0};
    int port = -1;

private:
    std::string Chunk() {  // a flood is made once, to go faster than it is decoded
        static const std::string kFloods[] = {"", "\xFF\xF1", "\xFF\xFA\x2C\x6B\x30\xFF\xF0",
                                              "\xFF\xFA\x2C\x6B" + std::string(200, 'x') + "\xFF\xF0", "\xFF\xFD\x63"};
        while (kind_ != kRecords && flood_.size() < 65536) flood_ += kFloods[kind_];
        if (kind_ != kRecords) return flood_;
        std::string out;
        char record[16];
        while (out.size() < 65536) out.append(record, size_t(std::snprintf(record, sizeof record, "<%07u>", records++)));
        return out;
    }
    void Run() {
        int fd = -1;
        for (int i = 0; i < 100 && !stop_ && fd < 0; ++i) {  // up to 10 s
            pollfd a = {listen_, POLLIN, 0};
            if (poll(&a, 1, 100) > 0) fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        std::string in, out = "\xFF\xFA\x2C\x6B\x30\xFF\xF0";  // NOTIFY-MODEMSTATE: CTS and DSR on
        unsigned commands = 0;
        bool purged = false;
        while (fd >= 0 && !stop_) {
            pollfd p = {fd, short(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
            char buf[4096];
            ssize_t n = poll(&p, 1, 20) < 0 ? 0 : read(fd, buf, sizeof buf);
            if (n == 0) break;
            if (n > 0) in.append(buf, size_t(n));
            for (size_t at, end; (at = in.find("\xFF\xFA\x2C")) != std::string::npos &&
                                 (end = in.find("\xFF\xF0", at + 4)) != std::string::npos;
                 ++commands, in.erase(0, end + 2)) {
                purged = purged || in[at + 3] == 12;  // the session's start-up ends with PURGE-DATA
                in[at + 3] = char(in[at + 3] + 100);
                if (answers_) out += in.substr(at, end + 2 - at);
            }
            if (out.empty() && sending_ && (kind_ == kRecords ? purged : commands >= 6)) out = Chunk();
            ssize_t k = out.empty() ? 0 : send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            if (k > 0) out.erase(0, size_t(k));
            if (k < 0 && errno != EAGAIN) break;
        }
        if (fd >= 0) close(fd);
    }
    Kind kind_;
    bool answers_;
    int listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string flood_;
    std::atomic<bool> stop_{false}, sending_{true};
    std::thread thread_;
};

Child PeerSession(const Peer& peer) {
    return Child({{"50", "9600", "8", "1", "0"},
                  {"DORVALIX_COM50=rfc2217://127.0.0.1:" + std::to_string(peer.port), "LANG=C.UTF-8"},
                  Keyboard::kPty});
}

// ESC d / ESC D while the server streams: every record shows, in order.
TEST(RemotePeer, LineCommandsLoseNoData) {
    Peer peer(Peer::kRecords);
    Child c = PeerSession(peer);
    ASSERT_TRUE(c.WaitForOutput("(DTR on) (RTS on) ")) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard());
    for (int i = 0; i < 6; ++i) {
        c.TypeSlowly(i % 2 == 0 ? "\x1B" "d" : "\x1B" "D", 20);
        c.Collect(300);
    }
    peer.StopSending();
    c.Collect(200);
    std::string expected, shown;
    char record[16];
    for (unsigned i = 0; i < peer.records; ++i) expected.append(record, size_t(std::snprintf(record, 16, "<%07u>", i)));
    EXPECT_TRUE(c.WaitForOutput(record, 30000));
    EXPECT_NE(c.output().find("(DTR off) "), std::string::npos);
    for (char ch : c.output().substr(std::min(c.output().find('<'), c.output().size())))
        if (std::isdigit(ch) || ch == '<' || ch == '>') shown += ch;  // the command items between go
    size_t same = std::mismatch(shown.begin(), shown.begin() + std::min(shown.size(), expected.size()),
                                expected.begin()).first - shown.begin();
    EXPECT_EQ(same, expected.size()) << "record " << same / 9 << " of " << peer.records << " lost";
    c.Type("\xC3\xBF");
    EXPECT_EQ(c.WaitForExit(), 0) << c.errors();
}

// The end key under each kind of flood ends the session within a second; a
// flood that never answers is given up at the open's 5 s bound.
TEST(RemotePeer, FloodsHoldNoBoundUp) {
    const Peer::Kind kKinds[] = {Peer::kNop, Peer::kModemState, Peer::kLongSub, Peer::kDo, Peer::kRecords};
    for (Peer::Kind kind : kKinds) {
        SCOPED_TRACE(testing::Message() << "flood " << kind);
        Peer peer(kind);
        Child c = PeerSession(peer);
        ASSERT_TRUE(c.WaitForOutput("(DTR on) (RTS on) ")) << Visible(c.output()) << c.errors();
        ASSERT_TRUE(c.WaitForRawKeyboard());
        c.Collect(300);
        c.Type("\xC3\xBF");
        EXPECT_EQ(c.WaitForExit(1000), 0) << c.errors();
    }
    Peer silent(Peer::kNop, false);
    auto start = std::chrono::steady_clock::now();
    Child c = PeerSession(silent);
    EXPECT_EQ(c.WaitForExit(7000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(6000));
}

TEST(RemoteAddresses, ThatCannotBeOpenedAreReported) {
    const std::string refused = "127.0.0.1:" + std::to_string(FreePort());
    const char* kNames[] = {
        "rfc2217://127.0.0.1:0", "rfc2217://127.0.0.1:65536", "rfc2217://127.0.0.1", "rfc2217://:2217",
        "tcp://[::1:2217", "tcp://1.2.3.4:22x", "rfc2217://[127.0.0.1]:2217",
    };
    std::vector<std::string> names(std::begin(kNames), std::end(kNames));
    names.push_back("rfc2217://" + refused);
    names.push_back("tcp://" + refused);
    for (const std::string& name : names) {
        Child c({{"50", "9600", "8", "1", "0"}, {"DORVALIX_COM50=" + name}, Keyboard::kPty});
        EXPECT_EQ(c.WaitForExit(20000), 1) << name;
        EXPECT_NE(c.output().find("Unable to open COM port.\r\n"), std::string::npos) << name << Visible(c.output());
    }
}

}  // namespace
