// Opening a tty device node as CreateFileA opens a port: read and write,
// non-blocking, never as a controlling terminal, and exclusively.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asm/termbits.h>

#include <cerrno>

#include "device.h"

// A path that is not a tty names no serial port: ERROR_FILE_NOT_FOUND, as
// for a port that does not exist. So does EIO from open(), which is what the
// kernel gives for a serial device node with no hardware behind it and for a
// pty slave that is still locked.
int TtyOpenDevice(const char* path, TtyClaim& claim) {
    if (!TtyClaimBeforeOpen(path, claim)) return -1;  // not ours to open: nothing done to it
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int openErrno = errno;
        TtyClaimUndo(claim);  // the lock taken for it
        errno = openErrno;
        if (errno == EIO) FailWith(ERROR_FILE_NOT_FOUND);
        else FailErrno(errno);
        return -1;
    }
    // Share mode 0: the lock keeps out every other open of this device that
    // locks too (other processes, other opens in this one), TIOCEXCL every
    // further open by unprivileged processes.
    int err = 0;
    DWORD error = ERROR_SUCCESS;
    termios2 t;
    if (!isatty(fd)) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (!TtyClaimOpened(fd, claim)) {
        error = GetLastError();
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno;
    } else if (ioctl(fd, TIOCEXCL) != 0 || ioctl(fd, TCGETS2, &t) != 0) {
        err = errno;
    } else {
        // No carrier is needed for the port to work.
        t.c_cflag |= CLOCAL | CREAD;
        if (ioctl(fd, TCSETS2, &t) != 0) err = errno;
    }
    if (err != 0 || error != ERROR_SUCCESS) {
        TtyClaimUndo(claim);
        close(fd);  // also drops the lock
        if (err != 0) FailErrno(err);
        else FailWith(error);
        return -1;
    }
    TtyClaimCompleted(claim);
    return fd;
}

