#include "platform/zip/ZipExtract.h"

#include "platform/zip/ZipFormat.h"
#include "platform/files/DiskSpace.h"
#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/files/Paths.h"
#include "platform/files/LongPath.h"

#include <windows.h>

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const uint16_t kFlagEncrypted = 0x0001;
const uint16_t kMethodStored = 0;
const uint16_t kMethodDeflated = 8;

// Archives of several GiB with thousands of files: memory stays at these
// buffers whatever the archive holds.
const size_t kDataBufferSize = 256 * 1024;
const size_t kDirectoryBufferSize = 64 * 1024;

// Longer or deeper names than any game needs are refused before anything is
// written: they only serve to exhaust the stack or the path limits.
const size_t kMaxNameLength = 1024;
const size_t kMaxNameDepth = 128;

bool ReadAt(HANDLE file, uint64_t offset, void* destination, size_t size) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return false;
    auto* out = static_cast<unsigned char*>(destination);
    while (size > 0) {
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<size_t>(size, kDataBufferSize));
        if (!ReadFile(file, out, wanted, &read, nullptr) || read == 0)
            return false;
        out += read;
        size -= read;
    }
    return true;
}

// Reads one window of the archive through its own buffer. The directory and
// the entry data are read through two of these over one handle, so each
// seeks before it refills.
class ArchiveReader {
public:
    ArchiveReader(HANDLE file, size_t bufferSize) : file_(file), buffer_(bufferSize) {}

    // Later reads come from [offset, end).
    void Seek(uint64_t offset, uint64_t end) {
        next_ = offset;
        end_ = end;
        first_ = last_ = 0;
    }

    // Points at up to maxSize bytes of the window; 0 once the window is used
    // up or the file cannot be read.
    size_t Next(const unsigned char** data, size_t maxSize) {
        if (first_ == last_ && !Refill())
            return 0;
        const size_t size = std::min(last_ - first_, maxSize);
        *data = buffer_.data() + first_;
        first_ += size;
        return size;
    }

    bool Read(void* destination, size_t size) {
        auto* out = static_cast<unsigned char*>(destination);
        while (size > 0) {
            const unsigned char* data = nullptr;
            const size_t got = Next(&data, size);
            if (got == 0)
                return false;
            memcpy(out, data, got);
            out += got;
            size -= got;
        }
        return true;
    }

    // Offset of the next byte Next would give.
    uint64_t Position() const { return next_ - (last_ - first_); }

    bool Skip(size_t size) {
        while (size > 0) {
            const unsigned char* data = nullptr;
            const size_t got = Next(&data, size);
            if (got == 0)
                return false;
            size -= got;
        }
        return true;
    }

private:
    // Reads no further than the window, so a small entry costs only its bytes.
    bool Refill() {
        if (next_ >= end_)
            return false;
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(buffer_.size(), end_ - next_));
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(next_);
        DWORD read = 0;
        if (!SetFilePointerEx(file_, position, nullptr, FILE_BEGIN) ||
            !ReadFile(file_, buffer_.data(), wanted, &read, nullptr) || read == 0)
            return false;
        first_ = 0;
        last_ = read;
        next_ += read;
        return true;
    }

    HANDLE file_;
    std::vector<unsigned char> buffer_;
    size_t first_ = 0;
    size_t last_ = 0;
    uint64_t next_ = 0;
    uint64_t end_ = 0;
};

// Reads the archive's end records from its last bytes.
bool FindCentralDirectory(HANDLE archive, uint64_t fileSize, ZipDirectoryPlace& directory) {
    std::string tail(static_cast<size_t>(std::min<uint64_t>(fileSize, kZipTailSize)), '\0');
    return ReadAt(archive, fileSize - tail.size(), tail.data(), tail.size()) &&
           LocateZipDirectory(tail, fileSize, directory);
}

bool IsSeparator(wchar_t unit) {
    return unit == L'/' || unit == L'\\';
}

