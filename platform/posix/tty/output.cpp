// Sending on a tty: bytes written without blocking, with poll waiting for
// room, and keys gathered into few writes (tty/output.h).
#include "output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../console/hooks.h"

namespace {

// Waits for room on `fd` until `deadlineMs` (-1: no limit). Returns the
// events that occurred, 0 on time-out, -1 with errno set.
int WaitForRoom(int fd, long long deadlineMs) {
    for (;;) {
        long wait = -1;
        if (deadlineMs >= 0) {
            long long left = deadlineMs - MonotonicMs();
            wait = left > 0 ? (left > 0x7FFFFFFFLL ? 0x7FFFFFFFL : long(left)) : 0;
        }
        pollfd p = {fd, POLLOUT, 0};
        int rc = poll(&p, 1, int(wait));
        if (rc > 0) return p.revents;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

DWORD TtySend(int fd, const unsigned char* bytes, DWORD length, long long deadlineMs, int& err) {
    DWORD sent = 0;
    err = 0;
    while (sent < length) {
        ssize_t n = write(fd, bytes + sent, length - sent);
        if (n > 0) {
            sent += DWORD(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            err = errno;
            break;
        }
        if (deadlineMs == kNoWait) break;  // what the device takes at once
        // Output queue full: wait for room. An error condition wakes the
        // wait too; the next write then reports it.
        ConsoleFlushHook();
        int revents = WaitForRoom(fd, deadlineMs);
        if (revents < 0) {
            err = errno;
            break;
        }
        if (revents == 0) break;  // time-out
    }
    return sent;
}

bool TtyGathers(TtyOutput& out, DWORD length) {
    long long now = MonotonicNs();
    bool recent = now - out.lastNs < kGatherNs;
    out.lastNs = now;
    return (out.count != 0 || recent) && length <= kGatherBytes - out.count;
}

bool TtyGather(TtyOutput& out, const unsigned char* bytes, DWORD length) {
    if (length > kGatherBytes - out.count) length = kGatherBytes - out.count;
    if (out.count == 0) out.sinceNs = out.lastNs;  // TtyGathers has just read the clock
    std::memcpy(out.bytes + out.count, bytes, length);
    out.count += length;
    return out.count == kGatherBytes || out.lastNs - out.sinceNs >= kGatherNs;
}

bool TtyGatheredDue(const TtyOutput& out) {
    return out.count != 0 && MonotonicNs() - out.sinceNs >= kGatherNs;
}

int TtyFlushGathered(TtyOutput& out, int fd, const COMMTIMEOUTS& timeouts, bool wait) {
    if (out.count == 0) return 0;
    long long deadline = kNoWait;
    if (wait) {
        long total = WriteTotalTimeoutMs(timeouts, out.count);
        deadline = total < 0 ? -1 : MonotonicMs() + total;
    }
    int err = 0;
    DWORD sent = TtySend(fd, out.bytes, out.count, deadline, err);
    if (err != 0) {
        out.count = 0;
        return err;
    }
    // What the device did not take in time stays gathered, oldest first.
    std::memmove(out.bytes, out.bytes + sent, out.count - sent);
    out.count -= sent;
    if (out.count != 0 && sent != 0) out.sinceNs = MonotonicNs();
    return 0;
}
