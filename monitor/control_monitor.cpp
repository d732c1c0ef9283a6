#include "control_monitor.h"

#include <cstdint>
#include <cstring>

#include "../driver/serial_driver.h"
#include "../platform/console.h"
#include "display.h"
#include "output.h"

namespace {

constexpr int kEsc = 0x1B;
constexpr int kEndKey = 0xFF;

// Monitor state, from ShowInitialTables to the end of the loop.
uint8_t prevStatus = 0;
bool escapePending = false;
int lastKey = 0;

// Received bytes are taken this many at a time at most (the tty port's
// read-ahead); what a run shows is gathered and handed to the console at
// once, so its buffer holds the longest item for every byte.
constexpr int kRunBytes = 4096;
constexpr size_t kLongestItem = 6;  // "(0D) \n"

// "(XX) " for every byte value, made once.
struct ItemTable {
    char text[256][5];
    ItemTable() {
        static const char kHex[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            char* t = text[b];
            t[0] = '(', t[1] = kHex[b >> 4], t[2] = kHex[b & 15], t[3] = ')', t[4] = ' ';
        }
    }
};
const ItemTable kItems;

// Whether the eight bytes of `word` are all printable (0x20..0x7E): none
// below 0x20, none above 0x7E (the tests of bytes less or more than a
// value in every byte at once, exact for "any").
inline bool AllPrintable(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const uint64_t below = (word - kOnes * 0x20) & ~word & kHigh;
    const uint64_t above = ((word + kOnes * (0x7F - 0x7E)) | word) & kHigh;
    return (below | above) == 0;
}

// The end of the printable bytes from `p` on, eight at a time while it can.
const uint8_t* PrintableEnd(const uint8_t* p, const uint8_t* end) {
    for (uint64_t word; end - p >= 8; p += 8) {
        std::memcpy(&word, p, 8);
        if (!AllPrintable(word)) break;
    }
    while (p != end && uint8_t(*p - 0x20) < 0x5F) ++p;
    return p;
}

// A run of received bytes: printable ones (0x20..0x7E) as they are, a span
// of them in one copy; any other as "(XX) ", a CR's item followed by a line
// break; all of it in one write to the console.
void ShowRun(const uint8_t* bytes, int count) {
    char shown[kRunBytes * kLongestItem];
    char* out = shown;
    const uint8_t* end = bytes + count;
    for (;;) {
        const uint8_t* span = bytes;
        bytes = PrintableEnd(bytes, end);
        std::memcpy(out, span, size_t(bytes - span));
        out += bytes - span;
        if (bytes == end) break;
        const uint8_t byte = *bytes++;
        std::memcpy(out, kItems.text[byte], 5);
        out += 5;
        if (byte == 0x0D) *out++ = '\n';
    }
    if (out != shown) ConsoleWriteRun(shown, size_t(out - shown));
}

// The key after ESC: a line command, or any other byte sent as it is.
void RunCommand(int key) {
    switch (key) {
        case 'B': if (BreakOn()) PutChangeItem("(Break on) "); break;
        case 'b': if (BreakOff()) PutChangeItem("(Break off) "); break;
        case 'D': if (DTROn()) PutChangeItem("(DTR on) "); break;
        case 'd': if (DTROff()) PutChangeItem("(DTR off) "); break;
        case 'R': if (RTSOn()) PutChangeItem("(RTS on) "); break;
        case 'r': if (RTSOff()) PutChangeItem("(RTS off) "); break;
        default: TxChar(key); break;
    }
}

}  // namespace

void ShowInitialTables() {
    escapePending = false;
    lastKey = 0;
    Print("\n");
    ShowLineTable(ControlLines());
    Print("\n");
    prevStatus = RxStatus();
    ShowStatusTable(prevStatus);
    Print("\n");
}

void RunControlLineMonitor() {
    uint8_t run[kRunBytes];
    for (;;) {
        // The bytes that have arrived, a run at a time: the looks below are
        // made once a run. A run ends where an error's item must follow.
        int count = RxRun(run, kRunBytes);
        if (count > 0) ShowRun(run, count);

        // Receive errors come with the last byte just shown; each is shown
        // every time it comes. Line changes are judged on CTRL alone.
        uint8_t status = RxStatus();
        if (status & RX_ERRORS) ShowReceiveErrors(status);
        if ((status ^ prevStatus) & RX_CTRL) {
            prevStatus = status;
            if (status & RX_CTRL) ShowLineChanges(ControlLines());
        }

        // A key read that fails (-1) is no key: nothing is sent.
        int key = ConsoleKeyWaiting() ? ConsoleReadKey() : -1;
        if (key >= 0) {
            lastKey = key;
            if (escapePending) {
                escapePending = false;
                RunCommand(lastKey);
            } else if (lastKey == kEsc) {
                escapePending = true;
                continue;  // the end test waits for the key after ESC
            } else {
                TxChar(lastKey);
            }
        }

        if (lastKey == kEndKey) return;
    }
}
