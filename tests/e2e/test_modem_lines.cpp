// End to end on ports with modem lines: the built program's default mode on
// a pty that the fake-modem-lines instrument turns into each kind of serial
// port (instrument/fake_modem_lines.h). One script for every kind: the lines
// it sets must show exactly as on any port, whatever the kind's query costs
// and whether its counters move.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "harness.h"
#include "../instrument/fake_modem_lines.h"

using e2e::Child;
using e2e::Keyboard;
using e2e::Pty;
using e2e::Visible;

namespace {

struct Kind {
    const char* name;
    FakeModemKind kind;
    bool counted;  // its counters show a ring too short for any reading
};

const Kind kKinds[] = {
    {"uart8250", FAKE_MODEM_8250, true},     // cheap; RI counted on its trailing edge only
    {"ftdi_sio", FAKE_MODEM_FTDI_SIO, true},  // 2 ms a query; counters move
    {"cp210x", FAKE_MODEM_CP210X, false},    // 2 ms a query; counters never move
    {"pl2303", FAKE_MODEM_PL2303, false},    // cheap; no counters
    {"cdc_acm", FAKE_MODEM_CDC_ACM, true},   // cheap; CTS always on
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

std::string Lines(std::initializer_list<std::string> lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\r\n";
    return s;
}

class ModemLines : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        ASSERT_GE(port.slave, 0);
        int fd = mkstemp(statePath);
        ASSERT_GE(fd, 0);
        close(fd);
        state = FakeModemLinesCreate(statePath, port.slave, GetParam().kind, TIOCM_DSR | TIOCM_CTS);
        ASSERT_NE(state, nullptr);
    }
    void TearDown() override {
        FakeModemLinesRelease(state);
        unlink(statePath);
    }
    // Moves the lines, then waits until the program has shown `items`.
    void Move(Child& c, uint32_t lines, const std::string& items) {
        FakeModemLinesSet(state, lines);
        shown += items;
        EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
    }
    Pty port;
    char statePath[40] = "/tmp/dorvalix-modem-lines-XXXXXX";
    FakeModemLinesState* state = nullptr;
    std::string shown;
};

TEST_P(ModemLines, DefaultModeShowsAndDrivesTheLines) {
    Child c({{"50", "115200", "8", "1", "0"},
             {"DORVALIX_COM50=" + port.slavePath, "LANG=C.UTF-8", "LD_PRELOAD=" FAKE_MODEM_LINES_PRELOAD,
              std::string(FAKE_MODEM_LINES_ENV "=") + statePath,
              // a sanitizer build's runtime then comes after the preloaded instrument
              "ASAN_OPTIONS=verify_asan_link_order=0"},
             Keyboard::kPty});
    // The initial tables with DSR and CTS on; DTR and RTS reach the port.
    shown = "Sampling from COM50, 115200 baud, 8 data bits, 1 stop bit, no parity...\r\n"
            "Tx buffer size: 4096 bytes\r\n" +
            Lines({"", "Initial control lines (caps=on, lower case=off):",
                   "dcd\tri\tDSR\tCTS\t    \t    \t\xEB" "DSR\t\xEB" "CTS", "",
                   "Initial Rx status (caps=on, lower case=off):",
                   "timeout\tunused\tctrl\tbreak\tframe\tparity\toverrun\tbuffull", ""}) +
            "(DTR on) (RTS on) ";
    ASSERT_TRUE(c.WaitForOutput(shown)) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard()) << c.errors();
    EXPECT_EQ(state->outputs, unsigned(TIOCM_DTR | TIOCM_RTS));

    // Changes while idle, RI on and off again included.
    Move(c, TIOCM_DSR | TIOCM_CTS | TIOCM_CD, "(DCD on) ");
    Move(c, TIOCM_CTS | TIOCM_CD | TIOCM_RI, "(RI on) (DSR off) ");
    Move(c, TIOCM_CTS | TIOCM_CD, "(RI off) ");
    if (GetParam().counted) {
        // A ring between two readings: shown on and off, as a loop asking
        // all the time would have seen it.
        FakeModemLinesSet(state, TIOCM_CTS | TIOCM_CD | TIOCM_RI);
        Move(c, TIOCM_CTS | TIOCM_CD, "(RI on) (RI off) ");
    }

    // A change while a stream is being shown: the item among the bytes (or
    // just after them), and every byte in order around it.
    std::string stream;
    for (int i = 0; stream.size() < 1024 * 1024; ++i) stream += "line " + std::to_string(i) + " of the stream. ";
    stream += "|end|";
    std::thread peer([&] {  // bounded: gives up when the program stops reading
        long long waited = 0;
        for (size_t sent = 0; sent < stream.size() && waited < 20000;) {
            pollfd p = {port.master, POLLOUT, 0};
            if (poll(&p, 1, 100) <= 0) {
                waited += 100;
                continue;
            }
            ssize_t n = write(port.master, stream.data() + sent, std::min<size_t>(4096, stream.size() - sent));
            if (n > 0) sent += size_t(n);
        }
    });
    EXPECT_TRUE(c.WaitForOutput(shown + stream.substr(0, stream.size() / 4), 20000));
    FakeModemLinesSet(state, TIOCM_CTS | TIOCM_DSR);
    const std::string item = "(DCD off) (DSR on) ";
    bool ended = c.WaitForOutput("|end|", 20000);
    peer.join();
    ASSERT_TRUE(ended) << Visible(c.output().substr(0, 2000));
    c.WaitForOutput(item);  // it may come after the last bytes
    std::string during = c.output().substr(c.output().find(shown) + shown.size());
    size_t at = during.find(item);
    ASSERT_NE(at, std::string::npos) << "change not shown during the stream";
    std::string rest = during.substr(0, at) + during.substr(at + item.size());
    size_t differ = std::mismatch(rest.begin(), rest.end(), stream.begin(), stream.end()).first - rest.begin();
    EXPECT_TRUE(rest == stream) << "stream not shown exactly from " << differ << ": "
                                << Visible(rest.substr(differ > 40 ? differ - 40 : 0, 120));
    shown += during;

    // ESC D/d/R/r and B/b reach the port's output lines.
    struct Command {
        char key;
        const char* item;
        unsigned outputs, brk;
    };
    const Command commands[] = {
        {'d', "(DTR off) ", TIOCM_RTS, 0},  {'r', "(RTS off) ", 0, 0},
        {'D', "(DTR on) ", TIOCM_DTR, 0},   {'R', "(RTS on) ", TIOCM_DTR | TIOCM_RTS, 0},
        {'B', "(Break on) ", TIOCM_DTR | TIOCM_RTS, 1}, {'b', "(Break off) ", TIOCM_DTR | TIOCM_RTS, 0},
    };
    for (const Command& k : commands) {
        c.TypeSlowly(std::string("\x1B") + k.key, 20);
        shown += k.item;
        EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output().substr(c.output().size() - 200));
        EXPECT_EQ(state->outputs, k.outputs) << k.key;
        EXPECT_EQ(state->brk, k.brk) << k.key;
    }

    // Unplugged: every query fails, so the lines that were on read as off.
    state->unplugged = 1;
    shown += "(DSR off) (CTS off) ";
    EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output().substr(c.output().size() - 200));
    c.Type("\xC3\xBF");
    EXPECT_EQ(c.WaitForExit(), 0) << c.errors();
    // No more items: DTR and RTS cannot be released on a port that has gone.
    std::string out = c.output();
    EXPECT_EQ(Visible(out.substr(out.find("\r\n") + 2)), Visible(shown));
}

