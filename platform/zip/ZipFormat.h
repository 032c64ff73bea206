#pragma once
// What the ZIP code shares: the records' signatures, the little-endian
// numbers archives store, and the reading of the end records and of the
// central directory's records from bytes in memory.

#include <cstdint>
#include <string>
#include <vector>

const uint32_t kLocalHeaderSignature = 0x04034b50;
const uint32_t kCentralHeaderSignature = 0x02014b50;
const uint32_t kEndRecordSignature = 0x06054b50;

const size_t kLocalHeaderSize = 30;
const size_t kCentralHeaderSize = 46;

// The last bytes of an archive that hold its end records: the end record
// with the longest comment, the ZIP64 locator and the ZIP64 end record (an
// archive whose ZIP64 end record lies further back is refused).
const size_t kZipTailSize = 22 + 0xFFFF + 20 + 56;

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

// Offsets and sizes come from the archive itself, so every region is checked
// against its container before it is read, without overflowing.
inline bool FitsIn(uint64_t offset, uint64_t size, uint64_t limit) {
    return offset <= limit && size <= limit - offset;
}

// Where the central directory lies.
struct ZipDirectoryPlace {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t entryCount = 0;
};

// From the archive's last bytes (the tail ends where the archive does;
// archiveSize long in all). False for a split archive, end records that are
// not in the tail, or a directory that does not lie before them.
bool LocateZipDirectory(const std::string& tail, uint64_t archiveSize, ZipDirectoryPlace& place);

// What one record of the central directory says of its entry.
struct ZipRecord {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t localHeaderOffset = 0;
    uint32_t disk = 0;
    std::wstring name; // decoded, with the separators as stored
};

// From the record's fixed 46 bytes, its stored name and its extra field.
// False when a saturated value has no ZIP64 field or the name cannot be
// decoded.
bool ParseZipRecord(const unsigned char* header, const std::string& rawName,
                    const std::string& extra, ZipRecord& record);

// Every record of a whole central directory held in memory. False when one
// cannot be read or the records do not fill the directory exactly.
bool ReadZipDirectory(const std::string& directory, uint64_t entryCount,
                      std::vector<ZipRecord>& records);
