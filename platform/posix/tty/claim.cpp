// The checks made when a tty port is opened or opened again after a loss, and
// the session's UUCP lock (see tty/claim.h).
#include "claim.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../console/hooks.h"
#include "../win32/provider.h"

namespace {

// Where UUCP lock files are kept; often the same folder under two names.
const char* const kLockDirs[] = {"/var/lock", "/run/lock"};
// A lock file that holds no process number may be being written by its
// taker: an open watches it this long (on the monotonic clock, which no
// clock step moves) before it takes it for stale.
constexpr long long kUnwrittenWaitMs = 500;
constexpr long kUnwrittenPollNs = 20000000L;

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

// kUnwritten: a regular file that holds no process number (yet).
enum class LockState { kNone, kOurs, kLive, kStale, kUnwritten };

// What a lock file held when it was read: the file itself and its first
// bytes, so that a stale one is removed only if it is still that file.
struct LockRead {
    LockState state;
    dev_t dev;
    ino_t ino;
    char text[32];
    ssize_t length;
};

// The state letter (field 3) of a process or thread from its stat file
// (/proc/<pid>/stat, /proc/<pid>/task/<tid>/stat); false when it cannot be
// read.
bool StateLetter(const char* path, char* state) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[1024];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');  // the command name may hold anything
    return p != nullptr && std::sscanf(p + 1, " %c", state) == 1;
}

bool Ended(char state) { return state == 'Z' || state == 'X'; }

// Whether process `pid` lives. No clock has a say: a process lives while any
// of its threads does. A process that is gone has no number, a zombie whose
// every thread has ended holds nothing; a leader that ended on its own
// (pthread_exit) shows Z while its other threads go on and hold its files,
// so a zombie leader lives while one of /proc/<pid>/task/* has not ended.
// What cannot be looked at (a /proc that hides other users' processes)
// lives.
bool ProcessAlive(long pid) {
    if (kill(pid_t(pid), 0) != 0 && errno != EPERM) return false;
    char path[64], state = '\0';
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    if (!StateLetter(path, &state)) return kill(pid_t(pid), 0) == 0 || errno == EPERM;
    if (!Ended(state)) return true;
    std::snprintf(path, sizeof path, "/proc/%ld/task", pid);
    DIR* tasks = opendir(path);
    if (tasks == nullptr) return errno != ENOENT;
    bool alive = false;
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] < '0' || task->d_name[0] > '9') continue;
        char taskPath[128];
        std::snprintf(taskPath, sizeof taskPath, "/proc/%ld/task/%.20s/stat", pid, task->d_name);
        if (StateLetter(taskPath, &state) && !Ended(state)) {
            alive = true;
            break;
        }
    }
    closedir(tasks);
    return alive;
}

