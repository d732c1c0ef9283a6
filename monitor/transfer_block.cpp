// The blocks of XMODEM and YMODEM (transfer_block.h).
#include "transfer_block.h"

#include <cstdio>
#include <cstring>

uint16_t BlockCrc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = uint16_t(crc ^ (uint16_t(data[i]) << 8));
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint8_t BlockChecksum(const uint8_t* data, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = uint8_t(sum + data[i]);
    return sum;
}

size_t BuildBlock(uint8_t* frame, uint8_t number, const uint8_t* data, size_t length, size_t size, bool crc,
                  uint8_t pad) {
    frame[0] = size == kBlockMax ? kStx : kSoh;
    frame[1] = number;
    frame[2] = uint8_t(~number);
    uint8_t* body = frame + 3;
    if (length > size) length = size;
    if (length > 0) std::memcpy(body, data, length);
    std::memset(body + length, pad, size - length);
    size_t end = 3 + size;
    if (crc) {
        uint16_t c = BlockCrc16(body, size);
        frame[end++] = uint8_t(c >> 8);
        frame[end++] = uint8_t(c);
    } else {
        frame[end++] = BlockChecksum(body, size);
    }
    return end;
}

bool BlockCheckMatches(const uint8_t* data, size_t size, const uint8_t* check, bool crc) {
    if (!crc) return BlockChecksum(data, size) == check[0];
    uint16_t c = BlockCrc16(data, size);
    return check[0] == uint8_t(c >> 8) && check[1] == uint8_t(c);
}

size_t BuildHeaderData(uint8_t* data, const char* name, uint64_t size) {
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%llu", (unsigned long long)size);
    size_t nameLength = std::strlen(name);
    size_t need = nameLength + 1 + size_t(n) + 1;
    size_t blockSize = need <= 128 ? 128 : need <= kBlockMax ? kBlockMax : 0;
    if (blockSize == 0) return 0;
    std::memset(data, 0, blockSize);
    std::memcpy(data, name, nameLength);
    std::memcpy(data + nameLength + 1, digits, size_t(n));
    return blockSize;
}

HeaderInfo ParseHeaderData(const uint8_t* data, size_t length) {
    HeaderInfo info = {reinterpret_cast<const char*>(data), false, 0, false};
    const void* end = std::memchr(data, 0, length);
    if (end == nullptr) return info;
    info.terminated = true;
    size_t at = size_t(static_cast<const uint8_t*>(end) - data) + 1;
    uint64_t size = 0;
    bool any = false;
    while (at < length && data[at] >= '0' && data[at] <= '9' && size <= (UINT64_MAX - 9) / 10) {
        size = size * 10 + uint64_t(data[at] - '0');
        any = true;
        ++at;
    }
    info.size = size;
    info.sizeKnown = any;
    return info;
}

const char* RefusedNameReason(const HeaderInfo& header) {
    if (!header.terminated) return "it does not end within the block";
    const char* name = header.name;
    if (std::strchr(name, '/') != nullptr) return "it holds /";
    if (std::strchr(name, '\\') != nullptr) return "it holds \\";
    if (std::strstr(name, "..") != nullptr) return "it holds ..";
    if (((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':') return "it holds a drive letter";
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) return "it holds a control character";
    }
    return nullptr;
}

const char* PathFileName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}
