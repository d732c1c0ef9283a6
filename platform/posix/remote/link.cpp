// The connection of a remote port to its server: attempts, negotiation,
// the received ring, the gathered output (remote/link.h).
#include "link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../console/hooks.h"

namespace {

// What one recv() may take.
constexpr size_t kChunk = 16384;
// Reads one look at the server may make.
constexpr int kReadsPerCall = 4;

constexpr uint32_t kSettingsAcks = kAckBaud | kAckDataSize | kAckParity | kAckStopSize | kAckFlow;

// Acknowledges what was just read at once, not after the delay TCP may
// take. A server that holds back a small segment until its last one is
// acknowledged (Nagle's rule, ser2net's default) would otherwise send the
// tail of every burst some 40 ms late: a frame and its answer, such as a
// transfer block and its ACK, then cost that much each. Linux forgets the
// setting as it goes, so it is set again after every read that took data.
void AckNow(int fd) {
#ifdef TCP_QUICKACK
    int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#else
    (void)fd;
#endif
}

void CloseFd(RemoteLink& l) {
    if (l.fd >= 0) close(l.fd);
    l.fd = -1;
}

// Sends all of `bytes` within `ms` (-1: no limit). On a broken connection
// the link is lost. Returns the count sent; errno is set when it is short.
size_t SendRaw(RemoteLink& l, const uint8_t* bytes, size_t n, long ms) {
    long long deadline = ms < 0 ? -1 : MonotonicMs() + ms;
    size_t sent = 0;
    while (sent < n && l.fd >= 0) {
        ssize_t k = send(l.fd, bytes + sent, n - sent, MSG_NOSIGNAL);
        if (k > 0) {
            sent += size_t(k);
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && errno != EAGAIN) {
            int err = errno;
            LinkLost(l);
            errno = err;
            return sent;
        }
        long long left = deadline < 0 ? 1000 : deadline - MonotonicMs();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return sent;
        }
        ConsoleFlushHook();
        pollfd p = {l.fd, POLLOUT, 0};
        (void)poll(&p, 1, int(left > 1000 ? 1000 : left));
    }
    if (sent < n && l.fd < 0 && errno == 0) errno = ENOTCONN;
    return sent;
}

// Telnet's owed answers, within `ms`; what does not go stays, in front of
// anything sent later, so no answer is ever split by other bytes.
bool SendReplies(RemoteLink& l, long ms) {
    if (l.telnet.replyLength == 0 || l.fd < 0) return true;
    size_t n = l.telnet.replyLength;
    size_t sent = SendRaw(l, l.telnet.reply, n, ms);
    if (l.fd < 0) return false;
    std::memmove(l.telnet.reply, l.telnet.reply + sent, n - sent);
    l.telnet.replyLength = n - sent;
    if (sent < n) errno = ETIMEDOUT;
    return sent == n;
}

// SendRaw after the owed answers.
size_t SendAll(RemoteLink& l, const uint8_t* bytes, size_t n, long ms) {
    long long start = ms < 0 ? 0 : MonotonicMs();
    if (!SendReplies(l, ms)) return 0;
    if (ms >= 0) {
        ms -= long(MonotonicMs() - start);
        if (ms < 0) ms = 0;
    }
    return SendRaw(l, bytes, n, ms);
}

void SendCommand(RemoteLink& l, uint8_t command, const uint8_t* value, size_t length) {
    uint8_t out[2 * 4 + 7];
    size_t n = TelnetEncodeCommand(command, value, length, out);
    (void)SendAll(l, out, n, 1000);
}

void SendByteCommand(RemoteLink& l, uint8_t command, uint8_t value) { SendCommand(l, command, &value, 1); }

