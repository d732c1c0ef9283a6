// The remote port: a serial port served over the network, named
// rfc2217://host:port (telnet with the COM Port Control Option, RFC 2217:
// settings, DTR, RTS, break and the modem lines go to and come from the
// server) or tcp://host:port (raw data only, like a port without modem
// lines); its table of operations. The connection itself is remote/link.h's.
//
// GetCommModemStatus is answered from the server's last NOTIFY-MODEMSTATE,
// with no round trip. A line that the notification reports moved but whose
// level is already back is shown moved for a few answers, then back, as a
// loop asking all the time would have seen it. The read wait ends when a
// notification moves the answer, so the change shows at once, and the read
// after an answer that moved does not wait, so the next change is shown as
// a change of its own.
//
// A lost connection is the device gone: the lines read off, writes fail
// (typed bytes are dropped), and the link tries again from the read wait.
// Debian's ser2net never answers SET-CONTROL for DTR or RTS on a device
// without modem lines: such a request fails after kLineAnswerMs, and once
// one has gone unanswered the later ones on that connection fail at once.
// Its answer to break-off carries the break-on value: any break answer is
// taken.
#include <cerrno>
#include <cstring>

#include "../console/hooks.h"
#include "../win32/provider.h"
#include "link.h"

namespace {

constexpr long kLineAnswerMs = 500;     // DTR, RTS, break, purge
constexpr long kSettingsAnswerMs = kLinkBoundMs;
constexpr int kPulseCalls = 16;         // answers that show a line moved and back
constexpr size_t kPollEvery = 4096;     // bytes read from the ring between looks at the server
constexpr DWORD kMaxDword = 0xFFFFFFFFu;

constexpr DWORD kCapabilities = 0x000000FF;  // PCF_DTRDSR .. PCF_INTTIMEOUTS

struct RemotePort {
    bool open;
    RemoteLink link;
    COMMTIMEOUTS timeouts;
    DCB dcb;                 // as last applied (or as the server had it)
    DWORD answered;          // modem status last answered
    bool answerMoved;        // ... differs from the one before
    bool watching;           // the caller asks for the modem status: reads end when it moves
    bool dropShown;          // lines just answered off for a lost link: no attempt in the next read
    uint8_t pulse;           // lines shown moved and back
    int pulseCalls;          // answers still to show them moved
    size_t takenSincePoll;
};

RemotePort g_port;  // one remote port per process

bool Ready(const RemotePort& p) { return p.link.phase == LinkPhase::kReady; }

// The modem status now, from the last notification.
DWORD Lines(RemotePort& p) {
    if (!Ready(p) || !p.link.telnet.haveModem) return 0;
    if (p.link.telnet.pulse != 0) {
        p.pulse = p.link.telnet.pulse;
        p.link.telnet.pulse = 0;
        p.pulseCalls = kPulseCalls;
    }
    return DWORD(p.link.telnet.modem ^ (p.pulseCalls > 0 ? p.pulse : 0));
}

DCB DcbFromServer(const TelnetState& t) {
    DCB dcb = InitialDcb();
    dcb.BaudRate = t.baud != 0 ? t.baud : 9600;
    dcb.ByteSize = t.dataSize >= 5 && t.dataSize <= 8 ? t.dataSize : 8;
    dcb.Parity = t.parity >= 1 && t.parity <= 5 ? BYTE(t.parity - 1) : NOPARITY;
    dcb.StopBits = t.stopSize == 2 ? TWOSTOPBITS : t.stopSize == 3 ? ONE5STOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = t.flow == 3;
    dcb.fOutX = t.flow == 2;
    return dcb;
}

BOOL RemoteClose(void* v) {
    RemotePort* p = static_cast<RemotePort*>(v);
    bool ok = LinkClose(p->link);
    p->open = false;
    return ok;
}

// The Windows read time-out rules, as the tty port has them; bytes come
// from the link's ring, and the wait is the link's.
BOOL RemoteRead(void* v, LPVOID buffer, DWORD length, LPDWORD done) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (length == 0) return TRUE;
    if (buffer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    const COMMTIMEOUTS& t = p->timeouts;
    bool anyByte = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                   t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                  t.ReadTotalTimeoutConstant == 0;
    long total = atOnce ? 0 : anyByte ? long(t.ReadTotalTimeoutConstant & 0x7FFFFFFF) : ReadTotalTimeoutMs(t, length);
    long interval = (atOnce || anyByte) ? 0 : long(t.ReadIntervalTimeout & 0x7FFFFFFF);
    // The clock is read only once the read has to wait: a pass that finds
    // data (or a key) waiting costs no clock read.
    bool timed = false;
    long long deadline = -1;
    long long lastByteAt = 0;  // when the ring ran dry after bytes were taken
    bool tookBytes = false;
    DWORD got = 0;
    bool skipAttempt = p->dropShown && !Ready(*p);
    p->dropShown = false;
    bool woke = false;  // the wait ended for the server
    while (got < length) {
        size_t ready = LinkReadable(p->link);
        // Keys waiting (a paste): the read gives up at once, as the wait
        // would, and looks at the server only every so many passes.
        if (ready == 0 && got == 0 && ConsoleKeysPendingHook() && ++p->takenSincePoll < kPollEvery) break;
        if (ready == 0 || p->takenSincePoll >= kPollEvery) {
            p->takenSincePoll = 0;
            if (!skipAttempt || p->link.phase != LinkPhase::kGone) LinkPoll(p->link);
            ready = LinkReadable(p->link);
        }
        // The server woke the wait and brought no data (telnet commands, a
        // flood of them perhaps): a key waiting is handled now, as the wait
        // would have handled it.
        if (ready == 0 && woke && LinkKeyReady()) break;
        woke = false;
        if (ready > 0) {
            // A read ends at a receive error's place, so that the next
            // ClearCommError reports it there.
            bool reached = false;
            size_t n = LinkTake(p->link, bytes + got, length - got, &reached);
            got += DWORD(n);
            p->takenSincePoll += n;
            tookBytes = true;
            if (anyByte || reached) break;
            continue;
        }
        // The answer has moved (or a pulse is being shown): the caller looks
        // again at once.
        if (p->watching && (p->answerMoved || Lines(*p) != p->answered || p->pulseCalls > 0)) {
            p->answerMoved = false;
            break;
        }
        if (skipAttempt) break;
        if (!timed) {
            timed = true;
            if (total >= 0) deadline = MonotonicMs() + total;
        }
        if (tookBytes) {
            tookBytes = false;
            lastByteAt = MonotonicMs();
        }
        long wait = -1;
        if (deadline >= 0) {
            long long left = deadline - MonotonicMs();
            wait = left > 0 ? long(left) : 0;
        }
        if (got > 0 && interval > 0) {
            long long gapLeft = lastByteAt + interval - MonotonicMs();
            if (gapLeft < 0) gapLeft = 0;
            if (wait < 0 || gapLeft < wait) wait = long(gapLeft);
        }
        if (wait == 0) break;
        PortWait w = LinkWait(p->link, wait);
        if (w == PortWait::kKey) break;
        woke = w == PortWait::kReadable;
        if (w == PortWait::kFailed) {
            if (got > 0) break;
            return FailErrno(errno);
        }
    }
    if (done != nullptr) *done = got;
    return TRUE;
}

BOOL RemoteWrite(void* v, LPCVOID buffer, DWORD length, LPDWORD done) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (length == 0) return TRUE;
    if (buffer == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!LinkGather(p->link, static_cast<const uint8_t*>(buffer), length, WriteTotalTimeoutMs(p->timeouts, length))) {
        return FALSE;
    }
    if (done != nullptr) *done = length;
    return TRUE;
}

