// Terminal key bytes to PC console key bytes; the rules are in console/key_decoder.h.
#include "key_decoder.h"

namespace {

constexpr unsigned char kEsc = 0x1B;

struct PcKey {
    unsigned char prefix;  // 0xE0 for the cursor block, 0x00 for the function keys
    unsigned char code;    // PC extended code
};

constexpr PcKey kNoKey = {0, 0};

bool IsKey(PcKey k) { return k.code != 0; }

void Put(unsigned char* out, size_t cap, size_t* written, unsigned char b) {
    if (*written < cap) out[(*written)++] = b;
}

// The key of a sequence ending in a letter: ESC [ x or ESC O x.
PcKey LetterKey(unsigned char final, bool ss3) {
    switch (final) {
        case 'A': return {0xE0, 0x48};
        case 'B': return {0xE0, 0x50};
        case 'C': return {0xE0, 0x4D};
        case 'D': return {0xE0, 0x4B};
        case 'H': return {0xE0, 0x47};
        case 'F': return {0xE0, 0x4F};
        default: break;
    }
    if (ss3 && final >= 'P' && final <= 'S') return {0x00, (unsigned char)(0x3B + (final - 'P'))};
    return kNoKey;
}

// The key of ESC [ number ~.
PcKey TildeKey(unsigned number) {
    switch (number) {
        case 1: case 7: return {0xE0, 0x47};
        case 4: case 8: return {0xE0, 0x4F};
        case 2: return {0xE0, 0x52};
        case 3: return {0xE0, 0x53};
        case 5: return {0xE0, 0x49};
        case 6: return {0xE0, 0x51};
        case 23: return {0xE0, 0x85};
        case 24: return {0xE0, 0x86};
        default: break;
    }
    if (number >= 11 && number <= 15) return {0x00, (unsigned char)(0x3B + (number - 11))};
    if (number >= 17 && number <= 21) return {0x00, (unsigned char)(0x40 + (number - 17))};
    return kNoKey;
}

bool IsDigit(unsigned char b) { return b >= '0' && b <= '9'; }

// Length of the complete CSI sequence at s[0] == ESC, s[1] == '[' (parameter
// bytes, intermediate bytes, one final byte), or 0 when it is cut short.
size_t CsiLength(const unsigned char* s, size_t n) {
    if (n < 3 || s[1] != '[') return 0;
    size_t i = 2;
    while (i < n && s[i] >= 0x30 && s[i] <= 0x3F) ++i;
    while (i < n && s[i] >= 0x20 && s[i] <= 0x2F) ++i;
    if (i < n && s[i] >= 0x40 && s[i] <= 0x7E) return i + 1;
    return 0;
}

// Reads "digits" or "digits;digits" (the second one a modifier, dropped)
// from s[from..end); false for anything else. An empty text gives 0.
bool ParseParameters(const unsigned char* s, size_t from, size_t end, unsigned* number) {
    *number = 0;
    size_t i = from;
    for (; i < end && IsDigit(s[i]); ++i) {
        if (*number > 1000) return false;
        *number = *number * 10 + unsigned(s[i] - '0');
    }
    if (i == end) return true;
    if (s[i] != ';' || i + 1 == end) return false;
    for (++i; i < end; ++i) {
        if (!IsDigit(s[i])) return false;
    }
    return true;
}

// A known key sequence at s[0] == ESC: its key and length, or kNoKey.
PcKey MatchKey(const unsigned char* s, size_t n, size_t* length) {
    if (n < 3) return kNoKey;
    if (s[1] == 'O') {
        size_t i = 2;
        while (i < n && IsDigit(s[i]) && i < 4) ++i;  // an optional modifier digit, as ESC O 2 P
        if (i == n) return kNoKey;
        *length = i + 1;
        return LetterKey(s[i], true);
    }
    if (s[1] != '[') return kNoKey;
    if (s[2] == '[') {  // linux console F1..F5: ESC [ [ A..E
        if (n < 4 || s[3] < 'A' || s[3] > 'E') return kNoKey;
        *length = 4;
        return {0x00, (unsigned char)(0x3B + (s[3] - 'A'))};
    }
    size_t total = CsiLength(s, n);
    if (total == 0) return kNoKey;
    unsigned number = 0;
    if (!ParseParameters(s, 2, total - 1, &number)) return kNoKey;
    unsigned char final = s[total - 1];
    *length = total;
    if (final == '~') return TildeKey(number);
    if (number <= 1) return LetterKey(final, false);  // ESC [ A, ESC [ 1 ; 5 A
    return kNoKey;
}

// The character of the UTF-8 sequence s[0..length), whose lead byte starts a
// sequence of that length and whose other bytes are continuation bytes; -1
// for an overlong form, a surrogate or a value above U+10FFFF.
long Utf8Value(const unsigned char* s, unsigned length) {
    static const unsigned long kLeadMask[5] = {0, 0, 0x1F, 0x0F, 0x07};
    static const unsigned long kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned long cp = s[0] & kLeadMask[length];
    for (unsigned i = 1; i < length; ++i) cp = (cp << 6) | (s[i] & 0x3Fu);
    if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return long(cp);
}

// The key byte of a character: U+0080..U+00FF as their Latin-1 byte, any
// other as '?'.
unsigned char Latin1(long cp) { return cp >= 0 && cp <= 0xFF ? (unsigned char)cp : '?'; }

// The byte a complete UTF-8 character held in state gives.
unsigned char DecodeHeld(const KeyDecoderState* state) { return Latin1(Utf8Value(state->held, state->length)); }

// Length of the UTF-8 character a lead byte starts, or 0 when it cannot start one.
unsigned char Utf8Length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

}  // namespace

