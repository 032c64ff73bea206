#include "pipeline/DeltaUpdate.h"

#include "pipeline/FileIndex.h"
#include "platform/files/DiskSpace.h"
#include "platform/Errors.h"
#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/http/HttpDownload.h"
#include "platform/files/LongPath.h"
#include "platform/files/Paths.h"
#include "platform/trust/Sha256.h"
#include "platform/Text.h"
#include "platform/zip/ZipExtract.h"
#include "platform/zip/ZipSubset.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

// Gaps up to this size between wanted entries are fetched along with them:
// cheaper than another request.
const unsigned long long kMergeGap = 64 * 1024;

// The small path takes archives of up to 65,535 entries, what a classic ZIP
// directory counts and what the archive of the fetched entries can hold; a
// bigger build comes whole. Their directory is read into memory: 16 MiB
// leaves each record 256 bytes, four times what a game's names need.
const uint64_t kMaxDirectoryEntries = 0xFFFF;
const uint64_t kMaxDirectoryBytes = 16 * 1024 * 1024;

// A line of the index is its kind, three numbers of up to 20 digits, the
// digest and the path in UTF-8, which takes at most 3 bytes for each byte of
// the record's stored name or its Unicode path field: 132 bytes and three
// times the name, at most three times the record (46 bytes and the name).
// So the index of a directory is at most three times the directory and its
// two header lines.
const uint64_t kIndexHeaderBytes = 64;
uint64_t IndexLimit(uint64_t directoryBytes) {
    return kIndexHeaderBytes + 3 * directoryBytes;
}

const DWORD kReadChunk = 262144;

std::wstring LocalPath(const std::wstring& folder, const std::string& indexPath) {
    std::wstring relative = Utf8ToWide(indexPath);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    if (!relative.empty() && relative.back() == L'\\')
        relative.pop_back();
    return JoinPath(folder, relative);
}

// The index describes a build with the executable at its top and nowhere
// deeper, so its paths are the install folder's.
bool ExecutableOnlyAtTop(const FileIndex& index, const std::wstring& exeName) {
    const std::wstring exeLower = ToLowerW(exeName);
    int atTop = 0;
    for (const FileIndexEntry& entry : index.entries) {
        if (entry.isFolder)
            continue;
        const size_t slash = entry.path.rfind('/');
        if (ToLowerW(Utf8ToWide(entry.path.substr(slash + 1))) != exeLower)
            continue;
        if (slash != std::string::npos)
            return false;
        ++atTop;
    }
    return atTop == 1;
}

// The range requests' events: every request of an update is bound by
// If-Range to the archive its first answer came from (validator, set then),
// so that an archive replaced on the server meanwhile is answered whole.
HttpDownloadEvents BoundToArchive(std::wstring& validator) {
    HttpDownloadEvents events;
    events.ifRange = validator;
    events.onValidator = [&validator](const std::wstring& value) { validator = value; };
    return events;
}

// The archive's size as every answer's Content-Range states it: stated, and
// agrees while they all state the same one.
HttpDownloadEvents StatingArchiveSize(std::wstring& validator, uint64_t& stated, bool& agrees) {
    HttpDownloadEvents events = BoundToArchive(validator);
    events.onTotal = [&stated, &agrees](unsigned long long total) {
        agrees = agrees && total != 0 && (stated == 0 || total == stated);
        stated = total;
    };
    return events;
}

// Bytes first to last of the archive, whose size (archiveSize) the server
// must state as before.
bool FetchArchiveBytes(const std::wstring& url, uint64_t first, uint64_t last, uint64_t archiveSize,
                       std::wstring& validator, std::string& bytes) {
    bytes.clear();
    uint64_t stated = 0;
    bool agrees = true;
    const bool served = HttpDownloadRanges(
        url, {{first, last}},
        [&](unsigned long long, const BYTE* data, DWORD size) {
            bytes.append(reinterpret_cast<const char*>(data), size);
        },
        StatingArchiveSize(validator, stated, agrees));
    return served && agrees && bytes.size() == last - first + 1 && stated == archiveSize;
}