// A connection just made: telnet's opening, then the settings and lines.
void Greet(RemoteLink& l) {
    l.controlDead = false;
    if (!l.address.comPort) {
        l.phase = LinkPhase::kReady;
        return;
    }
    l.phase = LinkPhase::kNegotiating;
    l.boundMs = MonotonicMs() + kLinkBoundMs;
    TelnetStart(l.telnet, true);
    (void)SendReplies(l, 1000);
    SendByteCommand(l, kCpcModemStateMask, 255);
    SendByteCommand(l, kCpcLineStateMask, kLineStateErrors);
    // Value 0 asks for the server's own setting.
    static const uint8_t kAsk[4] = {0, 0, 0, 0};
    SendCommand(l, kCpcBaudRate, l.haveSettings ? l.baud : kAsk, 4);
    SendByteCommand(l, kCpcDataSize, l.haveSettings ? l.dataSize : 0);
    SendByteCommand(l, kCpcParity, l.haveSettings ? l.parity : 0);
    SendByteCommand(l, kCpcStopSize, l.haveSettings ? l.stopSize : 0);
    SendByteCommand(l, kCpcControl, l.haveSettings ? l.flow : 0);
    if (l.haveSettings) {
        // Not waited for: a server whose device has no lines never answers.
        SendByteCommand(l, kCpcControl, l.dtr ? 8 : 9);
        SendByteCommand(l, kCpcControl, l.rts ? 11 : 12);
        if (l.brk) SendByteCommand(l, kCpcControl, 5);
    }
}

// The decoded NOTIFY-LINESTATEs, at their places among the `count` bytes
// about to join the ring (those of bytes lost for want of room at its end).
void NoteLineErrors(RemoteLink& l, size_t count) {
    for (size_t i = 0; i < l.telnet.lineCount; ++i) {
        const TelnetLineState& n = l.telnet.line[i];
        uint32_t bits = 0;
        if (n.bits & 0x10) bits |= CE_BREAK;
        if (n.bits & 0x08) bits |= CE_FRAME;
        if (n.bits & 0x04) bits |= CE_RXPARITY;
        if (n.bits & 0x02) bits |= CE_OVERRUN;
        const size_t at = l.ringCount + (n.at < count ? n.at : count);
        size_t& c = l.lineErrorCount;
        if (c > 0 && (c == kLinkLineErrors || l.lineErrors[c - 1].at == at)) {
            l.lineErrors[c - 1].bits |= bits;  // no room: shown with the one before
        } else {
            l.lineErrors[c].at = at;
            l.lineErrors[c].bits = bits;
            ++c;
        }
    }
}

// Errors whose place the take has reached become due. Whether any did.
bool ReachLineErrors(RemoteLink& l) {
    size_t reached = 0;
    while (reached < l.lineErrorCount && l.lineErrors[reached].at == 0) l.lineErrorsDue |= l.lineErrors[reached++].bits;
    if (reached == 0) return false;
    l.lineErrorCount -= reached;
    std::memmove(l.lineErrors, l.lineErrors + reached, l.lineErrorCount * sizeof l.lineErrors[0]);
    return true;
}

// Takes what the server has sent, in at most kReadsPerCall reads, so that
// a flood (of data or of telnet commands, which fill no ring) costs each
// call a bounded time. kWhole: reads while the ring has room for a whole
// chunk (the rest waits in the socket, and TCP holds the server back);
// kAnyRoom: also into a smaller room; kDropOver: everything, data finding no
// room being lost (counted as an overrun).
enum class Take { kWhole, kAnyRoom, kDropOver };

