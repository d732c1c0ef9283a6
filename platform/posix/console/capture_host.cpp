// The session capture's log file and clock on POSIX: a descriptor opened for
// appending, created with mode 0666 less the umask; local time from the
// real-time clock through localtime_r, looked up once a second.
//
// A regular file is written in full, each write waiting until done however
// slow the disk. Anything else (a FIFO, a socket's reader, a terminal) is
// written without waiting: what it does not take at once is kept, up to
// kLogBacklog bytes, and offered again with the next write; a log that falls
// further behind than that has failed (EAGAIN), and so has one whose reader
// has gone (EPIPE), without a SIGPIPE ending the session.
#include "../../capture_host.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

int gLogFd = -1;
bool gLogWaits = true;  // a regular file: each write waits until done

// What a log that does not wait has not taken yet. Touched by a signal
// handler's write too; the capture lets one write in at a time.
constexpr size_t kLogBacklog = 131072;
char gBacklog[kLogBacklog];
size_t gBacklogUsed = 0;
size_t gBacklogDone = 0;

// How long the end of the session waits for a log that does not wait to
// take what is kept for it.
constexpr int kFinishWaitMs = 1000;

time_t gCachedSecond = -1;  // the second gCachedTime describes
struct tm gCachedTime;

// One write that does not wait, with SIGPIPE held back: a reader gone is
// EPIPE here, and the signal it raised is discarded. Async-signal-safe.
ssize_t WriteNoSigpipe(const char* data, size_t length) {
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe, &old);
    ssize_t n = write(gLogFd, data, length);
    int err = errno;
    sigset_t pending;
    if (n < 0 && err == EPIPE && !sigismember(&old, SIGPIPE) && sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE)) {
        struct sigaction ignore, was;
        memset(&ignore, 0, sizeof ignore);
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &was);  // ignoring a signal discards it while pending
        sigaction(SIGPIPE, &was, nullptr);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

// Writes data[sent..length) until all is taken or the log would wait,
// moving `sent` on; false with `error` set when the log failed.
bool Offer(const char* data, size_t length, size_t& sent, unsigned long* error) {
    while (sent < length) {
        ssize_t n = WriteNoSigpipe(data + sent, length - sent);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            *error = n < 0 ? (unsigned long)errno : (unsigned long)ENOSPC;
            return false;
        }
    }
    return true;
}

// Offers the kept bytes again; false with `error` set when the log failed.
bool DrainBacklog(unsigned long* error) {
    if (!Offer(gBacklog, gBacklogUsed, gBacklogDone, error)) return false;
    if (gBacklogDone == gBacklogUsed) gBacklogUsed = gBacklogDone = 0;
    return true;
}

// A log that does not wait: the kept bytes first, then as much of `data` as
// it takes, the rest kept. Returns `length` (all taken, or kept), or 0 with
// `error` set.
size_t WriteWithoutWaiting(const char* data, size_t length, unsigned long* error) {
    if (!DrainBacklog(error)) return 0;
    size_t sent = 0;
    if (gBacklogUsed == 0 && !Offer(data, length, sent, error)) return 0;
    size_t rest = length - sent;
    if (rest == 0) return length;
    if (gBacklogDone > 0) {  // move what is left to the front
        memmove(gBacklog, gBacklog + gBacklogDone, gBacklogUsed - gBacklogDone);
        gBacklogUsed -= gBacklogDone;
        gBacklogDone = 0;
    }
    if (rest > kLogBacklog - gBacklogUsed) {
        *error = (unsigned long)EAGAIN;  // the reader is too far behind
        return 0;
    }
    memcpy(gBacklog + gBacklogUsed, data + sent, rest);
    gBacklogUsed += rest;
    return length;
}

}  // namespace

// Opened without waiting (a FIFO with no reader fails at once instead of
// hanging); a regular file is then written to as any file, each write
// waiting until done.
bool HostOpenLog(const char* path, unsigned long* error) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        *error = (unsigned long)errno;
        return false;
    }
    struct stat st;
    gLogWaits = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    int flags = fcntl(fd, F_GETFL);
    if (gLogWaits && flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    gLogFd = fd;
    return true;
}

size_t HostWriteLog(const char* data, size_t length, unsigned long* error) {
    if (!gLogWaits) return WriteWithoutWaiting(data, length, error);
    for (;;) {
        ssize_t n = write(gLogFd, data, length);
        if (n > 0) return size_t(n);
        if (n < 0 && errno == EINTR) continue;
        *error = n < 0 ? (unsigned long)errno : (unsigned long)ENOSPC;  // a write of nothing: no room
        return 0;
    }
}

bool HostFinishLog(unsigned long* error) {
    if (gLogFd < 0 || gLogWaits) return true;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (!DrainBacklog(error)) return false;
        if (gBacklogUsed == 0) return true;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long waited = long((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        if (waited >= kFinishWaitMs) break;
        pollfd p = {gLogFd, POLLOUT, 0};
        if (poll(&p, 1, int(kFinishWaitMs - waited)) < 0 && errno != EINTR) break;
    }
    *error = (unsigned long)EAGAIN;
    return false;
}

void HostCloseLog() {
    if (gLogFd >= 0) close(gLogFd);
    gLogFd = -1;
    gBacklogUsed = 0;
    gBacklogDone = 0;
}

void HostErrorText(unsigned long error, char* text, size_t size) {
    if (size == 0) return;
    const char* s = strerror(int(error));
    strncpy(text, s != nullptr ? s : "unknown error", size - 1);
    text[size - 1] = '\0';
}

void HostLocalTime(LocalTime* now) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != gCachedSecond) {
        if (localtime_r(&ts.tv_sec, &gCachedTime) == nullptr) memset(&gCachedTime, 0, sizeof gCachedTime);
        gCachedSecond = ts.tv_sec;
    }
    now->year = gCachedTime.tm_year + 1900;
    now->month = gCachedTime.tm_mon + 1;
    now->day = gCachedTime.tm_mday;
    now->hour = gCachedTime.tm_hour;
    now->minute = gCachedTime.tm_min;
    now->second = gCachedTime.tm_sec;
    now->millisecond = int(ts.tv_nsec / 1000000);
}