// Opens a file in a lock folder for reading without following a link and
// without waiting: only a regular file is opened at all (a FIFO or a device
// put under a lock's name is never opened), and the descriptor must be the
// file looked at. -1 with errno ENOENT when there is nothing, EINVAL when it
// is not a regular file.
int OpenLockFile(const char* path, struct stat& st) {
    struct stat named;
    if (lstat(path, &named) != 0) return -1;
    if (!S_ISREG(named.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != named.st_dev || st.st_ino != named.st_ino) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// The process number a lock's bytes hold: ten digits in ASCII, or a binary
// int from old programs; 0 when they hold none.
long LockPid(LockRead& lock) {
    long pid = 0;
    if (lock.length == 4 && (lock.text[0] < ' ' || lock.text[0] > '9')) {
        int binary;
        std::memcpy(&binary, lock.text, sizeof binary);
        pid = binary;
    } else if (lock.length > 0) {
        lock.text[lock.length] = '\0';
        pid = std::strtol(lock.text, nullptr, 10);
    }
    return pid > 0 && pid <= 0x7FFFFFFFL ? pid : 0;
}

// What the lock file at `path` says: the number of the process holding it
// (ten digits in ASCII, or a binary int from old programs). Anything there
// that is not a regular file (a link, a FIFO) cannot be read, and counts as
// a live lock of someone else's.
LockRead ReadLock(const char* path) {
    LockRead lock = {LockState::kLive, 0, 0, {}, 0};
    struct stat st;
    int fd = OpenLockFile(path, st);
    if (fd < 0) {
        if (errno == ENOENT) lock.state = LockState::kNone;
        return lock;
    }
    lock.length = read(fd, lock.text, sizeof lock.text - 1);
    close(fd);
    lock.dev = st.st_dev;
    lock.ino = st.st_ino;
    long pid = LockPid(lock);
    if (pid == 0) {
        lock.state = LockState::kUnwritten;
    } else if (pid_t(pid) == getpid()) {
        lock.state = LockState::kOurs;
    } else {
        lock.state = ProcessAlive(pid) ? LockState::kLive : LockState::kStale;
    }
    return lock;
}

// ReadLock for an open: a lock without a process number is read again for
// a while, and is stale only when it is still the same file without one.
LockRead ReadLockWaiting(const char* path) {
    LockRead lock = ReadLock(path);
    const long long until = MonotonicMs() + kUnwrittenWaitMs;
    while (lock.state == LockState::kUnwritten && MonotonicMs() < until) {
        const timespec pause = {0, kUnwrittenPollNs};
        nanosleep(&pause, nullptr);
        LockRead again = ReadLock(path);
        if (again.state != LockState::kUnwritten || again.dev != lock.dev || again.ino != lock.ino) return again;
    }
    if (lock.state == LockState::kUnwritten) lock.state = LockState::kStale;
    return lock;
}

// A name no one can foresee in the folder of `file`: "<folder>/LTMP." and
// twelve random letters and digits. False when it does not fit.
bool PrivateName(const char* file, char* out, size_t size) {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[12];
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != ssize_t(sizeof random)) {
        // No entropy to be had yet (early boot): the clock, the process and
        // a count, mixed.
        static unsigned long long count = 0;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        unsigned long long x = (unsigned long long)now.tv_nsec ^ ((unsigned long long)now.tv_sec << 30) ^
                               ((unsigned long long)getpid() << 17) ^ (++count * 0x9E3779B97F4A7C15ULL);
        for (unsigned char& r : random) {
            x ^= x >> 33;
            x *= 0xFF51AFD7ED558CCDULL;
            x ^= x >> 29;
            r = (unsigned char)x;
        }
    }
    const char* slash = std::strrchr(file, '/');
    int folder = slash != nullptr ? int(slash - file) : 0;
    char letters[sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i) letters[i] = kChars[random[i] % (sizeof kChars - 1)];
    letters[sizeof random] = '\0';
    return std::snprintf(out, size, "%.*s/LTMP.%s", folder, file, letters) < int(size);
}

// Renames `from` to `to` unless something is there already.
bool MoveWithoutReplacing(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system or kernel without the flag: a link, which never
    // replaces anything either, then the old name removed.
    if (link(from, to) != 0) return false;
    (void)unlink(from);
    return true;
}

// Whether the file open as `fd` is the lock that was read: the same file
// with the same bytes.
bool IsLockRead(int fd, const struct stat& st, const LockRead& read) {
    char text[sizeof read.text];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    return st.st_dev == read.dev && st.st_ino == read.ino && n == read.length &&
           (n <= 0 || std::memcmp(text, read.text, size_t(n)) == 0);
}

// Whether what is at `path` now is the lock that was read.
bool StillLockRead(const char* path, const LockRead& read) {
    struct stat st;
    int fd = OpenLockFile(path, st);
    if (fd < 0) return false;
    bool same = IsLockRead(fd, st, read);
    close(fd);
    return same;
}

// Where the lock folder cannot exchange two names: the stale lock `read` at
// `path` is moved aside to a private name, and removed only if what was
// moved is the file that was read, with the same bytes. Anything else is put
// back; should the name have been taken meanwhile, it stays under the
// private name: nothing is removed that was not read.
void RemoveStaleLock(const char* path, const LockRead& read) {
    char aside[PATH_MAX];
    if (!PrivateName(path, aside, sizeof aside) || !MoveWithoutReplacing(path, aside)) return;
    if (StillLockRead(aside, read) || !MoveWithoutReplacing(aside, path)) {
        if (StillLockRead(aside, read)) (void)unlink(aside);
    }
}

// Puts our lock, written to `temp`, in the place of the stale lock `read`
// at `lock`, in one step: the two names are exchanged (RENAME_EXCHANGE), so
// the lock's name is never empty and no third party can take it meanwhile.
// What is then under our private name is removed only if it is the file
// that was read, with the same bytes; anything else (a live lock that took
// the stale one's place between the read and the exchange) is exchanged
// back and stands as it was. 1: the lock is ours; 0: it is not (read it
// again); -1: the exchange back failed, what is under `temp` is not ours and
// stays there.
int ReplaceStaleLock(const char* lock, const char* temp, const LockRead& read) {
    if (renameat2(AT_FDCWD, temp, AT_FDCWD, lock, RENAME_EXCHANGE) != 0) {
        if (errno == EINVAL || errno == ENOSYS) RemoveStaleLock(lock, read);  // no exchange here
        return 0;
    }
    struct stat st;
    int fd = OpenLockFile(temp, st);
    bool same = fd >= 0 && IsLockRead(fd, st, read);
    if (fd >= 0) close(fd);
    if (same) {
        (void)unlink(temp);  // our private name: nothing else can be there now
        return 1;
    }
    return renameat2(AT_FDCWD, temp, AT_FDCWD, lock, RENAME_EXCHANGE) == 0 ? 0 : -1;
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

// A live lock of another process names the device, in any lock folder;
// `first` gets what the first folder holds. Stale ones stay: the first
// folder's is replaced by the session's own lock (TakeLock), one in another
// folder keeps no one out.
bool LockedElsewhere(const TtyIdentity& id, LockRead& first) {
    char paths[2][PATH_MAX];
    int count = LockPaths(id, paths);
    first = LockRead{LockState::kNone, 0, 0, {}, 0};
    for (int i = 0; i < count; ++i) {
        LockRead lock = ReadLockWaiting(paths[i]);
        if (i == 0) first = lock;
        if (lock.state == LockState::kLive) return true;
    }
    return false;
}

// The locks this process holds, for a signal that ends it: each path and
// file is written before its flag is set, and the flag cleared before the
// lock goes, so that the handler unlinks only whole paths of locks that are
// ours, and only while the name still is our file. Every step that makes,
// links, exchanges or removes a file in the lock folder runs with the
// signals held (HoldSignals), so that a signal finds either no file of ours
// or a lock noted here.
constexpr int kHeldLockSlots = 8;
struct HeldLock {
    char path[PATH_MAX];
    dev_t dev;
    ino_t ino;
};
HeldLock gHeldLocks[kHeldLockSlots];
volatile sig_atomic_t gHeldLockSet[kHeldLockSlots];

// Async-signal-safe: lstat and unlink only.
extern "C" void RemoveHeldLocks() {
    for (int i = 0; i < kHeldLockSlots; ++i) {
        struct stat st;
        if (gHeldLockSet[i] && lstat(gHeldLocks[i].path, &st) == 0 && st.st_dev == gHeldLocks[i].dev &&
            st.st_ino == gHeldLocks[i].ino) {
            (void)unlink(gHeldLocks[i].path);
        }
    }
}

// The ending signals are caught (console/hooks.h) from before the first
// file is made in a lock folder.
void CatchEndingSignals() {
    static bool catching = false;
    if (!catching) {
        ConsoleCatchEndingSignalsHook(RemoveHeldLocks);
        catching = true;
    }
}

// Every signal held, then let through as before (a signal that came
// meanwhile is delivered then, and finds the files in order). Plain calls,
// not an object's lifetime: the program has no exceptions, and so no
// unwinding to pay for.
void HoldSignals(sigset_t& old) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
}
void ReleaseSignals(const sigset_t& old) { sigprocmask(SIG_SETMASK, &old, nullptr); }

void NoteHeldLock(const char* lock, const struct stat& file) {
    for (int i = 0; i < kHeldLockSlots; ++i) {
        if (gHeldLockSet[i]) continue;
        std::strcpy(gHeldLocks[i].path, lock);
        gHeldLocks[i].dev = file.st_dev;
        gHeldLocks[i].ino = file.st_ino;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        gHeldLockSet[i] = 1;
        return;
    }
}

void ForgetHeldLock(const char* lock) {
    for (int i = 0; i < kHeldLockSlots; ++i) {
        if (gHeldLockSet[i] && std::strcmp(gHeldLocks[i].path, lock) == 0) gHeldLockSet[i] = 0;
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// A file of our own for the lock's contents, under a name no one can
// foresee, made new (never a file, FIFO or link someone put there) and
// checked once open to be a regular file of ours with no other name. -1
// when none can be made (a folder we may not write to).
int MakeTempLock(const char* lock, char* temp, struct stat& st) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!PrivateName(lock, temp, PATH_MAX)) return -1;
        int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1) {
            (void)fchmod(fd, 0644);  // readable by every program that checks locks, whatever the umask
            return fd;
        }
        close(fd);
        (void)unlink(temp);
        return -1;
    }
    return -1;
}