// Turns an entry name into a path below the destination, joined with '\'.
// Empty and "." segments are skipped: "a//b" and "./a" name the same place
// without them. Everything else that could leave the destination or that
// Windows would read differently is refused: a leading separator, ':'
// (drives and streams), segments of only dots and spaces (Windows trims
// trailing dots and spaces, so ".. " or "..." may end up as ".."), control
// and forbidden characters, device names.
bool MakeRelativePath(const std::wstring& name, std::wstring& relative, bool& isFolder) {
    relative.clear();
    if (name.empty() || IsSeparator(name[0]) || name.size() > kMaxNameLength)
        return false;
    for (const wchar_t unit : name) {
        if (unit < 0x20 || wcschr(L"<>:\"|?*", unit) != nullptr)
            return false;
    }
    isFolder = IsSeparator(name.back());
    size_t depth = 0;
    size_t start = 0;
    while (start <= name.size()) {
        size_t stop = start;
        while (stop < name.size() && !IsSeparator(name[stop]))
            ++stop;
        const std::wstring segment = name.substr(start, stop - start);
        start = stop + 1;
        if (segment.empty() || segment == L".")
            continue;
        if (segment.find_first_not_of(L". ") == std::wstring::npos ||
            IsReservedDeviceName(segment) || ++depth > kMaxNameDepth)
            return false;
        if (!relative.empty())
            relative += L'\\';
        relative += segment;
    }
    // A folder entry may name the destination itself; a file needs a name.
    return !relative.empty() || isFolder;
}

bool FullPathOf(const std::wstring& path, std::wstring& full) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    full.assign(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return false;
    full.resize(length);
    while (!full.empty() && IsSeparator(full.back()))
        full.pop_back();
    return !full.empty();
}

// Second line of defence behind the name checks: the path as Windows
// resolves it must lie below the destination.
bool IsInside(const std::wstring& fullRoot, const std::wstring& path) {
    std::wstring full;
    if (!FullPathOf(path, full) || full.size() <= fullRoot.size() ||
        !IsSeparator(full[fullRoot.size()]))
        return false;
    return CompareStringOrdinal(full.c_str(), static_cast<int>(fullRoot.size()), fullRoot.c_str(),
                                static_cast<int>(fullRoot.size()), TRUE) == CSTR_EQUAL;
}

struct Entry : ZipRecord {
    bool isFolder = false;
    std::wstring target;
};

// Reads the next central directory record and checks everything that can be
// checked before writing: method, encryption, disk, name, final path.
bool ReadEntry(ArchiveReader& directory, const std::wstring& destination,
               const std::wstring& fullRoot, Entry& entry) {
    unsigned char header[kCentralHeaderSize];
    if (!directory.Read(header, sizeof(header)) || Read32(header) != kCentralHeaderSignature)
        return false;
    std::string rawName(Read16(header + 28), '\0');
    std::string extra(Read16(header + 30), '\0');
    if (!directory.Read(rawName.data(), rawName.size()) ||
        !directory.Read(extra.data(), extra.size()) || !directory.Skip(Read16(header + 32)) ||
        !ParseZipRecord(header, rawName, extra, entry))
        return false;
    if (entry.disk != 0 || (entry.flags & kFlagEncrypted) != 0 ||
        (entry.method != kMethodStored && entry.method != kMethodDeflated))
        return false;

    std::wstring relative;
    if (!MakeRelativePath(entry.name, relative, entry.isFolder))
        return false;
    if (relative.empty()) {
        entry.target = destination;
        return true;
    }
    entry.target = JoinPath(destination, relative);
    return IsInside(fullRoot, entry.target);
}

// Where one entry's bytes begin in the archive and how many compressed bytes
// follow its local header.
struct EntrySpan {
    uint64_t headerOffset = 0;
    uint64_t compressedSize = 0;
};

// No two entries may share bytes, and all lie before the directory: records
// that point into one another's data would unpack one small entry many times
// over. Sorts the spans by offset for LimitAfter.
bool SpansAreSeparate(std::vector<EntrySpan>& spans, uint64_t dataEnd) {
    std::sort(spans.begin(), spans.end(), [](const EntrySpan& a, const EntrySpan& b) {
        return a.headerOffset < b.headerOffset;
    });
    for (size_t i = 0; i < spans.size(); ++i) {
        const uint64_t limit = i + 1 < spans.size() ? spans[i + 1].headerOffset : dataEnd;
        if (spans[i].compressedSize > limit ||
            !FitsIn(spans[i].headerOffset, kLocalHeaderSize + spans[i].compressedSize, limit))
            return false;
    }
    return true;
}

// Where the entry whose header starts at the offset must end: at the next
// entry's header, or at the directory.
uint64_t LimitAfter(const std::vector<EntrySpan>& spans, uint64_t headerOffset, uint64_t dataEnd) {
    const auto next = std::upper_bound(
        spans.begin(), spans.end(), headerOffset,
        [](uint64_t offset, const EntrySpan& span) { return offset < span.headerOffset; });
    return next == spans.end() ? dataEnd : next->headerOffset;
}

