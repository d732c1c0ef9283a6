// dorvalix-ports on Linux: each case builds a tree of its own (sysfs, /dev,
// the lock folder, with /proc and /dev/pts the real ones) under a temporary
// root, maps COM numbers, and reads the program's output. No device is
// ever opened but the ptys made here.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../ports/ports.h"
#include "../../ports/shown_text.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
const std::string kById = "usb-FTDI_FT232R_USB_UART_A12345-if00-port0";
const std::string kByIdPath = "/dev/serial/by-id/" + kById;

// A root with a console ttyS0, a ttyS1 without a UART, and an FTDI adapter
// at ttyUSB0 under its by-id link; children it started are ended with it.
struct Tree {
    std::string root;
    std::vector<pid_t> children;
    Tree() {
        char name[] = "/tmp/dorvalix-ports-XXXXXX";
        root = mkdtemp(name);
        chmod(root.c_str(), 0755);
        for (const char* d : {"sys/class/tty", "sys/bus/pnp/drivers/serial", "sys/bus/usb-serial/drivers/ftdi_sio",
                              "dev/serial/by-id", "run/lock"}) {
            fs::create_directories(root + "/" + d);
        }
        fs::create_directory_symlink("/proc", root + "/proc");
        fs::create_directory_symlink("/dev/pts", root + "/dev/pts");
        Tty("ttyS0", "4:64", "pnp0/00:01", "pnp/drivers/serial", "4");
        Tty("ttyS1", "4:65", "platform/serial8250", "platform/drivers/serial8250", "0");
        Write("sys/class/tty/console/active", "tty0 ttyS0\n");
        const std::string usb = "pci0000:00/usb1/1-1";
        Tty("ttyUSB0", "188:0", usb + "/1-1:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio", "");
        for (auto [file, text] : {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A12345"},
                                  {"manufacturer", "FTDI"}, {"product", "FT232R USB UART"}}) {
            Write("sys/devices/" + usb + "/" + file, std::string(text) + "\n");
        }
        fs::create_symlink("../../ttyUSB0", root + "/dev/serial/by-id/" + kById);
    }
    ~Tree() {
        for (pid_t child : children) kill(child, SIGKILL), waitpid(child, nullptr, 0);
        fs::remove_all(root);
    }
    void Write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(root + "/" + path).parent_path());
        FILE* f = std::fopen((root + "/" + path).c_str(), "w");
        std::fputs(text.c_str(), f), std::fclose(f);
    }
    // A tty in sysfs, its device folder and driver, and its node (a plain file).
    void Tty(const std::string& name, const char* dev, const std::string& device, const std::string& driver,
             const char* type) {
        const std::string dir = root + "/sys/class/tty/" + name, deviceDir = root + "/sys/devices/" + device;
        fs::create_directories(dir), fs::create_directories(deviceDir);
        fs::create_directories(root + "/sys/bus/" + driver);
        fs::create_symlink(deviceDir, dir + "/device");
        fs::create_symlink(root + "/sys/bus/" + driver, deviceDir + "/driver");
        Write("sys/class/tty/" + name + "/dev", std::string(dev) + "\n");
        if (*type != '\0') Write("sys/class/tty/" + name + "/type", std::string(type) + "\n");
        Write("dev/" + name, "");
        chmod((root + "/dev/" + name).c_str(), 0666);
    }
    // A child named `name`, holding `path` open when it is not empty.
    pid_t Child(const char* name, const std::string& path) {
        int ready[2];
        if (pipe(ready) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_NAME, name);
            if (!path.empty() && open(path.c_str(), O_RDWR | O_NOCTTY) < 0) _exit(1);
            (void)!write(ready[1], "r", 1);
            pause();
            _exit(0);
        }
        children.push_back(pid);
        close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&p, 1, 5000) == 1 && read(ready[0], &c, 1) == 1) << "child not ready";
        close(ready[0]);
        return pid;
    }
    std::string Lock(const std::string& name, pid_t pid) {
        Write("run/lock/LCK.." + name, std::to_string(pid) + "\n");  // never in the system's lock folder
        return std::to_string(pid);
    }
};

std::string Line(std::vector<std::string> fields) {
    std::string line;
    for (const std::string& f : fields) line += (line.empty() ? "" : "\t") + f;
    return line;
}

