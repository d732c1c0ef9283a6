// The texts of a transfer (transfer_text.h). KB are 1000 bytes.
#include "transfer_text.h"

#include <cstdio>

const char* TransferProtocolName(TransferProtocol protocol) {
    switch (protocol) {
        case TransferProtocol::kXmodem: return "XMODEM";
        case TransferProtocol::kXmodem1k: return "XMODEM-1K";
        case TransferProtocol::kYmodem: return "YMODEM";
    }
    return "?";
}

namespace {

double KbPerSecond(unsigned long long bytes, unsigned long long ms) {
    return ms == 0 ? 0.0 : double(bytes) / double(ms);  // bytes per ms = KB per s
}

const char* Retries(unsigned retries) { return retries == 1 ? "retry" : "retries"; }

}  // namespace

void FormatTransferProgress(const TransferProgress& p, char* text, size_t size) {
    if (size == 0) return;
    const char* way = p.sending ? "send" : "receive";
    unsigned long long done = p.done;
    double rate = KbPerSecond(done, p.elapsedMs);
    if (!p.totalKnown) {
        std::snprintf(text, size, "%s %s %s: %llu bytes, %.1f KB/s, %u %s", TransferProtocolName(p.protocol), way,
                      p.file, done, rate, p.retries, Retries(p.retries));
        return;
    }
    unsigned long long total = p.total;
    unsigned percent = total == 0 ? 100 : unsigned(done >= total ? 100 : done * 100 / total);
    char left[32] = "";
    if (done > 0 && done < total && p.elapsedMs > 0) {
        unsigned long long seconds = (unsigned long long)(double(total - done) * double(p.elapsedMs) / double(done) / 1000.0 + 0.5);
        std::snprintf(left, sizeof left, ", %llu s left", seconds);
    }
    std::snprintf(text, size, "%s %s %s: %llu of %llu bytes (%u%%), %.1f KB/s%s, %u %s",
                  TransferProtocolName(p.protocol), way, p.file, done, total, percent, rate, left, p.retries,
                  Retries(p.retries));
}

void FormatTransferResult(const TransferResult& r, char* text, size_t size) {
    if (size == 0) return;
    const char* protocol = TransferProtocolName(r.protocol);
    if (r.outcome != TransferOutcome::kDone) {
        std::snprintf(text, size, "%s by %s failed: %s", r.sending ? "Sending" : "Receiving", protocol, r.reason);
        return;
    }
    char what[kTransferNameMax + 32];
    if (r.files == 1) std::snprintf(what, sizeof what, "%s", r.file);
    else std::snprintf(what, sizeof what, "%u files", r.files);
    unsigned long long bytes = r.bytes;
    std::snprintf(text, size, "%s %s by %s: %llu bytes in %.1f s (%.1f KB/s), %u %s", r.sending ? "Sent" : "Received",
                  what, protocol, bytes, double(r.elapsedMs) / 1000.0, KbPerSecond(bytes, r.elapsedMs), r.retries,
                  Retries(r.retries));
}
