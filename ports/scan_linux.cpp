// The Linux scan of dorvalix-ports. Only sysfs, /dev, /proc and the lock
// folders are read, by stat, readlink and reads of sysfs and /proc files:
// no device is ever opened, since an open raises DTR and RTS, which resets
// many boards. The rows:
// - every tty of /sys/class/tty with a device behind it (a ttyS only where
//   a UART is present: its "type" is not 0, PORT_UNKNOWN);
// - every DORVALIX_COM<n> mapping that names none of those: loop, a URL, a
//   pty, or a name that is missing or no tty.
// A device's state comes from the tty provider's own checks (tty/claim.h):
// the kernel's console, the caller's own terminal, a process holding it open
// (the calling shell included), a live or stale UUCP lock, then the
// permissions of its node. There is no limit on the rows.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../platform/posix/tty/claim.h"
#include "../platform/posix/win32/provider.h"
#include "scan.h"

extern char** environ;

namespace {

constexpr unsigned kMaxCom = 255;  // the highest COM number a name may have

// What the scan keeps of a row beside the row itself.
struct Found {
    int row;                  // its row in the list (an index: the rows move as the list grows)
    char name[NAME_MAX + 1];  // its name in /sys/class/tty; empty for a mapping's own row
    char node[PATH_MAX];      // its device node, `root` included
    char real[PATH_MAX];      // that path with every link resolved (compared with links to it)
    TtyIdentity id;           // what the holder checks look for
    bool check;               // a tty: its state comes from the checks
};

// Grown as rows are found, never freed; plain realloc, so that the program
// needs no C++ runtime.
PortList* gList;
Found* gFound;
int gFoundCount, gFoundCapacity;
TtyIdentity* gIds;
TtyHolder* gHolders;

// Room for `count` entries of `array` (of `capacity`); false when no memory
// is left.
template <typename T>
bool Room(T*& array, int& capacity, int count) {
    if (count <= capacity) return true;
    int grown = capacity < 16 ? 16 : capacity * 2;
    if (grown < count) grown = count;
    void* p = std::realloc(array, sizeof(T) * size_t(grown));
    if (p == nullptr) return false;
    array = static_cast<T*>(p);
    capacity = grown;
    return true;
}

PortRow& RowOf(const Found& f) { return gList->rows[f.row]; }

// A small sysfs or /proc file (never a device), trailing white space cut.
bool ReadAttribute(const char* path, char* out, size_t size) {
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;  // so never a device, whatever the tree
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    ssize_t n = read(fd, out, size - 1);
    close(fd);
    if (n < 0) return false;
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == ' ' || out[n - 1] == '\r')) --n;
    out[n] = '\0';
    return true;
}

// The last part of where the link at `path` points; empty when it is none.
void LinkBase(const char* path, char* out, size_t size) {
    char target[PATH_MAX];
    ssize_t n = readlink(path, target, sizeof target - 1);
    out[0] = '\0';
    if (n <= 0) return;
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    SetField(out, size, slash != nullptr ? slash + 1 : target);
}

// `path` with its links resolved; itself when it cannot be resolved.
void RealPath(const char* path, char* out) {
    char resolved[PATH_MAX];
    const char* use = realpath(path, resolved) != nullptr ? resolved : path;
    std::memmove(out, use, std::strlen(use) + 1);
}

// `path` as seen from inside `root`.
const char* Inside(const char* root, const char* path) {
    size_t length = std::strlen(root);
    return length > 0 && std::strncmp(path, root, length) == 0 && path[length] == '/' ? path + length : path;
}

bool WordIn(const char* list, const char* word) {
    size_t length = std::strlen(word);
    for (const char* p = list; (p = std::strstr(p, word)) != nullptr; p += length) {
        if ((p == list || p[-1] == ' ') && (p[length] == '\0' || p[length] == ' ')) return true;
    }
    return false;
}

