// The built-in loopback port, wired like a loopback test plug: every byte
// written comes back to be read, RTS drives CTS, DTR drives DSR and DCD, and
// RI stays off. It needs no device. One per process, opened exclusively.
//
// Each open starts from a fresh plug: 9600 8N1, no time-outs, lines off,
// nothing waiting, no errors. Flow-control flags are checked and kept but
// have no effect: the transmit side drains at once into the receive ring.
#include <cstring>

#include "../../win32_serial.h"
#include "../win32/provider.h"

namespace {

constexpr DWORD kCapabilities = 0x000003FF;  // PCF_DTRDSR .. PCF_16BITMODE
constexpr DWORD kRingSize = 65536;  // the receive queue

bool g_open = false;
DCB g_dcb;
COMMTIMEOUTS g_timeouts;
bool g_dtr = false;
bool g_rts = false;
bool g_break = false;
DWORD g_errors = 0;  // CE_ bits since the last ClearCommError

BYTE g_ring[kRingSize];
DWORD g_head = 0;   // index of the oldest byte waiting
DWORD g_count = 0;  // bytes waiting

void ResetPlug() {
    std::memset(&g_dcb, 0, sizeof g_dcb);
    g_dcb.DCBlength = sizeof(DCB);
    g_dcb.BaudRate = 9600;
    g_dcb.fBinary = 1;
    g_dcb.fDtrControl = DTR_CONTROL_DISABLE;
    g_dcb.fRtsControl = RTS_CONTROL_DISABLE;
    g_dcb.XonLim = 2048;
    g_dcb.XoffLim = 512;
    g_dcb.ByteSize = 8;
    g_dcb.Parity = NOPARITY;
    g_dcb.StopBits = ONESTOPBIT;
    g_dcb.XonChar = 0x11;
    g_dcb.XoffChar = 0x13;
    std::memset(&g_timeouts, 0, sizeof g_timeouts);
    g_dtr = g_rts = g_break = false;
    g_errors = 0;
    g_head = g_count = 0;
}

// Waits out a read time-out on an empty ring. Nothing can write into the
// loop while this process is blocked in a read, so the whole time passes,
// unless a key is typed on the console: the wait then ends at once and the
// read gives up, so the key is handled (and what it sends looped back) in
// the same pass. Gathered console output is written out first.
void WaitForLoopData(long ms) { WaitForPortOrKey(-1, ms); }

DWORD TakeFromRing(BYTE* out, DWORD length) {
    DWORD n = length < g_count ? length : g_count;
    for (DWORD i = 0; i < n; ++i) {
        out[i] = g_ring[g_head];
        g_head = (g_head + 1) % kRingSize;
    }
    g_count -= n;
    return n;
}

void PutIntoRing(BYTE byte) {
    if (g_count == kRingSize) {
        g_errors |= CE_RXOVER;  // the byte is lost, as in an overflowing receiver
        return;
    }
    g_ring[(g_head + g_count) % kRingSize] = byte;
    ++g_count;
}


BOOL LoopCloseHandle(void*) {
    // Closing drops the output lines and the break, as a device's close does.
    g_dtr = g_rts = g_break = false;
    g_count = 0;
    g_open = false;
    return TRUE;
}

// What is waiting comes at once, up to `length`. With nothing waiting the
// read waits out its total time-out and returns TRUE with a count of 0. With
// no total time-out set (the interval rule only, or MAXDWORD, 0, 0) it
// returns at once: a device would wait for a byte, but in this single-
// threaded process no byte can enter the loop during the wait, so waiting
// would never end.
BOOL LoopReadFile(void*, LPVOID buffer, DWORD length, LPDWORD done) {
    if (done != nullptr) *done = 0;
    if (length == 0) return TRUE;
    if (buffer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (g_count == 0) {
        long wait = ReadTotalTimeoutMs(g_timeouts, length);
        if (wait > 0) WaitForLoopData(wait);
    }
    DWORD n = TakeFromRing(static_cast<BYTE*>(buffer), length);
    if (done != nullptr) *done = n;
    return TRUE;
}

// Every byte is sent at once, so the write always reports all of them. While
// the break holds the line at space the bytes never reach the receiver.
BOOL LoopWriteFile(void*, LPCVOID buffer, DWORD length, LPDWORD done) {
    if (done != nullptr) *done = 0;
    if (length != 0 && buffer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    const BYTE* bytes = static_cast<const BYTE*>(buffer);
    if (!g_break) {
        for (DWORD i = 0; i < length; ++i) PutIntoRing(bytes[i]);
    }
    if (done != nullptr) *done = length;
    return TRUE;
}

BOOL LoopGetCommState(void*, LPDCB dcb) {
    if (dcb == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *dcb = g_dcb;
    return TRUE;
}

// The DTR and RTS modes take effect as the settings are applied: ENABLE
// raises the line, DISABLE lowers it; a handshake mode raises it (the
// receive queue has room to signal), RTS toggle lowers it (nothing is ever
// left waiting to be sent).
BOOL LoopSetCommState(void*, LPDCB dcb) {
    if (dcb == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!CheckDcb(*dcb)) return FALSE;
    g_dcb = *dcb;
    g_dcb.DCBlength = sizeof(DCB);
    g_dtr = g_dcb.fDtrControl != DTR_CONTROL_DISABLE;
    g_rts = g_dcb.fRtsControl == RTS_CONTROL_ENABLE || g_dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    return TRUE;
}

BOOL LoopGetCommTimeouts(void*, LPCOMMTIMEOUTS t) {
    if (t == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *t = g_timeouts;
    return TRUE;
}

BOOL LoopSetCommTimeouts(void*, LPCOMMTIMEOUTS t) {
    if (t == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    g_timeouts = *t;
    return TRUE;
}

// No flags, or flags PurgeComm does not know, are refused as a device
// refuses them. The transmit side never holds anything, so its flags only
// succeed.
BOOL LoopPurgeComm(void*, DWORD flags) {
    const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (flags == 0 || (flags & ~known) != 0) return FailWith(ERROR_INVALID_PARAMETER);
    if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) g_head = g_count = 0;
    return TRUE;
}

BOOL LoopClearCommError(void*, LPDWORD errors, LPCOMSTAT stat) {
    if (errors != nullptr) *errors = g_errors;
    g_errors = 0;
    if (stat != nullptr) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = g_count;
        stat->cbOutQue = 0;
    }
    return TRUE;
}

BOOL LoopGetCommProperties(void*, LPCOMMPROP prop) {
    if (prop == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    FillCommProp(prop, kCapabilities, kRingSize, 0, g_count);
    prop->dwProvSpec1 = kProvSpecLoopsBack1;  // no far end: what is sent is what is read
    prop->dwProvSpec2 = kProvSpecLoopsBack2;
    return TRUE;
}

BOOL LoopEscapeCommFunction(void*, DWORD func) {
    switch (func) {
        case SETDTR: g_dtr = true; return TRUE;
        case CLRDTR: g_dtr = false; return TRUE;
        case SETRTS: g_rts = true; return TRUE;
        case CLRRTS: g_rts = false; return TRUE;
        case SETBREAK:
            if (!g_break) g_errors |= CE_BREAK;  // the far end sees the break begin
            g_break = true;
            return TRUE;
        case CLRBREAK: g_break = false; return TRUE;
        default: return FailWith(ERROR_INVALID_PARAMETER);
    }
}

BOOL LoopGetCommModemStatus(void*, LPDWORD bits) {
    if (bits == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    DWORD status = 0;
    if (g_rts) status |= MS_CTS_ON;
    if (g_dtr) status |= MS_DSR_ON | MS_RLSD_ON;
    *bits = status;
    return TRUE;
}

const PortOps kLoopOps = {
    LoopCloseHandle,     LoopReadFile,         LoopWriteFile,       LoopGetCommState,
    LoopSetCommState,    LoopGetCommTimeouts,  LoopSetCommTimeouts, LoopPurgeComm,
    LoopClearCommError,  LoopGetCommProperties, LoopEscapeCommFunction, LoopGetCommModemStatus,
};

}  // namespace

HANDLE LoopOpen() {
    if (g_open) {
        FailWith(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ResetPlug();
    HANDLE h = PortRegister(kLoopOps, &g_dcb);
    g_open = h != INVALID_HANDLE_VALUE;
    return h;
}