void Receive(RemoteLink& l, Take take) {
    static uint8_t raw[kChunk];
    static uint8_t data[kChunk];
    for (int reads = 0; reads < kReadsPerCall && l.fd >= 0; ++reads) {
        size_t room = kLinkRing - l.ringCount;
        size_t want = take == Take::kDropOver || room >= kChunk ? kChunk : take == Take::kAnyRoom ? room : 0;
        if (want == 0) return;
        ssize_t n = recv(l.fd, raw, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) {
            LinkLost(l);
            return;
        }
        AckNow(l.fd);
        size_t count = size_t(n);
        const uint8_t* from = raw;
        if (l.address.comPort) {
            // Decoding never makes more bytes than it is given: what was
            // read to fit the room still fits.
            count = TelnetDecode(l.telnet, raw, size_t(n), data);
            from = data;
            (void)SendReplies(l, 0);  // never waits here: what does not go now goes later
            if (l.fd < 0) return;  // lost while answering: what came with it goes too
        }
        if (count > kLinkRing - l.ringCount) {
            count = kLinkRing - l.ringCount;
            l.overrun = true;
        }
        if (l.address.comPort) NoteLineErrors(l, count);
        for (size_t i = 0; i < count; ++i) l.ring[(l.ringStart + l.ringCount + i) % kLinkRing] = from[i];
        l.ringCount += count;
        if (l.phase != LinkPhase::kReady) l.held += count;
        if (size_t(n) < want) return;  // all there was: no second call just to hear EAGAIN
    }
}

// Where a connection in progress stands; a failed one tries the next
// attempt later.
void Progress(RemoteLink& l) {
    if (l.phase == LinkPhase::kConnecting) {
        int done = RemoteConnectDone(l.fd);
        if (done < 0 || (done == 0 && MonotonicMs() >= l.boundMs)) {
            LinkLost(l);
            return;
        }
        if (done == 0) return;
        Greet(l);
    }
    if (l.phase == LinkPhase::kNegotiating) {
        if ((l.telnet.acks & kSettingsAcks) == kSettingsAcks && l.telnet.haveModem) {
            l.phase = LinkPhase::kReady;
            l.held = 0;
            l.telnet.acks = 0;
            // The server repeats its first notification, change bits and
            // all: nothing has moved and come back before the start.
            l.telnet.pulse = 0;
        } else if (MonotonicMs() >= l.boundMs) {
            LinkLost(l);
        }
    }
}

void Attempt(RemoteLink& l) {
    if (l.phase != LinkPhase::kGone || MonotonicMs() < l.nextTryMs) return;
    l.nextTryMs = MonotonicMs() + kLinkRetryMs;
    l.fd = RemoteConnectStart(l.address, l.index);
    if (l.fd < 0) return;
    l.phase = LinkPhase::kConnecting;
    l.boundMs = MonotonicMs() + kLinkBoundMs;
}

}  // namespace

