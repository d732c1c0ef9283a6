// The POSIX console in a child process whose standard input and output are a
// pseudo-terminal slave (or pipes), watched from the master side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../../platform/console.h"
#include "../../platform/posix/console/terminal.h"

namespace {

void Say(const std::string& s) { ConsoleWrite(s.data(), s.size()); }

// Reads keys while the key test is true (at most `limit`) and names them in hex.
std::string HexKeys(int limit, bool test) {
    std::string hex;
    for (int i = 0; i < limit && (!test || ConsoleKeyWaiting()); ++i) {
        char item[8];
        snprintf(item, sizeof item, "%02X ", ConsoleReadKey());
        hex += item;
    }
    return hex;
}

// Forks a child with stdin = in and stdout = out, or both the pty slave as
// its controlling terminal; runs body, then exit(0) so that atexit runs.
pid_t StartChild(const char* slave, int in, int out, int closeInChild, void (*body)()) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    close(closeInChild);
    if (slave != nullptr && (setsid() < 0 || (in = out = open(slave, O_RDWR)) < 0)) _exit(90);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(91);
    body();
    exit(0);
}

// Reads fd until `until` has arrived (empty: until the end), for at most 5 s.
std::string ReadUntil(int fd, const std::string& until) {
    std::string got;
    for (int polls = 0; polls < 100 && (until.empty() || got.find(until) == std::string::npos); ++polls) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

// The child's wait status, or -1 after killing a child that hung for 5 s.
int WaitChild(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 500; ++i, usleep(10000)) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY), slave = -1;
    char path[128] = {};
    termios before = {};
    Pty() {
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, path, sizeof path) == 0)
            slave = open(path, O_RDWR | O_NOCTTY);  // kept, to read the settings after the child
        if (slave >= 0) tcgetattr(slave, &before);
    }
    ~Pty() { close(slave), close(master); }
    bool Restored() const {
        termios a;
        return tcgetattr(slave, &a) == 0 && a.c_iflag == before.c_iflag && a.c_oflag == before.c_oflag &&
               a.c_cflag == before.c_cflag && a.c_lflag == before.c_lflag &&
               memcmp(a.c_cc, before.c_cc, sizeof a.c_cc) == 0 && cfgetospeed(&a) == cfgetospeed(&before);
    }
};

void KeysChild() {
    setenv("LC_ALL", "C.UTF-8", 1);
    Say("pre\n");  // written while the terminal still adds the "\r" itself
    ConsoleFlush();
    ConsoleKeyWaiting();
    Say("go\n\xEB");  // a received byte 0xEB stays raw; only the mark is a delta
    ConsoleWriteChangeMark();
    Say("|");
    Say(HexKeys(7, false) + "\n.");
}

TEST(ConsolePosix, RawKeysWithoutEchoAndExactOutputThenRestored) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8 == locale_t(0)) GTEST_SKIP() << "no C.UTF-8 locale";
    freelocale(utf8);
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    ASSERT_TRUE(pty.before.c_lflag & ECHO);
    pid_t pid = StartChild(pty.path, -1, -1, pty.master, KeysChild);
    EXPECT_EQ(ReadUntil(pty.master, "|"), "pre\r\ngo\r\n\xEB\xCE\xB4|");
    termios raw;
    ASSERT_EQ(tcgetattr(pty.slave, &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(ISIG));
    ASSERT_EQ(write(pty.master, "ab\x1b[A\r\xc3\xa9\x1c", 9), 9);  // Ctrl+\ last: a key, not SIGQUIT
    EXPECT_EQ(ReadUntil(pty.master, "."), "61 62 E0 48 0D E9 1C \r\n.");
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_TRUE(pty.Restored());
}

void BlockedChild() {
    rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    ConsoleKeyWaiting();
    Say("|");
    ConsoleReadKey();
    _exit(3);
}