// n from "ttyS<n>", or -1.
int SerialIndex(const char* name) {
    if (std::strncmp(name, "ttyS", 4) != 0 || name[4] < '0' || name[4] > '9') return -1;
    char* end = nullptr;
    long n = std::strtol(name + 4, &end, 10);
    return *end == '\0' && n < 100000 ? int(n) : -1;
}

Found* NewFound(PortList& list) {
    if (!Room(gFound, gFoundCapacity, gFoundCount + 1) || AppendPort(list) == nullptr) return nullptr;
    Found* f = &gFound[gFoundCount++];
    std::memset(f, 0, sizeof *f);
    f->row = list.count - 1;
    return f;
}

// The driver of a tty's device. A serial core port (bus serial-base, on
// newer kernels) is its own driver's child: the driver named is the one of
// the hardware above it (serial, serial8250, ...).
void ReadDriver(const char* deviceDir, PortRow& row) {
    char dir[PATH_MAX], path[PATH_MAX + 16], subsystem[64];
    if (realpath(deviceDir, dir) == nullptr) return;
    for (int up = 0; up < 4; ++up) {
        std::snprintf(path, sizeof path, "%s/subsystem", dir);
        LinkBase(path, subsystem, sizeof subsystem);
        char* slash = std::strrchr(dir, '/');
        if (std::strcmp(subsystem, "serial-base") != 0 || slash == nullptr) break;
        *slash = '\0';
    }
    std::snprintf(path, sizeof path, "%s/driver", dir);
    LinkBase(path, row.driver, sizeof row.driver);
}

// The USB device above a tty's device folder: VID:PID, serial, names.
void ReadUsb(const char* root, const char* deviceDir, PortRow& row) {
    char dir[PATH_MAX];
    if (realpath(deviceDir, dir) == nullptr) return;
    char top[PATH_MAX];
    std::snprintf(top, sizeof top, "%s/sys/devices", root);
    RealPath(top, top);
    size_t stop = std::strlen(top);
    char path[PATH_MAX + 32], vid[16], pid[16];
    for (int up = 0; up < 8 && std::strlen(dir) > stop; ++up) {
        std::snprintf(path, sizeof path, "%s/idVendor", dir);
        if (ReadAttribute(path, vid, sizeof vid)) {
            std::snprintf(path, sizeof path, "%s/idProduct", dir);
            if (!ReadAttribute(path, pid, sizeof pid)) pid[0] = '\0';
            std::snprintf(row.vidPid, sizeof row.vidPid, "%.4s:%.4s", vid, pid);
            const struct { const char* file; char* field; size_t size; } names[] = {
                {"serial", row.serial, sizeof row.serial},
                {"manufacturer", row.manufacturer, sizeof row.manufacturer},
                {"product", row.product, sizeof row.product}};
            for (const auto& n : names) {
                char text[256];
                std::snprintf(path, sizeof path, "%s/%s", dir, n.file);
                if (ReadAttribute(path, text, sizeof text)) SetField(n.field, n.size, text);
            }
            return;
        }
        char* slash = std::strrchr(dir, '/');
        if (slash == nullptr) return;
        *slash = '\0';
    }
}

