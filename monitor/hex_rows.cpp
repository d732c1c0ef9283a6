#include "hex_rows.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

size_t FormatHexRow(uint32_t offset, const uint8_t* bytes, size_t count, char* text) {
    if (count > kHexRowBytes) count = kHexRowBytes;
    int digits = 4;
    while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
    char* p = text;
    for (int i = digits - 1; i >= 0; --i) *p++ = kHex[(offset >> (4 * i)) & 15];
    *p++ = ' ';
    // Each byte's field is a blank and two digits; the second group starts
    // with one more blank. Fields past `count` are blanks, so the bar stays.
    for (size_t i = 0; i < kHexRowBytes; ++i) {
        if (i == 8) *p++ = ' ';
        *p++ = ' ';
        if (i < count) {
            *p++ = kHex[bytes[i] >> 4];
            *p++ = kHex[bytes[i] & 15];
        } else {
            *p++ = ' ';
            *p++ = ' ';
        }
    }
    *p++ = ' ';
    *p++ = ' ';
    *p++ = '|';
    for (size_t i = 0; i < count; ++i) *p++ = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? char(bytes[i]) : '.';
    *p++ = '|';
    *p++ = '\n';
    return size_t(p - text);
}