BOOL RemoteGetState(void* v, LPDCB dcb) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (dcb == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *dcb = p->dcb;
    return TRUE;
}

// The line settings go to the server, which must acknowledge each; on a
// connection lost meanwhile they are kept and given to the next one.
BOOL RemoteSetState(void* v, LPDCB dcb) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (dcb == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!CheckDcb(*dcb)) return FALSE;
    RemoteLink& l = p->link;
    uint8_t baud[4] = {uint8_t(dcb->BaudRate >> 24), uint8_t(dcb->BaudRate >> 16), uint8_t(dcb->BaudRate >> 8),
                       uint8_t(dcb->BaudRate)};
    static const uint8_t kStop[3] = {1, 3, 2};  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    uint8_t dataSize = dcb->ByteSize, parity = uint8_t(dcb->Parity + 1), stop = kStop[dcb->StopBits];
    uint8_t flow = dcb->fOutxCtsFlow ? 3 : dcb->fOutX ? 2 : 1;
    if (l.address.comPort && Ready(*p)) {
        bool ok = LinkCommand(l, kCpcBaudRate, baud, 4, kAckBaud, kSettingsAnswerMs) &&
                  LinkCommand(l, kCpcDataSize, &dataSize, 1, kAckDataSize, kSettingsAnswerMs) &&
                  LinkCommand(l, kCpcParity, &parity, 1, kAckParity, kSettingsAnswerMs) &&
                  LinkCommand(l, kCpcStopSize, &stop, 1, kAckStopSize, kSettingsAnswerMs) &&
                  LinkCommand(l, kCpcControl, &flow, 1, kAckFlow, kSettingsAnswerMs);
        if (!ok) return FALSE;
    }
    p->dcb = *dcb;
    l.haveSettings = true;
    std::memcpy(l.baud, baud, 4);
    l.dataSize = dataSize;
    l.parity = parity;
    l.stopSize = stop;
    l.flow = flow;
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE) l.dtr = true;
    if (dcb->fDtrControl == DTR_CONTROL_DISABLE) l.dtr = false;
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE) l.rts = true;
    if (dcb->fRtsControl == RTS_CONTROL_DISABLE) l.rts = false;
    return TRUE;
}

