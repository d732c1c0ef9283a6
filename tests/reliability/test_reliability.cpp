// Reliability: nothing lost under load, faults survived, bad settings
// refused. The built program runs on ptys and the loopback port; every wait
// is bounded, a hung case fails.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "runner.h"

using e2e::Visible;
using rel::Input;
using rel::Launch;
using rel::NowMs;
using rel::Proc;

namespace {

const char kEnd = char(0xFF);  // typed in the C locale: the byte itself

std::string Map50(const std::string& device) { return "DORVALIX_COM50=" + device; }

long EnvNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atol(v) : fallback;
}

// What the output shows for one received byte.
std::string Shown(unsigned char b, bool raw) {
    if (raw) return b == '\n' ? std::string("\r\n") : std::string(1, char(b));
    if (b >= 0x20 && b <= 0x7E) return std::string(1, char(b));
    char item[8];
    std::snprintf(item, sizeof item, "(%02X) ", b);
    return b == 0x0D ? item + std::string("\r\n") : std::string(item);
}

// Fails with the first differing position and what is around it.
void ExpectSame(const std::string& expected, const std::string& got, const char* what) {
    if (expected == got) return;
    size_t i = 0;
    while (i < expected.size() && i < got.size() && expected[i] == got[i]) ++i;
    size_t from = i > 40 ? i - 40 : 0;
    ADD_FAILURE() << what << ": first difference at byte " << i << " of " << expected.size() << " (got "
                  << got.size() << ")\n expected: " << Visible(expected.substr(from, 80))
                  << "\n got:      " << Visible(got.substr(from, 80));
}

// Starts the program and waits until its session runs with raw keys.
bool StartSession(Proc& p) {
    bool ok = p.WaitFor(" bytes\r\n", 10000);
    EXPECT_TRUE(ok) << "no session: " << Visible(p.out());
    ok = ok && p.WaitRaw(5000);
    EXPECT_TRUE(ok) << "keyboard not raw";
    p.Pump(300);  // "(DTR on) (RTS on) " where the port has the lines
    return ok;
}

bool Exited(int status, int code) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

// ---- Load: a random stream pushed through a pty at full speed -------------

void PushRandomStream(bool raw) {
    e2e::Pty port;
    std::vector<std::string> args = {"50", "115200", "8", "1", "0"};
    if (raw) args.push_back("/NC");
    Proc p({args, {Map50(port.slavePath)}});
    ASSERT_TRUE(StartSession(p)) << Visible(p.out());
    const size_t header = p.out().size();

    const size_t total = size_t(EnvNumber("RELIABILITY_LOAD_BYTES", 8 << 20));
    std::mt19937 random(raw ? 1234 : 4321);
    std::string data(total, '\0'), expected;
    for (char& c : data) c = char(random() & 0xFF);
    for (unsigned char c : data) expected += Shown(c, raw);

    fcntl(port.master, F_SETFL, O_NONBLOCK);
    const long long start = NowMs(), deadline = start + EnvNumber("RELIABILITY_LOAD_SECONDS", 90) * 1000;
    size_t sent = 0;
    while ((sent < total || p.out().size() < header + expected.size()) && NowMs() < deadline) {
        pollfd f[2] = {{port.master, short(sent < total ? POLLOUT | POLLIN : POLLIN), 0}, {p.outFd(), POLLIN, 0}};
        if (poll(f, 2, 100) <= 0) continue;
        if ((f[0].revents & POLLOUT) && sent < total) {
            ssize_t n = write(port.master, data.data() + sent, std::min<size_t>(4096, total - sent));
            if (n > 0) sent += size_t(n);
        }
        if (f[0].revents & POLLIN) {  // anything the port sends back is dropped
            char junk[4096];
            (void)!read(port.master, junk, sizeof junk);
        }
        if (f[1].revents) p.Pump(0);
    }
    const double seconds = double(NowMs() - start) / 1000.0;
    std::printf("[ load ] %s: %zu bytes pushed, %zu shown as %zu output bytes in %.1f s (%.0f bytes/s)\n",
                raw ? "/NC" : "default", sent, total, p.out().size() - header, seconds, double(total) / seconds);
    EXPECT_EQ(sent, total) << "the port stopped taking bytes";
    ExpectSame(expected, p.out().substr(header, expected.size()), "received stream");

    ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), std::string(1, kEnd)));
    EXPECT_TRUE(Exited(p.Wait(10000), 0)) << Visible(p.out().substr(p.out().size() - 200));
    const std::string tail = p.out().substr(std::min(p.out().size(), header + expected.size()));
    EXPECT_TRUE(tail.empty() || tail == "(DTR off) (RTS off)\r\n") << Visible(tail);
}

