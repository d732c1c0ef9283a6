// The tty provider's reconnection: a lost device is closed at once and its
// name opened again, at most every kRetryMs, until it is back; the provider
// then gives it the settings and output conditions kept here (see
// tty/reconnect.h).
#include "reconnect.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <asm/termbits.h>

#include <cerrno>
#include <cstring>

#include "device.h"

namespace {

// Major numbers of the Unix 98 pty slaves (/dev/pts/N).
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

bool IsPtySlaveNode(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned m = major(st.st_rdev);
    return m >= kPtySlaveMajorFirst && m <= kPtySlaveMajorLast;
}

}  // namespace

void ReconnectStart(TtyReconnect& r, const char* path) {
    std::memset(&r, 0, sizeof r);
    size_t length = std::strlen(path);
    if (length < sizeof r.path && !IsPtySlaveNode(path)) std::memcpy(r.path, path, length + 1);
    r.dtr = true;
    r.rts = true;
}

bool DeviceGoneError(int err) { return err == EIO || err == ENODEV || err == ENXIO || err == ENOENT; }

void ReconnectLost(TtyReconnect& r, int& fd) {
    if (fd >= 0) {
        // Nothing queued can go out any more; dropping it keeps close() from
        // waiting for a drain on a device that is still half there.
        (void)ioctl(fd, TCFLSH, TCOFLUSH);
        (void)close(fd);  // the lock goes with it
        fd = -1;
    }
    TtyClaimLost(r.claim);
    r.gone = true;
    r.nextTryMs = MonotonicMs();
}

long ReconnectDueInMs(const TtyReconnect& r) {
    if (r.path[0] == '\0') return -1;
    long long left = r.nextTryMs - MonotonicMs();
    return left > 0 ? long(left) : 0;
}

bool ReconnectTry(TtyReconnect& r, int& fd) {
    if (!r.gone || fd >= 0) return false;
    if (r.path[0] == '\0' || ReconnectDueInMs(r) > 0) return false;
    r.nextTryMs = MonotonicMs() + kRetryMs;
    int opened = TtyOpenDevice(r.path, r.claim);
    if (opened < 0) return false;  // not there, not a tty, or held elsewhere
    fd = opened;
    r.gone = false;
    return true;
}

void ReconnectFailed(TtyReconnect& r, int& fd) {
    ReconnectLost(r, fd);
    r.nextTryMs = MonotonicMs() + kRetryMs;
}

void ReconnectNoteSettings(TtyReconnect& r, const DCB& dcb) {
    r.haveSettings = true;
    r.settings = dcb;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) r.dtr = true;
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE) r.dtr = false;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) r.rts = true;
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) r.rts = false;
}

void ReconnectNoteEscape(TtyReconnect& r, DWORD func) {
    switch (func) {
        case SETDTR: r.dtr = true; break;
        case CLRDTR: r.dtr = false; break;
        case SETRTS: r.rts = true; break;
        case CLRRTS: r.rts = false; break;
        case SETBREAK: r.brk = true; break;
        case CLRBREAK: r.brk = false; break;
        default: break;
    }
}