// Takes the lock in the first lock folder: the process number is written to
// a file of our own, which is then linked under the lock's name, so that no
// one ever reads a half-written lock of ours; a stale lock there is replaced
// by ours in one step (ReplaceStaleLock). `first` is what LockedElsewhere
// found there (a lock without a process number was watched for a while
// then). kRefused when another process holds it; kNoLock when no lock can
// be made here. From the first file made to the last removed, the signals
// are held.
enum class Take { kTaken, kOursAlready, kNoLock, kRefused };

Take TakeLockSignalsHeld(const char* lock, const LockRead& first, char* taken) {
    char temp[PATH_MAX];
    struct stat made;
    int fd = MakeTempLock(lock, temp, made);
    if (fd < 0) return Take::kNoLock;  // as with no folder
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", int(getpid()));
    bool written = write(fd, text, size_t(length)) == length;
    close(fd);
    Take result = Take::kNoLock;
    bool tempOurs = true;  // `temp` still names our file
    for (int attempt = 0; written && attempt < 3; ++attempt) {
        int placed = 0;
        if (link(temp, lock) == 0) {
            placed = 1;
        } else {
            if (errno != EEXIST) break;  // no lock here
            LockRead found = ReadLock(lock);
            if (found.state == LockState::kUnwritten && first.state == LockState::kStale && found.dev == first.dev &&
                found.ino == first.ino && found.length == first.length) {
                found.state = LockState::kStale;  // the one watched before: still without a number
            }
            if (found.state == LockState::kOurs) {
                result = Take::kOursAlready;
                break;
            }
            if (found.state != LockState::kStale) {
                result = Take::kRefused;
                break;
            }
            placed = ReplaceStaleLock(lock, temp, found);
            tempOurs = placed >= 0;
        }
        if (placed == 0) continue;
        struct stat linked;
        if (lstat(lock, &linked) == 0 && linked.st_dev == made.st_dev && linked.st_ino == made.st_ino) {
            std::strcpy(taken, lock);
            NoteHeldLock(lock, linked);
            result = Take::kTaken;
        } else {
            result = Take::kRefused;  // not ours after all
        }
        break;
    }
    if (tempOurs) (void)unlink(temp);
    return result;
}