TEST(Load, RandomStreamRawMode) { PushRandomStream(true); }
TEST(Load, RandomStreamControlLineMode) { PushRandomStream(false); }

// ---- Load: a busy session on the loopback port ----------------------------

// The loopback plug: RTS drives CTS, DTR drives DSR and DCD, a break is
// received as one, bytes sent while it is on never arrive. Gives what the
// session shows for each key.
struct LoopModel {
    bool dtr = true, rts = true, brk = false;
    std::string Key(unsigned char b) const { return brk ? std::string() : Shown(b, false); }
    std::string Command(char c) {
        switch (c) {
            case 'B': {  // a break that begins is received as one
                bool was = brk;
                brk = true;
                return was ? "(Break on) " : "(Break on) (BREAK) ";
            }
            case 'b': brk = false; return "(Break off) ";
            case 'D': case 'd': {
                bool was = dtr;
                dtr = c == 'D';
                std::string s = dtr ? "(DTR on) " : "(DTR off) ";
                return was == dtr ? s : s + (dtr ? "(DCD on) (DSR on) " : "(DCD off) (DSR off) ");
            }
            case 'R': case 'r': {
                bool was = rts;
                rts = c == 'R';
                std::string s = rts ? "(RTS on) " : "(RTS off) ";
                return was == rts ? s : s + (rts ? "(CTS on) " : "(CTS off) ");
            }
            default: return Key((unsigned char)c);  // ESC ESC, ESC x: the byte alone
        }
    }
};

// A byte the keyboard pty hands over unchanged: not ESC (commands only), not
// the end key, not the signal keys, not '[' or 'O', which after an ESC
// would start a cursor-key sequence, and not a UTF-8 lead byte, which with
// the bytes after it in the same read could make a UTF-8 character.
unsigned char PlainKey(std::mt19937& random) {
    for (;;) {
        unsigned char b = (unsigned char)(random() & 0xFF);
        if (b != 0x1B && b != 0xFF && b != 0x03 && b != 0x1C && b != '[' && b != 'O' && (b < 0xC2 || b > 0xF4)) {
            return b;
        }
    }
}

TEST(Load, BusyLoopbackSessionShowsEveryKeyAndLineChange) {
    Proc p({{"50", "115200", "8", "1", "0"}, {Map50("loop")}});
    // The open raised DTR and RTS already: the initial table shows the inputs on.
    ASSERT_TRUE(StartSession(p));
    ASSERT_NE(p.out().find("\nDCD\tri\tDSR\tCTS\t"), std::string::npos) << Visible(p.out());
    ASSERT_EQ(p.out().substr(p.out().size() - 18), "(DTR on) (RTS on) ");
    std::string expected = p.out();

    std::mt19937 random(99);
    LoopModel model;
    const char kCommands[] = "BbDdRrDRx\x1b";
    const long long end = NowMs() + EnvNumber("RELIABILITY_BUSY_SECONDS", 20) * 1000;
    size_t typed = 0, commands = 0;
    while (NowMs() < end && !HasFailure()) {
        std::string keys;
        for (unsigned n = random() % 200; n > 0; --n) {
            unsigned char b = PlainKey(random);
            keys += char(b);
            expected += model.Key(b);
        }
        for (unsigned n = random() % 3; n > 0; --n) {  // commands typed in the same burst
            char c = kCommands[random() % (sizeof kCommands - 1)];
            keys += '\x1b';
            keys += c;
            expected += model.Command(c);
            ++commands;
        }
        typed += keys.size();
        ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), keys));
        EXPECT_TRUE(p.WaitForSize(expected.size(), 10000));
        p.Pump(0);
        ExpectSame(expected, p.out(), "session output");
    }
    std::printf("[ busy ] %zu bytes typed with %zu ESC commands, all shown\n", typed, commands);
    ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), std::string(1, kEnd)));
    EXPECT_TRUE(Exited(p.Wait(5000), 0));
    ExpectSame(expected + "(DTR off) (RTS off)\r\n", p.out(), "session end");
}

// ---- Faults ---------------------------------------------------------------

