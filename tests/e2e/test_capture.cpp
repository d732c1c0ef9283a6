// End to end: the session log (/LOG:path) and time stamps (/TS), the log
// compared byte for byte with standard output (a pipe).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "harness.h"

using e2e::Child;
using e2e::Keyboard;
using e2e::Pty;
using e2e::Visible;

namespace {

const std::string kEndKey = "\xC3\xBF";  // 0xFF typed in a UTF-8 terminal

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/dorvalix-capture-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() {
        unlink((path + "/log").c_str());
        rmdir(path.c_str());
    }
};

// Both modes into one file: each log is what its standard output got, and
// the second session's is appended to the first's.
TEST(Capture, LogHoldsStandardOutputAndIsAppendedTo) {
    TempDir dir;
    const std::string log = dir.path + "/log";
    std::string all;
    {
        Child c({{"50", "115200", "8", "1", "0", "/Log:" + log}, {"DORVALIX_COM50=loop", "LANG=C.UTF-8"}});
        ASSERT_TRUE(c.WaitForRawKeyboard()) << Visible(c.output()) << c.errors();
        c.TypeSlowly("Hi\r\x1B" "d");
        c.Type(kEndKey);
        EXPECT_EQ(c.WaitForExit(), 0);
        EXPECT_NE(c.output().find("\xEB" "DCD"), std::string::npos) << Visible(c.output());
        all = c.output();
        EXPECT_EQ(Visible(ReadFile(log)), Visible(all));
    }
    Pty port;
    Child c({{"50", "115200", "8", "1", "0", "/nc", "/LOG:" + log}, {"DORVALIX_COM50=" + port.slavePath}});
    ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
    ASSERT_TRUE(c.WaitForRawKeyboard());
    ASSERT_TRUE(e2e::WriteAll(port.master, std::string("a\nb\r\0\xEB\xFF", 7)));
    EXPECT_TRUE(c.WaitForOutput(std::string("a\r\nb\r\0\xEB\xFF", 8))) << Visible(c.output());
    c.Type(kEndKey);
    EXPECT_EQ(c.WaitForExit(), 0);
    EXPECT_EQ(Visible(ReadFile(log)), Visible(all + c.output()));
}

// Standard output a terminal that turns "\n" into "\r\n" itself, in a
// UTF-8 locale (keys from a pipe, so it stays so): the screen gets "\n" and
// the mark in UTF-8, the log the bytes of a file, CR LF and 0xEB.
TEST(Capture, LogOfATerminalSessionHasTheFileForm) {
    TempDir dir;
    const std::string log = dir.path + "/log";
    int master = -1, slave = -1, keys[2];
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(pipe(keys), 0);
    const std::string logOption = "/LOG:" + log;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(keys[0], 0);
        dup2(slave, 1);
        const char* argv[] = {"dorvalix", "50", "115200", "8", "1", "0", "/TS", logOption.c_str(), nullptr};
        const char* env[] = {"DORVALIX_COM50=loop", "LANG=C.UTF-8", nullptr};
        execve(DORVALIX_BINARY, const_cast<char**>(argv), const_cast<char**>(env));
        _exit(127);
    }
    close(slave);
    close(keys[0]);
    e2e::WriteAll(keys[1], "Hi\r\xFF");
    close(keys[1]);
    std::string screen;
    for (int i = 0; i < 500; ++i) {  // up to 5 s, until the terminal hangs up
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        screen.append(buf, size_t(n));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    close(master);
    EXPECT_NE(screen.find("\xCE\xB4" "DSR"), std::string::npos) << Visible(screen);
    std::string fileForm = screen;
    for (size_t at; (at = fileForm.find("\xCE\xB4")) != std::string::npos;) fileForm.replace(at, 2, "\xEB");
    EXPECT_EQ(Visible(ReadFile(log)), Visible(fileForm));
}

// A log that cannot be written (a full disk): one warning line on the
// screen, on a line of its own, and the session goes on.
TEST(Capture, FailedLogWriteWarnsOnceAndTheSessionGoesOn) {
    Child c({{"50", "115200", "8", "1", "0", "/LOG:/dev/full"}, {"DORVALIX_COM50=loop"}});
    ASSERT_TRUE(c.WaitForRawKeyboard()) << Visible(c.output()) << c.errors();
    c.TypeSlowly("Hi\r");
    c.Type(kEndKey);
    EXPECT_EQ(c.WaitForExit(), 0);
    const std::string warning = "WARNING: Unable to write the log file (No space left on device); logging stopped.\r\n";
    const std::string& out = c.output();
    size_t at = out.find(warning);
    ASSERT_NE(at, std::string::npos) << Visible(out);
    EXPECT_TRUE(at == 0 || out.compare(at - 2, 2, "\r\n") == 0) << Visible(out);
    EXPECT_EQ(out.find(warning, at + 1), std::string::npos) << Visible(out);
    EXPECT_NE(out.find("Hi(0D) \r\n(DTR off) (RTS off)\r\n"), std::string::npos) << Visible(out);
}