std::string UsbLine(const std::string& com, const std::string& state, const std::string& copy = "-") {
    return Line({com, "/dev/ttyUSB0", kByIdPath, "0403:6001", "A12345", "FTDI", "FT232R USB UART", "ftdi_sio", state,
                 copy});
}

std::string MapLine(const std::string& com, const std::string& device, const std::string& driver,
                    const std::string& state) {
    return Line({com, device, "-", "-", "-", "-", "-", driver, state, "-"});
}

// The program's output and status, run as `nobody` where asked.
std::pair<int, std::string> RunPorts(const std::string& root, std::vector<const char*> args, bool asNobody) {
    args.insert(args.begin(), "dorvalix-ports");
    int out[2];
    if (pipe(out) != 0) return {-1, ""};
    pid_t pid = fork();
    if (pid == 0) {
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        FILE* f = fdopen(out[1], "w");
        int status = PortsMain(int(args.size()), args.data(), root.c_str(), f, f);
        std::fflush(f);
        _exit(status);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    close(out[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// A pty pair: the master, the slave's path in `slave`.
int NewPty(std::string& slave) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) return -1;
    slave = ptsname(m);
    return m;
}

}  // namespace

TEST(Ports, Rows) {
    std::string pts;
    const int master = NewPty(pts);
    ASSERT_GE(master, 0);
    const group* dialout = getgrgid(20);
    const std::string group = dialout != nullptr ? dialout->gr_name : "20";
    // A process named with escape sequences holds a lock; the adapter's
    // product has a C1 CSI as a raw byte and in UTF-8, and a tab.
    const std::string copy = "DORVALIX_COM2=" + kByIdPath + " dorvalix 2 115200 8 1 0";
    auto planted = [](Tree& t) {
        t.Write("sys/devices/pci0000:00/usb1/1-1/product", "X\x9bY\xc2\x9b" "2J\tZ\n");
        return t.Lock("ttyUSB0", t.Child("\x1b]2;OWNED\a\x1b[2J", ""));
    };
    const std::vector<std::string> raw = {"\x1b", "\x9b", "\a", "Y\tZ"};
    int held = -1;  // the pty, held by the test itself
    const struct Case {
        const char* what;
        std::vector<const char*> args;
        bool asNobody;
        std::function<std::vector<std::string>(Tree&)> setup;  // returns the lines to find
        std::vector<std::string> absent = {};
        int status = 0;
    } cases[] = {
        {"a USB adapter with all its fields, a line to copy with COM2", {"/s"}, false,
         [](Tree&) {
             return std::vector<std::string>{Line({"COM1", "/dev/ttyS0", "-", "-", "-", "-", "-", "serial",
                                                   "system console", "-"}),
                                             UsbLine("-", "free", "DORVALIX_COM2=" + kByIdPath + " dorvalix 2 115200 8 1 0")};
         },
         {"/dev/ttyS1"}},
        {"COM2 is ttyS1 once it has a UART: the line to copy takes COM3", {"/S"}, false,
         [](Tree& t) {
             t.Write("sys/class/tty/ttyS1/type", "4\n");
             return std::vector<std::string>{"COM2\t/dev/ttyS1\t", "DORVALIX_COM3=" + kByIdPath + " dorvalix 3"};
         }},
        {"a mapping through the by-id link", {"/S"}, false,
         [](Tree&) {
             setenv("DORVALIX_COM5", kByIdPath.c_str(), 1);
             return std::vector<std::string>{UsbLine("COM5", "free")};
         }},
        {"a pty in use by a sibling process", {"/S"}, false,
         [&](Tree& t) {
             setenv("DORVALIX_COM51", pts.c_str(), 1);
             pid_t holder = t.Child("holder", pts);
             return std::vector<std::string>{
                 MapLine("COM51", pts, "pty", "in use by holder (pid " + std::to_string(holder) + ")")};
         }},
        {"a pty the calling program holds; /dev/tty, the caller's own terminal", {"/S"}, false,
         [&](Tree& t) {
             setenv("DORVALIX_COM52", pts.c_str(), 1);
             setenv("DORVALIX_COM53", "/dev/tty", 1);
             fs::create_directories(t.root + "/sys/dev/char/5:0");
             fs::create_symlink("../../../class/tty", t.root + "/sys/dev/char/5:0/subsystem");
             fs::create_symlink("/dev/tty", t.root + "/dev/tty");
             if (held < 0) held = open(pts.c_str(), O_RDWR | O_NOCTTY);  // by this process, RunPorts's parent
             char comm[32] = "";
             FILE* f = std::fopen("/proc/self/comm", "r");
             if (f != nullptr) (void)!std::fscanf(f, "%31s", comm), std::fclose(f);
             return std::vector<std::string>{
                 MapLine("COM52", pts, "pty", "in use by " + std::string(comm) + " (pid " + std::to_string(getpid()) + ")"),
                 MapLine("COM53", "/dev/tty", "-", "own terminal")};
         }},
        {"a live lock", {"/S"}, false,
         [](Tree& t) {
             return std::vector<std::string>{UsbLine("-", "in use by locker (pid " + t.Lock("ttyUSB0", t.Child("locker", "")) + ")",
                                                     "DORVALIX_COM2=" + kByIdPath + " dorvalix 2 115200 8 1 0")};
         }},
        {"a stale lock, left where it is", {"/S"}, false,
         [](Tree& t) {
             pid_t gone = fork();
             if (gone == 0) _exit(0);
             waitpid(gone, nullptr, 0);
             setenv("DORVALIX_COM4", "/dev/ttyUSB0", 1);
             return std::vector<std::string>{UsbLine("COM4", "stale lock (pid " + t.Lock("ttyUSB0", gone) + ")")};
         }},
        {"no permission, naming the group; a note that root's processes went unseen", {}, true,
         [&](Tree& t) {
             const std::string node = t.root + "/dev/ttyUSB0";
             EXPECT_EQ(chown(node.c_str(), 0, 20) | chmod(node.c_str(), 0660), 0);
             return std::vector<std::string>{" ftdi_sio   no permission (group " + group + ")\n",
                                             "\nOther users' processes were not looked at"};
         }},
        {"a missing mapping and one that is no tty", {"/S"}, false,
         [](Tree& t) {
             t.Write("tmp/file", "");
             setenv("DORVALIX_COM7", "/dev/serial/by-id/usb-gone", 1);
             setenv("DORVALIX_COM8", "/tmp/file", 1);
             return std::vector<std::string>{MapLine("COM7", "/dev/serial/by-id/usb-gone", "-", "missing"),
                                             MapLine("COM8", "/tmp/file", "-", "not a tty")};
         }},
        {"loop and a remote URL, not connected to; the console unmapped and offered to no one", {"/S"}, false,
         [](Tree&) {
             setenv("DORVALIX_COM1", "loop", 1);
             setenv("DORVALIX_COM10", "rfc2217://127.0.0.1:1", 1);
             return std::vector<std::string>{MapLine("COM1", "loop", "loopback", "free"),
                                             MapLine("COM10", "rfc2217://127.0.0.1:1", "rfc2217", "not probed"),
                                             MapLine("-", "/dev/ttyS0", "serial", "system console")};
         }},
        {"the table: 80 columns, long names cut, the line to copy whole", {}, false,
         [](Tree& t) {
             const std::string longName = "usb-Aaaa_" + std::string(70, 'x') + "_Z9-if00-port0";
             fs::create_symlink("../../ttyUSB0", t.root + "/dev/serial/by-id/" + longName);  // before kById
             const std::string pid = t.Lock("ttyUSB0", t.Child("locker", ""));
             return std::vector<std::string>{
                 "COM    DEVICE        USB ID    DRIVER     STATE\n",
                 "\nCOM1   /dev/ttyS0    -         serial     system console\n",
                 "\n-      /dev/ttyUSB0  0403:6001 ftdi_sio   in use by locker (pid " + pid + ")\n",
                 "\n       by-id: usb-Aaaa_" + std::string(19, 'x') + "..." + std::string(20, 'x') + "_Z9-if00-port0\n",
                 "\n       FTDI FT232R USB UART, serial A12345\n",
                 "\nDORVALIX_COM2=/dev/serial/by-id/" + longName + " dorvalix 2 115200 8 1 0\n"};
         }},
        {"escapes shown, not sent: the table", {}, false,
         [&](Tree& t) {
             planted(t);
             return std::vector<std::string>{"in use by \\x1b]2;...", "\n       FTDI X\\x9bY\\xc2\\x9b2J\\x09Z, serial A12345\n"};
         },
         raw},
        {"escapes shown, not sent: /S", {"/S"}, false,
         [&](Tree& t) {
             const std::string pid = planted(t);
             return std::vector<std::string>{Line({"-", "/dev/ttyUSB0", kByIdPath, "0403:6001", "A12345", "FTDI",
                                                   "X\\x9bY\\xc2\\x9b2J\\x09Z", "ftdi_sio",
                                                   "in use by \\x1b]2;OWNED\\x07\\x1b[2J (pid " + pid + ")", copy}) + "\n"};
         },
         raw},
        {"no port at all", {}, false,
         [](Tree& t) {
             fs::remove_all(t.root + "/sys/class/tty");
             return std::vector<std::string>{"No serial port found.\n"};
         }},
        {"a bad option", {"/S", "-x"}, false,
         [](Tree&) { return std::vector<std::string>{"dorvalix-ports: unknown option -x", "dorvalix-ports [/S]"}; },
         {"/dev/ttyUSB0"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.asNobody && geteuid() != 0) continue;  // needs a user the node's permissions keep out
        std::vector<std::string> names;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("DORVALIX_COM", 0) == 0) names.push_back(std::string(*e).substr(0, std::string(*e).find('=')));
        }
        for (const std::string& name : names) unsetenv(name.c_str());
        Tree tree;
        const std::vector<std::string> lines = c.setup(tree);
        const size_t locks = std::distance(fs::directory_iterator(tree.root + "/run/lock"), fs::directory_iterator());
        auto [status, out] = RunPorts(tree.root, c.args, c.asNobody);
        EXPECT_EQ(status, c.status) << out;
        for (const std::string& line : lines) EXPECT_NE(out.find(line), std::string::npos) << line << "\nin\n" << out;
        for (const std::string& text : c.absent) EXPECT_EQ(out.find(text), std::string::npos) << text << "\nin\n" << out;
        for (size_t at = 0, end; c.args.empty() && (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
            if (out.compare(at, 9, "DORVALIX_") != 0) {  // the table's lines; not the lines to copy
                EXPECT_LE(end - at, 80u) << out.substr(at, end - at);
            }
        }
        EXPECT_EQ(size_t(std::distance(fs::directory_iterator(tree.root + "/run/lock"), fs::directory_iterator())), locks)
            << "a lock file was added or removed";
        if (held >= 0) close(held), held = -1;
    }
    close(master);
}

// Each field is shown with its controls and what is not UTF-8 as \xHH.
TEST(Ports, ShowText) {
    const TextCoding U = TextCoding::kUtf8, C = TextCoding::kCodePage;
    const struct {
        const char* text;
        TextCoding coding;
        size_t size;
        const char* shown;
    } rows[] = {
        {"ttyUSB0 \xc3\xa9\xe2\x82\xac\xc2\xa0\xf0\x9f\x98\x80", U, 64, "ttyUSB0 \xc3\xa9\xe2\x82\xac\xc2\xa0\xf0\x9f\x98\x80"},
        {"\x1b[2J\t\n\x7f", U, 64, "\\x1b[2J\\x09\\x0a\\x7f"},
        {"\x9b\xc2\x9b\xc2\x85", U, 64, "\\x9b\\xc2\\x9b\\xc2\\x85"},                 // C1, raw and UTF-8
        {"\xc3 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80", U, 64,                       // cut, overlong, surrogate, too high
         "\\xc3 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
        {"\\Device\\xyz\\", U, 64, "\\Device\\x5cxyz\\"},                              // every \x shown is an escape
        {"\x9b\xe9\x1b", C, 64, "\x9b\xe9\\x1b"},                                        // a code page's characters
        {"ab\x1b", U, 6, "ab"},                                                          // an escape whole or not at all
        {"ab\xc3\xa9", U, 4, "ab"},
    };
    for (const auto& row : rows) {
        char out[64];
        EXPECT_EQ(ShowText(row.text, row.coding, out, row.size), std::strlen(row.shown)) << row.shown;
        EXPECT_STREQ(out, row.shown);
    }
}
