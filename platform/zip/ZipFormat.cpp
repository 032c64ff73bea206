#include "platform/zip/ZipFormat.h"

#include <windows.h>

#define ZLIB_CONST
#include <zlib.h>

namespace {

const uint32_t kZip64EndRecordSignature = 0x06064b50;
const uint32_t kZip64LocatorSignature = 0x07064b50;
const size_t kEndRecordSize = 22;
const size_t kZip64LocatorSize = 20;
const size_t kZip64EndRecordSize = 56;
const uint16_t kFlagUtf8Name = 0x0800;
const uint16_t kZip64ExtraId = 0x0001;
const uint16_t kUnicodePathExtraId = 0x7075;

// The data of one extra field, or false when the extra block has none.
bool FindExtraField(const std::string& extra, uint16_t id, std::string& data) {
    size_t position = 0;
    while (position + 4 <= extra.size()) {
        const uint16_t fieldId = Read16(Bytes(extra) + position);
        const size_t fieldSize = Read16(Bytes(extra) + position + 2);
        if (position + 4 + fieldSize > extra.size())
            return false;
        if (fieldId == id) {
            data = extra.substr(position + 4, fieldSize);
            return true;
        }
        position += 4 + fieldSize;
    }
    return false;
}

bool ToWide(UINT codePage, const std::string& bytes, std::wstring& text) {
    text.clear();
    if (bytes.empty())
        return true;
    const int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0)
        return false;
    text.resize(static_cast<size_t>(size));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                               static_cast<int>(bytes.size()), text.data(), size) == size;
}

// Bit 11 says UTF-8. Without it, an Info-ZIP Unicode Path field of version 1
// whose CRC matches the stored name gives the UTF-8 name (a CRC that does not
// match means a tool renamed the entry and left the field stale). Otherwise
// the name is in the OEM code page, as Windows' own archiver writes it. We
// never guess from the bytes: short Russian names in code page 866 are often
// valid UTF-8 too.
bool DecodeName(const std::string& rawName, uint16_t flags, const std::string& extra,
                std::wstring& name) {
    if (flags & kFlagUtf8Name)
        return ToWide(CP_UTF8, rawName, name);
    std::string field;
    if (FindExtraField(extra, kUnicodePathExtraId, field) && field.size() >= 5 && field[0] == 1 &&
        Read32(Bytes(field) + 1) == crc32(0, Bytes(rawName), static_cast<uInt>(rawName.size())) &&
        ToWide(CP_UTF8, field.substr(5), name))
        return true;
    return ToWide(CP_OEMCP, rawName, name);
}

} // namespace

// The end record sits in the last 22 bytes plus a comment of up to 65535
// bytes. Scanning back, only a record whose comment ends exactly at the end
// of the archive counts, so signature bytes inside a comment are passed over.
// A ZIP64 locator right before it points at the ZIP64 end record, whose
// 64-bit values replace the saturated classic ones.
bool LocateZipDirectory(const std::string& tail, uint64_t archiveSize, ZipDirectoryPlace& place) {
    if (tail.size() < kEndRecordSize || tail.size() > archiveSize)
        return false;
    const uint64_t tailStart = archiveSize - tail.size();
    size_t end = tail.size() - kEndRecordSize + 1;
    while (end-- > 0) {
        if (Read32(Bytes(tail) + end) == kEndRecordSignature &&
            end + kEndRecordSize + Read16(Bytes(tail) + end + 20) == tail.size())
            break;
        if (end == 0)
            return false;
    }
    const unsigned char* record = Bytes(tail) + end;
    uint32_t disk = Read16(record + 4);
    uint32_t directoryDisk = Read16(record + 6);
    uint64_t entriesOnDisk = Read16(record + 8);
    place.entryCount = Read16(record + 10);
    place.size = Read32(record + 12);
    place.offset = Read32(record + 16);
    uint64_t directoryLimit = tailStart + end;

    if (end >= kZip64LocatorSize &&
        Read32(Bytes(tail) + end - kZip64LocatorSize) == kZip64LocatorSignature) {
        const unsigned char* locator = Bytes(tail) + end - kZip64LocatorSize;
        const uint64_t zip64Offset = Read64(locator + 8);
        if (Read32(locator + 4) != 0 || Read32(locator + 16) > 1 || zip64Offset < tailStart ||
            !FitsIn(zip64Offset - tailStart, kZip64EndRecordSize, end - kZip64LocatorSize))
            return false;
        const unsigned char* zip64 = Bytes(tail) + (zip64Offset - tailStart);
        if (Read32(zip64) != kZip64EndRecordSignature)
            return false;
        disk = Read32(zip64 + 16);
        directoryDisk = Read32(zip64 + 20);
        entriesOnDisk = Read64(zip64 + 24);
        place.entryCount = Read64(zip64 + 32);
        place.size = Read64(zip64 + 40);
        place.offset = Read64(zip64 + 48);
        directoryLimit = zip64Offset;
    }
    // Parts of a split archive are refused.
    if (disk != 0 || directoryDisk != 0 || entriesOnDisk != place.entryCount)
        return false;
    return FitsIn(place.offset, place.size, directoryLimit);
}