// Runs the session for `ms`: it must use under a fifth of a core (no spin)
// and print nothing beyond `shown`. Returns the CPU time it used, in ms.
long ExpectQuiet(Proc& p, int ms, const std::string& shown, const char* when) {
    long cpu0 = p.CpuMs();
    long long t0 = NowMs();
    p.Pump(ms);
    long used = p.CpuMs() - cpu0, spent = long(NowMs() - t0);
    EXPECT_LT(used * 5, spent) << "CPU " << used << " ms in " << spent << " ms " << when << ": the loop spins";
    EXPECT_EQ(Visible(p.out()), Visible(shown)) << "printed " << when;
    return used;
}

// The device hangs up mid-session: no spin, nothing spurious, a clean end.
TEST(Faults, HangUpMidSessionIsSurvived) {
    // At 300 baud a wait for 4096 queued bytes would take 164 s: nothing can
    // be queued on a hung-up line, so the end must come at once.
    for (bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "/NC" : "default mode");
        e2e::Pty* port = new e2e::Pty;
        std::vector<std::string> args = {"50", raw ? "115200" : "300", "8", "1", "0"};
        if (raw) args.push_back("/NC");
        Proc p({args, {Map50(port->slavePath)}});
        ASSERT_TRUE(StartSession(p)) << Visible(p.out());
        ASSERT_TRUE(e2e::WriteAll(port->master, "before\r"));
        ASSERT_TRUE(p.WaitFor(raw ? "before\r" : "before(0D) \r\n", 3000));
        const std::string shown = p.out();
        delete port;  // master and our slave closed: the line is hung up

        p.Pump(300);
        long used = ExpectQuiet(p, 2000, shown, "after the hang-up");

        ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), "abc" + std::string(1, kEnd)));
        long long t1 = NowMs();
        EXPECT_TRUE(Exited(p.Wait(6000), 0)) << Visible(p.out());
        EXPECT_LT(NowMs() - t1, 4000) << "end of session took too long";
        std::printf("[ hang-up ] %s: %ld ms CPU in 2000 ms after the hang-up, ended in %lld ms\n",
                    raw ? "/NC" : "default", used, NowMs() - t1);
    }
}

// ---- Unplugged and plugged back: a pty behind a link ------------------------

// The link a user maps to an adapter (/dev/serial/by-id/...), made in a
// directory of the test's own.
struct PortLink {
    std::string dir, path;
    PortLink() {
        char t[] = "/tmp/dorvalix-link-XXXXXX";
        if (mkdtemp(t) == nullptr) ADD_FAILURE() << "mkdtemp";
        dir = t;
        path = dir + "/port";
    }
    ~PortLink() {
        for (const char* name : {"/port", "/new", "/file"}) unlink((dir + name).c_str());
        rmdir(dir.c_str());
    }
    // Points the link at `target` in one step, as udev replaces it.
    bool Point(const std::string& target) {
        const std::string fresh = dir + "/new";
        unlink(fresh.c_str());
        return symlink(target.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), path.c_str()) == 0;
    }
};

// Another open is kept out: refused outright, or (root passes TIOCEXCL)
// let in to find the device exclusive and locked.
bool HeldExclusively(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno == EBUSY;
    int exclusive = 0;
    bool held = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 1 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
}

// Writes everything, reading the program's output meanwhile; bounded.
bool Push(Proc& p, int fd, const std::string& data, int timeoutMs) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    size_t sent = 0;
    for (long long end = NowMs() + timeoutMs; sent < data.size() && NowMs() < end;) {
        ssize_t n = write(fd, data.data() + sent, std::min<size_t>(4096, data.size() - sent));
        if (n > 0) sent += size_t(n);
        else p.Pump(10);
    }
    return sent == data.size();
}

enum class Away { kLinkRemoved, kDangling, kPlainFile, kHeld };

