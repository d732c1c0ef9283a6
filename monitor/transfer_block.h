// The blocks of XMODEM and YMODEM: their bytes, their checks, and the
// YMODEM header block (block 0) with a file's name and size. Pure
// functions: nothing here touches the port or a file.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kSoh = 0x01;  // a 128-byte block follows
constexpr uint8_t kStx = 0x02;  // a 1024-byte block follows
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kCrcRequest = 'C';
constexpr uint8_t kPad = 0x1A;  // fills the last block of a file

constexpr size_t kBlockMax = 1024;
constexpr size_t kFrameMax = 3 + kBlockMax + 2;  // header, number, its complement, data, CRC

// CRC-16 of XMODEM: polynomial 0x1021, starting at 0, no reflection.
uint16_t BlockCrc16(const uint8_t* data, size_t length);
// The 8-bit sum of the bytes.
uint8_t BlockChecksum(const uint8_t* data, size_t length);

// Writes the frame of block `number` into `frame` (kFrameMax bytes): the
// header byte (SOH for 128, STX for 1024 bytes of `size`), the number, its
// complement, `length` bytes of `data` filled up to `size` with `pad`, and
// the CRC (big end first) or the checksum. Returns the frame's length.
size_t BuildBlock(uint8_t* frame, uint8_t number, const uint8_t* data, size_t length, size_t size, bool crc,
                  uint8_t pad);

// Whether `check` (2 bytes with CRC, 1 without) matches `data`.
bool BlockCheckMatches(const uint8_t* data, size_t size, const uint8_t* check, bool crc);

// The data of a YMODEM header block for `name` and `size`: "name\0size\0"
// (size in decimal), NULs after. Returns the block size that holds it (128
// or 1024), 0 when the name is too long even for 1024.
size_t BuildHeaderData(uint8_t* data, const char* name, uint64_t size);

// What a YMODEM header block says. An empty name ends the batch.
struct HeaderInfo {
    const char* name;  // into the block's data; NUL-terminated there
    bool terminated;   // the name ends within the block
    uint64_t size;
    bool sizeKnown;
};
// `data` must hold `length` bytes plus one NUL after them.
HeaderInfo ParseHeaderData(const uint8_t* data, size_t length);

// Why a received file name may not be used as it is (it holds "/", "\",
// "..", a drive letter or a control character, or is not within the
// block), or null when it may. Whether the file exists is the caller's look.
const char* RefusedNameReason(const HeaderInfo& header);

// The part of a path after its last "/" or "\".
const char* PathFileName(const char* path);
