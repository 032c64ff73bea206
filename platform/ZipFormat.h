#pragma once
// What the ZIP code shares: the records' signatures, and the little-endian
// numbers archives store.

#include <cstdint>
#include <string>

const uint32_t kLocalHeaderSignature = 0x04034b50;
const uint32_t kCentralHeaderSignature = 0x02014b50;
const uint32_t kEndRecordSignature = 0x06054b50;

inline uint16_t Read16(const unsigned char* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t Read32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

inline uint64_t Read64(const unsigned char* bytes) {
    return static_cast<uint64_t>(Read32(bytes)) | (static_cast<uint64_t>(Read32(bytes + 4)) << 32);
}

inline const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}
