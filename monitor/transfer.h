// File transfer by XMODEM (128-byte blocks, 8-bit checksum or CRC-16),
// XMODEM-1K and YMODEM batches, both ways. The engine runs over a small
// set of operations (the port, a clock, the abort test, the progress
// report), so that it runs over the driver (transfer_port.h) and under a
// scripted peer alike; files are reached through platform/transfer_file.h.
#pragma once

#include <cstddef>
#include <cstdint>

enum class TransferProtocol { kXmodem, kXmodem1k, kYmodem };

// "XMODEM", "XMODEM-1K", "YMODEM".
const char* TransferProtocolName(TransferProtocol protocol);

// Where a transfer stands, handed to the progress report.
struct TransferProgress {
    TransferProtocol protocol;
    bool sending;
    const char* file;    // the name being sent or received, without its folder ("" before it is known)
    uint64_t done;       // bytes of that file sent (acknowledged) or written
    uint64_t total;      // its size, when totalKnown
    bool totalKnown;
    uint64_t elapsedMs;  // since the transfer started
    unsigned retries;    // in the whole transfer
};

struct TransferIo {
    void* context;
    // Sends all `length` bytes; false when the port did not take them.
    bool (*send)(void* context, const uint8_t* data, size_t length);
    // Waits up to about `timeoutMs` for bytes and puts up to `size` of them in
    // `buffer`: how many came (0 when none came in time), -1 when the port failed.
    int (*receive)(void* context, uint8_t* buffer, size_t size, unsigned timeoutMs);
    // A monotonic clock in milliseconds.
    uint64_t (*nowMs)(void* context);
    // True when the user asks to stop. Asked between waits, at least every
    // quarter of a second while the engine waits.
    bool (*abortRequested)(void* context);
    // Called at most once per TransferTimings::progressEveryMs, and once at
    // the end of each file; may be null.
    void (*progress)(void* context, const TransferProgress& progress);
    // Hands what was sent to the line now, not with the next port call (the
    // last ACK, CAN CAN CAN); called at the end of the transfer; may be null.
    void (*flush)(void* context);
};

// The protocol's times and limits; tests shorten them.
struct TransferTimings {
    unsigned blockTimeoutMs = 10000;  // for an answer to a block, or for the next block
    unsigned startTimeoutMs = 60000;  // for the other side to start
    unsigned startTryMs = 3000;       // receiver: between its requests to start (C, then NAK)
    unsigned byteTimeoutMs = 1000;    // between the bytes of one block
    unsigned maxRetries = 10;         // per block
    unsigned progressEveryMs = 100;
};

enum class TransferOutcome {
    kDone,
    kFailed,     // the protocol, the port or a file failed; `reason` says how
    kCancelled,  // the other side sent CAN CAN
    kAborted,    // the abort test said so; CAN CAN CAN went out
    kRefused,    // nothing started: a path, a name or a file was not acceptable
};

constexpr size_t kTransferNameMax = 256;
constexpr size_t kTransferReasonMax = 512;
constexpr size_t kTransferRestMax = 1029;  // a whole frame: the most one read takes

struct TransferResult {
    TransferProtocol protocol = TransferProtocol::kXmodem;
    bool sending = false;
    TransferOutcome outcome = TransferOutcome::kFailed;
    unsigned files = 0;              // files sent or received in full
    char file[kTransferNameMax] = {};  // the last file's name, without its folder
    uint64_t bytes = 0;              // file bytes in all files sent or written
    uint64_t elapsedMs = 0;
    unsigned retries = 0;
    char reason[kTransferReasonMax] = {};  // when not kDone
    // What came after the transfer's last byte in the same read (a device's
    // message right after its last ACK), for the caller to show.
    uint8_t rest[kTransferRestMax] = {};
    size_t restCount = 0;
};

// Sends `count` files: one by XMODEM and XMODEM-1K, a batch of any number
// by YMODEM. Every file is opened before anything goes out.
void TransferSend(TransferProtocol protocol, const char* const paths[], int count, const TransferIo& io,
                  const TransferTimings& timings, TransferResult* result);

// Receives by XMODEM (either block size) into the file `path`, which must
// not exist; by YMODEM every file of the batch into the folder `path`
// (null or "" for the current one), named as the sender names it.
void TransferReceive(TransferProtocol protocol, const char* path, const TransferIo& io,
                     const TransferTimings& timings, TransferResult* result);
