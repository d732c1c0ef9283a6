// Internal to the transfer engine: one transfer's state and its waits on
// the port, every one bounded and every one asking the abort test, and the
// way a transfer stops (the outcome and reason in the result, CAN CAN CAN
// where the other side must be told).
#pragma once

#include <cstddef>
#include <cstdint>

#include "transfer.h"
#include "transfer_block.h"

struct TransferRun {
    const TransferIo* io;
    const TransferTimings* timings;
    TransferResult* result;
    TransferProgress progress;
    uint64_t startMs;
    uint64_t lastProgressMs;
    uint64_t lastAbortLookMs;
    uint8_t in[kFrameMax];  // received, not yet taken
    size_t inAt;
    size_t inCount;
};

// What ReadByte gives instead of a byte.
constexpr int kReadTimedOut = -1;
constexpr int kReadAborted = -2;
constexpr int kReadFailed = -3;

void StartRun(TransferRun* run, const TransferIo& io, const TransferTimings& timings, TransferResult* result,
              TransferProtocol protocol, bool sending);

uint64_t RunNow(TransferRun& run);

// The next received byte, waiting up to `timeoutMs` for it; or one of the
// kRead values.
int ReadByte(TransferRun& run, unsigned timeoutMs);

// Drops what is received until the line has been quiet for a moment (at
// most a block time-out), so that the rest of a bad block is not taken for
// the next one.
void Purge(TransferRun& run);

// Sends bytes; false, with the run stopped, when the port failed.
bool SendBytes(TransferRun& run, const uint8_t* data, size_t length);
bool SendByte(TransferRun& run, uint8_t byte);

// Tells the other side the transfer is over: CAN CAN CAN.
void SendCancel(TransferRun& run);

// Stops the run with `outcome` and the reason (printf-style). Returns false,
// so that callers can `return Stop(...)`.
bool Stop(TransferRun& run, TransferOutcome outcome, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Stops the run after ReadByte gave kReadAborted or kReadFailed: an abort
// sends CAN CAN CAN. Returns false.
bool StopOnRead(TransferRun& run, int code);

// Calls the progress report if it is due (or `force`).
void ReportProgress(TransferRun& run, bool force);

// Takes the elapsed time, the retries and the bytes received but not taken
// into the result.
void FinishRun(TransferRun& run);
