// The port configuration dialog on this host: one screen in the console that
// edits the DCB inside a COMMCONFIG. Five fields (bits per second, data bits,
// parity, stop bits, flow control), moved between with Up/Down or Tab,
// changed with Left/Right or Space; digits type a rate, Backspace edits it;
// Enter accepts, ESC cancels. Only the fields the user changed are written
// back, so accepting at once hands back the DCB exactly as it came. What the
// user chose is returned without judging it: the port's SetCommState decides.
//
// The screen is drawn once and then redrawn in place (cursor up, clear to end
// of line); it takes 10 lines and at most 70 columns and uses no attributes.
//
// Every wait is bounded: a key read happens only after the key test says a
// byte is there, and a console that stays silent for kIdlePolls polls, or
// whose input has ended (two zero bytes in a row, which no key gives), counts
// as a cancel, as does the byte 0xFF, the monitor's own end-of-session key.
#include <cstdio>
#include <cstring>

#include "../../console.h"
#include "../win32/provider.h"

namespace {

const DWORD kRates[] = {110,   300,   600,   1200,   2400,   4800,   9600,  14400,
                        19200, 38400, 57600, 115200, 230400, 460800, 921600};
constexpr int kRateCount = int(sizeof kRates / sizeof kRates[0]);

constexpr unsigned kPollMs = 50;
constexpr unsigned kIdlePolls = 6000;      // 5 minutes without a key
constexpr unsigned kMaxKeys = 100000;      // keys handled by one dialog at most
constexpr unsigned kMaxRateDigits = 9;     // below 10^9, so it fits a DWORD

enum Field { kRate, kData, kParity, kStop, kFlow, kFieldCount };
enum Flow { kFlowNone, kFlowHardware, kFlowXonXoff };

const char* const kParityNames[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const kStopNames[] = {"1", "1.5", "2"};
const char* const kFlowNames[] = {"None", "Hardware", "Xon / Xoff"};

// What the screen shows. An enumerated field holds -1 while the DCB's value
// is none of those offered; it is then shown as found and left alone unless
// the user changes it.
struct Dialog {
    DWORD rate;
    int dataBits;       // 5..8 or -1
    int foundDataBits;  // the DCB's ByteSize, shown while dataBits is -1
    int parity;         // NOPARITY..SPACEPARITY or -1
    int stop;           // ONESTOPBIT..TWOSTOPBITS or -1
    int flow;           // Flow or -1
    unsigned touched;   // bit per Field: changed by the user
    int field;
    bool editing;       // digits are being typed into the rate
    char digits[kMaxRateDigits + 1];
    unsigned digitCount;
    char title[24];
};

enum Outcome { kGoOn, kAccept, kCancel };

void Write(const char* text) { ConsoleWrite(text, std::strlen(text)); }

int ClassifyFlow(const DCB& dcb) {
    bool ctsRts = dcb.fOutxCtsFlow && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    bool anyHardware = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    bool xonXoff = dcb.fOutX && dcb.fInX;
    bool anySoftware = dcb.fOutX || dcb.fInX;
    bool dsrDtr = dcb.fOutxDsrFlow || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
    if (!anyHardware && !anySoftware && !dsrDtr) return kFlowNone;
    if (ctsRts && !anySoftware) return kFlowHardware;
    if (xonXoff && !anyHardware) return kFlowXonXoff;
    return -1;
}

void ApplyFlow(DCB* dcb, int flow) {
    dcb->fOutxCtsFlow = flow == kFlowHardware;
    dcb->fOutX = flow == kFlowXonXoff;
    dcb->fInX = flow == kFlowXonXoff;
    if (flow == kFlowHardware) {
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (flow == kFlowNone) {
        dcb->fOutxDsrFlow = 0;
        if (dcb->fDtrControl == DTR_CONTROL_HANDSHAKE) dcb->fDtrControl = DTR_CONTROL_ENABLE;
    }
    // Software flow needs two distinct characters; give it the usual ones
    // when the DCB has none.
    if (flow == kFlowXonXoff && dcb->XonChar == dcb->XoffChar) {
        dcb->XonChar = 0x11;
        dcb->XoffChar = 0x13;
    }
}

void Load(Dialog* d, const DCB& dcb, const char* name) {
    std::memset(d, 0, sizeof *d);
    d->rate = dcb.BaudRate;
    d->dataBits = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : -1;
    d->foundDataBits = dcb.ByteSize;
    d->parity = dcb.Parity <= SPACEPARITY ? dcb.Parity : -1;
    d->stop = dcb.StopBits <= TWOSTOPBITS ? dcb.StopBits : -1;
    d->flow = ClassifyFlow(dcb);
    d->field = kRate;
    // The title shows the port name, printable characters only, cut short.
    size_t n = 0;
    for (const char* p = name; p != nullptr && *p != '\0' && n < 12; ++p) {
        d->title[n++] = (*p >= 0x20 && *p < 0x7F) ? *p : '?';
    }
    d->title[n] = '\0';
}

void Store(const Dialog& d, DCB* dcb) {
    if (d.touched & (1u << kRate)) dcb->BaudRate = d.rate;
    if ((d.touched & (1u << kData)) && d.dataBits >= 0) dcb->ByteSize = BYTE(d.dataBits);
    if ((d.touched & (1u << kParity)) && d.parity >= 0) dcb->Parity = BYTE(d.parity);
    if ((d.touched & (1u << kStop)) && d.stop >= 0) dcb->StopBits = BYTE(d.stop);
    if ((d.touched & (1u << kFlow)) && d.flow >= 0) ApplyFlow(dcb, d.flow);
}

// Digits typed so far become the rate; none typed keeps the rate as it was.
void CommitRate(Dialog* d) {
    if (!d->editing) return;
    d->editing = false;
    if (d->digitCount == 0) return;
    DWORD rate = 0;
    for (unsigned i = 0; i < d->digitCount; ++i) rate = rate * 10 + DWORD(d->digits[i] - '0');
    d->rate = rate;
    d->touched |= 1u << kRate;
}

// Steps an enumerated value through first..last, wrapping; an unknown value
// (-1) steps to either end.
int Step(int value, int first, int last, int direction) {
    if (value < first || value > last) return direction > 0 ? first : last;
    value += direction;
    if (value > last) return first;
    if (value < first) return last;
    return value;
}

DWORD StepRate(DWORD rate, int direction) {
    if (direction > 0) {
        for (int i = 0; i < kRateCount; ++i) {
            if (kRates[i] > rate) return kRates[i];
        }
        return kRates[0];
    }
    for (int i = kRateCount - 1; i >= 0; --i) {
        if (kRates[i] < rate) return kRates[i];
    }
    return kRates[kRateCount - 1];
}

void Change(Dialog* d, int direction) {
    switch (d->field) {
        case kRate: CommitRate(d); d->rate = StepRate(d->rate, direction); break;
        case kData: d->dataBits = Step(d->dataBits, 5, 8, direction); break;
        case kParity: d->parity = Step(d->parity, NOPARITY, SPACEPARITY, direction); break;
        case kStop: d->stop = Step(d->stop, ONESTOPBIT, TWOSTOPBITS, direction); break;
        default: d->flow = Step(d->flow, kFlowNone, kFlowXonXoff, direction); break;
    }
    d->touched |= 1u << d->field;
}

void Move(Dialog* d, int direction) {
    CommitRate(d);
    d->field = (d->field + direction + kFieldCount) % kFieldCount;
}

void TypeDigit(Dialog* d, char digit) {
    if (d->field != kRate) return;
    if (!d->editing) {
        d->editing = true;
        d->digitCount = 0;
    }
    if (d->digitCount < kMaxRateDigits) d->digits[d->digitCount++] = digit;
}

void Backspace(Dialog* d) {
    if (d->field != kRate) return;
    if (!d->editing) {
        // Start from the rate shown, so Backspace trims it.
        char text[16];
        int n = std::snprintf(text, sizeof text, "%lu", (unsigned long)d->rate);
        d->editing = true;
        d->digitCount = 0;
        for (int i = 0; i < n && d->digitCount < kMaxRateDigits; ++i) d->digits[d->digitCount++] = text[i];
    }
    if (d->digitCount > 0) --d->digitCount;
}

void FieldValue(const Dialog& d, int field, char* out, size_t size) {
    switch (field) {
        case kRate:
            if (d.editing) {
                std::snprintf(out, size, "%.*s_", int(d.digitCount), d.digits);
            } else {
                std::snprintf(out, size, "%lu", (unsigned long)d.rate);
            }
            return;
        case kData:
            if (d.dataBits >= 0) {
                std::snprintf(out, size, "%d", d.dataBits);
            } else {
                std::snprintf(out, size, "(%d)", d.foundDataBits);
            }
            return;
        case kParity:
            std::snprintf(out, size, "%s", d.parity >= 0 ? kParityNames[d.parity] : "(other)");
            return;
        case kStop:
            std::snprintf(out, size, "%s", d.stop >= 0 ? kStopNames[d.stop] : "(other)");
            return;
        default:
            std::snprintf(out, size, "%s", d.flow >= 0 ? kFlowNames[d.flow] : "(custom)");
            return;
    }
}

const char* const kLabels[] = {"Bits per second", "Data bits", "Parity", "Stop bits", "Flow control"};
const char kHelp[] =
    "\r\x1b[KUp/Down/Tab: field  Left/Right/Space: change  0-9, Backspace: rate\n"
    "\r\x1b[KEnter: accept  Esc: cancel\n";
constexpr int kHelpLines = 2;

void DrawFields(const Dialog& d) {
    for (int f = 0; f < kFieldCount; ++f) {
        char value[24];
        FieldValue(d, f, value, sizeof value);
        char line[80];
        std::snprintf(line, sizeof line, "\r\x1b[K %s %-16s %s\n", f == d.field ? ">" : " ", kLabels[f], value);
        Write(line);
    }
    Write(kHelp);
}

void DrawFirst(const Dialog& d) {
    char line[64];
    std::snprintf(line, sizeof line, "\n%s port settings\n", d.title);
    Write(line);
    DrawFields(d);
}

void Redraw(const Dialog& d) {
    char up[16];
    std::snprintf(up, sizeof up, "\x1b[%dA", kFieldCount + kHelpLines);
    Write(up);
    DrawFields(d);
}

// The next byte of a key, or -1 when the console stays silent too long.
int NextByte() {
    for (unsigned idle = 0; idle < kIdlePolls; ++idle) {
        if (ConsoleKeyWaiting()) return ConsoleReadKey();
        ConsoleSleep(kPollMs);
    }
    return -1;
}

// A terminal's key that the console layer did not know (Shift+Tab, say)
// arrives as a whole CSI sequence, ESC '[' parameters final byte, all at
// once. ESC followed by anything else, or by nothing yet, is the ESC key.
// Returns the final byte of such a sequence, or 0 for a plain ESC.
int CsiFinal() {
    if (!ConsoleKeyWaiting()) return 0;
    if (ConsoleReadKey() != '[') return 0;
    for (int i = 0; i < 16 && ConsoleKeyWaiting(); ++i) {
        int c = ConsoleReadKey();
        if (c >= 0x40 && c <= 0x7E) return c;
        if (c < 0x20 || c > 0x3F) return 0;
    }
    return 0;
}

Outcome HandleKey(Dialog* d) {
    int key = NextByte();
    if (key < 0 || key == 0xFF) return kCancel;
    if (key == 0xE0 || key == 0x00) {
        int code = NextByte();
        if (code < 0 || (key == 0x00 && code == 0x00)) return kCancel;  // input has ended
        if (key == 0x00) return kGoOn;                                    // function keys: nothing here
        switch (code) {
            case 0x48: Move(d, -1); break;
            case 0x50: Move(d, +1); break;
            case 0x4B: Change(d, -1); break;
            case 0x4D: Change(d, +1); break;
            default: break;
        }
        return kGoOn;
    }
    switch (key) {
        case 0x1B: {
            int last = CsiFinal();
            if (last == 0) return kCancel;
            if (last == 'Z') Move(d, -1);  // Shift+Tab
            return kGoOn;
        }
        case '\r': case '\n': CommitRate(d); return kAccept;
        case '\t': Move(d, +1); return kGoOn;
        case ' ': Change(d, +1); return kGoOn;
        case 0x08: case 0x7F: Backspace(d); return kGoOn;
        default:
            if (key >= '0' && key <= '9') TypeDigit(d, char(key));
            return kGoOn;
    }
}

}  // namespace

BOOL CommConfigDialogA(LPCSTR name, HWND, LPCOMMCONFIG config) {
    if (config == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!ConsoleIsInteractive()) return FailWith(ERROR_NOT_SUPPORTED);
    Dialog d;
    Load(&d, config->dcb, name);
    DrawFirst(d);
    Outcome outcome = kCancel;
    for (unsigned keys = 0; keys < kMaxKeys; ++keys) {
        outcome = HandleKey(&d);
        if (outcome != kGoOn) break;
        Redraw(d);
    }
    if (outcome != kAccept) {
        Write("Cancelled.\n");
        return FailWith(ERROR_CANCELLED);
    }
    Redraw(d);
    Write("Accepted.\n");
    Store(d, &config->dcb);
    return TRUE;
}
