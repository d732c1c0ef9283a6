// YMODEM speed beside lrzsz's own, on a pty pair: a file sent by the
// transfer engine over the driver (the port on the slave) into lrzsz's rb,
// received by the engine from lrzsz's sb, and sent by sb on the slave into
// rb; lrzsz's end of the engine's runs, and rb in the last, on a socket that
// a relay thread joins to the master (lrzsz would change the pty's settings
// from the master side). Prints each rate and its ratio to lrzsz's. Run by
// hand: bench/transfer.sh.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <atomic>
#include <string>
#include <thread>

#include "../driver/serial_driver.h"
#include "../monitor/transfer.h"
#include "../monitor/transfer_port.h"

namespace {

constexpr int kPort = 62;

// CPU time of the calling thread (the engine's; the relay has its own).
double ThreadCpuS() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double NowS() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

int OpenMaster() {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    return master;
}

// Runs `command` in `folder` with standard input and output on `fd`.
pid_t Start(const char* folder, int fd, const char* const argv[]) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder) != 0) _exit(126);
        dup2(fd, 0);
        dup2(fd, 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    return pid;
}

// Waits at most 120 s; -1 when it had to be killed.
int Wait(pid_t pid) {
    for (int i = 0; i < 12000; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

bool NeverAbort(void*) { return false; }

void WriteAll(int fd, const char* p, ssize_t n) {
    for (int spins = 0; n > 0 && spins < 100000; ++spins) {
        ssize_t w = write(fd, p, size_t(n));
        if (w > 0) {
            p += w;
            n -= w;
        } else {
            pollfd q = {fd, POLLOUT, 0};
            poll(&q, 1, 100);
        }
    }
}

// Copies between the pty master and a socket until told to stop.
struct Relay {
    int master, socket;
    std::atomic<bool> stop{false};
    std::thread thread;
    Relay(int m, int s) : master(m), socket(s) {
        thread = std::thread([this] {
            char buf[8192];
            while (!stop) {
                pollfd p[2] = {{master, POLLIN, 0}, {socket, POLLIN, 0}};
                if (poll(p, 2, 50) <= 0) continue;
                for (int i = 0; i < 2; ++i) {
                    if (!(p[i].revents & POLLIN)) continue;
                    ssize_t n = read(p[i].fd, buf, sizeof buf);
                    if (n > 0) WriteAll(i == 0 ? socket : master, buf, n);
                }
            }
        });
    }
    ~Relay() {
        stop = true;
        thread.join();
    }
};

struct EngineRun {
    bool ok;
    double seconds;
    double cpuSeconds;  // the engine's
    unsigned retries;
    char reason[kTransferReasonMax];
};

// The engine sends `file` into rb in `folder`, or receives it from sb into
// `folder`.
EngineRun RunEngine(bool send, const char* file, const char* folder) {
    EngineRun run = {false, 0, 0, 0, "the port or the peer could not be set up"};
    int master = OpenMaster();
    int sockets[2];
    if (master < 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return run;
    setenv("DORVALIX_COM62", ptsname(master), 1);
    if (!OpenCOM(kPort, 115200, 8, 1, 0)) return run;
    Relay* relay = new Relay(master, sockets[0]);
    const char* rb[] = {"rb", "-q", nullptr};
    const char* sb[] = {"sb", "-q", file, nullptr};
    pid_t peer = Start(send ? folder : ".", sockets[1], send ? rb : sb);
    TransferPort port;
    TransferIo io = DriverTransferIo(&port);
    io.abortRequested = NeverAbort;
    TransferResult result;
    double t0 = NowS(), cpu0 = ThreadCpuS();
    if (send) TransferSend(TransferProtocol::kYmodem, &file, 1, io, TransferTimings(), &result);
    else TransferReceive(TransferProtocol::kYmodem, folder, io, TransferTimings(), &result);
    run.cpuSeconds = ThreadCpuS() - cpu0;
    int rc = Wait(peer);
    run.seconds = NowS() - t0;
    run.ok = result.outcome == TransferOutcome::kDone && rc == 0;
    run.retries = result.retries;
    std::snprintf(run.reason, sizeof run.reason, "%s", run.ok ? "ok" : result.reason[0] ? result.reason : "peer failed");
    delete relay;
    ReleaseCOM();
    close(master);
    close(sockets[0]);
    close(sockets[1]);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <file> <empty folder>\n", argv[0]);
        return 2;
    }
    struct stat st;
    if (stat(argv[1], &st) != 0) return 2;
    std::string ours = std::string(argv[2]) + "/ours", back = std::string(argv[2]) + "/ours-in",
                theirs = std::string(argv[2]) + "/lrzsz";
    for (const std::string* folder : {&ours, &back, &theirs}) mkdir(folder->c_str(), 0755);
    EngineRun sent = RunEngine(true, argv[1], ours.c_str());
    EngineRun received = RunEngine(false, argv[1], back.c_str());

    // lrzsz into lrzsz.
    const char* rb[] = {"rb", "-q", nullptr};
    int master = OpenMaster();
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return 1;
    Relay* relay = new Relay(master, sockets[0]);
    pid_t receiver = Start(theirs.c_str(), sockets[1], rb);
    std::string file = argv[1];
    const char* sb[] = {"sb", "-q", file.c_str(), nullptr};
    double t0 = NowS();
    pid_t sender = Start(".", slave, sb);
    int rc2 = Wait(sender);
    int rc3 = Wait(receiver);
    double theirTime = NowS() - t0;
    delete relay;
    close(sockets[0]);
    close(sockets[1]);
    close(slave);
    close(master);

    double bytes = double(st.st_size);
    std::printf("engine ymodem send -> rb:    %s, %.2f s, %.1f KB/s, %.0f ns CPU a byte (%u retries)\n", sent.reason,
                sent.seconds, bytes / sent.seconds / 1000, sent.cpuSeconds * 1e9 / bytes, sent.retries);
    std::printf("engine ymodem receive <- sb: %s, %.2f s, %.1f KB/s, %.0f ns CPU a byte (%u retries)\n",
                received.reason, received.seconds, bytes / received.seconds / 1000,
                received.cpuSeconds * 1e9 / bytes, received.retries);
    std::printf("lrzsz sb -> rb:              %s, %.2f s, %.1f KB/s\n", rc2 == 0 && rc3 == 0 ? "ok" : "failed",
                theirTime, bytes / theirTime / 1000);
    std::printf("ratio to lrzsz: send %.2f, receive %.2f\n", theirTime / sent.seconds, theirTime / received.seconds);
    return 0;
}