// The archive's last bytes, where its directory ends, and from their answer
// its size.
bool FetchArchiveTail(const std::wstring& url, uint64_t& archiveSize, uint64_t& tailStart,
                      std::wstring& validator, std::string& tail) {
    tail.clear();
    uint64_t stated = 0;
    bool agrees = true;
    const bool served = HttpDownloadTail(
        url, kZipTailSize,
        [&](unsigned long long offset, const BYTE* data, DWORD size) {
            if (tail.empty())
                tailStart = offset;
            tail.append(reinterpret_cast<const char*>(data), size);
        },
        StatingArchiveSize(validator, stated, agrees));
    if (!served || !agrees || stated == 0 ||
        tailStart != stated - std::min<uint64_t>(stated, kZipTailSize) ||
        tail.size() != stated - tailStart)
        return false;
    archiveSize = stated;
    return true;
}

// The archive's own directory, fetched by Range from its end: its end
// records, with its size, then its records (often already among the end's
// bytes). A server that ignores Range fails the first request, before it
// sends more than its headers.
bool FetchArchiveDirectory(const std::wstring& url, uint64_t& archiveSize, std::wstring& validator,
                           ZipDirectoryPlace& place, std::vector<ZipRecord>& records) {
    uint64_t tailStart = 0;
    std::string tail;
    if (!FetchArchiveTail(url, archiveSize, tailStart, validator, tail) ||
        !LocateZipDirectory(tail, archiveSize, place) || place.entryCount == 0 ||
        place.entryCount > kMaxDirectoryEntries || place.size > kMaxDirectoryBytes)
        return false;
    std::string directory;
    if (place.offset >= tailStart)
        directory = tail.substr(static_cast<size_t>(place.offset - tailStart),
                                static_cast<size_t>(place.size));
    else if (place.size == 0 || !FetchArchiveBytes(url, place.offset, place.offset + place.size - 1,
                                                   archiveSize, validator, directory))
        return false;
    return ReadZipDirectory(directory, place.entryCount, records);
}

// What the comparison learned of an installed file: whether it is the new
// build's, and which file it was.
struct Compared {
    bool same = false;
    FileStamp stamp;
};

// Reads the installed file once for its SHA-256 and its CRC-32: the index's
// digest and the archive directory's CRC and size must all agree. A file
// written while it is read is not the same.
Compared CompareInstalledFile(const std::wstring& path, const FileIndexEntry& entry) {
    Compared result;
    HandleGuard file(FileOperationFault(L"open", path)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid() || !StampOfHandle(file.Get(), result.stamp) ||
        result.stamp.size != entry.size)
        return result;
    Sha256 digest;
    uLong crc = crc32(0, nullptr, 0);
    std::vector<BYTE> chunk(kReadChunk);
    unsigned long long read = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), chunk.data(), kReadChunk, &got, nullptr) || got == 0)
            break;
        digest.Update(chunk.data(), got);
        crc = crc32(crc, chunk.data(), got);
        read += got;
    }
    FileStamp after;
    result.same = read == entry.size && crc == entry.crc && digest.Finish() == entry.sha256 &&
                  StampOfHandle(file.Get(), after) && SameStamp(after, result.stamp);
    return result;
}

// Compares each file of the new build with the installed one, reading on as
// many threads as there are processors (up to 4): the reading is the
// comparison's cost. False as soon as the entries of the files that differ
// pass the limit.
bool CompareInstalledFiles(const std::wstring& installFolder,
                           const std::vector<const FileIndexEntry*>& files,
                           unsigned long long changedLimit, std::vector<Compared>& compared) {
    compared.assign(files.size(), Compared());
    std::atomic<size_t> next{0};
    std::atomic<unsigned long long> changedBytes{0};
    std::atomic<bool> tooMany{false};
    auto compare = [&] {
        for (size_t i = next++; i < files.size() && !tooMany; i = next++) {
            try {
                compared[i] = CompareInstalledFile(LocalPath(installFolder, files[i]->path),
                                                   *files[i]);
            } catch (const std::exception&) {
                // A file that cannot be read is fetched anew.
            }
            if (!compared[i].same && (changedBytes += files[i]->length) > changedLimit)
                tooMany = true;
        }
    };
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const unsigned helpers =
        std::min<unsigned>(std::max<DWORD>(system.dwNumberOfProcessors, 1), 4) - 1;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < helpers; ++i)
        threads.emplace_back(compare);
    compare();
    for (std::thread& thread : threads)
        thread.join();
    return !tooMany;
}

