// Fuzz target: the terminal key decoder. The first byte picks the mode and
// how the rest is cut into read() chunks. Checked: no crash, never more than
// two bytes out per byte in, and no byte of plain text lost: with every ESC
// taken out of the input, each ASCII byte comes out unchanged and in order
// (non-ASCII bytes may become '?' or a Latin-1 byte, but never swallow the
// ASCII byte after them); without UTF-8, input with no UTF-8 lead byte
// passes unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../platform/posix/console/key_decoder.h"

namespace {

std::string Decode(const std::string& in, bool utf8, uint8_t cut) {
    KeyDecoderState state = {};
    std::string result;
    size_t step = 1 + (cut & 0x3F);
    for (size_t at = 0, n = 0; at < in.size(); at += n) {
        n = in.size() - at < step ? in.size() - at : step;
        std::vector<unsigned char> out(2 * n);
        size_t got = DecodeKeys(&state, reinterpret_cast<const unsigned char*>(in.data() + at), n, out.data(),
                                out.size(), utf8);
        if (got > 2 * n || state.count > 3) std::abort();
        result.append(reinterpret_cast<const char*>(out.data()), got);
        if (cut & 0x40) step = 1 + (step * 7 + 3) % 17;  // uneven chunks
    }
    unsigned char last[2];
    size_t tail = FinishKeys(&state, last, sizeof last);
    if (tail > 1 || state.count != 0) std::abort();
    result.append(reinterpret_cast<const char*>(last), tail);
    return result;
}

// The ASCII bytes other than '?', in order.
std::string PlainAscii(const std::string& s) {
    std::string plain;
    for (unsigned char c : s) {
        if (c < 0x80 && c != '?') plain += char(c);
    }
    return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool utf8 = data[0] & 0x80;
    const std::string in(reinterpret_cast<const char*>(data + 1), size - 1);
    Decode(in, utf8, data[0]);  // anything at all: bounds only

    std::string noEsc;
    for (char c : in) {
        if (c != '\x1b') noEsc += c;
    }
    const std::string out = Decode(noEsc, utf8, data[0]);
    if (PlainAscii(out) != PlainAscii(noEsc)) std::abort();
    bool leadByte = false;
    for (unsigned char c : noEsc) leadByte = leadByte || (c >= 0xC2 && c <= 0xF4);
    if (!utf8 && !leadByte && out != noEsc) std::abort();
    return 0;
}
