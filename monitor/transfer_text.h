// The texts of a transfer: its progress line and its result line. These
// only format; the caller writes them.
#pragma once

#include <cstddef>

#include "transfer.h"

// For example "YMODEM send u-boot.bin: 262144 of 524288 bytes (50%),
// 11.1 KB/s, 23 s left, 0 retries"; without a known size
// "XMODEM receive log.bin: 4096 bytes, 11.1 KB/s, 0 retries".
void FormatTransferProgress(const TransferProgress& progress, char* text, size_t size);

// For example "Sent u-boot.bin by YMODEM: 524288 bytes in 47.1 s
// (11.1 KB/s), 0 retries" or "Receiving by XMODEM failed: 10 retries of
// block 12 (no answer)".
void FormatTransferResult(const TransferResult& result, char* text, size_t size);
