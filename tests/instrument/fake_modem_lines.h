/* A test instrument: a pseudo-terminal slave that behaves like a serial port
 * with modem lines, for the tests and the benchmark only (never part of the
 * program). The kernel gives ptys no modem lines; the preload library
 * fake_modem_lines_preload.so takes over the modem ioctls for one pty slave
 * and answers them from a small shared state file that the test controls.
 *
 * How to use it
 *   1. Make a pty pair; fstat the slave for its st_rdev.
 *   2. Create the state file (FakeModemLinesCreate below, or fake_modem_lines.py)
 *      with that rdev, the kind of port and the lines as they start.
 *   3. Start the program with, in its environment,
 *        LD_PRELOAD=<path of fake_modem_lines_preload.so>
 *        FAKE_MODEM_LINES=<path of the state file>
 *      Every process that opens the slave sees the same lines (wine too).
 *   4. Move the input lines (FakeModemLinesSet), pull the plug
 *      (`unplugged` = 1), read the output lines the program drove
 *      (`outputs`, `brk`) and the query statistics, at any time.
 *   5. Receive errors, as a UART and n_tty would queue them under the
 *      termios the program set (FakeUartReceive below): the test writes the
 *      bytes it returns to the master; the counters move first, as a UART's
 *      interrupt counts before the bytes reach the line discipline.
 *   6. A replug on a new pty: store the new slave's rdev (the library
 *      compares it at every ioctl, so the next open of that slave is the
 *      device), `outputs` as a fresh device has them, then `unplugged` = 0
 *      (fake_modem_lines.py: plug_in).
 *
 * Ioctls taken over on the one device whose st_rdev is `rdev` (every other
 * descriptor goes to the kernel unchanged): TIOCMGET, TIOCMBIS, TIOCMBIC,
 * TIOCMSET, TIOCGICOUNT, TIOCMIWAIT, TIOCSBRK, TIOCCBRK; and the termios
 * calls (TCSETS*, TCGETS*), only to keep the PARMRK the program asks for in
 * `iflag` and out of the pty (so that the test's marks pass unchanged; a
 * TCGETS shows it set again). While `unplugged`
 * is non-zero every one of them fails with EIO (as a USB adapter that is
 * gone); data still flows through the pty, whose own hang-up the test can
 * add by closing the master.
 *
 * Kinds, after the Linux drivers they stand for:
 *   kind             TIOCMGET                TIOCGICOUNT (modem counters)       TIOCMIWAIT
 *   8250             cheap                   CTS, DSR, DCD each change;         yes
 *                                            RI on its trailing edge only
 *   ftdi_sio         costs query_us (2 ms)   every change of the four           yes
 *   cp210x           costs query_us (2 ms)   answers, counters never move       ENOTTY
 *   pl2303 / ch341   cheap                   ENOTTY                             yes
 *   cdc-acm          cheap; CTS always on    DSR, RI, DCD each change; CTS 0    yes
 * `query_us` is what TIOCMGET, TIOCMBIS/BIC/SET and TIOCSBRK/CBRK cost in
 * time (a sleep, as a USB control transfer blocks); FakeModemLinesCreate
 * sets it per kind and the test may change it. TIOCGICOUNT and TIOCMIWAIT
 * cost nothing extra.
 *
 * Receive-error counters (rx_frame .. rx_buf_overrun) are
 * reported by every kind that answers TIOCGICOUNT.
 *
 * Layout: one block of 192 bytes at the start of the file, native byte
 * order, every field naturally aligned; fake_modem_lines.py has the same
 * offsets for Python. The test writes the fields marked (test); the library
 * writes those marked (lib). Moving a line: count its edge in rise[] or
 * fall[] first, then store `lines` (FakeModemLinesSet does both).
 */
#ifndef FAKE_MODEM_LINES_H
#define FAKE_MODEM_LINES_H

#include <stdint.h>

#define FAKE_MODEM_LINES_MAGIC 0x4C4D4B46u /* "FKML" */
#define FAKE_MODEM_LINES_ENV "FAKE_MODEM_LINES"

enum FakeModemKind {
    FAKE_MODEM_8250 = 0,
    FAKE_MODEM_FTDI_SIO = 1,
    FAKE_MODEM_CP210X = 2,
    FAKE_MODEM_PL2303 = 3, /* also ch341 */
    FAKE_MODEM_CDC_ACM = 4
};

/* Line order of rise[] and fall[]. */
enum FakeModemLine { FAKE_LINE_CTS = 0, FAKE_LINE_DSR = 1, FAKE_LINE_RI = 2, FAKE_LINE_DCD = 3 };

