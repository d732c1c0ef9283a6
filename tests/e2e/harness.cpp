#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace e2e {
namespace {

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int Remaining(long long deadline) {
    long long left = deadline - NowMs();
    return left > 0 ? int(left) : 0;
}

// The port a command line names must be mapped to something the test made:
// never let the program fall back to a real device.
bool PortIsMapped(const Options& o) {
    if (o.args.empty()) return true;
    const std::string& port = o.args[0];
    if (port.size() != 2 || !isdigit((unsigned char)port[0]) || !isdigit((unsigned char)port[1]) || port < "50") {
        return false;
    }
    std::string prefix = "DORVALIX_COM" + port + "=";
    for (const std::string& e : o.env) {
        if (e.compare(0, prefix.size(), prefix) == 0 && e.size() > prefix.size()) return true;
    }
    return false;
}

}  // namespace

Pty::Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pty: " << std::strerror(errno);
        return;
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        ADD_FAILURE() << "ptsname: " << std::strerror(errno);
        return;
    }
    slavePath = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) ADD_FAILURE() << "open " << name << ": " << std::strerror(errno);
}

Pty::~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
}

Child::Child(const Options& options) {
    signal(SIGPIPE, SIG_IGN);
    if (!PortIsMapped(options)) {
        ADD_FAILURE() << "refusing to run: port not mapped to a test device";
        return;
    }
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    if (options.keyboard == Keyboard::kPty) {
        keyboard_ = new Pty;
        if (keyboard_->slave < 0) return;
        tcgetattr(keyboard_->slave, &keyboardAtStart_);
    } else if (options.keyboard == Keyboard::kPipe && pipe2(in, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }

    std::vector<char*> argv, envp;
    argv.push_back(const_cast<char*>(DORVALIX_BINARY));
    for (const std::string& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : options.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return;
    }
    if (pid_ == 0) {
        // A session of its own, the keyboard pty (if any) its terminal.
        setsid();
        int stdinFd = keyboard_ ? keyboard_->slave : in[0];
        if (stdinFd >= 0) {
            dup2(stdinFd, 0);
        } else {
            close(0);
        }
        if (options.outputClosed) {
            close(1);
        } else {
            dup2(out[1], 1);
        }
        dup2(err[1], 2);
        if (keyboard_) ioctl(0, TIOCSCTTY, 0);
        signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (in[0] >= 0) {
        close(in[0]);
        pipeIn_ = in[1];
    }
}

Child::~Child() {
    if (pid_ > 0 && status_ == -2) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
    if (errFd_ >= 0) close(errFd_);
    if (pipeIn_ >= 0) close(pipeIn_);
    delete keyboard_;
}

bool Child::Type(const std::string& bytes) {
    int fd = keyboard_ ? keyboard_->master : pipeIn_;
    return fd >= 0 && WriteAll(fd, bytes);
}

bool Child::TypeSlowly(const std::string& bytes, int pauseMs) {
    for (char c : bytes) {
        if (!Type(std::string(1, c))) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return true;
}

void Child::CloseKeyboard() {
    if (pipeIn_ >= 0) close(pipeIn_);
    pipeIn_ = -1;
}

bool Child::WaitForRawKeyboard(int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    termios t;
    while (keyboard_ && tcgetattr(keyboard_->slave, &t) == 0) {
        if ((t.c_lflag & ICANON) == 0) return true;
        if (Remaining(deadline) == 0) return false;
        Drain(10);
    }
    return false;
}

void Child::Drain(int timeoutMs) {
    pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return;
    }
    if (poll(p, 2, timeoutMs) <= 0) return;
    int* fds[2] = {&outFd_, &errFd_};
    std::string* sinks[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        char buf[4096];
        ssize_t n = read(*fds[i], buf, sizeof buf);
        if (n > 0) {
            sinks[i]->append(buf, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            close(*fds[i]);
            *fds[i] = -1;
        }
    }
}

bool Child::WaitForOutput(const std::string& text, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    while (out_.find(text) == std::string::npos) {
        if (Remaining(deadline) == 0 || (outFd_ < 0 && !Running())) return false;
        Drain(Remaining(deadline) < 20 ? Remaining(deadline) : 20);
    }
    return true;
}

void Child::Collect(int ms) {
    long long deadline = NowMs() + ms;
    while (Remaining(deadline) > 0) Drain(Remaining(deadline));
}

bool Child::Running() {
    if (pid_ <= 0 || status_ != -2) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    return false;
}

void Child::Signal(int sig) {
    if (Running()) kill(pid_, sig);
}

int Child::WaitForExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    long long deadline = NowMs() + timeoutMs;
    while (Running()) {
        if (Remaining(deadline) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            status_ = -1;
            break;
        }
        Drain(10);
    }
    while (outFd_ >= 0 || errFd_ >= 0) {  // the rest, up to end of file
        if (Remaining(deadline + 1000) == 0) break;
        Drain(20);
    }
    return status_;
}

std::string Child::errors() {
    Drain(0);
    return err_;
}

std::string ReadBytes(int fd, size_t count, int timeoutMs) {
    std::string got;
    long long deadline = NowMs() + timeoutMs;
    while (got.size() < count && Remaining(deadline) > 0) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, Remaining(deadline)) <= 0) continue;
        char buf[256];
        ssize_t n = read(fd, buf, count - got.size() < sizeof buf ? count - got.size() : sizeof buf);
        if (n > 0) {
            got.append(buf, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // no EOF spin
        }
    }
    return got;
}

std::string ReadFor(int fd, int ms) { return ReadBytes(fd, size_t(-1), ms); }

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

bool SameTermios(const termios& a, const termios& b, std::string* why) {
    char text[160];
    text[0] = '\0';
    if (a.c_iflag != b.c_iflag) std::snprintf(text, sizeof text, "c_iflag %#x != %#x", a.c_iflag, b.c_iflag);
    else if (a.c_oflag != b.c_oflag) std::snprintf(text, sizeof text, "c_oflag %#x != %#x", a.c_oflag, b.c_oflag);
    else if (a.c_cflag != b.c_cflag) std::snprintf(text, sizeof text, "c_cflag %#x != %#x", a.c_cflag, b.c_cflag);
    else if (a.c_lflag != b.c_lflag) std::snprintf(text, sizeof text, "c_lflag %#x != %#x", a.c_lflag, b.c_lflag);
    else if (cfgetispeed(&a) != cfgetispeed(&b) || cfgetospeed(&a) != cfgetospeed(&b)) {
        std::snprintf(text, sizeof text, "speeds differ");
    } else {
        for (size_t i = 0; i < NCCS; ++i) {
            if (a.c_cc[i] != b.c_cc[i]) {
                std::snprintf(text, sizeof text, "c_cc[%zu] %u != %u", i, a.c_cc[i], b.c_cc[i]);
                break;
            }
        }
    }
    if (why) *why = text;
    return text[0] == '\0';
}

std::string Visible(const std::string& bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            s += hex;
            if (c == '\n') s += "\n";
        }
    }
    return s;
}

}  // namespace e2e
