// Fuzz target: the remote port's telnet decoder and encoder. The first byte
// cuts the rest into recv() chunks. Checked: no crash, never more data out
// than bytes in, the owed answers and subnegotiation within their bounds,
// and data without IAC (and with it, encoded by the encoder) passing
// through the decoder unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../platform/posix/remote/telnet_codec.h"

namespace {

std::vector<uint8_t> Decode(TelnetState& t, const uint8_t* in, size_t n, uint8_t cut) {
    std::vector<uint8_t> result;
    size_t step = 1 + (cut & 0x3F);
    for (size_t at = 0; at < n; at += step) {
        size_t k = n - at < step ? n - at : step;
        std::vector<uint8_t> out(k);
        size_t got = TelnetDecode(t, in + at, k, out.data());
        if (got > k || t.replyLength > kTelnetReplyMax || t.subLength > kTelnetSubMax) std::abort();
        if ((t.modem & 0x0F) != 0) std::abort();  // levels only
        result.insert(result.end(), out.begin(), out.begin() + long(got));
        t.replyLength = 0;  // sent
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t cut = data[0];
    ++data;
    --size;
    TelnetState t;
    TelnetStart(t, (cut & 0x80) != 0);
    (void)Decode(t, data, size, cut);

    // What the encoder makes of any data comes back unchanged.
    std::vector<uint8_t> encoded(2 * size + 1);
    size_t taken = 0;
    size_t n = TelnetEncodeData(data, size, encoded.data(), encoded.size(), &taken);
    if (taken != size) std::abort();
    TelnetState fresh;
    TelnetStart(fresh, true);
    std::vector<uint8_t> back = Decode(fresh, encoded.data(), n, cut);
    if (back.size() != size || (size > 0 && std::memcmp(back.data(), data, size) != 0)) std::abort();

    // A command's encoding ends with IAC SE and doubles IAC in its value.
    std::vector<uint8_t> command(2 * size + 7);
    size_t c = TelnetEncodeCommand(kCpcBaudRate, data, size, command.data());
    if (c > command.size() || command[c - 1] != 240 || command[c - 2] != 255) std::abort();
    return 0;
}