// Nothing before the one line, exit 1, and the port untouched.
TEST(Capture, UnopenableLogEndsBeforeThePort) {
    TempDir dir;
    const struct {
        std::string option, path, reason;
    } rows[] = {
        {"/LOG:" + dir.path + "/missing/log", dir.path + "/missing/log", "No such file or directory"},
        {"/log:" + dir.path, dir.path, "Is a directory"},
        {"/LOG:", "", "No such file or directory"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.option);
        Pty port;
        termios before;
        ASSERT_EQ(tcgetattr(port.slave, &before), 0);
        Child c({{"50", "115200", "8", "1", "0", row.option}, {"DORVALIX_COM50=" + port.slavePath}});
        EXPECT_EQ(c.WaitForExit(), 1);
        EXPECT_EQ(c.output(), "Unable to open log file " + row.path + ": " + row.reason + "\r\n");
        termios after;
        ASSERT_EQ(tcgetattr(port.slave, &after), 0);
        std::string why;
        EXPECT_TRUE(e2e::SameTermios(before, after, &why)) << "port was set up: " << why;
    }
}

// Lines after the port is open carry a stamp, the first with the date;
// in the default mode each line command and each report of line changes
// starts a stamped line of its own. The log holds the same stamps.
TEST(Capture, TimeStamps) {
    TempDir dir;
    const std::string log = dir.path + "/log";
    Child c({{"50", "115200", "8", "1", "0", "/ts", "/LOG:" + log}, {"DORVALIX_COM50=loop"}});
    ASSERT_TRUE(c.WaitForRawKeyboard()) << Visible(c.output()) << c.errors();
    c.TypeSlowly("Hi\r\x1B" "d");
    c.Type(kEndKey);
    EXPECT_EQ(c.WaitForExit(), 0);
    const std::string out = c.output();
    EXPECT_EQ(Visible(ReadFile(log)), Visible(out));
    const std::string t = R"(\[\d\d:\d\d:\d\d\.\d{3}\] )";
    const std::regex shape("ZEFT [^\r]*\r\nSampling from [^\r]*\r\n"
                           R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] Tx buffer size: 4096 bytes\r\n)" +
                           t + "\r\n" + t + "Initial control lines[^\r]*\r\n(" + t + "[^\r]*\r\n){5}" +
                           t + "\\(DTR on\\) \r\n" + t + "\\(RTS on\\) Hi\\(0D\\) \r\n" +
                           t + "\\(DTR off\\) \r\n" + t + "\\(DCD off\\) \\(DSR off\\) \r\n" +
                           t + "\\(DTR off\\) \r\n" + t + "\\(RTS off\\)\r\n");
    EXPECT_TRUE(std::regex_match(out, shape)) << Visible(out);
}

// Killed while data streams in, the process leaves a log that holds all
// it had shown. With /TS in /NC each received line feed ends a line.
TEST(Capture, LogHoldsAllShownWhenKilled) {
    TempDir dir;
    Pty port;
    Child c({{"50", "115200", "8", "1", "0", "/NC", "/TS", "/LOG:" + dir.path + "/log"},
             {"DORVALIX_COM50=" + port.slavePath}});
    ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
    const std::string line(70, 'x');
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(e2e::WriteAll(port.master, line + "\r\n"));
    ASSERT_TRUE(c.WaitForOutput(line + "\r\r\n[")) << Visible(c.output());
    c.Signal(SIGKILL);
    EXPECT_EQ(c.WaitForExit(), 128 + SIGKILL);
    const std::string logged = ReadFile(dir.path + "/log"), t = R"(\[\d\d:\d\d:\d\d\.\d{3}\] )";
    EXPECT_EQ(logged.compare(0, c.output().size(), c.output()), 0) << "log lacks what was shown";
    EXPECT_TRUE(std::regex_search(c.output(), std::regex(" bytes\r\n" + t + line + "\r\r\n" + t + "x")))
        << Visible(c.output());
}

// A log that is a FIFO whose reader goes away, or stops reading: one
// warning, and the session goes on, shows what comes and ends on its key.
TEST(Capture, FifoLogWhoseReaderLeavesOrStops) {
    for (bool leaves : {true, false}) {
        SCOPED_TRACE(leaves ? "reader leaves" : "reader stops");
        TempDir dir;
        const std::string fifo = dir.path + "/log";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // not the child's
        ASSERT_GE(reader, 0);
        Pty port;
        Child c({{"50", "115200", "8", "1", "0", "/NC", "/LOG:" + fifo}, {"DORVALIX_COM50=" + port.slavePath}});
        ASSERT_TRUE(c.WaitForOutput(" bytes\r\n")) << Visible(c.output()) << c.errors();
        ASSERT_TRUE(c.WaitForRawKeyboard());
        if (leaves) close(reader), reader = -1;
        const std::string chunk(4095, 'x'), warning = std::string("WARNING: Unable to write the log file (") +
                                                     (leaves ? "Broken pipe" : "Resource temporarily unavailable") +
                                                     "); logging stopped.\r\n";
        for (int i = 0; i < 100 && c.output().find(warning) == std::string::npos; ++i) {  // 400 KB at most
            ASSERT_TRUE(e2e::WriteAll(port.master, chunk + "\n"));
            c.Collect(2);
        }
        EXPECT_TRUE(c.WaitForOutput(warning)) << Visible(c.output().substr(c.output().size() - 200));
        ASSERT_TRUE(e2e::WriteAll(port.master, "still here\n"));
        EXPECT_TRUE(c.WaitForOutput("still here\r\n"));
        c.Type(kEndKey);
        EXPECT_EQ(c.WaitForExit(), 0);
        size_t at = c.output().find(warning);
        EXPECT_EQ(c.output().find(warning, at + 1), std::string::npos) << "warned twice";
        if (reader >= 0) close(reader);
    }
}

}  // namespace
