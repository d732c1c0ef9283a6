// The rows of the hex view: up to 16 received bytes of a frame, in the
// layout of `hexdump -C`: the offset within the frame (four hex digits, more
// past 64 KiB), two blanks, the bytes as two upper-case hex digits each in
// two groups of eight, then the printable column between bars, with '.' for
// every byte outside 0x20..0x7E. A short row keeps the column where a full
// row has it. Only formats.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kHexRowBytes = 16;

// Longest row, its line break included: eight offset digits.
constexpr size_t kMaxHexRow = 8 + 1 + 16 * 3 + 1 + 2 + 1 + 16 + 1 + 1;

// Writes the row of `count` (1..16) bytes at `offset` into `text` (at least
// kMaxHexRow bytes), ending in "\n"; returns its length.
size_t FormatHexRow(uint32_t offset, const uint8_t* bytes, size_t count, char* text);