BOOL RemoteGetTimeouts(void* v, LPCOMMTIMEOUTS t) {
    if (t == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    *t = static_cast<RemotePort*>(v)->timeouts;
    return TRUE;
}

BOOL RemoteSetTimeouts(void* v, LPCOMMTIMEOUTS t) {
    if (t == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    static_cast<RemotePort*>(v)->timeouts = *t;
    return TRUE;
}

// Received data is dropped once the server has purged its own buffer, so
// that nothing from before the purge shows after it.
BOOL RemotePurge(void* v, DWORD flags) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    RemoteLink& l = p->link;
    bool rx = (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) != 0;
    bool tx = (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) != 0;
    // Bytes already written go out first, as they would have by now on a
    // local port.
    LinkSendGathered(l, 1000);
    if (l.address.comPort && Ready(*p) && (rx || tx)) {
        uint8_t which = uint8_t((rx ? 1 : 0) | (tx ? 2 : 0));
        if (!LinkCommand(l, kCpcPurgeData, &which, 1, kAckPurge, kLineAnswerMs)) return FALSE;
    }
    if (rx) {
        size_t n = LinkReadable(l);
        l.ringStart = (l.ringStart + n) % kLinkRing;
        l.ringCount -= n;
    }
    return TRUE;
}

BOOL RemoteClearError(void* v, LPDWORD errors, LPCOMSTAT stat) {
    RemotePort* p = static_cast<RemotePort*>(v);
    RemoteLink& l = p->link;
    if (l.gatherCount > 0 && MonotonicNs() - l.gatherSinceNs >= kGatherNs) LinkSendGathered(l, 0);
    if (errors != nullptr) *errors = (l.overrun ? CE_RXOVER : 0) | l.lineErrorsDue;
    l.overrun = false;
    l.lineErrorsDue = 0;
    if (stat != nullptr) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = DWORD(LinkReadable(l));
        stat->cbOutQue = DWORD(l.gatherCount);
    }
    return TRUE;
}