// A ZIP64 extra field holds only the saturated values, in this order.
bool ParseZipRecord(const unsigned char* header, const std::string& rawName,
                    const std::string& extra, ZipRecord& record) {
    record.flags = Read16(header + 8);
    record.method = Read16(header + 10);
    record.crc = Read32(header + 16);
    const uint32_t compressed32 = Read32(header + 20);
    const uint32_t uncompressed32 = Read32(header + 24);
    const uint16_t disk16 = Read16(header + 34);
    const uint32_t offset32 = Read32(header + 42);
    std::string field;
    const bool found = FindExtraField(extra, kZip64ExtraId, field);
    size_t position = 0;
    auto take = [&](uint64_t& value, size_t size) {
        if (!found || position + size > field.size())
            return false;
        value = size == 8 ? Read64(Bytes(field) + position) : Read32(Bytes(field) + position);
        position += size;
        return true;
    };
    record.uncompressedSize = uncompressed32;
    record.compressedSize = compressed32;
    record.localHeaderOffset = offset32;
    uint64_t disk64 = disk16;
    if ((uncompressed32 == 0xFFFFFFFF && !take(record.uncompressedSize, 8)) ||
        (compressed32 == 0xFFFFFFFF && !take(record.compressedSize, 8)) ||
        (offset32 == 0xFFFFFFFF && !take(record.localHeaderOffset, 8)) ||
        (disk16 == 0xFFFF && !take(disk64, 4)))
        return false;
    record.disk = static_cast<uint32_t>(disk64);
    return DecodeName(rawName, record.flags, extra, record.name);
}

bool ReadZipDirectory(const std::string& directory, uint64_t entryCount,
                      std::vector<ZipRecord>& records) {
    records.clear();
    size_t at = 0;
    for (uint64_t index = 0; index < entryCount; ++index) {
        if (!FitsIn(at, kCentralHeaderSize, directory.size()))
            return false;
        const unsigned char* header = Bytes(directory) + at;
        const size_t nameSize = Read16(header + 28);
        const size_t extraSize = Read16(header + 30);
        const size_t commentSize = Read16(header + 32);
        const size_t variable = nameSize + extraSize + commentSize;
        if (Read32(header) != kCentralHeaderSignature ||
            !FitsIn(at + kCentralHeaderSize, variable, directory.size()))
            return false;
        ZipRecord record;
        if (!ParseZipRecord(header, directory.substr(at + kCentralHeaderSize, nameSize),
                            directory.substr(at + kCentralHeaderSize + nameSize, extraSize),
                            record))
            return false;
        records.push_back(std::move(record));
        at += kCentralHeaderSize + variable;
    }
    return at == directory.size();
}
