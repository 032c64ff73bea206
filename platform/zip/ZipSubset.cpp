#include "platform/zip/ZipSubset.h"

#include "platform/Errors.h"
#include "platform/files/FileFaults.h"
#include "platform/files/LongPath.h"
#include "platform/zip/ZipFormat.h"

#include <algorithm>

namespace {

const uint32_t kDescriptorSignature = 0x08074b50;
const uint16_t kZip64Field = 0x0001;
const uint16_t kHasDescriptor = 0x0008;
const uint32_t kMax32 = 0xFFFFFFFF;

void Put16(std::string& bytes, uint16_t value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>(value >> 8);
}

void Put32(std::string& bytes, uint32_t value) {
    Put16(bytes, static_cast<uint16_t>(value & 0xFFFF));
    Put16(bytes, static_cast<uint16_t>(value >> 16));
}

void Put64(std::string& bytes, uint64_t value) {
    Put32(bytes, static_cast<uint32_t>(value & kMax32));
    Put32(bytes, static_cast<uint32_t>(value >> 32));
}

bool ReadAt(HANDLE file, uint64_t offset, size_t size, std::string& bytes) {
    bytes.assign(size, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & kMax32);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return size == 0 ||
           (ReadFile(file, bytes.data(), static_cast<DWORD>(size), &read, &at) && read == size);
}

// The extra fields without ZIP64's, whose values the central directory
// states again in its own record when they need it.
std::string WithoutZip64Field(const std::string& extra) {
    std::string kept;
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        const size_t size = Read16(Bytes(extra) + at + 2);
        if (at + 4 + size > extra.size())
            break;
        if (Read16(Bytes(extra) + at) != kZip64Field)
            kept += extra.substr(at, 4 + size);
        at += 4 + size;
    }
    return kept;
}

// What the central directory says of one entry.
struct EntryFacts {
    std::string header; // the local header's fixed 30 bytes
    std::string name;
    std::string extra;
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

// Reads the facts from the local header and, when the sizes follow the
// data, from the data descriptor that ends the entry.
bool ReadEntryFacts(HANDLE file, uint64_t start, uint64_t length, EntryFacts& facts) {
    if (length < 30 || !ReadAt(file, start, 30, facts.header) ||
        Read32(Bytes(facts.header)) != kLocalHeaderSignature)
        return false;
    const size_t nameSize = Read16(Bytes(facts.header) + 26);
    const size_t extraSize = Read16(Bytes(facts.header) + 28);
    const uint64_t dataStart = 30 + nameSize + extraSize;
    std::string variable;
    if (dataStart > length || !ReadAt(file, start + 30, nameSize + extraSize, variable))
        return false;
    facts.name = variable.substr(0, nameSize);
    facts.extra = variable.substr(nameSize);
    bool zip64 = false;
    uint64_t sizes[2] = {Read32(Bytes(facts.header) + 22), Read32(Bytes(facts.header) + 18)};
    for (size_t at = 0; at + 4 <= facts.extra.size();) {
        const size_t size = Read16(Bytes(facts.extra) + at + 2);
        if (Read16(Bytes(facts.extra) + at) == kZip64Field) {
            zip64 = true;
            size_t value = at + 4;
            for (uint64_t& field : sizes) {
                if (field == kMax32 && value + 8 <= at + 4 + size &&
                    value + 8 <= facts.extra.size()) {
                    field = Read64(Bytes(facts.extra) + value);
                    value += 8;
                }
            }
        }
        at += 4 + size;
    }
    facts.crc = Read32(Bytes(facts.header) + 14);
    facts.uncompressed = sizes[0];
    facts.compressed = sizes[1];
    if ((Read16(Bytes(facts.header) + 6) & kHasDescriptor) == 0)
        return dataStart + facts.compressed == length;

    // The descriptor's size is the one whose compressed size fits the span:
    // with or without its signature, with 8-byte sizes after a ZIP64 field.
    const size_t sizeBytes = zip64 ? 8 : 4;
    for (const bool signature : {true, false}) {
        const uint64_t descriptorSize = (signature ? 8 : 4) + 2 * sizeBytes;
        if (dataStart + descriptorSize > length)
            continue;
        std::string descriptor;
        if (!ReadAt(file, start + length - descriptorSize, descriptorSize, descriptor))
            return false;
        size_t at = 0;
        if (signature) {
            if (Read32(Bytes(descriptor) + 0) != kDescriptorSignature)
                continue;
            at = 4;
        }
        const uint64_t compressed =
            zip64 ? Read64(Bytes(descriptor) + at + 4) : Read32(Bytes(descriptor) + at + 4);
        if (dataStart + compressed + descriptorSize != length)
            continue;
        facts.crc = Read32(Bytes(descriptor) + at);
        facts.compressed = compressed;
        facts.uncompressed = zip64 ? Read64(Bytes(descriptor) + at + 4 + sizeBytes)
                                   : Read32(Bytes(descriptor) + at + 4 + sizeBytes);
        return true;
    }
    return false;
}

std::string CentralRecord(const EntryFacts& facts, uint64_t offset) {
    std::string zip64;
    if (facts.uncompressed >= kMax32)
        Put64(zip64, facts.uncompressed);
    if (facts.compressed >= kMax32)
        Put64(zip64, facts.compressed);
    if (offset >= kMax32)
        Put64(zip64, offset);
    std::string extra = WithoutZip64Field(facts.extra);
    uint16_t needed = Read16(Bytes(facts.header) + 4);
    if (!zip64.empty()) {
        Put16(extra, kZip64Field);
        Put16(extra, static_cast<uint16_t>(zip64.size()));
        extra += zip64;
        needed = std::max<uint16_t>(needed, 45);
    }
    std::string record;
    Put32(record, kCentralHeaderSignature);
    Put16(record, needed); // made by: the same version, MS-DOS attributes
    Put16(record, needed);
    record += facts.header.substr(6, 8); // flags, method, time, date
    Put32(record, facts.crc);
    Put32(record, static_cast<uint32_t>(std::min<uint64_t>(facts.compressed, kMax32)));
    Put32(record, static_cast<uint32_t>(std::min<uint64_t>(facts.uncompressed, kMax32)));
    Put16(record, static_cast<uint16_t>(facts.name.size()));
    Put16(record, static_cast<uint16_t>(extra.size()));
    Put16(record, 0); // comment
    Put16(record, 0); // disk
    Put16(record, 0); // internal attributes
    Put32(record, 0); // external attributes
    Put32(record, static_cast<uint32_t>(std::min<uint64_t>(offset, kMax32)));
    return record + facts.name + extra;
}

} // namespace

