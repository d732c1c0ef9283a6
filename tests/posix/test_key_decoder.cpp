// The key decoder: terminal chunks in, PC console key bytes out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../platform/posix/console/key_decoder.h"

namespace {

struct DecodeCase {
    const char* name;
    std::vector<std::string> chunks;  // each as one read() returned it
    bool utf8;
    std::string expected;
};

std::string Decode(const std::vector<std::string>& chunks, bool utf8) {
    KeyDecoderState state = {};
    std::string result;
    for (const std::string& chunk : chunks) {
        std::vector<unsigned char> out(2 * chunk.size() + 1);
        size_t n = DecodeKeys(&state, reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size(), out.data(),
                              out.size(), utf8);
        result.append(reinterpret_cast<const char*>(out.data()), n);
    }
    unsigned char last[2];
    result.append(reinterpret_cast<const char*>(last), FinishKeys(&state, last, sizeof last));
    return result;
}

const std::string E0 = "\xE0";
const std::string Z = std::string(1, '\0');

const DecodeCase kCases[] = {
    {"arrows xterm", {"\x1b[A\x1b[B\x1b[D\x1b[C"}, true, E0 + "H" + E0 + "P" + E0 + "K" + E0 + "M"},
    {"arrows application mode", {"\x1bOA\x1bOC"}, true, E0 + "H" + E0 + "M"},
    {"Home End xterm", {"\x1b[H\x1b[F\x1bOH\x1bOF"}, true, E0 + "G" + E0 + "O" + E0 + "G" + E0 + "O"},
    {"Home End linux", {"\x1b[1~\x1b[4~"}, true, E0 + "G" + E0 + "O"},
    {"PgUp PgDn Ins Del", {"\x1b[5~\x1b[6~\x1b[2~\x1b[3~"}, true, E0 + "I" + E0 + "Q" + E0 + "R" + E0 + "S"},
    {"F1 both forms", {"\x1bOP\x1b[[A\x1b[11~"}, true, Z + "\x3b" + Z + "\x3b" + Z + "\x3b"},
    {"F5 both forms", {"\x1b[15~\x1b[[E"}, true, Z + "\x3f" + Z + "\x3f"},
    {"F10 F11 F12", {"\x1b[21~\x1b[23~\x1b[24~"}, true, Z + "\x44" + E0 + "\x85" + E0 + "\x86"},
    {"modifier dropped", {"\x1b[1;5A\x1b[5;2~"}, true, E0 + "H" + E0 + "I"},
    {"lone ESC", {"\x1b"}, true, "\x1b"},
    {"ESC x", {"\x1bx"}, true, "\x1bx"},
    {"ESC ESC", {"\x1b\x1b"}, true, "\x1b\x1b"},
    {"ESC [ alone", {"\x1b["}, true, "\x1b["},
    {"ESC ESC [ A is ESC then Up", {"\x1b\x1b[A"}, true, "\x1b" + E0 + "H"},
    {"sequence split across reads", {"\x1b", "[A"}, true, "\x1b[A"},
    {"ESC O then unknown", {"\x1bOz"}, true, "\x1bOz"},
    {"unknown CSI passes through", {"\x1b[200~ab\x1b[?1;2c"}, true, "\x1b[200~ab\x1b[?1;2c"},
    {"y diaeresis ends the session", {"\xc3\xbf"}, true, "\xff"},
    {"e acute", {"\xc3\xa9"}, true, "\xe9"},
    {"euro sign", {"\xe2\x82\xac"}, true, "?"},
    {"emoji", {"x\xf0\x9f\x98\x80y"}, true, "x?y"},
    {"broken UTF-8 then a", {"\xe2\x82" "a"}, true, "?a"},
    {"stray continuation and bad lead", {"\x80\xc0\xff"}, true, "???"},
    {"overlong and surrogate", {"\xe0\x80\xa9\xed\xa0\x80"}, true, "??"},
    {"broken UTF-8 then ESC sequence", {"\xc3\x1b[A"}, true, "?" + E0 + "H"},
    {"split UTF-8 across two chunks", {"a\xc3", "\xa9" "b"}, true, "a\xe9" "b"},
    {"split three ways", {"\xe2", "\x82", "\xac!"}, true, "?!"},
    {"cut off at the end of input", {"a\xc3"}, true, "a?"},
    {"non-UTF-8 locale: UTF-8 in one read decoded, Latin-1 bytes pass", {"\xc3\xbf\xe9\xff\x80\xc0\xaf"}, false,
     "\xff\xe9\xff\x80\xc0\xaf"},
    {"non-UTF-8 locale: a character split across reads passes", {"\xc3", "\xbf"}, false, "\xc3\xbf"},
    {"non-UTF-8 locale keys still decoded", {"\xe9\x1b[A"}, false, "\xe9" + E0 + "H"},
};

TEST(KeyDecoder, ChunksGiveConsoleKeyBytes) {
    for (const DecodeCase& c : kCases) EXPECT_EQ(Decode(c.chunks, c.utf8), c.expected) << c.name;
}

TEST(KeyDecoder, NeverWritesPastOutCap) {
    const unsigned char in[] = {0x1b, '[', 'A', 0x1b, 'x'};
    unsigned char out[8] = {0, 0, 0, 0x55, 0x55, 0x55, 0x55, 0x55};
    KeyDecoderState state = {};
    EXPECT_EQ(DecodeKeys(&state, in, sizeof in, out, 3, true), 3u);
    EXPECT_EQ(out[3], 0x55);
}

}  // namespace
