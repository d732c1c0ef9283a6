// Turns one console key event into the bytes a key read hands out, in the PC
// keyboard convention: a key with a character gives that character; a cursor
// or function key gives a prefix byte (0xE0 for the separate cursor block,
// 0x00 otherwise) and its extended code. Kept free of <windows.h> so the
// table can be checked on any host; the numbers are the Win32 ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keyevents {

// Virtual keys and control-key state bits, as in <windows.h>.
constexpr uint16_t kVkMenu = 0x12;
constexpr uint16_t kVkPrior = 0x21;
constexpr uint16_t kVkNext = 0x22;
constexpr uint16_t kVkEnd = 0x23;
constexpr uint16_t kVkHome = 0x24;
constexpr uint16_t kVkLeft = 0x25;
constexpr uint16_t kVkUp = 0x26;
constexpr uint16_t kVkRight = 0x27;
constexpr uint16_t kVkDown = 0x28;
constexpr uint16_t kVkInsert = 0x2D;
constexpr uint16_t kVkDelete = 0x2E;
constexpr uint16_t kVkF1 = 0x70;
constexpr uint16_t kVkF10 = 0x79;
constexpr uint16_t kVkF11 = 0x7A;
constexpr uint16_t kVkF12 = 0x7B;

constexpr uint32_t kRightAlt = 0x0001;
constexpr uint32_t kLeftAlt = 0x0002;
constexpr uint32_t kRightCtrl = 0x0004;
constexpr uint32_t kLeftCtrl = 0x0008;
constexpr uint32_t kShift = 0x0010;
constexpr uint32_t kEnhanced = 0x0100;

// The fields of a KEY_EVENT_RECORD that matter here.
struct KeyEvent {
    bool keyDown;
    uint16_t repeatCount;
    uint16_t virtualKey;
    char asciiChar;  // the character in the input code page, 0 for none
    uint32_t controlKeyState;
};

// Most bytes one press of a key gives: a prefix and an extended code.
constexpr size_t kMaxBytes = 2;

// Writes the bytes (each 0..255) of one press of the event's key to `out`
// and returns how many; 0 for releases and for keys with no code (a lone
// Shift, Alt while keypad digits are being entered).
size_t Decode(const KeyEvent& event, uint8_t out[kMaxBytes]);

// How many presses the event stands for: a key held down may arrive as one
// event with a repeat count (up to 65535), and every repeat is a key of its
// own. A repeat count of 0 counts as one press, as does a release.
unsigned Presses(const KeyEvent& event);

}  // namespace keyevents
