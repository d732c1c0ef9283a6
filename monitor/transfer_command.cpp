// The transfer commands of a session (transfer_command.h): the words read,
// the engine run over the driver, its lines written through the monitor's
// output.
#include "transfer_command.h"

#include <cstdio>
#include <cstring>

#include "../driver/serial_driver.h"
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

// The progress line. On a screen it is drawn in place (never in the log),
// below what was shown, and taken away before the result line. Elsewhere
// (a pipe, a file) each file's progress is written out as a line twice: as
// it first comes and as it last stood.
struct ProgressLines {
    bool screen;
    bool begun;             // a line for the current file has been written
    bool pending;           // `last` holds a report not yet written
    char file[kTransferNameMax];
    char last[kTransferNameMax + 160];
};
ProgressLines g_progress;

void WritePendingProgress() {
    if (!g_progress.pending) return;
    g_progress.pending = false;
    PutText(g_progress.last);
    PutText("\n");
}

void ShowProgress(const TransferProgress& progress) {
    ProgressLines& p = g_progress;
    char text[sizeof p.last];
    FormatTransferProgress(progress, text, sizeof text);
    const size_t length = std::strlen(text);
    if (p.screen) {
        ConsoleShowCommandLine("", text, length, length);
        return;
    }
    if (p.begun && std::strcmp(p.file, progress.file) == 0) {
        std::memcpy(p.last, text, length + 1);
        p.pending = true;
        return;
    }
    WritePendingProgress();  // how the previous file ended
    PutText(text);
    PutText("\n");
    p.begun = true;
    std::snprintf(p.file, sizeof p.file, "%s", progress.file);
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
    g_progress = ProgressLines{};
    g_progress.screen = ConsoleIsScreen();
    TransferIo io = DriverTransferIo(&port);
    TransferTimings timings;
    static TransferResult result;
    result = TransferResult{};
    if (PortLoopsBack()) {
        // Whatever went out would come straight back as the other side's answer.
        result.protocol = protocol;
        result.sending = sending;
        result.outcome = TransferOutcome::kRefused;
        std::snprintf(result.reason, sizeof result.reason,
                      "this port has no far end (what it sends comes back to it); nothing was started");
    } else if (sending) {
        TransferSend(protocol, words + 2, count - 2, io, timings, &result);
    } else {
        TransferReceive(protocol, count == 3 ? words[2] : nullptr, io, timings, &result);
    }
    char text[kTransferReasonMax + kTransferNameMax + 100];
    FormatTransferResult(result, text, sizeof text);
    ConsoleHideCommandLine();
    WritePendingProgress();
    PutText(text);
    PutText("\n");
    report.done = result.outcome == TransferOutcome::kDone;
    report.endSession = port.endSession;
    report.lineChanges = port.lineChanges;
    report.lineErrors = port.lineErrors;
    report.rest = result.rest;
    report.restCount = result.restCount;
    return report;
}