size_t DecodeKeys(KeyDecoderState* state, const unsigned char* in, size_t n, unsigned char* out, size_t outCap,
                  bool utf8) {
    size_t written = 0;
    size_t i = 0;
    while (i < n) {
        unsigned char b = in[i];
        if (utf8 && state->count > 0) {
            if ((b & 0xC0) == 0x80) {
                state->held[state->count++] = b;
                ++i;
                if (state->count == state->length) {
                    Put(out, outCap, &written, DecodeHeld(state));
                    state->count = 0;
                    state->length = 0;
                }
                continue;
            }
            Put(out, outCap, &written, '?');  // cut short; b is decoded on its own below
            state->count = 0;
            state->length = 0;
        }
        if (b == kEsc) {
            size_t length = 0;
            PcKey key = MatchKey(in + i, n - i, &length);
            if (IsKey(key)) {
                Put(out, outCap, &written, key.prefix);
                Put(out, outCap, &written, key.code);
                i += length;
                continue;
            }
            length = CsiLength(in + i, n - i);
            if (length == 0) length = 1;  // ESC on its own
            for (size_t k = 0; k < length; ++k) Put(out, outCap, &written, in[i + k]);
            i += length;
            continue;
        }
        ++i;
        if (b < 0x80) {
            Put(out, outCap, &written, b);
            continue;
        }
        unsigned char length = Utf8Length(b);
        if (!utf8) {
            // A valid UTF-8 character whose bytes all came in this read is
            // taken as UTF-8 whatever the locale says (a UTF-8 terminal in
            // the C locale); any other byte is the terminal's own (Latin-1).
            const unsigned char* start = in + i - 1;
            long cp = -1;
            if (length != 0 && n - (i - 1) >= length) {
                bool continued = true;
                for (unsigned k = 1; k < length; ++k) continued = continued && (start[k] & 0xC0) == 0x80;
                if (continued) cp = Utf8Value(start, length);
            }
            if (cp >= 0) {
                Put(out, outCap, &written, Latin1(cp));
                i += length - 1u;
            } else {
                Put(out, outCap, &written, b);
            }
            continue;
        }
        if (length == 0) {
            Put(out, outCap, &written, '?');
            continue;
        }
        state->held[0] = b;
        state->count = 1;
        state->length = length;
    }
    return written;
}

size_t FinishKeys(KeyDecoderState* state, unsigned char* out, size_t outCap) {
    size_t written = 0;
    if (state->count > 0) Put(out, outCap, &written, '?');
    state->count = 0;
    state->length = 0;
    return written;
}
