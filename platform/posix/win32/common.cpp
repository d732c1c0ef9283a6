// What every kind of port shares: the Windows time-out rules, the clock, the
// read wait that also watches the console's keys, and the DCB checks.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <poll.h>

#include "../console/hooks.h"
#include "provider.h"

long ReadTotalTimeoutMs(const COMMTIMEOUTS& t, DWORD length) {
    // MAXDWORD interval and multiplier: wait up to the constant for the first byte.
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        if (t.ReadTotalTimeoutConstant == 0 || t.ReadTotalTimeoutConstant == MAXDWORD) return -1;
        return long(t.ReadTotalTimeoutConstant > 0x7FFFFFFFu ? 0x7FFFFFFFu : t.ReadTotalTimeoutConstant);
    }
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return -1;
    unsigned long long total =
        (unsigned long long)t.ReadTotalTimeoutMultiplier * length + t.ReadTotalTimeoutConstant;
    return total > 0x7FFFFFFFull ? 0x7FFFFFFFL : long(total);
}

long WriteTotalTimeoutMs(const COMMTIMEOUTS& t, DWORD length) {
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return -1;
    unsigned long long total =
        (unsigned long long)t.WriteTotalTimeoutMultiplier * length + t.WriteTotalTimeoutConstant;
    return total > 0x7FFFFFFFull ? 0x7FFFFFFFL : long(total);
}

long long MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long MonotonicMs() { return MonotonicNs() / 1000000; }

PortWait WaitForPortOrKey(int fd, long ms) {
    ConsoleFlushHook();
    long long deadline = ms < 0 ? -1 : MonotonicNs() + (long long)ms * 1000000LL;
    for (;;) {
        if (ConsoleKeysPendingHook()) return PortWait::kKey;
        pollfd p[2];
        nfds_t n = 0;
        int keyFd = ConsoleKeyFdHook();
        if (fd >= 0) p[n++] = {fd, POLLIN, 0};
        if (keyFd >= 0) p[n++] = {keyFd, POLLIN, 0};
        int left = -1;
        if (deadline >= 0) {
            long long ns = deadline - MonotonicNs();
            if (ns < 0) ns = 0;
            long long rounded = (ns + 999999) / 1000000;  // up: the whole time passes
            left = rounded > 0x7FFFFFFF ? 0x7FFFFFFF : int(rounded);
        } else if (n == 0) {
            return PortWait::kTimeOut;
        }
        int ready = poll(p, n, left);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return PortWait::kFailed;
        }
        if (ready == 0) {
            if (deadline >= 0 && MonotonicNs() < deadline) continue;  // woke a little early
            return PortWait::kTimeOut;
        }
        if (fd >= 0 && p[0].revents != 0) return PortWait::kReadable;
        return PortWait::kKey;  // input, its end or an error: the key test sees which
    }
}

bool CheckDcb(const DCB& dcb) {
    bool ok = dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
              dcb.StopBits <= TWOSTOPBITS;
    if (ok && dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) ok = false;
    if (ok && dcb.ByteSize > 5 && dcb.StopBits == ONE5STOPBITS) ok = false;
    if (!ok) FailWith(ERROR_INVALID_PARAMETER);
    return ok;
}

void FillCommProp(LPCOMMPROP prop, DWORD capabilities, DWORD maxRxQueue, DWORD txQueued, DWORD rxQueued) {
    constexpr DWORD kServiceSerialComm = 0x00000001;  // SP_SERIALCOMM
    constexpr DWORD kSubTypeRs232 = 0x00000001;       // PST_RS232
    constexpr DWORD kBaudUser = 0x10000000;           // BAUD_USER
    constexpr DWORD kAllBaudRates = 0x1007FFFF;       // BAUD_075 .. BAUD_57600, BAUD_USER
    constexpr DWORD kSettableParams = 0x0000007F;     // SP_PARITY .. SP_RLSD
    constexpr WORD kDataBits5To8 = 0x000F;            // DATABITS_5 .. DATABITS_8
    constexpr WORD kStopAndParity = 0x1F07;           // STOPBITS_10/15/20, PARITY_NONE .. SPACE
    std::memset(prop, 0, sizeof *prop);
    prop->wPacketLength = sizeof *prop;
    prop->wPacketVersion = 2;
    prop->dwServiceMask = kServiceSerialComm;
    prop->dwMaxTxQueue = kNominalTxQueue;
    prop->dwMaxRxQueue = maxRxQueue;
    prop->dwMaxBaud = kBaudUser;
    prop->dwProvSubType = kSubTypeRs232;
    prop->dwProvCapabilities = capabilities;
    prop->dwSettableParams = kSettableParams;
    prop->dwSettableBaud = kAllBaudRates;
    prop->wSettableData = kDataBits5To8;
    prop->wSettableStopParity = kStopAndParity;
    prop->dwCurrentTxQueue = txQueued > kNominalTxQueue ? kNominalTxQueue : txQueued;
    prop->dwCurrentRxQueue = rxQueued > maxRxQueue ? maxRxQueue : rxQueued;
}

DCB InitialDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}