ZipSubset::ZipSubset(const std::wstring& path, std::vector<ZipSpan> spans)
    : path_(path), spans_(std::move(spans)), filled_(spans_.size(), 0) {
    for (const ZipSpan& span : spans_) {
        starts_.push_back(total_);
        total_ += span.length;
    }
    file_ = FileOperationFault(L"create-file", path_)
                ? INVALID_HANDLE_VALUE
                : CreateFileW(ExtendedLengthPath(path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE)
        throw MakeError(L"Ошибка записи файла: " + path_ + L": " +
                        GetWinErrorMessage(GetLastError()));
}

ZipSubset::~ZipSubset() {
    CloseHandle(file_);
}

void ZipSubset::Write(uint64_t archiveOffset, const BYTE* data, size_t size) {
    // The first span that ends past the offset.
    size_t index = std::upper_bound(spans_.begin(), spans_.end(), archiveOffset,
                                    [](uint64_t offset, const ZipSpan& span) {
                                        return offset < span.offset + span.length;
                                    }) -
                   spans_.begin();
    while (size > 0 && index < spans_.size()) {
        const ZipSpan& span = spans_[index];
        if (archiveOffset < span.offset) {
            const uint64_t skip = std::min<uint64_t>(size, span.offset - archiveOffset);
            archiveOffset += skip;
            data += skip;
            size -= static_cast<size_t>(skip);
            continue;
        }
        const DWORD take = static_cast<DWORD>(
            std::min<uint64_t>({size, span.offset + span.length - archiveOffset, 0x40000000}));
        OVERLAPPED at{};
        const uint64_t where = starts_[index] + (archiveOffset - span.offset);
        at.Offset = static_cast<DWORD>(where & kMax32);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD done = 0;
        if (FileOperationFault(L"write", path_) || !WriteFile(file_, data, take, &done, &at) ||
            done != take)
            throw MakeError(L"Ошибка записи файла: " + path_ + L": " +
                            GetWinErrorMessage(GetLastError()));
        filled_[index] += take;
        archiveOffset += take;
        data += take;
        size -= take;
        if (archiveOffset == span.offset + span.length)
            ++index;
    }
}

bool ZipSubset::Finish() {
    if (spans_.size() > 0xFFFF)
        return false;
    for (size_t i = 0; i < spans_.size(); ++i)
        if (filled_[i] != spans_[i].length)
            return false;
    std::string directory;
    for (size_t i = 0; i < spans_.size(); ++i) {
        EntryFacts facts;
        if (!ReadEntryFacts(file_, starts_[i], spans_[i].length, facts) ||
            facts.crc != spans_[i].crc || facts.compressed != spans_[i].compressed ||
            facts.uncompressed != spans_[i].uncompressed)
            return false;
        directory += CentralRecord(facts, starts_[i]);
    }
    if (total_ >= kMax32 || directory.size() >= kMax32)
        return false;
    std::string end;
    Put32(end, kEndRecordSignature);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<uint16_t>(spans_.size()));
    Put16(end, static_cast<uint16_t>(spans_.size()));
    Put32(end, static_cast<uint32_t>(directory.size()));
    Put32(end, static_cast<uint32_t>(total_));
    Put16(end, 0);
    directory += end;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(total_);
    DWORD done = 0;
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) || FileOperationFault(L"write", path_) ||
        !WriteFile(file_, directory.data(), static_cast<DWORD>(directory.size()), &done, nullptr) ||
        done != directory.size())
        throw MakeError(L"Ошибка записи файла: " + path_ + L": " +
                        GetWinErrorMessage(GetLastError()));
    return true;
}
