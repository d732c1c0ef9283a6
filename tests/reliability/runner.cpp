#include "runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace rel {

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

bool PortIsMapped(const Launch& l) {
    if (l.args.empty()) return false;
    const std::string& port = l.args[0];
    if (port.size() != 2 || port < "50" || port > "99") return false;
    std::string prefix = "DORVALIX_COM" + port + "=";
    for (const std::string& e : l.env) {
        if (e.compare(0, prefix.size(), prefix) == 0 && e.size() > prefix.size()) return true;
    }
    return false;
}

}  // namespace

Proc::Proc(const Launch& l) {
    signal(SIGPIPE, SIG_IGN);
    if (!PortIsMapped(l)) {
        ADD_FAILURE() << "refusing to run: port not mapped to a test device";
        return;
    }
    int out[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return;
    int inFd = -1, outFile = -1;
    if (l.input == Input::kPty) {
        keyboard_ = new e2e::Pty;
        if (keyboard_->slave < 0) return;
        tcgetattr(keyboard_->slave, &atStart_);
        inFd = keyboard_->slave;
    } else if (l.input == Input::kPipe) {
        if (pipe2(in, O_CLOEXEC) != 0) return;
        inFd = in[0];
    } else {
        char name[] = "/tmp/dorvalix-rel-inXXXXXX";
        inFd = mkstemp(name);
        if (inFd < 0) return;
        unlink(name);
        if (!e2e::WriteAll(inFd, l.inputFile) || lseek(inFd, 0, SEEK_SET) != 0) return;
    }
    if (!l.outputFile.empty()) {
        outFile = open(l.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (outFile < 0) return;
    }
    std::vector<std::string> words = l.wrapper;
    words.push_back(DORVALIX_BINARY);
    words.insert(words.end(), l.args.begin(), l.args.end());
    std::vector<char*> argv, envp;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = l.env;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string program = argv[0];
    if (!l.wrapper.empty() && program.find('/') == std::string::npos) program = "/usr/bin/" + program;

    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        dup2(inFd, 0);
        dup2(outFile >= 0 ? outFile : out[1], 1);
        int err = l.errorFile.empty() ? open("/dev/null", O_WRONLY)
                                      : open(l.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        if (keyboard_) ioctl(0, TIOCSCTTY, 0);
        rlimit noCore = {0, 0};  // SIGQUIT must not leave core files behind
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    if (outFile >= 0) close(outFile);
    if (l.input == Input::kFile) close(inFd);
    outFd_ = out[0];
    fcntl(outFd_, F_SETFL, O_NONBLOCK);
    if (in[0] >= 0) {
        close(in[0]);
        pipeIn_ = in[1];
    }
}

Proc::~Proc() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    CloseOutput();
    CloseKeyboard();
    delete keyboard_;
}

void Proc::CloseOutput() {
    if (outFd_ >= 0) close(outFd_);
    outFd_ = -1;
}

void Proc::CloseKeyboard() {
    if (pipeIn_ >= 0) close(pipeIn_);
    pipeIn_ = -1;
}

void Proc::Pump(int ms) {
    long long deadline = NowMs() + ms;
    do {
        if (outFd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms > 0 ? 10 : 0));
        } else {
            pollfd p = {outFd_, POLLIN, 0};
            long long left = deadline - NowMs();
            if (poll(&p, 1, left > 0 ? int(left) : 0) > 0) {
                char buf[65536];
                ssize_t n = read(outFd_, buf, sizeof buf);
                if (n > 0) out_.append(buf, size_t(n));
                else if (n == 0) CloseOutput();
                else if (errno != EAGAIN && errno != EINTR) CloseOutput();
            }
        }
    } while (NowMs() < deadline);
}

bool Proc::WaitFor(const std::string& text, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    while (out_.find(text) == std::string::npos) {
        if (NowMs() >= deadline) return false;
        Pump(20);
    }
    return true;
}

bool Proc::WaitForSize(size_t size, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    while (out_.size() < size) {
        if (NowMs() >= deadline) return false;
        Pump(20);
    }
    return true;
}

bool Proc::WaitRaw(int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    termios t;
    while (keyboard_ && tcgetattr(keyboard_->slave, &t) == 0) {
        if ((t.c_lflag & ICANON) == 0) return true;
        if (NowMs() >= deadline) return false;
        Pump(10);
    }
    return false;
}

int Proc::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (reaped_) return -1;
    long long deadline = NowMs() + timeoutMs;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (NowMs() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            return -1;
        }
        Pump(10);
    }
    reaped_ = true;
    Pump(50);  // whatever is left in the pipe
    return status;
}

long Proc::CpuMs() const {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid_));
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return -1;
    char text[1024];
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');  // the name may hold blanks
    unsigned long utime = 0, stime = 0;
    if (p == nullptr || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
        return -1;
    }
    return long((utime + stime) * 1000 / sysconf(_SC_CLK_TCK));
}

}  // namespace rel