Take TakeLock(const TtyIdentity& id, const LockRead& first, char* taken) {
    taken[0] = '\0';
    char paths[2][PATH_MAX];
    if (LockPaths(id, paths) == 0) return Take::kNoLock;
    CatchEndingSignals();
    sigset_t old;
    HoldSignals(old);
    Take result = TakeLockSignalsHeld(paths[0], first, taken);
    ReleaseSignals(old);
    return result;
}

void DropLock(char* lock) {
    if (lock[0] != '\0') {
        sigset_t old;
        HoldSignals(old);
        ForgetHeldLock(lock);
        if (ReadLock(lock).state == LockState::kOurs) (void)unlink(lock);
        ReleaseSignals(old);
    }
    lock[0] = '\0';
}

// Calls `seen(st)` for each character device the process whose
// /proc/<pid>/fd folder is open as `fdDir` holds, until it returns true;
// `any` tells whether the folder listed anything at all. Each descriptor is
// looked at with one stat through its link (pipes, sockets and other
// anonymous files are no character devices); the folder is read straight
// into a buffer on the stack.
template <typename Seen>
bool EachDeviceHeld(int fdDir, bool& any, Seen seen) {
    alignas(8) char buffer[8192];
    for (;;) {
        ssize_t got = getdents64(fdDir, buffer, sizeof buffer);
        if (got <= 0) return false;
        for (ssize_t at = 0; at < got;) {
            const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (entry->d_name[0] == '.') continue;
            any = true;
            struct stat st;
            if (fstatat(fdDir, entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) && seen(st)) return true;
        }
    }
}

