// Runs the built program as a child process for end-to-end tests: its
// standard input on a keyboard pty (or a pipe), its standard output on a
// pipe, its serial port on a second pty pair or the built-in loopback port.
// Every wait is bounded; a child still running at the end is killed.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

namespace e2e {

// A pty pair created by the test. The master stays with the test; the slave
// is kept open as well, so that reads on the master never see a hang-up and
// the slave's settings can be inspected after the child has gone.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slavePath;
    Pty();  // fails the current test (ADD_FAILURE) if no pty can be made
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// kClosed: the child starts with standard input closed.
enum class Keyboard { kPty, kPipe, kClosed };

struct Options {
    std::vector<std::string> args;  // after the program name
    // Environment of the child, "NAME=value" each; nothing else is passed.
    // The port named by args[0] must be mapped here (DORVALIX_COM<n>=...).
    std::vector<std::string> env;
    Keyboard keyboard = Keyboard::kPty;
    bool outputClosed = false;  // the child starts with standard output closed
};

class Child {
public:
    explicit Child(const Options& options);
    ~Child();  // kills and reaps a child still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    // Writes to the child's standard input (keyboard pty master or pipe).
    bool Type(const std::string& bytes);
    // Types each byte alone, with a pause after it.
    bool TypeSlowly(const std::string& bytes, int pauseMs = 50);
    void CloseKeyboard();  // pipe only: end of input
    // The keyboard slave (pty mode), for its settings.
    int keyboardSlave() const { return keyboard_ ? keyboard_->slave : -1; }
    // The keyboard pty's settings as they were before the child started.
    const termios& keyboardAtStart() const { return keyboardAtStart_; }
    // Waits until the keyboard pty is out of canonical mode.
    bool WaitForRawKeyboard(int timeoutMs = 5000);

    // Reads standard output until `text` has appeared in all that was read,
    // or the time runs out; returns whether it appeared.
    bool WaitForOutput(const std::string& text, int timeoutMs = 5000);
    // Reads standard output for `ms` milliseconds.
    void Collect(int ms);
    // Everything read from standard output so far.
    const std::string& output() const { return out_; }

    // Exit status, 128 + the signal's number if a signal ended it, or -1 if
    // it did not exit in time (it is then killed). Reads its output meanwhile.
    int WaitForExit(int timeoutMs = 10000);
    bool Running();
    void Signal(int sig);  // sends `sig` to a child still running
    std::string errors();  // whatever came on standard error

private:
    void Drain(int timeoutMs);  // one poll of stdout/stderr, reading what came
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int pipeIn_ = -1;
    Pty* keyboard_ = nullptr;
    std::string out_;
    std::string err_;
    int status_ = -2;  // -2: not reaped yet
    termios keyboardAtStart_{};
};

// Reads from an fd until `count` bytes came or the time ran out.
std::string ReadBytes(int fd, size_t count, int timeoutMs = 3000);
// Reads whatever arrives within `ms`.
std::string ReadFor(int fd, int ms);
bool WriteAll(int fd, const std::string& bytes);

bool SameTermios(const termios& a, const termios& b, std::string* why);

// Shows bytes readably in failure messages: printable ASCII as is, the rest
// as \xHH.
std::string Visible(const std::string& bytes);

}  // namespace e2e
