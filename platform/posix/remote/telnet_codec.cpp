// The telnet decoder and encoder of the remote port (remote/telnet_codec.h): option
// negotiation after RFC 854/856/858 with the answers of RFC 1143's rules
// (no answer to a request for what is already in force), and the
// server-to-client half of RFC 2217.
#include "telnet_codec.h"

#include <cstring>

namespace {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kOptBinary = 0, kOptSga = 3, kOptComPort = 44;
constexpr uint8_t kServerReply = 100;  // server answers carry command + 100
constexpr uint8_t kNotifyLineState = 6;
constexpr uint8_t kNotifyModemState = 7;

enum Mode : uint8_t { kData, kAfterIac, kOption, kSub, kSubIac };
enum OptionState : uint8_t { kNo = 0, kAsked = 1, kYes = 2 };

bool WeAccept(uint8_t option) { return option == kOptBinary || option == kOptSga || option == kOptComPort; }
bool TheyMay(uint8_t option) { return option == kOptBinary || option == kOptSga; }

void Reply(TelnetState& t, uint8_t verb, uint8_t option) {
    if (t.replyLength + 3 > kTelnetReplyMax) return;  // a flood of requests: the rest go unanswered
    t.reply[t.replyLength++] = kIac;
    t.reply[t.replyLength++] = verb;
    t.reply[t.replyLength++] = option;
}

void Negotiate(TelnetState& t, uint8_t verb, uint8_t option) {
    switch (verb) {
        case kDo:
            if (!WeAccept(option)) Reply(t, kWont, option);
            else if (t.us[option] == kNo) Reply(t, kWill, option);
            if (WeAccept(option)) t.us[option] = kYes;
            break;
        case kDont:
            if (t.us[option] == kYes) Reply(t, kWont, option);
            t.us[option] = kNo;
            break;
        case kWill:
            if (!TheyMay(option)) Reply(t, kDont, option);
            else if (t.them[option] == kNo) Reply(t, kDo, option);
            if (TheyMay(option)) t.them[option] = kYes;
            break;
        default:  // kWont
            if (t.them[option] == kYes) Reply(t, kDont, option);
            t.them[option] = kNo;
            break;
    }
}

uint32_t ControlAck(uint8_t value) {
    if (value <= 3) return kAckFlow;
    if (value <= 6) return kAckBreak;
    if (value <= 9) return kAckDtr;
    if (value <= 12) return kAckRts;
    return 0;  // inbound flow control and the rest: not asked for
}

// A line state with error bits, after `at` data bytes of this decode.
void LineState(TelnetState& t, size_t at, uint8_t value) {
    const uint8_t bits = value & kLineStateErrors;
    if (bits == 0) return;
    if (t.lineCount == kTelnetLineMax || (t.lineCount > 0 && t.line[t.lineCount - 1].at == at)) {
        t.line[t.lineCount - 1].bits |= bits;
        return;
    }
    t.line[t.lineCount].at = at;
    t.line[t.lineCount].bits = bits;
    ++t.lineCount;
}

// A complete subnegotiation: sub[0] the option, then its bytes; `at` data
// bytes of this decode came before it.
void Subnegotiation(TelnetState& t, size_t at) {
    if (t.subLength < 3 || t.sub[0] != kOptComPort || t.sub[1] < kServerReply) return;
    const uint8_t command = uint8_t(t.sub[1] - kServerReply);
    const uint8_t* v = t.sub + 2;
    const size_t n = t.subLength - 2;
    switch (command) {
        case kCpcBaudRate:
            if (n < 4) return;
            t.baud = uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3];
            t.acks |= kAckBaud;
            break;
        case kCpcDataSize: t.dataSize = v[0]; t.acks |= kAckDataSize; break;
        case kCpcParity: t.parity = v[0]; t.acks |= kAckParity; break;
        case kCpcStopSize: t.stopSize = v[0]; t.acks |= kAckStopSize; break;
        case kCpcControl:
            if (ControlAck(v[0]) == kAckFlow) t.flow = v[0];
            t.acks |= ControlAck(v[0]);
            break;
        case kNotifyModemState: {
            const uint8_t levels = v[0] & 0xF0;
            const uint8_t moved = uint8_t((v[0] & 0x0F) << 4);  // delta bits, in the level positions
            // Reported moved, but at the level we knew: it went and came back.
            if (t.haveModem) t.pulse |= uint8_t(moved & ~(levels ^ t.modem));
            t.modem = levels;
            t.haveModem = true;
            break;
        }
        case kNotifyLineState: LineState(t, at, v[0]); break;
        case kCpcModemStateMask: t.acks |= kAckModemMask; break;
        case kCpcPurgeData: t.acks |= kAckPurge; break;
        default: break;  // signature, line-state mask, flow suspend/resume: nothing to do
    }
}