// The same for a process whose own fd folder listed nothing: a leader that
// ended (pthread_exit) while its other threads go on shows no files of its
// own, but each of them shows the files in /proc/<pid>/task/<tid>/fd. The
// threads are looked at until one lists any. A process of one thread (a
// kernel thread: they list nothing) costs a stat: /proc gives its task
// folder 2 links and one for each thread.
template <typename Seen>
bool EachDeviceHeldByThreads(int procDir, long pid, Seen seen) {
    char path[64];
    std::snprintf(path, sizeof path, "%ld/task", pid);
    struct stat taskDir;
    if (fstatat(procDir, path, &taskDir, 0) != 0 || taskDir.st_nlink == 3) return false;
    int taskFd = openat(procDir, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (taskFd < 0) return false;
    DIR* tasks = fdopendir(taskFd);
    if (tasks == nullptr) {
        close(taskFd);
        return false;
    }
    bool done = false, any = false;
    while (!done && !any) {
        dirent* task = readdir(tasks);
        if (task == nullptr) break;
        char* end = nullptr;
        long tid = std::strtol(task->d_name, &end, 10);
        if (end == task->d_name || *end != '\0' || tid == pid) continue;
        char fdPath[64];
        std::snprintf(fdPath, sizeof fdPath, "%ld/fd", tid);
        int fdDir = openat(taskFd, fdPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0) continue;
        done = EachDeviceHeld(fdDir, any, seen);
        close(fdDir);
    }
    closedir(tasks);
    return done;
}

// Calls `seen(pid, st)` for each character device held by every process in
// `procPath` but this one (and, for an open, the one that started it: a port
// it holds, it has handed over), until it returns true; counts in `hidden`
// those whose descriptors the system would not show. A zombie whose threads
// have all ended has closed its files: its list is empty, so it costs no
// more than the listing and a look at its task folder.
template <typename Seen>
void EachDeviceOfOthers(const char* procPath, bool skipParent, int& hidden, Seen seen) {
    DIR* proc = opendir(procPath);
    if (proc == nullptr) return;
    const pid_t self = getpid(), parent = skipParent ? getppid() : self;
    while (dirent* process = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(process->d_name, &end, 10);
        if (end == process->d_name || *end != '\0' || pid == self || pid == parent) continue;
        char dir[64];
        std::snprintf(dir, sizeof dir, "%ld/fd", pid);
        int fdDir = openat(dirfd(proc), dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0) {
            hidden += errno == EACCES;  // else gone
            continue;
        }
        auto seenHere = [&](const struct stat& st) { return seen(pid, st); };
        bool any = false;
        bool done = EachDeviceHeld(fdDir, any, seenHere);
        close(fdDir);
        if (!done && !any) done = EachDeviceHeldByThreads(dirfd(proc), pid, seenHere);
        if (done) break;
    }
    closedir(proc);
}

// Another process (the one that started this one aside) holds the device
// open; the look ends at the first holder.
bool HeldElsewhere(const TtyIdentity& id) {
    int hidden = 0;
    bool held = false;
    EachDeviceOfOthers("/proc", true, hidden, [&](long, const struct stat& st) {
        held = SameDevice(st.st_dev, st.st_rdev, id.fsDev, id.rdev);
        return held;
    });
    return held;
}

// A device found held is looked for again only after this long: until then
// the same device counts as still held (the look through /proc is what a
// check costs on a busy machine).
constexpr long long kHeldRescanMs = 1000;

bool StillHeld(const TtyClaim& claim) {
    return claim.heldSeenMs != 0 && MonotonicMs() - claim.heldSeenMs < kHeldRescanMs &&
           claim.heldIno == claim.checking.ino && SameDevice(claim.heldFsDev, claim.heldRdev, claim.checking.fsDev,
                                                              claim.checking.rdev);
}

}  // namespace