void UnplugAndReplug(bool raw) {
    struct Case {
        const char* name;
        Away away;
        bool stream;        // the device is unplugged in the middle of a stream
        bool endWhileAway;  // the end key comes before the device is back
    } cases[] = {
        {"link removed, unplugged during a stream", Away::kLinkRemoved, true, false},
        {"name back as a plain file first", Away::kPlainFile, false, false},
        {"new device held by another process for a while", Away::kHeld, false, false},
        {"link left dangling, session ended meanwhile", Away::kDangling, false, true},
    };
    std::string pattern;
    for (int i = 0; i < 32768; ++i) pattern += char(i % 97 == 96 ? '\r' : ' ' + i % 95);
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(raw ? "/NC: " : "default: ") + k.name);
        PortLink link;
        e2e::Pty* first = new e2e::Pty;
        ASSERT_TRUE(link.Point(first->slavePath));
        std::vector<std::string> args = {"50", "115200", "8", "1", "0"};
        if (raw) args.push_back("/NC");
        Proc p({args, {Map50(link.path)}});
        ASSERT_TRUE(StartSession(p)) << Visible(p.out());
        ASSERT_TRUE(e2e::WriteAll(first->master, "before\r"));
        ASSERT_TRUE(p.WaitFor(Shown('e', raw) + Shown('\r', raw), 3000)) << Visible(p.out());
        if (k.stream) Push(p, first->master, pattern, 200);  // what fits, not waited for

        // Unplugged: the device hangs up, the name goes or changes.
        e2e::Pty second;  // the device when it is back, with no line discipline
        termios t;
        ASSERT_EQ(tcgetattr(second.slave, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(second.slave, TCSANOW, &t), 0);
        int holder = -1;
        switch (k.away) {
            case Away::kLinkRemoved: unlink(link.path.c_str()); break;
            case Away::kDangling: ASSERT_TRUE(link.Point(link.dir + "/nothing")); break;
            case Away::kPlainFile: {
                const std::string file = link.dir + "/file";
                int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
                ASSERT_GE(fd, 0);
                close(fd);
                ASSERT_TRUE(link.Point(file));
                break;
            }
            case Away::kHeld:
                holder = open(second.slavePath.c_str(), O_RDWR | O_NOCTTY);
                ASSERT_GE(holder, 0);
                ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
                ASSERT_TRUE(link.Point(second.slavePath));
                break;
        }
        delete first;
        p.Pump(300);
        const std::string shown = p.out();
        ExpectQuiet(p, 1200, shown, "while the device was away");

        if (k.endWhileAway) {
            ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), "abc" + std::string(1, kEnd)));
            EXPECT_TRUE(Exited(p.Wait(6000), 0)) << Visible(p.out());
            EXPECT_EQ(Visible(p.out()), Visible(shown)) << "printed at the end";
            if (holder >= 0) close(holder);
            continue;
        }

        // Plugged back in: received bytes show, typed bytes arrive.
        if (holder >= 0) close(holder);
        else ASSERT_TRUE(link.Point(second.slavePath));
        const std::string data = k.stream ? pattern : std::string("after\r");
        std::string expected;
        for (unsigned char c : data) expected += Shown(c, raw);
        ASSERT_TRUE(Push(p, second.master, data, 10000)) << "the device back is not read";
        EXPECT_TRUE(p.WaitForSize(shown.size() + expected.size(), 10000));
        ExpectSame(shown + expected, p.out(), "output after the device came back");
        ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), "xyz"));
        EXPECT_EQ(Visible(e2e::ReadBytes(second.master, 3, 3000)), "xyz");
        EXPECT_TRUE(HeldExclusively(second.slavePath)) << "the device back is not held exclusively";

        ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), std::string(1, kEnd)));
        EXPECT_TRUE(Exited(p.Wait(6000), 0)) << Visible(p.out());
        EXPECT_EQ(Visible(e2e::ReadBytes(second.master, 1, 2000)), "\\xFF");
    }
}

TEST(Replug, SessionCarriesOnRawMode) { UnplugAndReplug(true); }
TEST(Replug, SessionCarriesOnControlLineMode) { UnplugAndReplug(false); }

// Sends that cannot go out (nobody reads the far end, the pty is full) are
// silent and cost at most the write time-out each: data still shows, keys
// are still handled, the session still ends.
TEST(Faults, FullTransmitBufferNeverStallsTheLoop) {
    e2e::Pty port;
    Proc p({{"50", "115200", "8", "1", "0", "/NC"}, {Map50(port.slavePath)}});
    ASSERT_TRUE(StartSession(p)) << Visible(p.out());
    const std::string header = p.out();
    // Fill the slave-to-master direction until it stays full: the kernel
    // moves bytes on to the master's side a little later, so top it up.
    fcntl(port.slave, F_SETFL, O_NONBLOCK);
    size_t filled = 0;
    for (int round = 0, added = 1; added > 0 && round < 100; ++round) {
        added = 0;
        for (char junk[512] = {}; write(port.slave, junk, sizeof junk) > 0 && filled < (1u << 24);) {
            filled += 512;
            ++added;
        }
        p.Pump(50);
    }
    ASSERT_GT(filled, 0u);

    long long t0 = NowMs();
    ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), "0123456789"));  // each send now times out
    ASSERT_TRUE(e2e::WriteAll(port.master, "ping\n"));
    EXPECT_TRUE(p.WaitFor("ping\r\n", 8000)) << Visible(p.out());
    ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), std::string(1, kEnd)));
    EXPECT_TRUE(Exited(p.Wait(15000), 0));
    long took = long(NowMs() - t0);
    // 11 keys at most 250 ms read + 250 ms write each, then the bounded end
    // wait (what is queued at 115200 baud, plus a second).
    EXPECT_LT(took, 11 * 500 + 3000 + 1500) << "keys were held up longer than the write time-out";
    EXPECT_EQ(Visible(p.out()), Visible(header + "ping\r\n")) << "a failed send was reported";
    // The fault was real: the typed bytes found no room (only junk comes out).
    std::string back = e2e::ReadFor(port.master, 300);
    EXPECT_EQ(back.find_first_not_of('\0'), std::string::npos) << "sent after all: " << Visible(back.substr(0, 40));
    std::printf("[ full ] %zu bytes filled the pty; 11 keys handled in %ld ms, none sent\n", filled, took);
}

