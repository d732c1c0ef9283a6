// The session capture's log file and clock on POSIX: a descriptor opened for
// appending, created with mode 0666 less the umask; local time from the
// real-time clock through localtime_r, looked up once a second.
#include "../../capture_host.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

int gLogFd = -1;

time_t gCachedSecond = -1;  // the second gCachedTime describes
struct tm gCachedTime;

}  // namespace

// Opened without waiting (a FIFO with no reader fails at once instead of
// hanging), then written to as any file: each write waits until done.
bool HostOpenLog(const char* path, unsigned long* error) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        *error = (unsigned long)errno;
        return false;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    gLogFd = fd;
    return true;
}

size_t HostWriteLog(const char* data, size_t length, unsigned long* error) {
    for (;;) {
        ssize_t n = write(gLogFd, data, length);
        if (n > 0) return size_t(n);
        if (n < 0 && errno == EINTR) continue;
        *error = n < 0 ? (unsigned long)errno : (unsigned long)ENOSPC;  // a write of nothing: no room
        return 0;
    }
}

void HostCloseLog() {
    if (gLogFd >= 0) close(gLogFd);
    gLogFd = -1;
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