TEST(ConsolePosix, SignalsRestoreTheTerminalAndStillEndTheProcess) {
    const struct { int sig; const char* typed; } cases[] = {
        {SIGTERM, nullptr}, {SIGHUP, nullptr}, {SIGINT, "\x03"}, {SIGQUIT, nullptr}, {SIGUSR1, nullptr},
        {SIGALRM, nullptr}, {SIGRTMIN + 1, nullptr}};
    for (const auto& c : cases) {
        Pty pty;
        ASSERT_GE(pty.slave, 0);
        pid_t pid = StartChild(pty.path, -1, -1, pty.master, BlockedChild);
        EXPECT_EQ(ReadUntil(pty.master, "|"), "|");
        if (c.typed != nullptr) {
            EXPECT_EQ(write(pty.master, c.typed, 1), 1);  // the signal key, at the keyboard
        } else {
            kill(pid, c.sig);
        }
        int status = WaitChild(pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << c.sig << " status " << status;
        EXPECT_TRUE(pty.Restored()) << c.sig;
    }
}

bool IsRaw(int fd) {
    termios t;
    return tcgetattr(fd, &t) == 0 && (t.c_lflag & (ECHO | ICANON)) == 0;
}

// Waits up to 5 s for the process to be stopped (or to run again).
bool WaitStopped(pid_t pid, bool stopped) {
    std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 500; ++i, usleep(10000)) {
        char state = 0;
        FILE* f = fopen(stat.c_str(), "r");
        if (f != nullptr) (void)!fscanf(f, "%*d (%*[^)]) %c", &state), fclose(f);
        if ((state == 'T') == stopped) return true;
    }
    return false;
}

// As StartChild on the pty, but the body runs as a job under the session
// leader, as under a shell: a process group that is not orphaned, so that a
// stop signal stops it. The body says its process number first.
pid_t StartJob(const char* slave, int closeInChild, void (*body)()) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    close(closeInChild);
    int fd = -1;
    if (setsid() < 0 || (fd = open(slave, O_RDWR)) < 0) _exit(90);
    pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        for (int i = 0; i < 500 && tcgetpgrp(fd) != getpgrp(); ++i) usleep(10000);
        if (dup2(fd, 0) < 0 || dup2(fd, 1) < 0) _exit(91);
        Say(std::to_string(getpid()));
        body();
        exit(0);
    }
    int status = 0;
    if (job < 0 || setpgid(job, job) != 0 || tcsetpgrp(fd, job) != 0 || waitpid(job, &status, 0) != job) _exit(92);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 93);
}

// Stopped from outside and continued: stopped with SIGTSTP the terminal is
// as it was found; stopped with SIGSTOP (no handler) a shell sets it its own
// way. Either way, on SIGCONT raw mode is back and keys are read raw.
TEST(ConsolePosix, StopAndContinueGiveRawModeBack) {
    for (int stop : {SIGTSTP, SIGSTOP}) {
        SCOPED_TRACE(stop);
        Pty pty;
        ASSERT_GE(pty.slave, 0);
        pid_t pid = StartJob(pty.path, pty.master, [] {
            ConsoleKeyWaiting();
            Say("|");
            Say(HexKeys(1, false) + ".");
        });
        pid_t job = atoi(ReadUntil(pty.master, "|").c_str());
        ASSERT_GT(job, 0);
        kill(job, stop);
        ASSERT_TRUE(WaitStopped(job, true));
        if (stop == SIGTSTP) {
            EXPECT_TRUE(pty.Restored()) << "stopped with the terminal raw";
        }
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &pty.before), 0);  // the shell's own settings
        kill(job, SIGCONT);
        ASSERT_TRUE(WaitStopped(job, false));
        for (int i = 0; i < 200 && !IsRaw(pty.slave); ++i) usleep(10000);
        EXPECT_TRUE(IsRaw(pty.slave)) << "raw mode not back";
        ASSERT_EQ(write(pty.master, "k", 1), 1);  // no Enter needed, no echo
        EXPECT_EQ(ReadUntil(pty.master, "."), "6B .");
        EXPECT_EQ(WaitChild(pid), 0);
        EXPECT_TRUE(pty.Restored());
    }
}

void PipeChild() {
    setenv("LC_ALL", "C.UTF-8", 1);  // even so, the mark into a pipe is the byte 0xEB
    Say("x\ny");
    ConsoleWriteChangeMark();
    Say("\n" + HexKeys(100, true));
    char tail[64];
    snprintf(tail, sizeof tail, "\nend %d %d %d %d\n", int(ConsoleKeyWaiting()), ConsoleReadKey(), ConsoleInputFd(),
             int(ConsoleIsInteractive()));
    Say(tail);
}

TEST(ConsolePosix, PipesCarryDataUnchangedAndEndCleanly) {
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(write(in[1], "\x1b[A\xc3\xa9\n", 6), 6);
    close(in[1]);
    pid_t pid = StartChild(nullptr, in[0], out[1], out[0], PipeChild);
    close(in[0]);
    close(out[1]);
    EXPECT_EQ(ReadUntil(out[0], ""), "x\r\ny\xEB\r\n1B 5B 41 C3 A9 0A \r\nend 0 -1 -1 0\r\n");
    close(out[0]);
    EXPECT_EQ(WaitChild(pid), 0);
}

}  // namespace