// Rows for the ttys in /sys/class/tty that have a device behind them.
void ScanSysfs(const char* root, PortList& list) {
    char classDir[PATH_MAX];
    std::snprintf(classDir, sizeof classDir, "%s/sys/class/tty", root);
    DIR* dir = opendir(classDir);
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.') continue;
        char base[PATH_MAX], path[PATH_MAX + 32], text[64];
        struct stat st;
        if (std::snprintf(base, sizeof base, "%s/%s", classDir, name) >= int(sizeof base)) continue;
        std::snprintf(path, sizeof path, "%s/device", base);
        if (lstat(path, &st) != 0) continue;  // virtual: consoles, ptmx, ptys
        std::snprintf(path, sizeof path, "%s/type", base);
        if (SerialIndex(name) >= 0 && ReadAttribute(path, text, sizeof text) && std::atoi(text) == 0) continue;
        Found* f = NewFound(list);
        if (f == nullptr) break;
        SET_FIELD(f->name, name);
        std::snprintf(RowOf(*f).device, sizeof RowOf(*f).device, "/dev/%.240s", name);
        std::snprintf(f->node, sizeof f->node, "%s/dev/%s", root, name);
        RealPath(f->node, f->real);
        std::snprintf(path, sizeof path, "%s/device", base);
        ReadDriver(path, RowOf(*f));
        ReadUsb(root, path, RowOf(*f));
        // The device number from sysfs, so the checks need not stat the node.
        std::snprintf(path, sizeof path, "%s/dev", base);
        unsigned maj = 0, min = 0;
        if (ReadAttribute(path, text, sizeof text) && std::sscanf(text, "%u:%u", &maj, &min) == 2) {
            f->id.valid = true;
            f->id.rdev = makedev(maj, min);
            std::snprintf(f->id.target, sizeof f->id.target, "/dev/%s", name);
        }
        f->check = true;
    }
    closedir(dir);
}

// The stable names under /dev/serial/by-id, each given to the row of the
// device it leads to (the first in name order where there are several).
void ScanById(const char* root, int sysfsRows) {
    char dirPath[PATH_MAX];
    std::snprintf(dirPath, sizeof dirPath, "%s/dev/serial/by-id", root);
    DIR* dir = opendir(dirPath);
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char link[PATH_MAX + NAME_MAX + 2], real[PATH_MAX];
        std::snprintf(link, sizeof link, "%s/%s", dirPath, entry->d_name);
        if (realpath(link, real) == nullptr) continue;
        for (int i = 0; i < sysfsRows; ++i) {
            PortRow& row = RowOf(gFound[i]);
            if (std::strcmp(real, gFound[i].real) != 0) continue;
            const char* known = std::strrchr(row.byId, '/');
            if (known == nullptr || std::strcmp(entry->d_name, known + 1) < 0) {
                std::snprintf(row.byId, sizeof row.byId, "/dev/serial/by-id/%s", entry->d_name);
            }
        }
    }
    closedir(dir);
}

// n of "DORVALIX_COM<n>=" as the provider reads it (1 to 255, no leading
// zero), the value in `value`; 0 for any other variable.
unsigned MappingOf(const char* variable, const char** value) {
    static const char kPrefix[] = "DORVALIX_COM";
    if (std::strncmp(variable, kPrefix, sizeof kPrefix - 1) != 0) return 0;
    const char* p = variable + sizeof kPrefix - 1;
    if (*p < '1' || *p > '9') return 0;
    unsigned n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + unsigned(*p - '0');
        if (n > kMaxCom) return 0;
    }
    if (*p != '=') return 0;
    *value = p + 1;
    return n;
}

// A character device that is no pty and no row yet: a tty when sysfs
// files it under the tty class. Gives its sysfs name and driver.
bool SysfsTty(const char* root, dev_t rdev, char* name, size_t nameSize, char* driver, size_t driverSize) {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/sys/dev/char/%u:%u/subsystem", root, major(rdev), minor(rdev));
    char subsystem[64];
    LinkBase(path, subsystem, sizeof subsystem);
    if (std::strcmp(subsystem, "tty") != 0) return false;
    std::snprintf(path, sizeof path, "%s/sys/dev/char/%u:%u", root, major(rdev), minor(rdev));
    LinkBase(path, name, nameSize);
    std::snprintf(path, sizeof path, "%s/sys/dev/char/%u:%u/device/driver", root, major(rdev), minor(rdev));
    LinkBase(path, driver, driverSize);
    return true;
}

