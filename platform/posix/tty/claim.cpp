// The checks made when a tty port is opened or opened again after a loss, and
// the session's UUCP lock (see tty/claim.h).
#include "claim.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../win32/provider.h"

namespace {

// Where UUCP lock files are kept; often the same folder under two names.
const char* const kLockDirs[] = {"/var/lock", "/run/lock"};
// A lock file that holds no process number yet may be being written by its
// taker: it counts as live while younger than this.
constexpr long long kUnwrittenLockNs = 1000000000LL;

// /dev/tty: the controlling terminal, whatever its own number.
const dev_t kControllingTty = makedev(5, 0);
// /dev/tty0: the foreground virtual console.
const dev_t kCurrentVt = makedev(4, 0);

bool IsVirtualConsole(dev_t rdev) { return major(rdev) == 4 && minor(rdev) >= 1 && minor(rdev) < 64; }

// The controlling terminal's device number from /proc/self/stat (field 7,
// tty_nr), 0 when there is none.
dev_t ControllingTerminal() {
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');  // the command name may hold anything
    int ttyNr = 0;
    if (p == nullptr || std::sscanf(p + 1, " %*c %*d %*d %*d %d", &ttyNr) != 1 || ttyNr == 0) return 0;
    unsigned value = unsigned(ttyNr);
    return makedev((value >> 8) & 0xFFF, (value & 0xFF) | ((value >> 12) & 0xFFF00));
}

// The device is the program's own terminal.
bool IsOwnTerminal(const TtyIdentity& id) {
    if (id.rdev == kControllingTty) return true;
    bool onVt = false;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        if (SameDevice(st.st_dev, st.st_rdev, id.fsDev, id.rdev)) return true;
        onVt = onVt || IsVirtualConsole(st.st_rdev);
    }
    dev_t ctty = ControllingTerminal();
    if (ctty != 0 && ctty == id.rdev) return true;
    onVt = onVt || IsVirtualConsole(ctty);
    return onVt && id.rdev == kCurrentVt;
}

// "LCK.." and the node's path below /dev with '/' as '_' (its last part when
// it is elsewhere).
bool LockName(const TtyIdentity& id, char* out, size_t size) {
    const char* name = id.target;
    if (std::strncmp(name, "/dev/", 5) == 0) {
        name += 5;
    } else if (const char* slash = std::strrchr(name, '/')) {
        name = slash + 1;
    }
    if (*name == '\0' || std::snprintf(out, size, "LCK..%s", name) >= int(size)) return false;
    for (char* p = out; *p != '\0'; ++p) {
        if (*p == '/') *p = '_';
    }
    return true;
}

enum class LockState { kNone, kOurs, kLive, kStale };

// Whether process `pid` started more than a second after `written`: its
// number was then handed out again after the locker ended (numbers come
// round quickly where only 32768 of them exist).
bool StartedAfter(long pid, const timespec& written) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[1024];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');
    unsigned long long startTicks = 0;
    // Field 22, starttime, in clock ticks since boot; fields 3 to 21 skipped.
    if (p == nullptr || std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                                    &startTicks) != 1) {
        return false;
    }
    long ticks = sysconf(_SC_CLK_TCK);
    timespec now, sinceBoot;
    if (ticks <= 0 || clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0) {
        return false;
    }
    long long bootS = now.tv_sec - sinceBoot.tv_sec;
    long long startS = bootS + (long long)(startTicks / (unsigned long long)ticks);
    return startS > (long long)written.tv_sec + 1;
}

// What the lock file at `path` says: the number of the process holding it
// (ten digits in ASCII, or a binary int from old programs).
LockState ReadLock(const char* path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? LockState::kNone : LockState::kLive;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    struct stat st;
    if (fstat(fd, &st) != 0) st.st_mtim = timespec{0, 0};
    close(fd);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bool young = (now.tv_sec - st.st_mtim.tv_sec) * 1000000000LL + (now.tv_nsec - st.st_mtim.tv_nsec) < kUnwrittenLockNs;
    long pid = 0;
    if (n == 4 && (text[0] < ' ' || text[0] > '9')) {
        int binary;
        std::memcpy(&binary, text, sizeof binary);
        pid = binary;
    } else if (n > 0) {
        text[n] = '\0';
        pid = std::strtol(text, nullptr, 10);
    }
    if (pid <= 0 || pid > 0x7FFFFFFFL) return young ? LockState::kLive : LockState::kStale;
    if (pid_t(pid) == getpid()) return LockState::kOurs;
    if (kill(pid_t(pid), 0) != 0 && errno != EPERM) return LockState::kStale;
    return StartedAfter(pid, st.st_mtim) ? LockState::kStale : LockState::kLive;
}

