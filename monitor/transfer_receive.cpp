// The receiving side of XMODEM and YMODEM (TransferReceive): the requests
// to start ("C" for CRC-16, NAK after three unanswered), each block checked
// and acknowledged or refused, duplicates acknowledged and dropped, EOT
// refused once and then acknowledged; for YMODEM each file's header block,
// its name checked before anything is written. A file is written under a
// temporary name and given its own only when complete.
#include <cstdio>
#include <cstring>

#include "../platform/transfer_file.h"
#include "transfer.h"
#include "transfer_block.h"
#include "transfer_link.h"

namespace {

// How a receiver asks for the first block: its request byte and how often
// it has gone unanswered.
struct Request {
    uint8_t byte;       // "C" or NAK
    bool starting;      // no block has come yet
    bool mayFallBack;   // "C" may give way to NAK (the first request of a transfer)
    unsigned tries;
    uint64_t sinceMs;
};

// Requests sent unanswered before "C" gives way to NAK.
constexpr unsigned kCrcTries = 3;

struct Frame {
    uint8_t number;
    size_t size;
    uint8_t data[kBlockMax + 1];  // and a NUL after the data
};

enum class Event { kBlock, kEot, kStopped };

// Reads the rest of a block after its header byte. Null when it is good,
// else what was wrong with it.
const char* ReadBlockRest(TransferRun& run, int header, bool crc, Frame* frame, int* failed) {
    frame->size = header == kStx ? kBlockMax : 128;
    uint8_t bytes[kFrameMax];
    const size_t length = 2 + frame->size + (crc ? 2 : 1);
    for (size_t i = 0; i < length; ++i) {
        int b = ReadByte(run, run.timings->byteTimeoutMs);
        if (b == kReadTimedOut) return "short block";
        if (b < 0) {
            *failed = b;
            return "";
        }
        bytes[i] = uint8_t(b);
    }
    if (uint8_t(bytes[0] ^ bytes[1]) != 0xFF) return "bad block number";
    if (!BlockCheckMatches(bytes + 2, frame->size, bytes + 2 + frame->size, crc)) return crc ? "bad CRC" : "bad checksum";
    frame->number = bytes[0];
    std::memcpy(frame->data, bytes + 2, frame->size);
    frame->data[frame->size] = 0;
    return nullptr;
}

// Waits for the next good block or an EOT, asking for it as the protocol
// does: the request again while the sender has not started, NAK after a
// bad block or a silence. `block` is the block awaited, for the reason.
Event NextFrame(TransferRun& run, Request& request, bool* crc, unsigned block, Frame* frame) {
    const TransferTimings& t = *run.timings;
    unsigned errors = 0;
    bool lastCan = false;
    for (;;) {
        int b = ReadByte(run, request.starting ? t.startTryMs : t.blockTimeoutMs);
        if (b == kReadTimedOut) {
            if (request.starting) {
                if (RunNow(run) - request.sinceMs >= t.startTimeoutMs) {
                    SendCancel(run);
                    Stop(run, TransferOutcome::kFailed, "the sender did not start within %u s", t.startTimeoutMs / 1000);
                    return Event::kStopped;
                }
                if (++request.tries >= kCrcTries && request.mayFallBack && request.byte == kCrcRequest) {
                    request.byte = kNak;
                    *crc = false;
                }
                if (!SendByte(run, request.byte)) return Event::kStopped;
                continue;
            }
            if (errors >= t.maxRetries) {
                SendCancel(run);
                Stop(run, TransferOutcome::kFailed, "%u retries of block %u (no answer)", errors, block);
                return Event::kStopped;
            }
            ++errors;
            ++run.result->retries;
            if (!SendByte(run, kNak)) return Event::kStopped;
            continue;
        }
        if (b < 0) {
            StopOnRead(run, b);
            return Event::kStopped;
        }
        if (b == kCan) {
            if (lastCan) {
                Stop(run, TransferOutcome::kCancelled, "cancelled by the sender");
                return Event::kStopped;
            }
            lastCan = true;
            continue;
        }
        lastCan = false;
        if (b == kEot) return Event::kEot;
        if (b != kSoh && b != kStx) continue;  // line noise
        int failed = 0;
        const char* why = ReadBlockRest(run, b, *crc, frame, &failed);
        if (failed != 0) {
            StopOnRead(run, failed);
            return Event::kStopped;
        }
        if (why == nullptr) {
            request.starting = false;
            return Event::kBlock;
        }
        if (errors >= t.maxRetries) {
            SendCancel(run);
            Stop(run, TransferOutcome::kFailed, "%u retries of block %u (%s)", errors, block, why);
            return Event::kStopped;
        }
        ++errors;
        ++run.result->retries;
        Purge(run);
        if (!SendByte(run, kNak)) return Event::kStopped;
        ReportProgress(run, false);
    }
}

bool StopOnFile(TransferRun& run, const char* what, unsigned long error) {
    char text[200];
    TransferErrorText(error, text, sizeof text);
    SendCancel(run);
    return Stop(run, TransferOutcome::kFailed, "%s %s: %s", what, run.result->file, text);
}

// Receives a file's data blocks into `out` until its end, `limit` bytes at
// most. The request to start has been made (or is made) by `request`.
// `afterHeader`: a YMODEM header block seen again is acknowledged again.
bool ReceiveFileData(TransferRun& run, Request& request, bool* crc, TransferFile& out, uint64_t limit,
                     bool afterHeader) {
    Frame frame;
    uint8_t expected = 1;
    unsigned block = 1;
    uint64_t written = 0;
    bool eotRefused = false;
    for (;;) {
        Event e = NextFrame(run, request, crc, block, &frame);
        if (e == Event::kStopped) return false;
        if (e == Event::kEot) {
            if (!eotRefused) {
                eotRefused = true;
                if (!SendByte(run, kNak)) return false;
                continue;
            }
            return SendByte(run, kAck);
        }
        eotRefused = false;
        if (frame.number == expected) {
            uint64_t room = limit - written;
            size_t length = room < frame.size ? size_t(room) : frame.size;
            unsigned long error = 0;
            if (length > 0 && !TransferFileWrite(&out, frame.data, length, &error)) {
                return StopOnFile(run, "cannot write", error);
            }
            written += length;
            run.result->bytes += length;
            run.progress.done = written;
            if (!SendByte(run, kAck)) return false;
            ++expected;
            ++block;
            ReportProgress(run, false);
        } else if (frame.number == uint8_t(expected - 1) && (block > 1 || afterHeader)) {
            // The sender missed our ACK: acknowledged again, dropped. A
            // header block again also wants the request for data again.
            ++run.result->retries;
            if (!SendByte(run, kAck)) return false;
            if (block == 1 && !SendByte(run, request.byte)) return false;
        } else {
            SendCancel(run);
            return Stop(run, TransferOutcome::kFailed, "wrong block number %u (block %u expected)",
                        unsigned(frame.number), unsigned(expected));
        }
    }
}

bool Finish(TransferRun& run, TransferFile& out, const char* finalPath) {
    unsigned long error = 0;
    if (TransferFileFinish(&out, finalPath, &error)) return true;
    char text[200];
    TransferErrorText(error, text, sizeof text);
    return Stop(run, TransferOutcome::kFailed, "cannot store %s: %s", finalPath, text);
}

bool ReceiveXmodem(TransferRun& run, const char* path) {
    std::snprintf(run.result->file, sizeof run.result->file, "%s", PathFileName(path));
    if (std::strlen(path) >= kTransferPathMax) return Stop(run, TransferOutcome::kRefused, "the path is too long");
    if (path[0] == '\0') return Stop(run, TransferOutcome::kRefused, "no file named");
    if (TransferPathExists(path)) return Stop(run, TransferOutcome::kRefused, "%s exists", path);
    TransferFile out;
    unsigned long error = 0;
    if (!TransferFileCreateTemp(path, &out, &error)) {
        char text[200];
        TransferErrorText(error, text, sizeof text);
        return Stop(run, TransferOutcome::kRefused, "cannot create a file beside %s: %s", path, text);
    }
    ReportProgress(run, true);
    bool crc = true;
    Request request = {kCrcRequest, true, true, 0, RunNow(run)};
    bool ok = SendByte(run, request.byte) && ReceiveFileData(run, request, &crc, out, UINT64_MAX, false) &&
              Finish(run, out, path);
    TransferFileDiscard(&out);
    if (ok) ++run.result->files;
    ReportProgress(run, true);
    return ok;
}

bool ReceiveYmodem(TransferRun& run, const char* folder) {
    if (folder == nullptr) folder = "";
    if (folder[0] != '\0' && !TransferFolderExists(folder)) {
        return Stop(run, TransferOutcome::kRefused, "%s is not a folder", folder);
    }
    bool crc = true;
    Request request = {kCrcRequest, true, true, 0, RunNow(run)};
    if (!SendByte(run, request.byte)) return false;
    Frame frame;
    for (;;) {
        // The header block of the next file, or the empty one that ends the batch.
        Event e = NextFrame(run, request, &crc, 0, &frame);
        if (e == Event::kStopped) return false;
        if (e == Event::kEot) {  // the end of the last file again: our ACK was lost
            if (!SendByte(run, kAck)) return false;
            continue;
        }
        if (frame.number != 0) {
            SendCancel(run);
            return Stop(run, TransferOutcome::kFailed, "block %u came where a YMODEM header block was expected",
                        unsigned(frame.number));
        }
        HeaderInfo header = ParseHeaderData(frame.data, frame.size);
        if (header.terminated && header.name[0] == '\0') return SendByte(run, kAck);
        std::snprintf(run.result->file, sizeof run.result->file, "%s", header.terminated ? header.name : "");
        const char* why = RefusedNameReason(header);
        char path[kTransferPathMax];
        if (why == nullptr) {
            size_t n = std::strlen(folder);
            const char* separator = n == 0 || folder[n - 1] == '/' || folder[n - 1] == '\\' ? "" : "/";
            int length = std::snprintf(path, sizeof path, "%s%s%s", folder, separator, header.name);
            if (length < 0 || size_t(length) >= sizeof path) why = "the path is too long";
            else if (TransferPathExists(path)) why = "a file of that name exists";
        }
        if (why != nullptr) {
            SendCancel(run);
            return Stop(run, TransferOutcome::kRefused, "refused the name %s: %s", run.result->file, why);
        }
        TransferFile out;
        unsigned long error = 0;
        if (!TransferFileCreateTemp(path, &out, &error)) return StopOnFile(run, "cannot create", error);
        run.progress.done = 0;
        run.progress.total = header.size;
        run.progress.totalKnown = header.sizeKnown;
        ReportProgress(run, true);
        Request data = {request.byte, true, false, 0, RunNow(run)};
        bool ok = SendByte(run, kAck) && SendByte(run, data.byte) &&
                  ReceiveFileData(run, data, &crc, out, header.sizeKnown ? header.size : UINT64_MAX, true) &&
                  Finish(run, out, path);
        TransferFileDiscard(&out);
        if (!ok) return false;
        ++run.result->files;
        ReportProgress(run, true);
        // Asks for the next header block.
        request = Request{request.byte, true, false, 0, RunNow(run)};
        if (!SendByte(run, request.byte)) return false;
    }
}

}  // namespace

void TransferReceive(TransferProtocol protocol, const char* path, const TransferIo& io,
                     const TransferTimings& timings, TransferResult* result) {
    TransferRun run;
    StartRun(&run, io, timings, result, protocol, false);
    if (protocol == TransferProtocol::kYmodem) ReceiveYmodem(run, path);
    else ReceiveXmodem(run, path != nullptr ? path : "");
    FinishRun(run);
}