// Interrupt keys and termination signals end the process at once, with the
// signal in the exit status and the keyboard terminal as it was.
TEST(Faults, SignalsEndAtOnceAndRestoreTheKeyboard) {
    struct Case {
        const char* name;
        int signal;
    } cases[] = {{"Ctrl+C typed", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP},
                 {"SIGQUIT", SIGQUIT},     {"output pipe closed", SIGPIPE}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Proc p({{"50", "115200", "8", "1", "0"}, {Map50("loop")}});
        ASSERT_TRUE(StartSession(p)) << Visible(p.out());
        if (k.signal == SIGINT) {
            ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), "\x03"));
        } else if (k.signal == SIGPIPE) {
            p.CloseOutput();
            ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), "x"));  // its echo is written to the closed pipe
        } else {
            kill(p.pid(), k.signal);
        }
        long long t0 = NowMs();
        int status = p.Wait(3000);
        EXPECT_LT(NowMs() - t0, 1000) << "did not end at once";
        ASSERT_NE(status, -1) << "still running";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == k.signal)
            << "status " << std::hex << status << ": "
            << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exited");
        termios now;
        ASSERT_EQ(tcgetattr(p.keyboardSlave(), &now), 0);
        std::string why;
        EXPECT_TRUE(e2e::SameTermios(p.keyboardAtStart(), now, &why)) << why;
    }
}

// Output to a file or a pipe, keys from a pipe or a file: the session works.
TEST(Faults, OutputToFileAndKeysFromPipeOrFile) {
    const std::string file = testing::TempDir() + "dorvalix-rel-out.txt";
    struct Case {
        const char* name;
        Input input;
        bool toFile;
        bool raw;
        std::string keys, shown;
    } cases[] = {
        {"keys from a pipe, output to a file, /NC", Input::kPipe, true, true, "hi\n\x01", "hi\r\n\x01"},
        {"keys from a file, output to a pipe", Input::kFile, false, false, "A\r\x1b" "d\x1b" "D\x1b\x1b",
         "A(0D) \r\n(DTR off) (DCD off) (DSR off) (DTR on) (DCD on) (DSR on) (1B) "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<std::string> args = {"50", "115200", "8", "1", "0"};
        if (k.raw) args.push_back("/NC");
        Launch l{args, {Map50("loop")}, k.input, k.keys + kEnd, k.toFile ? file : ""};
        Proc p(l);
        if (k.input == Input::kPipe) {
            ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), k.keys + kEnd));
            p.CloseKeyboard();
        }
        EXPECT_TRUE(Exited(p.Wait(15000), 0));
        std::string out = p.out();
        if (k.toFile) {
            FILE* f = std::fopen(file.c_str(), "rb");
            ASSERT_NE(f, nullptr);
            char buf[4096];
            out.assign(buf, std::fread(buf, 1, sizeof buf, f));
            std::fclose(f);
            std::remove(file.c_str());
        }
        const std::string tail = k.shown + "(DTR off) (RTS off)\r\n";
        ASSERT_GE(out.size(), tail.size()) << Visible(out);
        EXPECT_EQ(Visible(out.substr(out.size() - tail.size())), Visible(tail));
    }
}

// ---- Settings: every value the rules allow is accepted, the rest refused --