// The installed file under its name in the new build: linked when the volume
// allows it (nothing is copied), else copied. False when it is no longer the
// file compared: another file in its place, or written since.
bool TakeInstalledFile(const std::wstring& source, const std::wstring& destination,
                       const FileStamp& compared) {
    EnsureDir(ParentPath(destination));
    FileStamp now;
    if (!FileOperationFault(L"copy", destination) &&
        CreateHardLinkW(ExtendedLengthPath(destination).c_str(), ExtendedLengthPath(source).c_str(),
                        nullptr)) {
        if (!ReadFileStamp(destination, now))
            return false;
        // A link shares its file's volume. Under Wine, drive letters over one
        // file system link to each other but give serials of their own.
        now.volume = compared.volume;
        return SameStamp(now, compared);
    }
    CopySingleFile(source, destination);
    return ReadFileStamp(source, now) && SameStamp(now, compared) &&
           FileSize(destination) == compared.size;
}

std::vector<ByteRange> MergedRanges(const std::vector<ZipSpan>& spans) {
    std::vector<ByteRange> ranges;
    for (const ZipSpan& span : spans) {
        const unsigned long long last = span.offset + span.length - 1;
        if (!ranges.empty() && span.offset <= ranges.back().last + 1 + kMergeGap)
            ranges.back().last = std::max(ranges.back().last, last);
        else
            ranges.push_back({span.offset, last});
    }
    return ranges;
}

bool SameContent(const std::wstring& path, const FileIndexEntry& entry) {
    return IsFile(path) && FileSize(path) == entry.size && ComputeFileSha256(path) == entry.sha256;
}

// The archive's directory and, asked at the same time, the index, no longer
// than that directory's index can be: one round trip before the entries. The
// index is checked against the manifest's digest and bound to the directory.
// validator: the archive's, for the requests that follow.
bool FetchIndex(const Manifest& manifest, const std::wstring& workFolder, FileIndex& index,
                std::wstring& validator) {
    const std::wstring indexPath = JoinPath(workFolder, L"files.txt");
    // The directory's size once known; 0 when there is none to bind an index to.
    std::promise<uint64_t> directoryBytes;
    std::future<std::string> indexDigest = std::async(
        std::launch::async, [&indexPath, &manifest, known = directoryBytes.get_future().share()] {
            HttpDownloadEvents events;
            // Its body waits for the directory, which bounds it.
            events.bodyLimit = [&known] {
                if (known.get() == 0)
                    throw std::runtime_error("no archive directory to bind the index to");
                return IndexLimit(known.get());
            };
            return HttpDownloadToFile(Utf8ToWide(manifest.delta_index), indexPath, events);
        });
    uint64_t archiveSize = 0;
    ZipDirectoryPlace place;
    std::vector<ZipRecord> records;
    bool found = false;
    try {
        found = FetchArchiveDirectory(Utf8ToWide(manifest.download_url), archiveSize, validator,
                                      place, records);
    } catch (...) {
        directoryBytes.set_value(0);
        throw;
    }
    directoryBytes.set_value(found ? place.size : 0);
    if (!found) {
        indexDigest.wait();
        RemoveFileWithRetries(indexPath);
        return false;
    }
    if (ToLowerAscii(indexDigest.get()) != ToLowerAscii(manifest.delta_index_sha256))
        return false;
    const std::string text = ReadWholeFile(indexPath, std::string());
    RemoveFileWithRetries(indexPath);
    return ParseFileIndex(text, index) && index.archiveSize == archiveSize &&
           BindIndexToDirectory(index, records, place.offset) &&
           ExecutableOnlyAtTop(index, Utf8ToWide(manifest.exe));
}