struct FakeModemLinesState {
    uint32_t magic;        /*  0 (test) FAKE_MODEM_LINES_MAGIC: the library ignores a file without it */
    uint32_t kind;         /*  4 (test) enum FakeModemKind */
    uint64_t rdev;         /*  8 (test) st_rdev of the pty slave taken over */
    uint32_t query_us;     /* 16 (test) cost of a device query, microseconds */
    uint32_t unplugged;    /* 20 (test) non-zero: every modem ioctl fails with EIO */
    uint32_t lines;        /* 24 (test) input lines now: TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD */
    uint32_t rise[4];      /* 28 (test) edges off->on per line, FakeModemLine order */
    uint32_t fall[4];      /* 44 (test) edges on->off per line */
    uint32_t outputs;      /* 60 (lib, test sets the start) TIOCM_DTR | TIOCM_RTS as driven */
    uint32_t brk;          /* 64 (lib) 1 while break is on */
    uint32_t reserved;     /* 68 */
    uint64_t mget_calls;   /* 72 (lib) TIOCMGET answered */
    uint64_t mget_ns;      /* 80 (lib) time spent in them, nanoseconds */
    uint64_t icount_calls; /* 88 (lib) TIOCGICOUNT asked */
    uint64_t set_calls;    /* 96 (lib) TIOCMBIS/BIC/SET and TIOCSBRK/CBRK */
    uint64_t miwait_calls; /* 104 (lib) TIOCMIWAIT begun */
    uint32_t iflag;        /* 112 (lib) c_iflag the program last set (PARMRK included) */
    uint32_t rx_frame;     /* 116 (test) receive-error counters */
    uint32_t rx_parity;    /* 120 (test) */
    uint32_t rx_brk;       /* 124 (test) */
    uint32_t rx_overrun;   /* 128 (test) */
    uint32_t rx_buf_overrun; /* 132 (test) */
    uint8_t pad[56];       /* 136 .. 191 */
};

#ifdef __cplusplus
static_assert(sizeof(FakeModemLinesState) == 192, "FakeModemLinesState layout");
#else
_Static_assert(sizeof(struct FakeModemLinesState) == 192, "FakeModemLinesState layout");
#endif

#ifdef __cplusplus
/* Control from C++ tests. */
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>

/* The time a query costs on each kind, microseconds. */
inline uint32_t FakeModemDefaultCostUs(FakeModemKind kind) {
    return kind == FAKE_MODEM_FTDI_SIO || kind == FAKE_MODEM_CP210X ? 2000u : 0u;
}

/* Creates (or replaces) the state file at `path` for the pty slave `slaveFd`
 * and maps it; DTR and RTS start raised, as after an open. nullptr on failure. */
inline FakeModemLinesState* FakeModemLinesCreate(const char* path, int slaveFd, FakeModemKind kind, uint32_t lines) {
    struct stat st;
    if (fstat(slaveFd, &st) != 0) return nullptr;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    void* map = ftruncate(fd, sizeof(FakeModemLinesState)) == 0
                    ? mmap(nullptr, sizeof(FakeModemLinesState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                    : MAP_FAILED;
    close(fd);
    if (map == MAP_FAILED) return nullptr;
    FakeModemLinesState* s = static_cast<FakeModemLinesState*>(map);
    s->kind = kind;
    s->rdev = st.st_rdev;
    s->query_us = FakeModemDefaultCostUs(kind);
    s->lines = lines;
    s->outputs = TIOCM_DTR | TIOCM_RTS;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    s->magic = FAKE_MODEM_LINES_MAGIC;
    return s;
}

inline void FakeModemLinesRelease(FakeModemLinesState* s) {
    if (s != nullptr) munmap(s, sizeof *s);
}

/* Moves the input lines to `lines`, counting each edge. */
inline void FakeModemLinesSet(FakeModemLinesState* s, uint32_t lines) {
    static const uint32_t kBits[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD};
    uint32_t was = s->lines;
    for (int i = 0; i < 4; ++i) {
        if ((was ^ lines) & kBits[i]) ++((lines & kBits[i]) ? s->rise : s->fall)[i];
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
    s->lines = lines;
}

/* What a UART receives, for FakeUartReceive. */
enum FakeUartEvent { FAKE_UART_DATA, FAKE_UART_FRAME, FAKE_UART_PARITY, FAKE_UART_BREAK, FAKE_UART_OVERRUN,
                     FAKE_UART_BUF_OVERRUN };

/* Counts `event` (with byte `c`) as the UART would, then returns what n_tty
 * queues for it under the program's iflag: a real \377 doubled under PARMRK;
 * a bad byte dropped (IGNPAR), marked \377 \0 c (PARMRK) or made a NUL, when
 * INPCK checks it, else passed; a break dropped (IGNBRK, BRKINT), marked
 * \377 \0 \0 (PARMRK) or a NUL; an overrun nothing at all. */
inline std::string FakeUartReceive(FakeModemLinesState* s, FakeUartEvent event, unsigned char c = 0) {
    const uint32_t iflag = s->iflag;
    const std::string mark("\xFF\0", 2);
    switch (event) {
        case FAKE_UART_DATA: return c == 0xFF && (iflag & PARMRK) ? "\xFF\xFF" : std::string(1, char(c));
        case FAKE_UART_FRAME: case FAKE_UART_PARITY:
            __atomic_add_fetch(event == FAKE_UART_FRAME ? &s->rx_frame : &s->rx_parity, 1, __ATOMIC_SEQ_CST);
            if (!(iflag & INPCK)) return std::string(1, char(c));
            if (iflag & IGNPAR) return "";
            return (iflag & PARMRK) ? mark + char(c) : std::string(1, '\0');
        case FAKE_UART_BREAK:
            __atomic_add_fetch(&s->rx_brk, 1, __ATOMIC_SEQ_CST);
            if (iflag & (IGNBRK | BRKINT)) return "";
            return (iflag & PARMRK) ? mark + '\0' : std::string(1, '\0');
        case FAKE_UART_OVERRUN: __atomic_add_fetch(&s->rx_overrun, 1, __ATOMIC_SEQ_CST); return "";
        default: __atomic_add_fetch(&s->rx_buf_overrun, 1, __ATOMIC_SEQ_CST); return "";
    }
}
#endif

#endif
