// The transfer engine over the driver and the console: bytes through
// TxBytes and RxRun, the abort test a look at the keyboard, and the line
// changes and receive errors that come meanwhile counted for the caller.
#pragma once

#include "transfer.h"

struct TransferPort {
    unsigned lineChanges = 0;  // changes of CTS, DSR, RI and DCD during the transfer
    unsigned lineErrors = 0;   // receive errors (break, framing, parity, overrun, buffer full)
    bool aborted = false;      // a key stopped the transfer
    bool endSession = false;   // that key was 0xFF: the session ends as always
    unsigned long long lastStatusMs = 0;
    void (*progress)(const TransferProgress& progress) = nullptr;  // shows the progress line; may be null
};

// The operations over the driver, with `port` as their context.
TransferIo DriverTransferIo(TransferPort* port);