BOOL RemoteGetProperties(void* v, LPCOMMPROP prop) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (prop == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    RemoteLink& l = p->link;
    if (l.gatherCount > 0 && MonotonicNs() - l.gatherSinceNs >= kGatherNs) LinkSendGathered(l, 0);
    FillCommProp(prop, kCapabilities, kLinkRing, DWORD(l.gatherCount), DWORD(LinkReadable(l)));
    return TRUE;
}

BOOL RemoteEscape(void* v, DWORD func) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (func < SETRTS || func == RESETDEV || func > CLRBREAK) return FailWith(ERROR_INVALID_PARAMETER);
    RemoteLink& l = p->link;
    if (!Ready(*p)) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    bool line = func == SETDTR || func == CLRDTR || func == SETRTS || func == CLRRTS;
    if (!l.address.comPort) {
        // No line control: like a pty, no modem lines, and break has no effect.
        if (line) return FailWith(ERROR_NOT_SUPPORTED);
        return LinkFlush(l, 1000);
    }
    if (line && l.controlDead) return FailWith(ERROR_NOT_SUPPORTED);
    uint8_t value;
    uint32_t ack;
    switch (func) {
        case SETDTR: value = 8; ack = kAckDtr; break;
        case CLRDTR: value = 9; ack = kAckDtr; break;
        case SETRTS: value = 11; ack = kAckRts; break;
        case CLRRTS: value = 12; ack = kAckRts; break;
        case SETBREAK: value = 5; ack = kAckBreak; break;
        default: value = 6; ack = kAckBreak; break;
    }
    if (!LinkCommand(l, kCpcControl, &value, 1, ack, kLineAnswerMs)) {
        if (line && GetLastError() == ERROR_GEN_FAILURE) {
            l.controlDead = true;
            return FailWith(ERROR_NOT_SUPPORTED);
        }
        return FALSE;
    }
    switch (func) {
        case SETDTR: l.dtr = true; break;
        case CLRDTR: l.dtr = false; break;
        case SETRTS: l.rts = true; break;
        case CLRRTS: l.rts = false; break;
        case SETBREAK: l.brk = true; break;
        default: l.brk = false; break;
    }
    return TRUE;
}

BOOL RemoteModemStatus(void* v, LPDWORD bits) {
    RemotePort* p = static_cast<RemotePort*>(v);
    if (bits == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!p->link.address.comPort) return FailWith(ERROR_NOT_SUPPORTED);
    DWORD answer = Lines(*p);
    p->watching = true;
    if (p->pulseCalls > 0) --p->pulseCalls;
    if (!Ready(*p) && p->answered != 0) p->dropShown = true;
    if (answer != p->answered) p->answerMoved = true;
    p->answered = answer;
    *bits = answer;
    return TRUE;
}

const PortOps kRemoteOps = {
    RemoteClose,   RemoteRead,         RemoteWrite,        RemoteGetState,     RemoteSetState,
    RemoteGetTimeouts, RemoteSetTimeouts, RemotePurge,    RemoteClearError,   RemoteGetProperties,
    RemoteEscape,  RemoteModemStatus,
};

}  // namespace

HANDLE RemoteOpen(const char* name) {
    RemotePort* p = &g_port;
    if (p->open) {
        FailWith(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::memset(p, 0, sizeof *p);
    if (!LinkOpen(p->link, name)) return INVALID_HANDLE_VALUE;
    p->open = true;
    p->dcb = DcbFromServer(p->link.telnet);
    HANDLE h = PortRegister(kRemoteOps, p);
    if (h == INVALID_HANDLE_VALUE) (void)RemoteClose(p);
    return h;
}
