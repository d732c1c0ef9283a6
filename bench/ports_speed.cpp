// How long dorvalix-ports takes on a machine with many ttys and processes:
// builds a tree with N ttys under a temporary root (/proc the real one),
// starts P sleeping child processes with a few descriptors each, and times
// the program's scan and table over that tree. Opens no device.
//     ports_speed [ttys [processes [runs]]]    (32, 300, 20)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../ports/ports.h"

namespace {

void Write(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f != nullptr) std::fputs(text.c_str(), f), std::fclose(f);
}

double NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int ttys = argc > 1 ? std::atoi(argv[1]) : 32, processes = argc > 2 ? std::atoi(argv[2]) : 300;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 20;
    char name[] = "/tmp/dorvalix-ports-speed-XXXXXX";
    const std::string root = mkdtemp(name);
    std::string command = "mkdir -p " + root + "/sys/class/tty " + root + "/dev/serial/by-id " + root + "/run/lock";
    if (std::system(command.c_str()) != 0) return 1;
    (void)!symlink("/proc", (root + "/proc").c_str());
    for (int i = 0; i < ttys; ++i) {
        const std::string tty = "ttyUSB" + std::to_string(i), dev = root + "/sys/devices/usb1/1-" + std::to_string(i);
        command = "mkdir -p " + dev + "/1-0:1.0/" + tty + " " + root + "/sys/class/tty/" + tty;
        if (std::system(command.c_str()) != 0) return 1;
        Write(dev + "/idVendor", "0403\n"), Write(dev + "/idProduct", "6001\n"), Write(dev + "/serial", "A" + std::to_string(i));
        (void)!symlink((dev + "/1-0:1.0/" + tty).c_str(), (root + "/sys/class/tty/" + tty + "/device").c_str());
        Write(root + "/sys/class/tty/" + tty + "/dev", "188:" + std::to_string(i) + "\n");
        Write(root + "/dev/" + tty, "");
        (void)!symlink(("../../" + tty).c_str(), (root + "/dev/serial/by-id/usb-FTDI_A" + std::to_string(i)).c_str());
    }
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int fd = 0; fd < 8; ++fd) (void)!open("/dev/null", O_RDONLY);
            pause();
            _exit(0);
        }
        if (pid > 0) children.push_back(pid);
    }
    usleep(200000);
    FILE* out = std::fopen("/dev/null", "w");
    const char* args[] = {"dorvalix-ports"};
    double best = 1e9, total = 0;
    for (int r = 0; r < runs; ++r) {
        double start = NowMs();
        PortsMain(1, args, root.c_str(), out, out);
        double took = NowMs() - start;
        best = took < best ? took : best;
        total += took;
    }
    for (pid_t pid : children) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    std::fclose(out);
    command = "rm -rf " + root;
    (void)!std::system(command.c_str());
    std::printf("%d ttys, %d extra processes: best %.2f ms, mean %.2f ms over %d runs\n", ttys, processes, best,
                total / runs, runs);
    return 0;
}
