// A child process for the reliability tests: the built program with its
// keyboard on a pty (or a pipe, or a file), its output on a pipe (or a
// file), optionally under a wrapper such as valgrind. Unlike the end-to-end
// harness it hands out the raw descriptors, so a test can push and pull at
// full speed, and the raw wait status, so a test can tell the signal.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <utility>
#include <vector>

#include "../e2e/harness.h"

namespace rel {

long long NowMs();

enum class Input { kPty, kPipe, kFile };

struct Launch {
    Launch(std::vector<std::string> a, std::vector<std::string> e, Input i = Input::kPty, std::string in = "",
           std::string outFile = "", std::vector<std::string> w = {}, std::string errFile = "")
        : args(std::move(a)), env(std::move(e)), input(i), inputFile(std::move(in)), outputFile(std::move(outFile)),
          wrapper(std::move(w)), errorFile(std::move(errFile)) {}
    std::vector<std::string> args;     // after the program name; args[0] the port (50+)
    std::vector<std::string> env;      // must map that port
    Input input = Input::kPty;
    std::string inputFile;             // kFile: its content
    std::string outputFile;            // non-empty: standard output goes to this file
    std::vector<std::string> wrapper;  // e.g. {"valgrind", "-q", ...}
    std::string errorFile;             // standard error goes here (else /dev/null)
};

class Proc {
public:
    explicit Proc(const Launch& launch);
    ~Proc();  // kills and reaps a child still running
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    pid_t pid() const { return pid_; }
    int keyboardMaster() const { return keyboard_ ? keyboard_->master : pipeIn_; }
    int keyboardSlave() const { return keyboard_ ? keyboard_->slave : -1; }
    const termios& keyboardAtStart() const { return atStart_; }
    int outFd() const { return outFd_; }
    void CloseOutput();  // the test's end of the output pipe
    void CloseKeyboard();

    // Reads whatever standard output gives within ms (non-blocking afterwards).
    void Pump(int ms);
    bool WaitFor(const std::string& text, int timeoutMs);
    bool WaitForSize(size_t size, int timeoutMs);
    bool WaitRaw(int timeoutMs = 5000);  // keyboard pty out of canonical mode
    std::string& out() { return out_; }

    // Raw wait status, or -1 if the child did not end in time (it is killed).
    int Wait(int timeoutMs);
    // CPU time (user + system) the child has used, in milliseconds.
    long CpuMs() const;

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int pipeIn_ = -1;
    e2e::Pty* keyboard_ = nullptr;
    termios atStart_{};
    std::string out_;
    bool reaped_ = false;
};

}  // namespace rel