// A mapping to a path: the COM number goes to the row of the device it
// reaches, or the mapping gets a row of its own.
void MapPath(const char* root, unsigned n, const char* value, PortList& list) {
    char full[PATH_MAX];
    std::snprintf(full, sizeof full, "%s%s%s", root, root[0] != '\0' && value[0] != '/' ? "/" : "", value);
    TtyIdentity id;
    bool exists = IdentityOf(full, id);
    char real[PATH_MAX];
    RealPath(full, real);
    for (int i = 0; exists && i < gFoundCount; ++i) {
        const Found& f = gFound[i];
        bool same = f.real[0] != '\0' && std::strcmp(real, f.real) == 0;
        same = same || (id.rdev != 0 && f.id.valid && SameDevice(id.fsDev, id.rdev, f.id.fsDev, f.id.rdev));
        if (same) {
            AddCom(RowOf(f), n);
            return;
        }
    }
    Found* f = NewFound(list);
    if (f == nullptr) return;
    AddCom(RowOf(*f), n);
    SET_FIELD(RowOf(*f).device, value);
    if (!exists) {
        SET_FIELD(RowOf(*f).state, "missing");
        return;
    }
    if (id.rdev != 0 && id.pty) {
        SET_FIELD(RowOf(*f).driver, "pty");
    } else if (id.rdev == 0 || !SysfsTty(root, id.rdev, f->name, sizeof f->name, RowOf(*f).driver, sizeof RowOf(*f).driver)) {
        SET_FIELD(RowOf(*f).state, "not a tty");
        return;
    }
    SET_FIELD(RowOf(*f).device, Inside(root, real));
    std::snprintf(f->node, sizeof f->node, "%s", full);
    std::snprintf(f->real, sizeof f->real, "%s", real);
    f->id = id;
    std::snprintf(f->id.target, sizeof f->id.target, "%s", Inside(root, real));
    f->check = true;
}

// Rows and COM numbers from the DORVALIX_COM<n> variables; notes in
// `mapped` which numbers are taken.
void ScanMappings(const char* root, PortList& list, bool* mapped) {
    for (char** e = environ; *e != nullptr; ++e) {
        const char* value = nullptr;
        unsigned n = MappingOf(*e, &value);
        if (n == 0 || value[0] == '\0') continue;  // empty: COM<n> is /dev/ttyS<n-1>
        mapped[n] = true;
        if (std::strcmp(value, "loop") != 0 && !RemoteIsUrl(value)) {
            MapPath(root, n, value, list);
            continue;
        }
        PortRow* row = AppendPort(list);
        if (row == nullptr) return;
        AddCom(*row, n);
        SET_FIELD(row->device, value);
        bool loop = std::strcmp(value, "loop") == 0;
        SET_FIELD(row->driver, loop ? "loopback" : std::strncmp(value, "tcp://", 6) == 0 ? "tcp" : "rfc2217");
        // A connection would be a session on the server: nothing is tried.
        SET_FIELD(row->state, loop ? "free" : "not probed");
    }
}

// "no permission", naming the group that may open the node when it does.
void NoPermission(const char* node, PortRow& row) {
    struct stat st;
    const unsigned kGroupRw = S_IRGRP | S_IWGRP;
    if (stat(node, &st) != 0 || (st.st_mode & kGroupRw) != kGroupRw) {
        SET_FIELD(row.state, "no permission");
        return;
    }
    const group* g = getgrgid(st.st_gid);
    if (g != nullptr) {
        std::snprintf(row.state, sizeof row.state, "no permission (group %s)", g->gr_name);
    } else {
        std::snprintf(row.state, sizeof row.state, "no permission (group %u)", unsigned(st.st_gid));
    }
}

void InUse(const char* root, long pid, PortRow& row) {
    char path[PATH_MAX], program[64];
    std::snprintf(path, sizeof path, "%s/proc/%ld/comm", root, pid);
    if (!ReadAttribute(path, program, sizeof program) || program[0] == '\0') std::strcpy(program, "another program");
    std::snprintf(row.state, sizeof row.state, "in use by %s (pid %ld)", program, pid);
}

