// The bytes a Windows console key event gives the key read.
#include <gtest/gtest.h>

#include <vector>

#include "../../platform/windows/key_events.h"

namespace {

using namespace keyevents;

// Every byte the event gives: one press's bytes, as many times as it presses.
std::vector<int> Bytes(const KeyEvent& e) {
    uint8_t out[kMaxBytes];
    size_t n = Decode(e, out);
    std::vector<int> bytes;
    for (unsigned p = 0; p < Presses(e); ++p) bytes.insert(bytes.end(), out, out + n);
    return bytes;
}

KeyEvent Down(uint16_t vk, uint32_t state, char ch = 0, uint16_t repeat = 1) {
    return KeyEvent{true, repeat, vk, ch, state};
}

struct Case {
    const char* name;
    KeyEvent event;
    std::vector<int> bytes;
};

TEST(WindowsKeyEvents, DecodesAsThePcKeyboardConvention) {
    const Case cases[] = {
        {"letter", Down(0x41, 0, 'a'), {0x61}},
        {"enter", Down(0x0D, 0, '\r'), {0x0D}},
        {"character above 0x7F is not sign-extended", Down(0, 0, char(0xE9)), {0xE9}},
        {"0xFF typed as a character", Down(0, 0, char(0xFF)), {0xFF}},
        {"Alt with a character gives the character", Down(0x44, kLeftAlt, 'd'), {0x64}},
        {"up, cursor block", Down(kVkUp, kEnhanced), {0xE0, 0x48}},
        {"up, keypad", Down(kVkUp, 0), {0x00, 0x48}},
        {"Shift+up as up", Down(kVkUp, kEnhanced | kShift), {0xE0, 0x48}},
        {"Ctrl+up", Down(kVkUp, kEnhanced | kRightCtrl), {0xE0, 0x8D}},
        {"Alt+up takes prefix 00", Down(kVkUp, kEnhanced | kRightAlt), {0x00, 0x98}},
        {"Alt+Ctrl+Delete counts as Alt", Down(kVkDelete, kEnhanced | kLeftAlt | kLeftCtrl), {0x00, 0xA3}},
        {"Alt+keypad key enters digits, gives nothing", Down(kVkInsert, kLeftAlt), {}},
        {"page down", Down(kVkNext, kEnhanced), {0xE0, 0x51}},
        {"F1", Down(kVkF1, 0), {0x00, 0x3B}},
        {"F10", Down(kVkF10, 0), {0x00, 0x44}},
        {"Shift+F1", Down(kVkF1, kShift), {0x00, 0x54}},
        {"Ctrl+F10", Down(kVkF10, kLeftCtrl), {0x00, 0x67}},
        {"Alt+F10", Down(kVkF10, kLeftAlt), {0x00, 0x71}},
        {"F11", Down(kVkF11, 0), {0xE0, 0x85}},
        {"Alt+F12", Down(kVkF12, kRightAlt), {0xE0, 0x8C}},
        {"lone Shift", Down(0x10, kShift), {}},
        {"F13 has no code", Down(0x7C, 0), {}},
        {"release", KeyEvent{false, 1, 0x41, 'a', 0}, {}},
        {"Alt release after keypad digits gives the character", KeyEvent{false, 1, kVkMenu, char(0xFF), 0}, {0xFF}},
        {"plain Alt release", KeyEvent{false, 1, kVkMenu, 0, 0}, {}},
        {"repeat count 0 counts once", Down(0, 0, 'x', 0), {0x78}},
        {"repeated two-byte key", Down(kVkLeft, kEnhanced, 0, 2), {0xE0, 0x4B, 0xE0, 0x4B}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Bytes(c.event), c.bytes) << c.name;
    }
}

TEST(WindowsKeyEvents, EveryRepeatIsAKey) {
    EXPECT_EQ(Bytes(Down(kVkF12, 0, 0, 0xFFFF)).size(), 2u * 0xFFFF);
    EXPECT_EQ(Bytes(Down(0, 0, 'x', 17)), std::vector<int>(17, 'x'));
}

}  // namespace
