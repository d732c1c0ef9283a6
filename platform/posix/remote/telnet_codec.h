// Internal to the remote port: the telnet side of a connection to a port
// server, as pure functions over a state held by the caller (no I/O, no
// clock, no allocation), so that any byte sequence from the network can be
// fed to it (fuzz/fuzz_telnet_codec.cpp does).
//
// The client asks for BINARY both ways and SUPPRESS-GO-AHEAD both ways, and
// offers COM-PORT-OPTION (RFC 2217); every other option is refused (WONT to
// DO, DONT to WILL), and a request for what is already in force gets no
// answer, so negotiation cannot loop. IAC is doubled in data both ways.
// Subnegotiations are kept in a fixed buffer; one that outgrows it is
// dropped whole, one that never ends costs nothing more than that buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// COM-PORT-OPTION commands (client to server; the server answers with the
// same command plus 100).
enum ComPortCommand : uint8_t {
    kCpcSignature = 0,
    kCpcBaudRate = 1,
    kCpcDataSize = 2,
    kCpcParity = 3,
    kCpcStopSize = 4,
    kCpcControl = 5,
    kCpcLineStateMask = 10,
    kCpcModemStateMask = 11,
    kCpcPurgeData = 12,
};

// Acknowledgement groups, as bits of TelnetState::acks. SET-CONTROL acks are
// sorted by what their value is about.
enum TelnetAck : uint32_t {
    kAckBaud = 1u << 0,
    kAckDataSize = 1u << 1,
    kAckParity = 1u << 2,
    kAckStopSize = 1u << 3,
    kAckFlow = 1u << 4,   // SET-CONTROL 0..3 (outbound flow control)
    kAckBreak = 1u << 5,  // SET-CONTROL 4..6
    kAckDtr = 1u << 6,    // SET-CONTROL 7..9
    kAckRts = 1u << 7,    // SET-CONTROL 10..12
    kAckPurge = 1u << 8,
    kAckModemMask = 1u << 9,
};

constexpr size_t kTelnetSubMax = 64;     // longest subnegotiation kept
constexpr size_t kTelnetReplyMax = 256;  // negotiation answers not yet sent
constexpr size_t kTelnetLineMax = 16;    // line-state notifications kept per decode

// Line-state bits of NOTIFY-LINESTATE that tell of a receive error (break,
// framing, parity, overrun), the bits SET-LINESTATE-MASK asks for.
constexpr uint8_t kLineStateErrors = 0x1E;

// A NOTIFY-LINESTATE with error bits, at its place in the decoded data.
struct TelnetLineState {
    size_t at;     // data bytes of the decode call before it
    uint8_t bits;  // its kLineStateErrors bits
};

struct TelnetState {
    uint8_t mode;              // where the decoder stands (remote/telnet_codec.cpp)
    uint8_t verb;              // WILL/WONT/DO/DONT waiting for its option
    uint8_t sub[kTelnetSubMax];
    size_t subLength;
    bool subTooLong;
    uint8_t us[256];           // option states on our side (0 no, 1 asked, 2 yes)
    uint8_t them[256];         // ... and on the server's side
    uint8_t reply[kTelnetReplyMax];  // answers to send; more than fit are left out
    size_t replyLength;
    // What the server has told (RFC 2217).
    uint32_t acks;             // groups acknowledged since the caller last cleared them
    uint32_t baud;             // values of the last acknowledgements
    uint8_t dataSize, parity, stopSize, flow;
    bool haveModem;            // a NOTIFY-MODEMSTATE has come
    uint8_t modem;             // its line levels (bits 4..7, as MS_*_ON)
    uint8_t pulse;             // lines reported moved whose level is back, until taken
    // The NOTIFY-LINESTATEs of the last decode call, in order; more than
    // fit join the last one.
    TelnetLineState line[kTelnetLineMax];
    size_t lineCount;
};

// A fresh connection. Writes the opening requests into `reply`.
void TelnetStart(TelnetState& t, bool comPort);

// Decodes `n` bytes from the server: data bytes go to `data` (room for `n`
// bytes at least), answers to `reply`, COM-PORT news into the state.
// Returns the count of data bytes; the line-state notifications among them
// are in `line`.
size_t TelnetDecode(TelnetState& t, const uint8_t* in, size_t n, uint8_t* data);

// Encodes data for the server, doubling IAC: takes bytes from `in` while
// their encoding fits in `room` bytes of `out`. Returns the bytes written;
// `*taken` is how many of `in` they carry.
size_t TelnetEncodeData(const uint8_t* in, size_t n, uint8_t* out, size_t room, size_t* taken);

// Encodes one COM-PORT-OPTION command with its value (IAC doubled) into
// `out`, which has room for 2 * length + 7 bytes. Returns the bytes written.
size_t TelnetEncodeCommand(uint8_t command, const uint8_t* value, size_t length, uint8_t* out);