bool LinkKeyReady() {
    if (ConsoleKeysPendingHook()) return true;
    int fd = ConsoleKeyFdHook();
    if (fd < 0) return false;
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

void LinkLost(RemoteLink& l) {
    CloseFd(l);
    if (l.held > 0) l.ringCount -= l.held;
    l.held = 0;
    while (l.lineErrorCount > 0 && l.lineErrors[l.lineErrorCount - 1].at > l.ringCount) --l.lineErrorCount;
    if (l.gatherCount > 0 && l.sendError == 0) l.sendError = ENOTCONN;
    l.gatherCount = 0;
    l.phase = LinkPhase::kGone;
    l.telnet.haveModem = false;
    if (l.nextTryMs < MonotonicMs()) l.nextTryMs = MonotonicMs();
}

bool LinkOpen(RemoteLink& l, const char* name) {
    std::memset(&l, 0, sizeof l);
    l.fd = -1;
    l.dtr = l.rts = true;
    if (!RemoteResolve(name, l.address)) return false;
    long long deadline = MonotonicMs() + kLinkBoundMs;
    int err = ECONNREFUSED;
    for (l.index = 0; l.index < l.address.count; ++l.index) {
        l.phase = LinkPhase::kGone;
        l.nextTryMs = 0;
        Attempt(l);
        if (l.fd < 0) err = errno;
        while (l.phase != LinkPhase::kGone && l.phase != LinkPhase::kReady) {
            long long left = deadline - MonotonicMs();
            if (left <= 0) {
                LinkLost(l);
                err = ETIMEDOUT;
                break;
            }
            pollfd p = {l.fd, short(l.phase == LinkPhase::kConnecting ? POLLOUT : POLLIN), 0};
            if (poll(&p, 1, int(left)) < 0 && errno != EINTR) {
                err = errno;
                LinkLost(l);
                break;
            }
            if (l.phase == LinkPhase::kConnecting && RemoteConnectDone(l.fd) < 0) err = errno;
            LinkPoll(l);
            if (l.phase == LinkPhase::kGone) err = ECONNRESET;
        }
        if (l.phase == LinkPhase::kReady) {
            l.nextTryMs = 0;
            return true;
        }
    }
    l.ringCount = 0;
    return FailErrno(err);
}

bool LinkClose(RemoteLink& l) {
    bool ok = LinkFlush(l, 1000);
    if (l.fd >= 0 && l.phase == LinkPhase::kReady) {
        // Our side ends first, and the server's close is waited for (what
        // it still sends is read and dropped, so no reset goes either):
        // ser2net torn down under it loses typed bytes not yet written to
        // its device.
        (void)shutdown(l.fd, SHUT_WR);
        long long deadline = MonotonicMs() + kCloseDrainMs;
        for (long long left = kCloseDrainMs; left > 0; left = deadline - MonotonicMs()) {
            uint8_t dropped[4096];
            pollfd p = {l.fd, POLLIN, 0};
            int ready = poll(&p, 1, int(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            ssize_t n = recv(l.fd, dropped, sizeof dropped, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
        }
    }
    CloseFd(l);
    l.phase = LinkPhase::kGone;
    l.ringCount = 0;
    return ok;
}

void LinkPoll(RemoteLink& l) {
    Attempt(l);
    Progress(l);
    // While negotiating, data beyond the ring's room is dropped rather than
    // left to stand in front of the server's answers.
    if (l.phase == LinkPhase::kNegotiating || l.phase == LinkPhase::kReady) {
        Receive(l, l.phase == LinkPhase::kNegotiating ? Take::kDropOver : Take::kWhole);
    }
    Progress(l);
}

PortWait LinkWait(RemoteLink& l, long ms) {
    if (l.gatherCount > 0 && (l.gatherCount >= kGatherMax || MonotonicNs() - l.gatherSinceNs >= kGatherNs ||
                              !LinkKeyReady())) {
        LinkSendGathered(l, 1000);  // a failure is kept for the next write
    }
    long slice = ms;
    int fd = l.fd;
    if (l.phase == LinkPhase::kGone) {
        long long due = l.nextTryMs - MonotonicMs();
        if (due < 0) due = 0;
        if (slice < 0 || due < slice) slice = long(due);
    } else if (l.phase == LinkPhase::kConnecting) {
        fd = -1;  // its progress is looked at every few milliseconds
        if (slice < 0 || slice > 10) slice = 10;
    }
    if (l.phase == LinkPhase::kNegotiating) {
        long long left = l.boundMs - MonotonicMs();
        if (left < 0) left = 0;
        if (slice < 0 || left < slice) slice = long(left);
    }
    if (kLinkRing - l.ringCount < kChunk) fd = -1;  // no room to take more: the time alone
    return WaitForPortOrKey(fd, slice);
}

size_t LinkReadable(const RemoteLink& l) { return l.phase == LinkPhase::kReady ? l.ringCount : l.ringCount - l.held; }

size_t LinkTake(RemoteLink& l, uint8_t* out, size_t n, bool* reached) {
    size_t readable = LinkReadable(l);
    if (n > readable) n = readable;
    if (reached != nullptr) *reached = false;
    if (l.lineErrorCount > 0) {
        // One at the ring's start comes before its first byte.
        bool atStart = ReachLineErrors(l);
        if (atStart) n = 0;
        if (l.lineErrorCount > 0 && n > l.lineErrors[0].at) n = l.lineErrors[0].at;
        for (size_t i = 0; i < l.lineErrorCount; ++i) l.lineErrors[i].at -= n;
        bool after = ReachLineErrors(l);
        if (reached != nullptr) *reached = atStart || after;
    }
    for (size_t i = 0; i < n; ++i) out[i] = l.ring[(l.ringStart + i) % kLinkRing];
    l.ringStart = (l.ringStart + n) % kLinkRing;
    l.ringCount -= n;
    return n;
}

void LinkSendGathered(RemoteLink& l, long ms) {
    if (l.gatherCount == 0 || l.phase != LinkPhase::kReady) return;
    size_t sent = SendAll(l, l.gather, l.gatherCount, ms);
    if (l.fd < 0) return;  // lost: LinkLost has kept the failure
    if (sent < l.gatherCount) {
        std::memmove(l.gather, l.gather + sent, l.gatherCount - sent);
        if (errno != ETIMEDOUT && l.sendError == 0) l.sendError = errno;
    }
    l.gatherCount -= sent;
}

bool LinkFlush(RemoteLink& l, long ms) {
    LinkSendGathered(l, ms);
    if (l.sendError != 0) {
        int err = l.sendError;
        l.sendError = 0;
        return FailErrno(err);
    }
    return TRUE;
}

bool LinkGather(RemoteLink& l, const uint8_t* data, size_t n, long totalMs) {
    if (l.sendError != 0) return LinkFlush(l, 0);  // bytes gathered earlier did not go out
    long long deadline = -2;  // the clock is read only when a send is due
    while (n > 0) {
        if (l.phase != LinkPhase::kReady) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
        if (l.gatherCount == 0) {
            l.gatherSinceNs = MonotonicNs();
            l.gatherCalls = 0;
        }
        size_t taken = n;
        if (l.address.comPort) {
            l.gatherCount += TelnetEncodeData(data, n, l.gather + l.gatherCount, sizeof l.gather - l.gatherCount, &taken);
        } else {
            if (taken > sizeof l.gather - l.gatherCount) taken = sizeof l.gather - l.gatherCount;
            std::memcpy(l.gather + l.gatherCount, data, taken);
            l.gatherCount += taken;
        }
        data += taken;
        n -= taken;
        // The age of the first byte is looked at every few calls: a stream
        // of one-byte writes costs no clock read each.
        bool old = ++l.gatherCalls % kGatherAgeEvery == 0 && MonotonicNs() - l.gatherSinceNs >= kGatherNs;
        if (n > 0 || l.gatherCount >= kGatherMax || old) {
            if (deadline == -2) deadline = totalMs < 0 ? -1 : MonotonicMs() + totalMs;
            long long left = deadline < 0 ? -1 : deadline - MonotonicMs();
            if (deadline >= 0 && left < 0) left = 0;
            if (!LinkFlush(l, long(left))) return false;
            if (n > 0 && l.gatherCount >= kGatherMax) return FailWith(ERROR_GEN_FAILURE);  // no room within the time
        }
    }
    return true;
}

bool LinkCommand(RemoteLink& l, uint8_t command, const uint8_t* value, size_t length, uint32_t ack, long ms) {
    if (l.phase != LinkPhase::kReady) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    LinkSendGathered(l, 1000);  // a failure is the next write's to report
    l.telnet.acks &= ~ack;
    SendCommand(l, command, value, length);
    if (l.phase != LinkPhase::kReady) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
    if (ack == 0) return true;
    ConsoleFlushHook();
    long long deadline = MonotonicMs() + ms;
    for (;;) {
        Receive(l, Take::kAnyRoom);
        if (l.phase != LinkPhase::kReady) return FailWith(ERROR_DEVICE_NOT_CONNECTED);
        if (l.telnet.acks & ack) return true;
        // The ring is full and the answer, if any, behind data not read yet:
        // the data stays in the socket and the command counts as sent.
        if (l.ringCount == kLinkRing) return true;
        long long left = deadline - MonotonicMs();
        if (left <= 0) return FailWith(ERROR_GEN_FAILURE);
        pollfd p = {l.fd, POLLIN, 0};
        if (poll(&p, 1, int(left)) < 0 && errno != EINTR) return FailErrno(errno);
    }
}