TEST(Settings, AllowedValuesAcceptedRefusedValuesEndCleanly) {
    struct Case {
        std::vector<std::string> line;  // baud data stop parity
        bool accepted;
    } cases[] = {
        {{"50", "5", "1", "0"}, true},     {{"110", "5", "5", "1"}, true},   {{"300", "6", "1", "3"}, true},
        {{"1200", "6", "2", "5"}, true},   {{"9600", "7", "2", "7"}, true},  {{"19200", "7", "1", "0"}, true},
        {{"57600", "8", "2", "1"}, true},  {{"115200", "8", "1", "7"}, true},
        {{"0", "8", "1", "0"}, false},     {{"9600", "4", "1", "0"}, false}, {{"9600", "9", "1", "0"}, false},
        {{"9600", "5", "2", "0"}, false},  {{"9600", "8", "5", "0"}, false}, {{"9600", "6", "5", "3"}, false},
        {{"9600", "0", "1", "0"}, false},  {{"9600", "260", "1", "0"}, false},
    };
    for (bool onPty : {false, true}) {
        for (const Case& k : cases) {
            SCOPED_TRACE((onPty ? "pty: " : "loop: ") + k.line[0] + " " + k.line[1] + " " + k.line[2] + " " +
                         k.line[3]);
            e2e::Pty port;
            std::vector<std::string> args = {"50"};
            args.insert(args.end(), k.line.begin(), k.line.end());
            args.push_back("/NC");
            Proc p({args, {Map50(onPty ? port.slavePath : "loop")}, Input::kFile, "ok" + std::string(1, kEnd)});
            int status = p.Wait(10000);
            ASSERT_NE(status, -1) << "hung: " << Visible(p.out());
            const std::string& out = p.out();
            if (k.accepted) {
                EXPECT_TRUE(Exited(status, 0)) << Visible(out);
                EXPECT_NE(out.find(" bytes\r\n"), std::string::npos) << Visible(out);
                EXPECT_EQ(out.find("Unable"), std::string::npos) << Visible(out);
            } else {
                EXPECT_TRUE(Exited(status, 1)) << std::hex << status << " " << Visible(out);
                const std::string refusal = "(Ignoring control lines)\r\nUnable to open COM port.\r\n";
                EXPECT_TRUE(out.size() >= refusal.size() && out.substr(out.size() - refusal.size()) == refusal)
                    << Visible(out);
            }
        }
    }
}

// ---- The sessions under valgrind memcheck ---------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

TEST(Valgrind, SessionsRunCleanUnderMemcheck) {
#ifdef UNDER_ASAN
    GTEST_SKIP() << "built with AddressSanitizer";
#endif
    if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
    const std::vector<std::string> valgrind = {"valgrind", "--error-exitcode=99", "--leak-check=full",
                                               "--errors-for-leak-kinds=definite,indirect"};
    for (bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "/NC on a pty" : "default mode on loop");
        e2e::Pty port;
        std::vector<std::string> args = {"50", "115200", "8", "1", "0"};
        if (raw) args.push_back("/NC");
        const std::string log = testing::TempDir() + "dorvalix-valgrind.log";
        Proc p({args, {Map50(raw ? port.slavePath : "loop")}, Input::kPty, "", "", valgrind, log});
        ASSERT_TRUE(p.WaitFor(" bytes\r\n", 30000) && p.WaitRaw(20000)) << Visible(p.out());
        if (raw) {
            ASSERT_TRUE(e2e::WriteAll(port.master, "from the port\n\x01\xFE"));
        }
        ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), raw ? "typed" : "ab\x1b" "d\x1b" "r\x1b" "B\x1b" "bz"));
        EXPECT_TRUE(p.WaitFor(raw ? "\x01\xFE" : "(Break off) z", 20000)) << Visible(p.out());
        ASSERT_TRUE(e2e::WriteAll(p.keyboardMaster(), std::string(1, kEnd)));
        int status = p.Wait(30000);
        EXPECT_TRUE(Exited(status, 0)) << "status " << std::hex << status << " (99: memcheck errors, see " << log
                                        << ")";
        if (raw) {
            EXPECT_EQ(Visible(e2e::ReadFor(port.master, 200)), Visible("typed\xFF"));
        }
        FILE* f = std::fopen(log.c_str(), "r");
        ASSERT_NE(f, nullptr) << "no valgrind log";
        std::string report(65536, '\0');
        report.resize(std::fread(&report[0], 1, report.size(), f));
        std::fclose(f);
        EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
        EXPECT_NE(report.find("All heap blocks were freed"), std::string::npos) << report;
    }
}

}  // namespace