// Creates the folder with its parents; false when something else stands in
// the way. The last folder made or found is remembered: the entries of one
// folder follow one another, and it need not be looked at again for each.
bool MakeFolder(const std::wstring& folder, std::wstring& lastFolder) {
    if (folder == lastFolder)
        return true;
    if (!EnsureDir(folder))
        return false;
    lastFolder = folder;
    return true;
}

// Creates the entry's file. A new file is made without looking for it first;
// one already there (an older build's, perhaps read-only) has its marks
// cleared and is replaced; a folder of that name is never touched.
HANDLE CreateEntryFile(const std::wstring& path, const std::wstring& longPath) {
    if (FileOperationFault(L"create-file", path))
        return INVALID_HANDLE_VALUE;
    const HANDLE file = CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS || IsFolder(path))
        return file;
    SetFileAttributesW(longPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    return CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Receives an entry's output, keeping its CRC and size, and refuses to write
// past the size the directory announced.
class EntryOutput {
public:
    EntryOutput(HANDLE file, const std::wstring& path, uint64_t expectedSize)
        : file_(file), path_(path), expectedSize_(expectedSize) {}

    bool Write(const unsigned char* data, size_t size) {
        if (size > expectedSize_ - written_)
            return false;
        crc_ = crc32(crc_, data, static_cast<uInt>(size));
        written_ += size;
        while (size > 0) {
            DWORD done = 0;
            if (FileOperationFault(L"write", path_) ||
                !WriteFile(file_, data, static_cast<DWORD>(size), &done, nullptr) || done == 0)
                return false;
            data += done;
            size -= done;
        }
        return true;
    }

    bool Matches(const Entry& entry) const {
        return written_ == entry.uncompressedSize && crc_ == entry.crc;
    }

private:
    HANDLE file_;
    const std::wstring& path_;
    uint64_t expectedSize_;
    uint64_t written_ = 0;
    uLong crc_ = crc32(0, nullptr, 0);
};

bool CopyStored(ArchiveReader& data, const Entry& entry, EntryOutput& output) {
    if (entry.compressedSize != entry.uncompressedSize)
        return false;
    uint64_t remaining = entry.compressedSize;
    while (remaining > 0) {
        const unsigned char* chunk = nullptr;
        const size_t size = data.Next(&chunk, kDataBufferSize);
        if (size == 0 || !output.Write(chunk, size))
            return false;
        remaining -= size;
    }
    return output.Matches(entry);
}

bool Inflate(ArchiveReader& data, std::vector<unsigned char>& buffer, const Entry& entry,
             EntryOutput& output) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    ScopeExit end([&] { inflateEnd(&stream); });
    bool inputEnded = false;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0 && !inputEnded) {
            const unsigned char* chunk = nullptr;
            const size_t size = data.Next(&chunk, kDataBufferSize);
            inputEnded = size == 0;
            stream.next_in = chunk;
            stream.avail_in = static_cast<uInt>(size);
        }
        // Called again even when the input is used up: a full output buffer
        // may leave the end of the last match still to be written.
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&stream, Z_NO_FLUSH);
        // Z_BUF_ERROR: no progress with all input given, so the compressed
        // data ended before the stream did.
        if (status != Z_OK && status != Z_STREAM_END)
            return false;
        if (!output.Write(buffer.data(), buffer.size() - stream.avail_out))
            return false;
    }
    return output.Matches(entry);
}

bool ExtractFile(HANDLE archive, uint64_t limit, ArchiveReader& data,
                 std::vector<unsigned char>& buffer, const Entry& entry, std::wstring& lastFolder) {
    // Sizes and CRC come from the directory; the local header only tells
    // where the data starts. The data must end before the next entry.
    unsigned char header[kLocalHeaderSize];
    if (!FitsIn(entry.localHeaderOffset, sizeof(header), limit) ||
        !ReadAt(archive, entry.localHeaderOffset, header, sizeof(header)) ||
        Read32(header) != kLocalHeaderSignature)
        return false;
    const uint64_t dataOffset =
        entry.localHeaderOffset + sizeof(header) + Read16(header + 26) + Read16(header + 28);
    if (!FitsIn(dataOffset, entry.compressedSize, limit))
        return false;
    data.Seek(dataOffset, dataOffset + entry.compressedSize);

    if (!MakeFolder(ParentPath(entry.target), lastFolder))
        return false;
    const std::wstring longTarget = ExtendedLengthPath(entry.target);
    HandleGuard file(CreateEntryFile(entry.target, longTarget));
    if (!file.Valid())
        return false;
    // A half-written or damaged file must not look like a good one.
    ScopeExit removePartial([&] {
        file.Close();
        DeleteFileW(longTarget.c_str());
    });
    EntryOutput output(file.Get(), entry.target, entry.uncompressedSize);
    const bool unpacked = entry.method == kMethodStored ? CopyStored(data, entry, output)
                                                        : Inflate(data, buffer, entry, output);
    if (!unpacked)
        return false;
    removePartial.Dismiss();
    return true;
}