// An adapter unplugged and plugged back under its link: its lines drop with
// it, come back with the new device, and DTR stays as the user left it.
TEST(ModemLinesReplug, LinesDropAndComeBackWithTheDevice) {
    char dir[] = "/tmp/dorvalix-replug-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/port", fresh = std::string(dir) + "/new";
    char statePath[] = "/tmp/dorvalix-modem-lines-XXXXXX";
    int stateFd = mkstemp(statePath);
    ASSERT_GE(stateFd, 0);
    close(stateFd);
    auto first = std::make_unique<Pty>();
    ASSERT_EQ(symlink(first->slavePath.c_str(), link.c_str()), 0);
    FakeModemLinesState* state =
        FakeModemLinesCreate(statePath, first->slave, FAKE_MODEM_FTDI_SIO, TIOCM_DSR | TIOCM_CTS);
    ASSERT_NE(state, nullptr);
    {
        Child c({{"50", "115200", "8", "1", "0"},
                 {"DORVALIX_COM50=" + link, "LANG=C.UTF-8", "LD_PRELOAD=" FAKE_MODEM_LINES_PRELOAD,
                  std::string(FAKE_MODEM_LINES_ENV "=") + statePath, "ASAN_OPTIONS=verify_asan_link_order=0"},
                 Keyboard::kPty});
        std::string shown = "(DTR on) (RTS on) ";
        ASSERT_TRUE(c.WaitForOutput(shown)) << Visible(c.output()) << c.errors();
        ASSERT_TRUE(c.WaitForRawKeyboard()) << c.errors();
        c.TypeSlowly("\x1B" "d", 20);
        shown += "(DTR off) ";
        ASSERT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
        EXPECT_EQ(state->outputs, unsigned(TIOCM_RTS));

        // Unplugged: the queries fail, the pty hangs up, the name goes.
        state->unplugged = 1;
        unlink(link.c_str());
        first.reset();
        shown += "(DSR off) (CTS off) ";
        EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());

        // Back as a new device under the same name; the kernel raises DTR
        // and RTS on open, the program puts DTR back off.
        Pty second;
        termios t;
        ASSERT_EQ(tcgetattr(second.slave, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(second.slave, TCSANOW, &t), 0);
        struct stat st;
        ASSERT_EQ(fstat(second.slave, &st), 0);
        state->outputs = TIOCM_DTR | TIOCM_RTS;
        state->rdev = st.st_rdev;
        state->unplugged = 0;
        ASSERT_EQ(symlink(second.slavePath.c_str(), fresh.c_str()), 0);
        ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
        shown += "(DSR on) (CTS on) ";
        EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
        EXPECT_EQ(state->outputs, unsigned(TIOCM_RTS));
        ASSERT_TRUE(e2e::WriteAll(second.master, "back"));
        shown += "back";
        EXPECT_TRUE(c.WaitForOutput(shown)) << Visible(c.output());
        c.Type("\xC3\xBF");
        EXPECT_EQ(c.WaitForExit(), 0) << c.errors();
    }
    FakeModemLinesRelease(state);
    unlink(statePath);
    unlink(link.c_str());
    rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ModemLines, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

}  // namespace
