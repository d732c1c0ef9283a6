// The transfer engine over the driver and the console (transfer_port.h).
// Bytes go out a frame a write and come in as runs of what has arrived;
// a read waits at most a quarter of a second when nothing comes.
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

// A write that timed out part way is given the rest, as long as each one
// takes something.
bool Send(void* context, const uint8_t* data, size_t length) {
    (void)context;
    while (length > 0) {
        int chunk = length > 0x10000 ? 0x10000 : int(length);
        int sent = TxBytes(data, chunk);
        if (sent <= 0) return false;
        data += sent;
        length -= size_t(sent);
    }
    return true;
}

int Receive(void* context, uint8_t* buffer, size_t size, unsigned timeoutMs) {
    (void)timeoutMs;  // a run waits its own quarter of a second at most
    TransferPort* port = static_cast<TransferPort*>(context);
    if (size == 0) return 0;
    int n = RxRun(buffer, size > 0x10000 ? 0x10000 : int(size));
    LookAtLines(port);
    return n;
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
