// The transfer commands of a session, given as words:
//   xmodem send <path>            xmodem1k send <path>
//   ymodem send <path> [<path> ...]
//   xmodem receive <path>         ymodem receive [<folder>]
// Each runs over the open port, shows a progress line (rewritten in place,
// at most ten times a second) and then one result line.
#pragma once

#include <cstddef>
#include <cstdint>

struct TransferReport {
    bool known = false;        // the words were a transfer command (else nothing was done)
    bool done = false;         // the transfer ended well
    bool endSession = false;   // it was aborted with the byte 0xFF: the session ends
    unsigned lineChanges = 0;  // line changes and receive errors during the transfer,
    unsigned lineErrors = 0;   // for the caller to show
    const uint8_t* rest = nullptr;  // bytes received after the transfer, to be shown as
    size_t restCount = 0;           // any received bytes (valid until the next command)
};

// True when `word` names a transfer command: "xmodem", "xmodem1k", "ymodem".
bool IsTransferCommand(const char* word);

// Runs the command in `words` (the first is the protocol). Words that do
// not make one give a line saying how the command goes.
TransferReport RunTransferCommand(int count, const char* const words[]);
