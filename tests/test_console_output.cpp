// The POSIX console's output, gathered while the program has more to do:
// whatever way the process goes on or ends, every byte reaches standard
// output, in order, and before the process blocks on a key.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../platform/console.h"
#include "../platform/posix/console_posix.h"

namespace {

std::string Big() {
    std::string s;
    for (int i = 0; i < 20000; ++i) s += char('a' + i % 26);
    return s;
}

void Say(const std::string& s) { ConsoleWrite(s.data(), s.size()); }

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

enum class End { kExit, kFlushThenKill, kTermWhilePaused, kKeyRead };

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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.end));
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        std::string path = ptsname(master);
        pid_t pid = fork();
        if (pid == 0) {
            close(master);
            int fd = (setsid() < 0) ? -1 : open(path.c_str(), O_RDWR);
            if (fd < 0 || dup2(fd, 0) < 0 || dup2(fd, 1) < 0) _exit(90);
            ConsoleKeyWaiting();  // raw terminal: the bytes pass unchanged
            Say(c.said);
            if (c.end == End::kFlushThenKill) ConsoleFlush();
            if (c.end == End::kKeyRead) Say(std::string(1, char(ConsoleReadKey())));
            if (c.end == End::kFlushThenKill || c.end == End::kTermWhilePaused) pause();
            exit(0);
        }
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
        if (c.end == End::kFlushThenKill) kill(pid, SIGKILL);
        EXPECT_EQ(got, c.shown);
        int status = 0;
        for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        close(master);
    }
}

}  // namespace
