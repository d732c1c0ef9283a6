// The sending side of XMODEM, XMODEM-1K and YMODEM (TransferSend): the wait
// for the receiver to start, each block sent until it is acknowledged, the
// end of a file (EOT sent again on NAK) and, for YMODEM, the header block of
// each file and the empty one that ends the batch.
#include <cstdio>
#include <cstring>

#include "../platform/transfer_file.h"
#include "transfer.h"
#include "transfer_block.h"
#include "transfer_link.h"

namespace {

// Waits for the receiver to ask for blocks: "C" for CRC-16, NAK for the
// checksum. Other bytes are line noise; CAN CAN ends the send.
bool WaitForReceiver(TransferRun& run, bool* crc) {
    const uint64_t deadline = RunNow(run) + run.timings->startTimeoutMs;
    bool lastCan = false;
    for (;;) {
        uint64_t now = RunNow(run);
        if (now >= deadline) {
            SendCancel(run);
            return Stop(run, TransferOutcome::kFailed, "the receiver did not start within %u s",
                        run.timings->startTimeoutMs / 1000);
        }
        int b = ReadByte(run, unsigned(deadline - now));
        if (b == kReadTimedOut) continue;
        if (b < 0) return StopOnRead(run, b);
        if (b == kCrcRequest || b == kNak) {
            *crc = b == kCrcRequest;
            return true;
        }
        if (b == kCan && lastCan) return Stop(run, TransferOutcome::kCancelled, "cancelled by the receiver");
        lastCan = b == kCan;
    }
}

// The receiver's answer within a block's time: ACK, NAK (or C where
// `cIsNak`), none; kStopped when it cancelled (CAN CAN) or the port failed,
// the transfer then stopped with the reason.
enum class Answer { kAck, kNak, kNone, kStopped };
Answer AwaitAnswer(TransferRun& run, bool cIsNak) {
    const uint64_t deadline = RunNow(run) + run.timings->blockTimeoutMs;
    bool lastCan = false;
    for (;;) {
        uint64_t now = RunNow(run);
        if (now >= deadline) return Answer::kNone;
        int b = ReadByte(run, unsigned(deadline - now));
        if (b == kReadTimedOut) return Answer::kNone;
        if (b < 0) {
            StopOnRead(run, b);
            return Answer::kStopped;
        }
        if (b == kAck) return Answer::kAck;
        if (b == kNak || (b == kCrcRequest && cIsNak)) return Answer::kNak;
        if (b == kCan && lastCan) {
            Stop(run, TransferOutcome::kCancelled, "cancelled by the receiver");
            return Answer::kStopped;
        }
        lastCan = b == kCan;
    }
}

// Sends one frame until it is acknowledged. A "C" counts as NAK where it
// asks for the first block again.
bool SendFrame(TransferRun& run, const uint8_t* frame, size_t length, unsigned block, bool cIsNak) {
    for (unsigned attempt = 0;; ++attempt) {
        if (!SendBytes(run, frame, length)) return false;
        const Answer answer = AwaitAnswer(run, cIsNak);
        if (answer == Answer::kStopped) return false;
        if (answer == Answer::kAck) return true;
        const char* why = answer == Answer::kNak ? "NAK" : "no answer";
        if (attempt >= run.timings->maxRetries) {
            SendCancel(run);
            return Stop(run, TransferOutcome::kFailed, "%u retries of block %u (%s)", attempt, block, why);
        }
        ++run.result->retries;
        ReportProgress(run, false);
    }
}

// Ends a file: EOT until it is acknowledged. The first NAK is the
// receiver's check that the EOT was meant; later ones, and silence, count
// as retries.
bool SendEndOfFile(TransferRun& run) {
    bool nakSeen = false;
    for (unsigned attempt = 0;; ++attempt) {
        if (!SendByte(run, kEot)) return false;
        const Answer answer = AwaitAnswer(run, false);
        if (answer == Answer::kStopped) return false;
        if (answer == Answer::kAck) return true;
        const char* why = answer == Answer::kNak ? "NAK" : "no answer";
        const bool firstNak = answer == Answer::kNak && !nakSeen;
        if (answer == Answer::kNak) nakSeen = true;
        if (firstNak) {
            --attempt;
            continue;
        }
        if (attempt >= run.timings->maxRetries) {
            SendCancel(run);
            return Stop(run, TransferOutcome::kFailed, "%u retries of the end of the file (%s)", attempt, why);
        }
        ++run.result->retries;
    }
}

// Reads up to `want` bytes: fewer only at the end of the file.
long ReadChunk(TransferFile& file, uint8_t* data, size_t want, unsigned long* error) {
    size_t got = 0;
    while (got < want) {
        long n = TransferFileRead(&file, data + got, want - got, error);
        if (n < 0) return -1;
        if (n == 0) break;
        got += size_t(n);
    }
    return long(got);
}

// Sends the data of one open file, then its end. 1024-byte blocks where
// `oneK` (a last part under 128 bytes goes in a 128-byte block).
bool SendFileData(TransferRun& run, TransferFile& file, uint64_t size, bool crc, bool oneK) {
    uint8_t data[kBlockMax];
    uint8_t frame[kFrameMax];
    uint64_t sent = 0;
    for (unsigned block = 1; sent < size; ++block) {
        uint64_t left = size - sent;
        size_t blockSize = oneK && left >= 128 ? kBlockMax : 128;
        size_t want = left < blockSize ? size_t(left) : blockSize;
        unsigned long error = 0;
        long got = ReadChunk(file, data, want, &error);
        if (got < 0) {
            char text[200];
            TransferErrorText(error, text, sizeof text);
            SendCancel(run);
            return Stop(run, TransferOutcome::kFailed, "cannot read %s: %s", run.result->file, text);
        }
        if (got == 0) break;  // the file has shrunk: what there was is sent
        size_t length = BuildBlock(frame, uint8_t(block), data, size_t(got), blockSize, crc, kPad);
        if (!SendFrame(run, frame, length, block, block == 1)) return false;
        sent += uint64_t(got);
        run.progress.done = sent;
        run.result->bytes += uint64_t(got);
        ReportProgress(run, false);
    }
    return SendEndOfFile(run);
}

bool OpenForSending(TransferRun& run, const char* path, TransferFile* file, uint64_t* size) {
    unsigned long error = 0;
    if (std::strlen(path) >= kTransferPathMax) {
        return Stop(run, TransferOutcome::kRefused, "the path %.200s... is too long", path);
    }
    if (TransferFileOpenRead(path, file, size, &error)) return true;
    char text[200];
    TransferErrorText(error, text, sizeof text);
    return Stop(run, TransferOutcome::kRefused, "cannot open %s: %s", path, text);
}

void SetFileName(TransferRun& run, const char* path, uint64_t size) {
    std::snprintf(run.result->file, sizeof run.result->file, "%s", PathFileName(path));
    run.progress.done = 0;
    run.progress.total = size;
    run.progress.totalKnown = true;
}

bool SendXmodem(TransferRun& run, const char* path, bool oneK) {
    TransferFile file;
    uint64_t size = 0;
    if (!OpenForSending(run, path, &file, &size)) return false;
    SetFileName(run, path, size);
    ReportProgress(run, true);
    bool crc = false;
    bool ok = WaitForReceiver(run, &crc) && SendFileData(run, file, size, crc, oneK && crc);
    TransferFileDiscard(&file);
    if (ok) ++run.result->files;
    ReportProgress(run, true);
    return ok;
}

bool SendYmodem(TransferRun& run, const char* const paths[], int count) {
    // Every file can be opened, and its name fits a header, before anything goes out.
    for (int i = 0; i < count; ++i) {
        TransferFile file;
        uint64_t size = 0;
        if (!OpenForSending(run, paths[i], &file, &size)) return false;
        TransferFileDiscard(&file);
        uint8_t header[kBlockMax];
        if (BuildHeaderData(header, PathFileName(paths[i]), size) == 0) {
            return Stop(run, TransferOutcome::kRefused, "the name of %s is too long for YMODEM", paths[i]);
        }
        if (i == 0) SetFileName(run, paths[0], size);
    }
    ReportProgress(run, true);  // the first file's, while the receiver is awaited
    bool crc = false;
    if (!WaitForReceiver(run, &crc)) return false;
    uint8_t data[kBlockMax];
    uint8_t frame[kFrameMax];
    for (int i = 0; i < count; ++i) {
        TransferFile file;
        uint64_t size = 0;
        if (!OpenForSending(run, paths[i], &file, &size)) {
            SendCancel(run);
            return false;
        }
        SetFileName(run, paths[i], size);
        ReportProgress(run, true);
        size_t blockSize = BuildHeaderData(data, run.result->file, size);
        size_t length = BuildBlock(frame, 0, data, blockSize, blockSize, crc, 0);
        bool ok = SendFrame(run, frame, length, 0, true) && WaitForReceiver(run, &crc) &&
                  SendFileData(run, file, size, crc, crc) && WaitForReceiver(run, &crc);
        TransferFileDiscard(&file);
        if (!ok) return false;
        ++run.result->files;
        ReportProgress(run, true);
    }
    // The batch ends with an empty header block.
    size_t length = BuildBlock(frame, 0, data, 0, 128, crc, 0);
    return SendFrame(run, frame, length, 0, true);
}

}  // namespace

void TransferSend(TransferProtocol protocol, const char* const paths[], int count, const TransferIo& io,
                  const TransferTimings& timings, TransferResult* result) {
    TransferRun run;
    StartRun(&run, io, timings, result, protocol, true);
    if (count < 1 || (protocol != TransferProtocol::kYmodem && count != 1)) {
        Stop(run, TransferOutcome::kRefused, "%s sends %s", TransferProtocolName(protocol),
             protocol == TransferProtocol::kYmodem ? "one file or more" : "one file");
    } else if (protocol == TransferProtocol::kYmodem) {
        SendYmodem(run, paths, count);
    } else {
        SendXmodem(run, paths[0], protocol == TransferProtocol::kXmodem1k);
    }
    FinishRun(run);
}
