// The transfer commands of a session (transfer_command.h): the words read,
// the engine run over the driver, its lines written through the monitor's
// output.
#include "transfer_command.h"

#include <cstring>

#include "../platform/console.h"
#include "output.h"
#include "transfer.h"
#include "transfer_port.h"
#include "transfer_text.h"

namespace {


bool Same(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? char(*a + 32) : *a;
        if (x != *b) return false;
    }
    return *a == *b;
}

// The progress line, drawn on the screen only (never in the log), below
// what was shown, and taken away before the result line.
void ShowProgress(const TransferProgress& progress) {
    char text[kTransferNameMax + 160];
    FormatTransferProgress(progress, text, sizeof text);
    const size_t length = std::strlen(text);
    ConsoleShowCommandLine("", text, length, length);
}

void Usage() {
    PutText("Transfer commands: xmodem send <path>, xmodem1k send <path>, ymodem send <path> [<path> ...],"
            " xmodem receive <path>, ymodem receive [<folder>]\n");
}

}  // namespace

bool IsTransferCommand(const char* word) {
    return word != nullptr && (Same(word, "xmodem") || Same(word, "xmodem1k") || Same(word, "ymodem"));
}

TransferReport RunTransferCommand(int count, const char* const words[]) {
    TransferReport report;
    if (count < 1 || !IsTransferCommand(words[0])) return report;
    report.known = true;
    TransferProtocol protocol = Same(words[0], "ymodem")     ? TransferProtocol::kYmodem
                                : Same(words[0], "xmodem1k") ? TransferProtocol::kXmodem1k
                                                             : TransferProtocol::kXmodem;
    bool sending = count >= 2 && Same(words[1], "send");
    bool receiving = count >= 2 && Same(words[1], "receive");
    bool fits = sending ? (protocol == TransferProtocol::kYmodem ? count >= 3 : count == 3)
                : receiving ? (protocol == TransferProtocol::kYmodem ? count <= 3 : count == 3)
                            : false;
    if (!fits) {
        Usage();
        return report;
    }
    TransferPort port;
    port.progress = ShowProgress;
    TransferIo io = DriverTransferIo(&port);
    TransferTimings timings;
    TransferResult result;
    if (sending) TransferSend(protocol, words + 2, count - 2, io, timings, &result);
    else TransferReceive(protocol, count == 3 ? words[2] : nullptr, io, timings, &result);
    char text[kTransferReasonMax + kTransferNameMax + 100];
    FormatTransferResult(result, text, sizeof text);
    ConsoleHideCommandLine();
    PutText(text);
    PutText("\n");
    report.done = result.outcome == TransferOutcome::kDone;
    report.endSession = port.endSession;
    report.lineChanges = port.lineChanges;
    report.lineErrors = port.lineErrors;
    return report;
}
