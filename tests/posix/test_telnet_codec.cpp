// The remote port's telnet codec: what it answers, what it passes as data,
// and what it makes of the server's COM-PORT news, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "../../platform/posix/remote/telnet_codec.h"

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += char(v);
    return s;
}

struct Decoded {
    std::string data, reply;
};

Decoded Feed(TelnetState& t, const std::string& in) {
    std::string data(in.size(), '\0');
    t.replyLength = 0;
    size_t n = TelnetDecode(t, reinterpret_cast<const uint8_t*>(in.data()), in.size(),
                            reinterpret_cast<uint8_t*>(&data[0]));
    return {data.substr(0, n), std::string(reinterpret_cast<const char*>(t.reply), t.replyLength)};
}

TEST(TelnetCodec, NegotiationAndData) {
    const struct {
        const char* name;
        std::string in, data, reply;
    } cases[] = {
        // ser2net's opening: answers only for what was not asked for already.
        {"server opening", Bytes({255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0, 255, 251, 0,
                                  255, 253, 44}),
         "", Bytes({255, 254, 1})},
        {"other options refused", Bytes({255, 253, 24, 255, 251, 31}), "", Bytes({255, 252, 24, 255, 254, 31})},
        {"doubled IAC is data", Bytes({'a', 255, 255, 'b'}), Bytes({'a', 255, 'b'}), ""},
        {"commands carry no data", Bytes({'a', 255, 241, 255, 249, 'b'}), "ab", ""},
        {"unknown subnegotiation", Bytes({'x', 255, 250, 99, 1, 2, 255, 255, 255, 240, 'y'}), "xy", ""},
        {"command inside a subnegotiation", Bytes({255, 250, 44, 255, 253, 24, 'z'}), "z", Bytes({255, 252, 24})},
        {"never-ending subnegotiation", Bytes({255, 250, 44}) + std::string(10000, 'q'), "", ""},
    };
    for (const auto& k : cases) {
        TelnetState t;
        TelnetStart(t, true);
        Decoded d = Feed(t, k.in);
        EXPECT_EQ(d.data, k.data) << k.name;
        EXPECT_EQ(d.reply, k.reply) << k.name;
        EXPECT_LE(t.subLength, kTelnetSubMax) << k.name;
    }
}

TEST(TelnetCodec, ComPortNews) {
    TelnetState t;
    TelnetStart(t, true);
    auto sub = [](int command, std::initializer_list<int> value) {
        std::string s = Bytes({255, 250, 44, command});
        for (int v : value) s += v == 255 ? Bytes({255, 255}) : Bytes({v});
        return s + Bytes({255, 240});
    };
    Feed(t, sub(101, {0, 1, 194, 0}) + sub(102, {8}) + sub(103, {1}) + sub(104, {2}) + sub(105, {1}));
    EXPECT_EQ(t.acks, uint32_t(kAckBaud | kAckDataSize | kAckParity | kAckStopSize | kAckFlow));
    EXPECT_EQ(t.baud, 115200u);
    EXPECT_EQ(t.stopSize, 2);
    // ser2net answers break-off with the break-on value: still a break answer.
    t.acks = 0;
    Feed(t, sub(105, {5}) + sub(105, {8}) + sub(105, {12}) + sub(112, {3}));
    EXPECT_EQ(t.acks, uint32_t(kAckBreak | kAckDtr | kAckRts | kAckPurge));

    const struct {
        int state;
        uint8_t modem, pulse;
    } notes[] = {
        {0x33, 0x30, 0x00},  // first: DSR and CTS on, no pulse whatever the change bits
        {0xB8, 0xB0, 0x00},  // DCD moved on
        {0xB2, 0xB0, 0x20},  // DSR reported moved, level as before: it went and came back
        {0xB4, 0xB0, 0x60},  // RI's trailing edge with RI off: a ring (DSR's pulse not yet taken)
    };
    for (const auto& n : notes) {
        Feed(t, sub(107, {n.state}));
        EXPECT_EQ(t.modem, n.modem) << n.state;
        EXPECT_EQ(t.pulse, n.pulse) << n.state;
    }
}

TEST(TelnetCodec, Encoding) {
    const uint8_t in[] = {'a', 255, 'b', 255};
    uint8_t out[8];
    size_t taken = 0;
    EXPECT_EQ(TelnetEncodeData(in, 4, out, 5, &taken), 4u);  // the last IAC, doubled, no longer fits
    EXPECT_EQ(taken, 3u);
    EXPECT_EQ(TelnetEncodeData(in, 4, out, 8, &taken), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), Bytes({'a', 255, 255, 'b', 255, 255}));
    const uint8_t value[] = {0, 0, 255, 0};
    uint8_t cmd[16];
    size_t n = TelnetEncodeCommand(kCpcBaudRate, value, 4, cmd);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cmd), n), Bytes({255, 250, 44, 1, 0, 0, 255, 255, 0, 255, 240}));
}

}  // namespace
