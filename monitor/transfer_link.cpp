// The transfer engine's waits on the port and its ways to stop
// (transfer_link.h).
#include "transfer_link.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The abort test is asked at most this often while bytes keep coming.
constexpr uint64_t kAbortLookMs = 50;
// A single wait on the port; the abort test is asked between them.
constexpr unsigned kWaitSliceMs = 250;
// The line is taken to be quiet after this long without a byte.
constexpr unsigned kPurgeQuietMs = 300;

}  // namespace

void StartRun(TransferRun* run, const TransferIo& io, const TransferTimings& timings, TransferResult* result,
              TransferProtocol protocol, bool sending) {
    *result = TransferResult{};
    result->protocol = protocol;
    result->sending = sending;
    run->io = &io;
    run->timings = &timings;
    run->result = result;
    run->progress = TransferProgress{protocol, sending, result->file, 0, 0, false, 0, 0};
    run->startMs = io.nowMs(io.context);
    run->lastProgressMs = run->startMs;
    run->lastAbortLookMs = run->startMs;
    run->inAt = run->inCount = 0;
}

uint64_t RunNow(TransferRun& run) { return run.io->nowMs(run.io->context); }

int ReadByte(TransferRun& run, unsigned timeoutMs) {
    if (run.inAt < run.inCount) return run.in[run.inAt++];
    const TransferIo& io = *run.io;
    uint64_t now = RunNow(run);
    const uint64_t deadline = now + timeoutMs;
    for (bool first = true;; first = false) {
        if (first ? now - run.lastAbortLookMs >= kAbortLookMs : true) {
            run.lastAbortLookMs = now;
            if (io.abortRequested(io.context)) return kReadAborted;
        }
        if (!first && now >= deadline) return kReadTimedOut;
        uint64_t left = deadline > now ? deadline - now : 0;
        int n = io.receive(io.context, run.in, sizeof run.in, unsigned(left < kWaitSliceMs ? left : kWaitSliceMs));
        if (n < 0) return kReadFailed;
        if (n > 0) {
            run.inAt = 1;
            run.inCount = size_t(n) > sizeof run.in ? sizeof run.in : size_t(n);
            return run.in[0];
        }
        now = RunNow(run);
    }
}

void Purge(TransferRun& run) {
    run.inAt = run.inCount = 0;
    const uint64_t end = RunNow(run) + run.timings->blockTimeoutMs;
    while (RunNow(run) < end) {
        int b = ReadByte(run, kPurgeQuietMs);
        if (b < 0) {
            if (b == kReadAborted) run.lastAbortLookMs = 0;  // asked again by the caller's next wait
            return;
        }
    }
}

bool SendBytes(TransferRun& run, const uint8_t* data, size_t length) {
    if (run.io->send(run.io->context, data, length)) return true;
    return Stop(run, TransferOutcome::kFailed, "the port did not take the bytes to send");
}

bool SendByte(TransferRun& run, uint8_t byte) { return SendBytes(run, &byte, 1); }

void SendCancel(TransferRun& run) {
    static const uint8_t cancel[3] = {kCan, kCan, kCan};
    run.io->send(run.io->context, cancel, sizeof cancel);
}

bool Stop(TransferRun& run, TransferOutcome outcome, const char* format, ...) {
    TransferResult* result = run.result;
    if (result->reason[0] != '\0') return false;  // the first reason stands
    result->outcome = outcome;
    va_list args;
    va_start(args, format);
    std::vsnprintf(result->reason, sizeof result->reason, format, args);
    va_end(args);
    if (result->reason[0] == '\0') std::snprintf(result->reason, sizeof result->reason, "failed");
    return false;
}

bool StopOnRead(TransferRun& run, int code) {
    if (code == kReadAborted) {
        SendCancel(run);
        return Stop(run, TransferOutcome::kAborted, "aborted by the user");
    }
    return Stop(run, TransferOutcome::kFailed, "the port could not be read");
}

void ReportProgress(TransferRun& run, bool force) {
    if (run.io->progress == nullptr) return;
    uint64_t now = RunNow(run);
    if (!force && now - run.lastProgressMs < run.timings->progressEveryMs) return;
    run.lastProgressMs = now;
    run.progress.elapsedMs = now - run.startMs;
    run.progress.retries = run.result->retries;
    run.io->progress(run.io->context, run.progress);
}

static_assert(sizeof(TransferRun::in) <= kTransferRestMax, "the rest of a read must fit the result");

void FinishRun(TransferRun& run) {
    if (run.io->flush != nullptr) run.io->flush(run.io->context);
    run.result->restCount = run.inCount - run.inAt;
    std::memcpy(run.result->rest, run.in + run.inAt, run.result->restCount);
    run.inAt = run.inCount = 0;
    run.result->elapsedMs = RunNow(run) - run.startMs;
    if (run.result->reason[0] == '\0') run.result->outcome = TransferOutcome::kDone;
}