// The state of every tty row, from one pass of the holder checks.
void SetStates(const char* root, PortList& list) {
    char consoles[256] = "", path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/sys/class/tty/console/active", root);
    if (!ReadAttribute(path, consoles, sizeof consoles)) consoles[0] = '\0';
    int count = 0;
    static int idsCapacity, holdersCapacity;
    if (!Room(gIds, idsCapacity, gFoundCount) || !Room(gHolders, holdersCapacity, gFoundCount)) return;
    for (int i = 0; i < gFoundCount; ++i) gIds[count++] = gFound[i].check ? gFound[i].id : TtyIdentity{};
    list.holdersUnseen = TtyFindHolders(gIds, count, root, gHolders) > 0;
    for (int i = 0; i < gFoundCount; ++i) {
        const Found& f = gFound[i];
        const TtyHolder& h = gHolders[i];
        PortRow& row = RowOf(f);
        if (!f.check) continue;
        // /dev/console itself, or a tty the kernel writes its console to.
        if (std::strcmp(f.name, "console") == 0 || (f.name[0] != '\0' && WordIn(consoles, f.name))) {
            SET_FIELD(row.state, "system console");
        } else if (TtyIsOwnTerminal(f.id)) {
            SET_FIELD(row.state, "own terminal");  // /dev/tty, or the caller's terminal: dorvalix refuses it
        } else if (h.openBy != 0) {
            InUse(root, h.openBy, row);
        } else if (h.lockLive && h.lockPid != 0) {
            InUse(root, h.lockPid, row);
        } else if (h.lockLive) {
            SET_FIELD(row.state, "in use (locked)");  // a lock without a number: being written, or not ours to read
        } else if (h.lockPid != 0) {
            std::snprintf(row.state, sizeof row.state, "stale lock (pid %ld)", h.lockPid);
        } else if (access(f.node, R_OK | W_OK) != 0) {
            if (errno == EACCES || errno == EPERM) {
                NoPermission(f.node, row);
            } else {
                SET_FIELD(row.state, "missing");  // no node in /dev
            }
        } else {
            SET_FIELD(row.state, "free");
        }
    }
}

}  // namespace

void ScanPorts(const ScanOptions& options, PortList& list) {
    char root[PATH_MAX];
    std::snprintf(root, sizeof root, "%s", options.root != nullptr ? options.root : "/");
    for (size_t n = std::strlen(root); n > 0 && root[n - 1] == '/'; --n) root[n - 1] = '\0';
    gFoundCount = 0;
    gList = &list;
    list.count = 0;
    list.holdersUnseen = false;
    list.codePage = false;
    ScanSysfs(root, list);
    const int sysfsRows = gFoundCount;
    ScanById(root, sysfsRows);
    bool mapped[kMaxCom + 1] = {};
    ScanMappings(root, list, mapped);
    // An unmapped COM<n+1> is /dev/ttyS<n>.
    bool serial[kMaxCom + 1] = {};
    for (int i = 0; i < sysfsRows; ++i) {
        int index = SerialIndex(gFound[i].name);
        if (index < 0 || unsigned(index) + 1 > kMaxCom) continue;
        serial[index + 1] = true;
        if (!mapped[index + 1]) AddCom(RowOf(gFound[i]), unsigned(index) + 1);
    }
    SetStates(root, list);
    SortPorts(list);  // the rows move: gFound's row numbers are done with
    // A line to copy for each device no COM number reaches (only a tty of
    // sysfs can be such a row) but the console, in device order, with the
    // lowest number neither mapped nor a present ttyS's.
    unsigned next = 1;
    for (int i = 0; i < list.count; ++i) {
        PortRow& row = list.rows[i];
        if (row.comCount > 0 || std::strcmp(row.state, "system console") == 0) continue;
        while (next <= kMaxCom && (mapped[next] || serial[next])) ++next;
        if (next > kMaxCom) break;
        std::snprintf(row.suggestion, sizeof row.suggestion, "DORVALIX_COM%u=%s dorvalix %u 115200 8 1 0", next,
                      row.byId[0] != '\0' ? row.byId : row.device, next);
        ++next;
    }
}