HANDLE OpenArchive(const std::wstring& archivePath) {
    if (FileOperationFault(L"open", archivePath))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(ExtendedLengthPath(archivePath).c_str(), GENERIC_READ, FILE_SHARE_READ,
                       nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// What the first pass learns from the archive's directory.
struct DirectoryCheck {
    ZipDirectoryPlace directory;
    std::wstring fullRoot;
    std::vector<EntrySpan> spans;
    uint64_t unpackedSize = 0;
};

// First pass: every entry is checked before anything is written.
bool CheckDirectory(HANDLE archive, const std::wstring& destination, DirectoryCheck& check) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(archive, &size))
        return false;
    ZipDirectoryPlace& directory = check.directory;
    if (!FindCentralDirectory(archive, static_cast<uint64_t>(size.QuadPart), directory) ||
        !FullPathOf(destination, check.fullRoot))
        return false;
    ArchiveReader listing(archive, kDirectoryBufferSize);
    Entry entry;
    listing.Seek(directory.offset, directory.offset + directory.size);
    for (uint64_t index = 0; index < directory.entryCount; ++index) {
        if (!ReadEntry(listing, destination, check.fullRoot, entry))
            return false;
        check.spans.push_back({entry.localHeaderOffset, entry.compressedSize});
        check.unpackedSize += std::min(entry.uncompressedSize, UINT64_MAX - check.unpackedSize);
    }
    // The records must fill the directory exactly: an end record that counts
    // fewer entries than the directory holds would unpack part of the build.
    return listing.Position() == directory.offset + directory.size &&
           SpansAreSeparate(check.spans, directory.offset);
}

// roomNeeded tells the bytes of a refusal for want of room, 0 otherwise.
bool Extract(const std::wstring& archivePath, const std::wstring& destination,
             uint64_t& roomNeeded) {
    HandleGuard archive(OpenArchive(archivePath));
    DirectoryCheck check;
    if (!archive.Valid() || !CheckDirectory(archive.Get(), destination, check))
        return false;
    const ZipDirectoryPlace& directory = check.directory;
    // An archive that cannot fit is refused before it fills the drive.
    uint64_t freeBytes = 0;
    if (FreeBytesAt(destination, freeBytes) && check.unpackedSize > freeBytes) {
        roomNeeded = check.unpackedSize;
        return false;
    }

    std::wstring lastFolder;
    if (!MakeFolder(destination, lastFolder))
        return false;
    ArchiveReader listing(archive.Get(), kDirectoryBufferSize);
    ArchiveReader data(archive.Get(), kDataBufferSize);
    std::vector<unsigned char> buffer(kDataBufferSize);
    Entry entry;
    listing.Seek(directory.offset, directory.offset + directory.size);
    for (uint64_t index = 0; index < directory.entryCount; ++index) {
        if (!ReadEntry(listing, destination, check.fullRoot, entry))
            return false;
        const uint64_t limit = LimitAfter(check.spans, entry.localHeaderOffset, directory.offset);
        const bool done = entry.isFolder
                              ? MakeFolder(entry.target, lastFolder)
                              : ExtractFile(archive.Get(), limit, data, buffer, entry, lastFolder);
        if (!done)
            return false;
    }
    return true;
}

} // namespace

bool ExtractZipArchive(const std::wstring& archivePath, const std::wstring& destinationFolder) {
    uint64_t roomNeeded = 0;
    bool done = false;
    try {
        done = Extract(archivePath, destinationFolder, roomNeeded);
    } catch (...) {
        // EnsureDir raises the launcher's error; callers here want one result.
        return false;
    }
    // Refused for want of room: the player reads which drive and how much.
    if (!done && roomNeeded != 0)
        EnsureFreeSpace(destinationFolder, roomNeeded);
    return done;
}

bool ReadZipUnpackedSize(const std::wstring& archivePath, const std::wstring& destinationFolder,
                         unsigned long long& bytes) {
    try {
        HandleGuard archive(OpenArchive(archivePath));
        DirectoryCheck check;
        if (!archive.Valid() || !CheckDirectory(archive.Get(), destinationFolder, check))
            return false;
        bytes = check.unpackedSize;
        return true;
    } catch (...) {
        return false;
    }
}