bool TtyClaimBeforeOpen(const char* path, TtyClaim& claim) {
    claim.lockTaken = false;
    claim.pending = false;
    claim.unlocked = false;
    if (!IdentityOf(path, claim.checking)) return FailWith(ERROR_FILE_NOT_FOUND);
    if (claim.opened.valid && !IdentityMayBeSame(claim.opened, claim.checking)) return FailWith(ERROR_FILE_NOT_FOUND);
    if (claim.checking.rdev == 0) return true;  // no device: the open finds it is no tty
    LockRead first = {LockState::kNone, 0, 0, {}, 0};
    if (IsOwnTerminal(claim.checking) || LockedElsewhere(claim.checking, first)) return FailWith(ERROR_ACCESS_DENIED);
    if (StillHeld(claim)) return FailWith(ERROR_ACCESS_DENIED);
    claim.heldSeenMs = 0;
    if (HeldElsewhere(claim.checking)) {
        claim.heldSeenMs = MonotonicMs();
        claim.heldFsDev = claim.checking.fsDev;
        claim.heldRdev = claim.checking.rdev;
        claim.heldIno = claim.checking.ino;
        return FailWith(ERROR_ACCESS_DENIED);
    }
    // The lock before the open: a port someone locks in the meantime is
    // refused here, never opened (an open raises DTR), not even briefly.
    char taken[PATH_MAX];
    Take take = TakeLock(claim.checking, first, taken);
    if (take == Take::kRefused) return FailWith(ERROR_ACCESS_DENIED);
    claim.unlocked = take == Take::kNoLock;
    if (take == Take::kTaken && std::strcmp(taken, claim.lockFile) != 0) {
        DropLock(claim.lockFile);  // the lock of a name the device had before its loss
        std::strcpy(claim.lockFile, taken);
        claim.lockTaken = true;
    }
    return true;
}

bool TtyClaimOpened(int fd, TtyClaim& claim) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != claim.checking.fsDev || st.st_ino != claim.checking.ino) {
        return FailWith(ERROR_FILE_NOT_FOUND);  // the name changed between the check and the open
    }
    // The identity of the open is kept; the one before it waits in
    // `checking` until the open has either gone through or been undone.
    TtyIdentity previous = claim.opened;
    claim.opened = claim.checking;
    claim.checking = previous;
    claim.pending = true;
    return true;
}

bool TtyIsOwnTerminal(const TtyIdentity& id) { return IsOwnTerminal(id); }

void TtyClaimCompleted(const TtyClaim& claim) {
    static bool told = false;
    if (!claim.unlocked || told) return;
    told = true;
    char line[PATH_MAX + 96];
    std::snprintf(line, sizeof line, "No lock file could be made for %.160s: other programs will not see the port in use.",
                  claim.opened.target);
    ConsoleNoticeHook(line);
}

void TtyClaimUndo(TtyClaim& claim) {
    if (claim.lockTaken) DropLock(claim.lockFile);
    claim.lockTaken = false;
    if (!claim.pending) return;
    claim.pending = false;
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
        LockRead lock = ReadLock(path);
        if (lock.state == LockState::kNone || lock.state == LockState::kOurs) continue;
        holder.lockPid = LockPid(lock);
        holder.lockLive = lock.state == LockState::kLive || lock.state == LockState::kUnwritten;
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
    int left = 0, hidden = 0;
    for (int i = 0; i < count; ++i) left += ids[i].valid && ids[i].rdev != 0;
    if (left == 0) return 0;
    EachDeviceOfOthers(procPath, false, hidden, [&](long pid, const struct stat& st) {
        for (int i = 0; i < count; ++i) {
            if (holders[i].openBy != 0 || !ids[i].valid || ids[i].rdev == 0) continue;
            if (!SameDevice(st.st_dev, st.st_rdev, ids[i].fsDev, ids[i].rdev)) continue;
            holders[i].openBy = pid;
            --left;
        }
        return left == 0;
    });
    return hidden;
}