void SubByte(TelnetState& t, uint8_t b) {
    if (t.subLength < kTelnetSubMax) t.sub[t.subLength++] = b;
    else t.subTooLong = true;
}

}  // namespace

void TelnetStart(TelnetState& t, bool comPort) {
    std::memset(&t, 0, sizeof t);
    const uint8_t asks[][2] = {{kWill, kOptBinary}, {kDo, kOptBinary}, {kWill, kOptSga}, {kDo, kOptSga}};
    for (const auto& a : asks) {
        Reply(t, a[0], a[1]);
        (a[0] == kWill ? t.us : t.them)[a[1]] = kAsked;
    }
    if (comPort) {
        Reply(t, kWill, kOptComPort);
        t.us[kOptComPort] = kAsked;
    }
}

size_t TelnetDecode(TelnetState& t, const uint8_t* in, size_t n, uint8_t* data) {
    size_t out = 0;
    t.lineCount = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = in[i];
        switch (t.mode) {
            case kData:
                if (b == kIac) t.mode = kAfterIac;
                else data[out++] = b;
                break;
            case kAfterIac:
                t.mode = kData;
                if (b == kIac) {
                    data[out++] = b;
                } else if (b >= kWill && b <= kDont) {
                    t.verb = b;
                    t.mode = kOption;
                } else if (b == kSb) {
                    t.subLength = 0;
                    t.subTooLong = false;
                    t.mode = kSub;
                }
                break;  // NOP, GA, DM and the other commands carry nothing here
            case kOption:
                Negotiate(t, t.verb, b);
                t.mode = kData;
                break;
            case kSub:
                if (b == kIac) t.mode = kSubIac;
                else SubByte(t, b);
                break;
            default:  // kSubIac
                if (b == kIac) {
                    SubByte(t, b);
                    t.mode = kSub;
                } else if (b == kSe) {
                    if (!t.subTooLong) Subnegotiation(t, out);
                    t.mode = kData;
                } else {
                    // A command inside a subnegotiation: the subnegotiation
                    // is given up and the command taken as one.
                    t.mode = kAfterIac;
                    --i;
                }
                break;
        }
    }
    return out;
}

size_t TelnetEncodeData(const uint8_t* in, size_t n, uint8_t* out, size_t room, size_t* taken) {
    size_t o = 0, i = 0;
    for (; i < n; ++i) {
        const size_t need = in[i] == kIac ? 2 : 1;
        if (o + need > room) break;
        out[o++] = in[i];
        if (need == 2) out[o++] = kIac;
    }
    *taken = i;
    return o;
}

size_t TelnetEncodeCommand(uint8_t command, const uint8_t* value, size_t length, uint8_t* out) {
    size_t o = 0;
    out[o++] = kIac;
    out[o++] = kSb;
    out[o++] = kOptComPort;
    out[o++] = command;
    size_t taken = 0;
    o += TelnetEncodeData(value, length, out + o, 2 * length, &taken);
    out[o++] = kIac;
    out[o++] = kSe;
    return o;
}
