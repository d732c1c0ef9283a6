/* The preload side of the fake-modem-lines test instrument: answers the
 * modem ioctls of one pty slave from the shared state file named by
 * $FAKE_MODEM_LINES, as the kind of port recorded there would. Every other
 * ioctl, and every ioctl when the variable or the file is missing, goes to
 * the kernel. The control interface and the kinds are described in
 * fake_modem_lines.h. Loaded only by tests and the benchmark (LD_PRELOAD). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "fake_modem_lines.h"

typedef int (*IoctlFn)(int, unsigned long, ...);

static IoctlFn realIoctl;
#if defined(__i386__) && defined(__GLIBC__)
static IoctlFn realIoctlTime64;
#endif
static volatile struct FakeModemLinesState* state;
static pthread_once_t once = PTHREAD_ONCE_INIT;

static void Load(void) {
    realIoctl = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
#if defined(__i386__) && defined(__GLIBC__)
    realIoctlTime64 = (IoctlFn)dlsym(RTLD_NEXT, "__ioctl_time64");
#endif
    const char* path = getenv(FAKE_MODEM_LINES_ENV);
    if (path == NULL || path[0] == '\0') return;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void* map = mmap(NULL, sizeof(struct FakeModemLinesState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map != MAP_FAILED) state = (volatile struct FakeModemLinesState*)map;
}

static long long NowNs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* A device round trip: sleeps the query cost, interruptions included. */
static void Cost(void) {
    unsigned us = state->query_us;
    if (us == 0) return;
    struct timespec left = {(time_t)(us / 1000000u), (long)(us % 1000000u) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static int Fail(int err) {
    errno = err;
    return -1;
}

/* The modem counters the kernel driver of this kind would report. */
static void Counters(struct serial_icounter_struct* c) {
    unsigned kind = state->kind;
    unsigned moves[4];
    for (int i = 0; i < 4; ++i) moves[i] = state->rise[i] + state->fall[i];
    memset(c, 0, sizeof *c);
    if (kind == FAKE_MODEM_CP210X || kind == FAKE_MODEM_PL2303) return;
    c->cts = kind == FAKE_MODEM_CDC_ACM ? 0 : (int)moves[FAKE_LINE_CTS];
    c->dsr = (int)moves[FAKE_LINE_DSR];
    c->rng = kind == FAKE_MODEM_8250 ? (int)state->fall[FAKE_LINE_RI] : (int)moves[FAKE_LINE_RI];
    c->dcd = (int)moves[FAKE_LINE_DCD];
    c->frame = (int)state->rx_frame;
    c->parity = (int)state->rx_parity;
    c->brk = (int)state->rx_brk;
    c->overrun = (int)state->rx_overrun;
    c->buf_overrun = (int)state->rx_buf_overrun;
}

static unsigned InputLines(void) {
    unsigned lines = state->lines & (TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD);
    if (state->kind == FAKE_MODEM_CDC_ACM) lines |= TIOCM_CTS;
    return lines;
}

/* Waits, as TIOCMIWAIT does, until a line in `mask` has moved by the
 * kind's counters. */
static int WaitForChange(unsigned long mask) {
    struct serial_icounter_struct start, now;
    Counters(&start);
    for (;;) {
        if (state->unplugged) return Fail(EIO);
        Counters(&now);
        if (((mask & TIOCM_CTS) && now.cts != start.cts) || ((mask & TIOCM_DSR) && now.dsr != start.dsr) ||
            ((mask & TIOCM_RNG) && now.rng != start.rng) || ((mask & TIOCM_CD) && now.dcd != start.dcd)) {
            return 0;
        }
        struct timespec tick = {0, 1000000L};
        if (nanosleep(&tick, NULL) != 0 && errno == EINTR) return Fail(EINTR);
    }
}

static int TakenOver(int fd, unsigned long request) {
    switch (request) {
        case TIOCMGET: case TIOCMBIS: case TIOCMBIC: case TIOCMSET: case TIOCGICOUNT:
        case TIOCMIWAIT: case TIOCSBRK: case TIOCCBRK:
        case TCSETS: case TCSETSW: case TCSETSF: case TCSETS2: case TCSETSW2: case TCSETSF2:
        case TCGETS: case TCGETS2:
            break;
        default:
            return 0;
    }
    if (state == NULL || state->magic != FAKE_MODEM_LINES_MAGIC) return 0;
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == (dev_t)state->rdev;
}

static int Answer(unsigned long request, void* arg) {
    if (state->unplugged) return Fail(EIO);
    unsigned kind = state->kind;
    switch (request) {
        case TIOCMGET: {
            long long t0 = NowNs();
            Cost();
            if (state->unplugged) return Fail(EIO);
            *(int*)arg = (int)(InputLines() | (state->outputs & (TIOCM_DTR | TIOCM_RTS)));
            __atomic_add_fetch(&state->mget_calls, 1, __ATOMIC_RELAXED);
            __atomic_add_fetch(&state->mget_ns, (uint64_t)(NowNs() - t0), __ATOMIC_RELAXED);
            return 0;
        }
        case TIOCMBIS: case TIOCMBIC: case TIOCMSET: {
            unsigned bits = (unsigned)*(const int*)arg & (TIOCM_DTR | TIOCM_RTS);
            Cost();
            __atomic_add_fetch(&state->set_calls, 1, __ATOMIC_RELAXED);
            if (request == TIOCMBIS) __atomic_or_fetch(&state->outputs, bits, __ATOMIC_SEQ_CST);
            else if (request == TIOCMBIC) __atomic_and_fetch(&state->outputs, ~bits, __ATOMIC_SEQ_CST);
            else state->outputs = bits;
            return 0;
        }
        case TIOCSBRK: case TIOCCBRK:
            Cost();
            __atomic_add_fetch(&state->set_calls, 1, __ATOMIC_RELAXED);
            state->brk = request == TIOCSBRK;
            return 0;
        case TIOCGICOUNT:
            __atomic_add_fetch(&state->icount_calls, 1, __ATOMIC_RELAXED);
            if (kind == FAKE_MODEM_PL2303) return Fail(ENOTTY);
            Counters((struct serial_icounter_struct*)arg);
            return 0;
        case TIOCMIWAIT:
            __atomic_add_fetch(&state->miwait_calls, 1, __ATOMIC_RELAXED);
            if (kind == FAKE_MODEM_CP210X) return Fail(ENOTTY);
            return WaitForChange((unsigned long)arg);
        default:
            return Fail(ENOTTY);
    }
}

/* The termios calls: the program's PARMRK is kept in `iflag` and left out
 * of the pty, which then passes the marks the test writes unchanged (and
 * doubles no \377 itself); a TCGETS* shows it set again. c_iflag comes
 * first in both termios layouts. */
static int Termios(int fd, unsigned long request, void* arg) {
    if (request == TCGETS || request == TCGETS2) {
        int rc = realIoctl(fd, request, arg);
        if (rc == 0 && (state->iflag & PARMRK)) *(tcflag_t*)arg |= PARMRK;
        return rc;
    }
    struct termios2 copy;
    memcpy(&copy, arg, request == TCSETS || request == TCSETSW || request == TCSETSF ? sizeof(struct termios)
                                                                                     : sizeof(struct termios2));
    state->iflag = copy.c_iflag;
    copy.c_iflag &= ~(tcflag_t)PARMRK;
    return realIoctl(fd, request, &copy);
}

/* One ioctl taken over (the kernel's own for these requests is the same
 * call whichever entry point the program used). */
static int TakeOver(int fd, unsigned long request, void* arg) {
    if (request >= TCGETS && request <= TCSETSF) return Termios(fd, request, arg);
    if (request == TCGETS2 || request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2)
        return Termios(fd, request, arg);
    return Answer(request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    pthread_once(&once, Load);
    if (realIoctl == NULL) return Fail(ENOSYS);
    if (!TakenOver(fd, request)) return realIoctl(fd, request, arg);
    return TakeOver(fd, request, arg);
}

#if defined(__i386__) && defined(__GLIBC__)
/* 32-bit code built with a 64-bit time_t (the i386 wine that runs the 32-bit
 * Windows build among it) calls this entry point instead of ioctl(). */
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    pthread_once(&once, Load);
    if (realIoctlTime64 == NULL || realIoctl == NULL) return Fail(ENOSYS);
    if (!TakenOver(fd, request)) return realIoctlTime64(fd, request, arg);
    return TakeOver(fd, request, arg);
}
#endif