// The lock file of `id` in each lock folder there is (a folder reached under
// two names counted once); returns how many were written to `paths`.
int LockPaths(const TtyIdentity& id, char paths[][PATH_MAX]) {
    char name[NAME_MAX + 1];
    if (!LockName(id, name, sizeof name)) return 0;
    int count = 0;
    struct stat seen[2];
    for (const char* dir : kLockDirs) {
        struct stat st;
        if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        bool twice = false;
        for (int i = 0; i < count; ++i) twice = twice || (seen[i].st_dev == st.st_dev && seen[i].st_ino == st.st_ino);
        if (twice) continue;
        if (std::snprintf(paths[count], PATH_MAX, "%s/%s", dir, name) >= PATH_MAX) continue;
        seen[count++] = st;
    }
    return count;
}

// A live lock of another process names the device; stale ones are removed.
bool LockedElsewhere(const TtyIdentity& id) {
    char paths[2][PATH_MAX];
    int count = LockPaths(id, paths);
    for (int i = 0; i < count; ++i) {
        LockState state = ReadLock(paths[i]);
        if (state == LockState::kLive) return true;
        if (state == LockState::kStale) (void)unlink(paths[i]);
    }
    return false;
}

// Takes the lock in the first lock folder: the process number is written to
// a file of our own, which is then linked under the lock's name, so that no
// one ever reads a half-written lock of ours. False when another process got
// there first; true, with `taken` empty, when no lock can be made here.
bool TakeLock(const TtyIdentity& id, char* taken) {
    taken[0] = '\0';
    char paths[2][PATH_MAX];
    if (LockPaths(id, paths) == 0) return true;
    const char* lock = paths[0];
    char temp[PATH_MAX];
    const char* slash = std::strrchr(lock, '/');
    if (std::snprintf(temp, sizeof temp, "%.*s/LTMP.%d", int(slash - lock), lock, int(getpid())) >= int(sizeof temp)) {
        return true;
    }
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return true;  // a folder we may not write to: no lock, as with no folder
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", int(getpid()));
    bool written = write(fd, text, size_t(length)) == length;
    close(fd);
    bool ok = true;
    if (written) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (link(temp, lock) == 0) {
                std::strcpy(taken, lock);
                break;
            }
            if (errno != EEXIST) break;  // no lock here
            LockState state = ReadLock(lock);
            if (state == LockState::kOurs) break;
            if (state != LockState::kStale) {
                ok = false;
                break;
            }
            (void)unlink(lock);
        }
    }
    (void)unlink(temp);
    return ok;
}

void DropLock(char* lock) {
    if (lock[0] != '\0' && ReadLock(lock) == LockState::kOurs) (void)unlink(lock);
    lock[0] = '\0';
}

// Another process (the one that started this one aside) holds the device
// open. Only descriptors whose name is a path are looked at closely: pipes,
// sockets and other anonymous files are passed by their name alone.
bool HeldElsewhere(const TtyIdentity& id) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return false;
    const pid_t self = getpid(), parent = getppid();
    bool held = false;
    while (!held) {
        dirent* process = readdir(proc);
        if (process == nullptr) break;
        char* end = nullptr;
        long pid = std::strtol(process->d_name, &end, 10);
        if (end == process->d_name || *end != '\0' || pid == self || pid == parent) continue;
        char dir[64];
        std::snprintf(dir, sizeof dir, "/proc/%ld/fd", pid);
        DIR* fds = opendir(dir);
        if (fds == nullptr) continue;  // gone, or not ours to see
        while (!held) {
            dirent* entry = readdir(fds);
            if (entry == nullptr) break;
            if (entry->d_name[0] == '.') continue;
            char target[8];
            if (readlinkat(dirfd(fds), entry->d_name, target, sizeof target) <= 0 || target[0] != '/') continue;
            struct stat st;
            if (fstatat(dirfd(fds), entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode)) continue;
            held = SameDevice(st.st_dev, st.st_rdev, id.fsDev, id.rdev);
        }
        closedir(fds);
    }
    closedir(proc);
    return held;
}

}  // namespace

bool TtyClaimBeforeOpen(const char* path, TtyClaim& claim) {
    claim.lockTaken = false;
    claim.pending = false;
    if (!IdentityOf(path, claim.checking)) return FailWith(ERROR_FILE_NOT_FOUND);
    if (claim.opened.valid && !IdentityMayBeSame(claim.opened, claim.checking)) return FailWith(ERROR_FILE_NOT_FOUND);
    if (claim.checking.rdev == 0) return true;  // no device: the open finds it is no tty
    if (IsOwnTerminal(claim.checking) || LockedElsewhere(claim.checking) || HeldElsewhere(claim.checking)) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return true;
}

