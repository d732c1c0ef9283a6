#include "control_monitor.h"

#include <cstdint>

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

void ShowReceived(int byte) {
    if (byte >= 0x20 && byte <= 0x7E) {
        PutByte(byte);
        return;
    }
    Print("(%02X) ", unsigned(byte));
    if (byte == 0x0D) Print("\n");
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
    for (;;) {
        int byte = RxChar();
        if (byte >= 0) ShowReceived(byte);

        // Receive errors come with the byte just shown; each is shown every
        // time it comes. Line changes are judged on CTRL alone.
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
