// The transfer engine over the driver and the console (transfer_port.h).
// RxChar takes one byte per call and waits at most a quarter of a second
// when none comes; the receive operation is a thin adapter so that a read
// of many bytes at once can take its place.
#include "transfer_port.h"


#include "../driver/serial_driver.h"
#include "../platform/console.h"

namespace {

// The line status is looked at no more often than this.
constexpr unsigned long long kStatusEveryMs = 100;

unsigned long long NowMs() { return ConsoleMilliseconds(); }

unsigned Bits(unsigned value) {
    unsigned n = 0;
    for (; value != 0; value &= value - 1) ++n;
    return n;
}

void LookAtLines(TransferPort* port) {
    unsigned long long now = NowMs();
    if (now - port->lastStatusMs < kStatusEveryMs) return;
    port->lastStatusMs = now;
    uint8_t status = RxStatus();
    port->lineErrors += Bits(status & RX_ERRORS);
    if (status & RX_CTRL) port->lineChanges += Bits(ControlLines() & LINE_CHANGES);
}

bool Send(void* context, const uint8_t* data, size_t length) {
    (void)context;
    for (size_t i = 0; i < length; ++i) {
        if (TxChar(data[i]) != 0) return false;
    }
    return true;
}

int Receive(void* context, uint8_t* buffer, size_t size, unsigned timeoutMs) {
    (void)timeoutMs;  // RxChar waits its own quarter of a second at most
    TransferPort* port = static_cast<TransferPort*>(context);
    if (size == 0) return 0;
    int b = RxChar();
    LookAtLines(port);
    if (b < 0) return 0;
    buffer[0] = uint8_t(b);
    return 1;
}

uint64_t Now(void*) { return NowMs(); }

// Any key stops the transfer; the second byte of a cursor or function key
// is taken with it, so that it does not go out after the transfer.
bool AbortRequested(void* context) {
    TransferPort* port = static_cast<TransferPort*>(context);
    if (port->aborted) return true;
    if (!ConsoleKeyWaiting()) return false;
    int key = ConsoleReadKey();
    if (key < 0) return false;
    if ((key == 0x00 || key == 0xE0) && ConsoleKeyWaiting()) ConsoleReadKey();
    port->aborted = true;
    port->endSession = key == 0xFF;
    return true;
}

void Progress(void* context, const TransferProgress& progress) {
    TransferPort* port = static_cast<TransferPort*>(context);
    if (port->progress != nullptr) port->progress(progress);
}

// A look at the transmit queue sends what a port has gathered to send.
void Flush(void*) { TxBufFree(); }

}  // namespace

TransferIo DriverTransferIo(TransferPort* port) {
    port->lastStatusMs = NowMs();
    return TransferIo{port, Send, Receive, Now, AbortRequested, Progress, Flush};
}