bool TtyClaimOpened(int fd, TtyClaim& claim) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != claim.checking.fsDev || st.st_ino != claim.checking.ino) {
        return FailWith(ERROR_FILE_NOT_FOUND);  // the name changed between the check and the open
    }
    char taken[PATH_MAX];
    if (!TakeLock(claim.checking, taken)) return FailWith(ERROR_ACCESS_DENIED);
    if (taken[0] != '\0' && std::strcmp(taken, claim.lockFile) != 0) {
        DropLock(claim.lockFile);  // the lock of a name the device had before its loss
        std::strcpy(claim.lockFile, taken);
        claim.lockTaken = true;
    }
    // The identity of the open is kept; the one before it waits in
    // `checking` until the open has either gone through or been undone.
    TtyIdentity previous = claim.opened;
    claim.opened = claim.checking;
    claim.checking = previous;
    claim.pending = true;
    return true;
}

void TtyClaimUndo(TtyClaim& claim) {
    if (!claim.pending) return;
    claim.pending = false;
    if (claim.lockTaken) DropLock(claim.lockFile);
    claim.lockTaken = false;
    claim.opened = claim.checking;
}

void TtyClaimLost(TtyClaim& claim) {
    if (claim.opened.pty) DropLock(claim.lockFile);
}

void TtyClaimRelease(TtyClaim& claim) {
    DropLock(claim.lockFile);
    claim.lockTaken = false;
}

// --- Who holds a device, for a list of ports ----------------------------------

namespace {

// The process number a lock file holds (as ReadLock reads it), 0 if none.
long LockPidOf(const char* path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    long pid = 0;
    if (n == 4 && (text[0] < ' ' || text[0] > '9')) {
        int binary;
        std::memcpy(&binary, text, sizeof binary);
        pid = binary;
    } else if (n > 0) {
        text[n] = '\0';
        pid = std::strtol(text, nullptr, 10);
    }
    return pid > 0 && pid <= 0x7FFFFFFFL ? pid : 0;
}

// The lock naming `id` in the lock folders below `root`: a live one first.
void FindLock(const TtyIdentity& id, const char* root, TtyHolder& holder) {
    char name[NAME_MAX + 1];
    if (!LockName(id, name, sizeof name)) return;
    struct stat seen[2];
    int count = 0;
    for (const char* dir : kLockDirs) {
        char path[PATH_MAX];
        struct stat st;
        if (std::snprintf(path, sizeof path, "%s%s", root, dir) >= int(sizeof path) || stat(path, &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            continue;
        }
        bool twice = false;
        for (int i = 0; i < count; ++i) twice = twice || (seen[i].st_dev == st.st_dev && seen[i].st_ino == st.st_ino);
        if (twice) continue;
        seen[count++] = st;
        if (std::snprintf(path, sizeof path, "%s%s/%s", root, dir, name) >= int(sizeof path)) continue;
        LockState state = ReadLock(path);
        if (state == LockState::kNone || state == LockState::kOurs) continue;
        holder.lockPid = LockPidOf(path);
        holder.lockLive = state == LockState::kLive;
        if (holder.lockLive) return;
    }
}

}  // namespace

int TtyFindHolders(const TtyIdentity* ids, int count, const char* root, TtyHolder* holders) {
    for (int i = 0; i < count; ++i) {
        holders[i] = TtyHolder{0, false, 0};
        if (ids[i].valid && ids[i].rdev != 0) FindLock(ids[i], root, holders[i]);
    }
    // The same look at each process's descriptors as HeldElsewhere's, made
    // once for all the devices.
    char procPath[PATH_MAX];
    std::snprintf(procPath, sizeof procPath, "%s/proc", root);
    DIR* proc = opendir(procPath);
    if (proc == nullptr) return 0;
    const pid_t self = getpid(), parent = getppid();
    int left = 0, hidden = 0;
    for (int i = 0; i < count; ++i) left += ids[i].valid && ids[i].rdev != 0;
    while (left > 0) {
        dirent* process = readdir(proc);
        if (process == nullptr) break;
        char* end = nullptr;
        long pid = std::strtol(process->d_name, &end, 10);
        if (end == process->d_name || *end != '\0' || pid == self || pid == parent) continue;
        char dir[PATH_MAX + 32];
        std::snprintf(dir, sizeof dir, "%s/%ld/fd", procPath, pid);
        DIR* fds = opendir(dir);
        if (fds == nullptr) {
            hidden += errno == EACCES;  // else gone
            continue;
        }
        while (dirent* entry = readdir(fds)) {
            if (entry->d_name[0] == '.') continue;
            char target[8];
            if (readlinkat(dirfd(fds), entry->d_name, target, sizeof target) <= 0 || target[0] != '/') continue;
            struct stat st;
            if (fstatat(dirfd(fds), entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode)) continue;
            for (int i = 0; i < count; ++i) {
                if (holders[i].openBy != 0 || !ids[i].valid || ids[i].rdev == 0) continue;
                if (!SameDevice(st.st_dev, st.st_rdev, ids[i].fsDev, ids[i].rdev)) continue;
                holders[i].openBy = pid;
                --left;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return hidden;
}
