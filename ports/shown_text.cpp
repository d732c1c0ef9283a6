// Text from outside made safe to show (see ports/shown_text.h).
#include "shown_text.h"

namespace {

// The length of the valid UTF-8 sequence at `s` (lead byte >= 0x80), or 0.
// Overlong forms, surrogates and code points above U+10FFFF are invalid.
size_t Utf8Length(const unsigned char* s) {
    const unsigned char c = s[0];
    size_t n;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (s[1] < low || s[1] > high) return 0;
    for (size_t i = 2; i < n; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return n;
}

}  // namespace

size_t ShowText(const char* text, TextCoding coding, char* out, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text != nullptr ? text : "");
    size_t used = 0;
    while (*s != '\0') {
        const unsigned char c = *s;
        size_t plain = 0, escaped = 0;  // bytes to copy as they are, or to show as \xHH
        if (c < 0x20 || c == 0x7F) escaped = 1;
        else if (c == '\\' && s[1] == 'x') escaped = 1;
        else if (c < 0x80 || coding == TextCoding::kCodePage) plain = 1;
        else if ((plain = Utf8Length(s)) == 0) escaped = 1;  // not UTF-8
        else if (c == 0xC2 && s[1] <= 0x9F) plain = 0, escaped = 2;  // U+0080-U+009F
        if (used + plain + 4 * escaped >= size) break;
        for (size_t i = 0; i < plain; ++i) out[used++] = char(s[i]);
        for (size_t i = 0; i < escaped; ++i) {
            out[used++] = '\\';
            out[used++] = 'x';
            out[used++] = kHex[s[i] >> 4];
            out[used++] = kHex[s[i] & 15];
        }
        s += plain + escaped;
    }
    out[used] = '\0';
    return used;
}

size_t ShownUnit(const char* shown, TextCoding coding, int& columns) {
    const unsigned char c = static_cast<unsigned char>(shown[0]);
    columns = 1;
    if (c == '\\' && shown[1] == 'x') {
        columns = 4;
        return 4;
    }
    if (c < 0xC0 || coding == TextCoding::kCodePage) return 1;
    size_t n = 1;
    while ((static_cast<unsigned char>(shown[n]) & 0xC0) == 0x80) ++n;
    return n;
}