bool Assemble(const Manifest& manifest, const std::wstring& installFolder,
              const std::wstring& workFolder, const std::wstring& extractFolder,
              const std::wstring& label, const RunReports& reports,
              const std::function<void(unsigned long long, unsigned long long)>& checkRoom) {
    const std::wstring text = L"Скачивание " + label + L"...";
    reports.status(text);
    reports.progress(-1, text);

    FileIndex index;
    std::wstring validator;
    if (!FetchIndex(manifest, workFolder, index, validator))
        return false;

    // What the installed build already has, compared by size and content.
    std::vector<const FileIndexEntry*> files;
    unsigned long long unpackedBytes = 0;
    for (const FileIndexEntry& entry : index.entries) {
        if (!entry.isFolder) {
            files.push_back(&entry);
            unpackedBytes += entry.size;
        }
    }
    std::vector<Compared> compared;
    if (!CompareInstalledFiles(installFolder, files,
                               index.archiveSize / 100 * kDeltaMostOfArchivePercent, compared))
        return false;
    std::vector<size_t> reused;
    std::vector<const FileIndexEntry*> changed;
    for (size_t i = 0; i < files.size(); ++i) {
        if (compared[i].same)
            reused.push_back(i);
        else
            changed.push_back(files[i]);
    }

    // Reused files are links on the work folder's volume and take no room.
    unsigned long long changedBytes = 0;
    for (const FileIndexEntry* entry : changed)
        changedBytes += entry->size;
    if (SameVolume(workFolder, installFolder))
        unpackedBytes = changedBytes;

    std::sort(changed.begin(), changed.end(), [](const FileIndexEntry* a, const FileIndexEntry* b) {
        return a->offset < b->offset;
    });
    std::vector<ZipSpan> spans;
    for (const FileIndexEntry* entry : changed)
        spans.push_back({entry->offset, entry->length, entry->crc, entry->compressedSize,
                         entry->size});
    const std::vector<ByteRange> ranges = MergedRanges(spans);
    unsigned long long fetchBytes = 0;
    for (const ByteRange& range : ranges)
        fetchBytes += range.last - range.first + 1;
    checkRoom(fetchBytes, unpackedBytes);

    reports.progress(0, text + L" 0%");
    const std::wstring subsetPath = JoinPath(workFolder, L"changed.zip");
    if (!changed.empty()) {
        ZipSubset subset(subsetPath, spans);
        unsigned long long fetched = 0;
        int shown = 0;
        const bool served = HttpDownloadRanges(
            Utf8ToWide(manifest.download_url), ranges,
            [&](unsigned long long offset, const BYTE* data, DWORD size) {
                subset.Write(offset, data, size);
                fetched += size;
                const int percent = static_cast<int>(fetched * 100 / fetchBytes);
                if (percent != shown) {
                    shown = percent;
                    reports.progress(percent, text + L" " + std::to_wstring(percent) + L"%");
                }
            },
            BoundToArchive(validator));
        if (!served || !subset.Finish())
            return false;
    }
    reports.progress(100, text + L" 100%");
    // The fetched entries are checked as they are unpacked (CRC-32 and size
    // against the archive's directory) and then against the index's digests.
    reports.progress(-1, L"Установка " + label + L"...");
    if (!changed.empty()) {
        if (!ExtractZipArchive(subsetPath, extractFolder))
            return false;
        RemoveFileWithRetries(subsetPath);
        for (const FileIndexEntry* entry : changed)
            if (!SameContent(LocalPath(extractFolder, entry->path), *entry))
                return false;
    }

    EnsureDir(extractFolder);
    for (const FileIndexEntry& entry : index.entries)
        if (entry.isFolder)
            EnsureDir(LocalPath(extractFolder, entry.path));
    for (const size_t i : reused)
        if (!TakeInstalledFile(LocalPath(installFolder, files[i]->path),
                               LocalPath(extractFolder, files[i]->path), compared[i].stamp))
            return false;
    return true;
}

} // namespace

bool AssembleChangedBuild(
    const Manifest& manifest, const std::wstring& installFolder, const std::wstring& workFolder,
    const std::wstring& extractFolder, const std::wstring& label, const RunReports& reports,
    const std::function<void(unsigned long long fetch, unsigned long long unpacked)>& checkRoom) {
    if (manifest.delta_index.empty() || manifest.delta_index_sha256.empty())
        return false;
    bool assembled = false;
    try {
        assembled =
            Assemble(manifest, installFolder, workFolder, extractFolder, label, reports, checkRoom);
    } catch (const DownloadTimedOut&) {
        // The server did not answer in time: the whole archive, from the same
        // server, would keep the player waiting as long again.
        RemoveTreeWithRetries(extractFolder);
        throw;
    } catch (const std::exception&) {
        // The whole archive's download meets what went wrong here, and says it.
        assembled = false;
    }
    if (!assembled)
        RemoveTreeWithRetries(extractFolder);
    return assembled;
}
