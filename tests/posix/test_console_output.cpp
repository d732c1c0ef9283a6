// The POSIX console's output, gathered while the program has more to do:
// whatever way the process goes on or ends, every byte reaches standard
// output, in order, before the process blocks on a key, and while it keeps
// too busy to wait.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "../../platform/console.h"
#include "../../platform/posix/console/hooks.h"
#include "../../platform/posix/console/terminal.h"

namespace {

std::string Big() {
    std::string s;
    for (int i = 0; i < 20000; ++i) s += char('a' + i % 26);
    return s;
}

void Say(const std::string& s) { ConsoleWrite(s.data(), s.size()); }

// A child on the slave of a new pty, with it as standard input and output;
// the parent gets the pid and the master.
pid_t StartOnPty(int* master, void (*body)(int), int arg) {
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return -1;
    std::string path = ptsname(*master);
    pid_t pid = fork();
    if (pid == 0) {
        close(*master);
        int fd = (setsid() < 0) ? -1 : open(path.c_str(), O_RDWR);
        if (fd < 0 || dup2(fd, 0) < 0 || dup2(fd, 1) < 0) _exit(90);
        body(arg);
        exit(0);
    }
    return pid;
}

void Reap(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

// Reads fd until `want` bytes came, for at most 3 s.
std::string ReadFor(int fd, size_t want) {
    std::string got;
    for (int polls = 0; polls < 60 && got.size() < want; ++polls) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

enum class End { kExit, kFlushThenKill, kTermWhilePaused, kKeyRead, kBusyThenKill };

TEST(ConsoleOutput, EveryGatheredByteComesOutInOrder) {
    struct Case {
        End end;
        std::string said;
        std::string shown;
    };
    const Case cases[] = {
        {End::kExit, "a\nb", "a\r\nb"},
        {End::kExit, Big(), Big()},                  // more than is ever gathered at once
        {End::kFlushThenKill, "x\n", "x\r\n"},       // shown while the process still runs
        {End::kTermWhilePaused, "y", "y"},           // the signal's handler writes it out
        {End::kKeyRead, "z", "zq"},                  // shown before the key read blocks
        {End::kBusyThenKill, "v", "v"},              // shown while the loop never waits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.end));
        static const Case* current;
        current = &c;
        int master = -1;
        pid_t pid = StartOnPty(&master, [](int) {
            ConsoleKeyWaiting();  // raw terminal: the bytes pass unchanged
            Say(current->said);
            if (current->end == End::kFlushThenKill) ConsoleFlush();
            if (current->end == End::kKeyRead) Say(std::string(1, char(ConsoleReadKey())));
            if (current->end == End::kBusyThenKill) {
                timespec start, now;
                clock_gettime(CLOCK_MONOTONIC, &start);
                do {
                    ConsoleKeyWaiting();  // a pass of a loop that has data to show and never waits
                    clock_gettime(CLOCK_MONOTONIC, &now);
                } while (now.tv_sec - start.tv_sec < 4);
                pause();
            }
            if (current->end == End::kFlushThenKill || current->end == End::kTermWhilePaused) pause();
        }, 0);
        ASSERT_GT(pid, 0);
        std::string got;
        if (c.end == End::kTermWhilePaused) {
            usleep(200000);
            kill(pid, SIGTERM);
        }
        if (c.end == End::kKeyRead) {
            got = ReadFor(master, 1);
            ASSERT_EQ(write(master, "q", 1), 1);
        }
        got += ReadFor(master, c.shown.size() - got.size());
        if (c.end == End::kFlushThenKill || c.end == End::kBusyThenKill) kill(pid, SIGKILL);
        EXPECT_EQ(got, c.shown);
        Reap(pid);
        close(master);
    }
}

// The key test while the caller's loop keeps busy, and after the waits that
// watch the keys themselves: a typed key is seen, at once after a wait.
enum class Then { kPortWait, kPause, kBusyLoop };

void KeyTestChild(int then) {
    ConsoleKeyWaiting();
    Say("|");
    ConsoleFlush();
    pollfd p = {0, POLLIN, 0};
    poll(&p, 1, 3000);  // the key has reached the terminal
    bool seen = false;
    if (Then(then) == Then::kPortWait) {
        gConsoleHooks.keyFd();  // as a port's read wait does before it polls
        seen = ConsoleKeyWaiting();
    } else if (Then(then) == Then::kPause) {
        ConsoleSleep(1);
        seen = ConsoleKeyWaiting();
    } else {
        for (long i = 0; i < 100000000 && !seen; ++i) seen = ConsoleKeyWaiting();
    }
    Say(seen ? "seen" : "not seen");
}

TEST(ConsoleOutput, KeyTestSeesATypedKey) {
    for (Then then : {Then::kPortWait, Then::kPause, Then::kBusyLoop}) {
        SCOPED_TRACE(int(then));
        int master = -1;
        pid_t pid = StartOnPty(&master, KeyTestChild, int(then));
        ASSERT_GT(pid, 0);
        EXPECT_EQ(ReadFor(master, 1), "|");
        ASSERT_EQ(write(master, "k", 1), 1);
        EXPECT_EQ(ReadFor(master, 4), "seen");
        Reap(pid);
        close(master);
    }
}

}  // namespace
