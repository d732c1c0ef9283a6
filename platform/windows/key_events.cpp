#include "key_events.h"

namespace keyevents {

namespace {

// Extended codes of one key: plain (also with Shift for the cursor block),
// with Shift, with Ctrl, with Alt.
struct Codes {
    uint16_t virtualKey;
    uint8_t plain, shift, ctrl, alt;
};

constexpr Codes kCursorKeys[] = {
    {kVkHome, 0x47, 0x47, 0x77, 0x97},   {kVkUp, 0x48, 0x48, 0x8D, 0x98},
    {kVkPrior, 0x49, 0x49, 0x84, 0x99},  {kVkLeft, 0x4B, 0x4B, 0x73, 0x9B},
    {kVkRight, 0x4D, 0x4D, 0x74, 0x9D},  {kVkEnd, 0x4F, 0x4F, 0x75, 0x9F},
    {kVkDown, 0x50, 0x50, 0x91, 0xA0},   {kVkNext, 0x51, 0x51, 0x76, 0xA1},
    {kVkInsert, 0x52, 0x52, 0x92, 0xA2}, {kVkDelete, 0x53, 0x53, 0x93, 0xA3},
};

constexpr Codes kF11F12[] = {
    {kVkF11, 0x85, 0x87, 0x89, 0x8B},
    {kVkF12, 0x86, 0x88, 0x8A, 0x8C},
};

uint8_t Pick(const Codes& c, uint32_t state) {
    if (state & (kLeftAlt | kRightAlt)) return c.alt;
    if (state & (kLeftCtrl | kRightCtrl)) return c.ctrl;
    if (state & kShift) return c.shift;
    return c.plain;
}

// The key's prefix and code; false for a key with no code.
bool ExtendedKey(const KeyEvent& e, uint8_t* prefix, uint8_t* code) {
    const uint32_t state = e.controlKeyState;
    const bool alt = (state & (kLeftAlt | kRightAlt)) != 0;
    for (const Codes& c : kCursorKeys) {
        if (c.virtualKey != e.virtualKey) continue;
        if (state & kEnhanced) {
            *prefix = uint8_t(alt ? 0x00 : 0xE0);
        } else {
            // The same keys on the numeric keypad; with Alt held they enter
            // a character code digit by digit and give nothing themselves.
            if (alt) return false;
            *prefix = 0x00;
        }
        *code = Pick(c, state);
        return true;
    }
    if (e.virtualKey >= kVkF1 && e.virtualKey <= kVkF10) {
        const uint8_t n = uint8_t(e.virtualKey - kVkF1);
        const Codes f = {e.virtualKey, uint8_t(0x3B + n), uint8_t(0x54 + n), uint8_t(0x5E + n),
                         uint8_t(0x68 + n)};
        *prefix = 0x00;
        *code = Pick(f, state);
        return true;
    }
    for (const Codes& c : kF11F12) {
        if (c.virtualKey != e.virtualKey) continue;
        *prefix = 0xE0;
        *code = Pick(c, state);
        return true;
    }
    return false;
}

}  // namespace

size_t Decode(const KeyEvent& event, uint8_t out[kMaxBytes]) {
    if (!event.keyDown) {
        // A character entered on the keypad with Alt held arrives with the
        // release of Alt; this is how the byte 0xFF (Alt+255) is typed.
        if (event.virtualKey != kVkMenu || event.asciiChar == 0) return 0;
        out[0] = uint8_t(event.asciiChar);
        return 1;
    }
    if (event.asciiChar != 0) {
        out[0] = uint8_t(event.asciiChar);
        return 1;
    }
    return ExtendedKey(event, &out[0], &out[1]) ? 2 : 0;
}

unsigned Presses(const KeyEvent& event) {
    return event.keyDown && event.repeatCount > 1 ? event.repeatCount : 1u;
}

}  // namespace keyevents
