// Line settings of a tty: a DCB applied through termios2 (TCGETS2/TCSETS2,
// so that any bit rate, not only the Bxxx ones, can be set) and read back
// from it, and the modem output lines the DCB drives. <termios.h> is not
// included here because its struct termios clashes with the kernel's
// <asm/termbits.h>.
#include <sys/ioctl.h>

#include <asm/termbits.h>

#include <cerrno>

#include "device.h"

namespace {

struct RateCode {
    DWORD rate;
    unsigned code;
};

const RateCode kRates[] = {
    {50, B50},       {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},     {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},   {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600}, {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

void SetRate(termios2& t, DWORD rate) {
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));  // input rate follows output rate
    unsigned code = BOTHER;
    for (const RateCode& r : kRates) {
        if (r.rate == rate) code = r.code;
    }
    t.c_cflag |= code;
    t.c_ospeed = rate;
    t.c_ispeed = rate;
}

DWORD RateOf(const termios2& t) {
    if (t.c_ospeed != 0) return t.c_ospeed;
    unsigned code = t.c_cflag & CBAUD;
    for (const RateCode& r : kRates) {
        if (r.code == code) return r.rate;
    }
    return 0;
}

bool GetTermios(int fd, termios2& t) {
    if (ioctl(fd, TCGETS2, &t) != 0) {
        FailErrno(errno);
        return false;
    }
    return true;
}

bool SetTermios(int fd, const termios2& t) {
    if (ioctl(fd, TCSETS2, &t) != 0) {
        FailErrno(errno);
        return false;
    }
    return true;
}

}  // namespace

bool TtyUnsupported(int err) { return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP; }

// Raises or lowers modem output lines. A device without modem lines (a pty)
// gives the ioctl's error; `quiet` ignores exactly that case.
bool TtyModemLines(int fd, unsigned long request, int bits, bool quiet) {
    if (ioctl(fd, request, &bits) == 0) return true;
    int err = errno;
    if (quiet && TtyUnsupported(err)) return true;
    FailErrno(err);
    return false;
}

BOOL TtyReadDcb(int fd, const DCB& last, LPDCB out) {
    termios2 t;
    if (!GetTermios(fd, t)) return FALSE;
    DCB d = last;
    d.DCBlength = sizeof d;
    d.BaudRate = RateOf(t);
    d.fBinary = 1;
    // Under PARMRK every error is checked, to be marked; the DCB's own flag
    // stays as applied.
    d.fParity = (t.c_iflag & PARMRK) ? last.fParity : (t.c_iflag & INPCK) != 0;
    d.fOutX = (t.c_iflag & IXON) != 0;
    d.fInX = (t.c_iflag & IXOFF) != 0;
    if (t.c_cflag & CRTSCTS) {
        // Hardware flow control: as applied, or both directions when it was
        // set outside this program.
        if (!last.fOutxCtsFlow && last.fRtsControl != RTS_CONTROL_HANDSHAKE) {
            d.fOutxCtsFlow = 1;
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        d.fOutxCtsFlow = 0;
        if (last.fRtsControl == RTS_CONTROL_HANDSHAKE) d.fRtsControl = RTS_CONTROL_ENABLE;
    }
    d.fDummy2 = 0;
    d.wReserved = 0;
    switch (t.c_cflag & CSIZE) {
        case CS5: d.ByteSize = 5; break;
        case CS6: d.ByteSize = 6; break;
        case CS7: d.ByteSize = 7; break;
        default: d.ByteSize = 8; break;
    }
    if ((t.c_cflag & PARENB) == 0) d.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR) d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    // With 5 data bits a UART sends 1.5 stop bits where CSTOPB asks for 2.
    if ((t.c_cflag & CSTOPB) == 0) d.StopBits = ONESTOPBIT;
    else d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    d.XonChar = char(t.c_cc[VSTART]);
    d.XoffChar = char(t.c_cc[VSTOP]);
    d.wReserved1 = 0;
    *out = d;
    return TRUE;
}

BOOL TtyApplyDcb(int fd, const DCB& dcb, bool markErrors) {
    termios2 t;
    if (!GetTermios(fd, t)) return FALSE;
    const bool softFlow = dcb.fOutX || dcb.fInX;

    // Raw: bytes pass unchanged in both directions, nothing is echoed or
    // turned into signals, and reads never wait in the kernel (we poll).
    // Receive errors are marked in the data when asked for: a break or a
    // bad byte as \377 \0 X, a real \377 doubled (IGNBRK, BRKINT and
    // IGNPAR stay clear, so none is dropped or turned into a signal).
    t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                   IXANY | IXOFF | IMAXBEL);
    if (dcb.fParity || markErrors) t.c_iflag |= INPCK;
    if (markErrors) t.c_iflag |= PARMRK;
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | IEXTEN);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (softFlow) {
        t.c_cc[VSTART] = cc_t(dcb.XonChar);
        t.c_cc[VSTOP] = cc_t(dcb.XoffChar);
    }

    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: t.c_cflag |= PARENB; break;
        case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    SetRate(t, dcb.BaudRate);
    if (!SetTermios(fd, t)) return FALSE;

    // The output lines as the DCB asks; a device without modem lines (a pty)
    // takes the settings without them.
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE && !TtyModemLines(fd, TIOCMBIS, TIOCM_DTR, true)) return FALSE;
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE && !TtyModemLines(fd, TIOCMBIC, TIOCM_DTR, true)) return FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE && !TtyModemLines(fd, TIOCMBIS, TIOCM_RTS, true)) return FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE && !TtyModemLines(fd, TIOCMBIC, TIOCM_RTS, true)) return FALSE;
    return TRUE;
}

