#include "pipeline/DeltaUpdate.h"

#include "pipeline/FileIndex.h"
#include "platform/Errors.h"
#include "platform/FileFaults.h"
#include "platform/FileOps.h"
#include "platform/HttpDownload.h"
#include "platform/LongPath.h"
#include "platform/Paths.h"
#include "platform/Sha256.h"
#include "platform/Text.h"
#include "platform/ZipExtract.h"
#include "platform/ZipSubset.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

// Gaps up to this size between wanted entries are fetched along with them:
// cheaper than another request.
const unsigned long long kMergeGap = 64 * 1024;

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

bool SameContent(const std::wstring& path, const FileIndexEntry& entry) {
    return IsFile(path) && FileSize(path) == entry.size && ComputeFileSha256(path) == entry.sha256;
}

// Marks each file of the new build the installed one already has, reading
// and digesting on as many threads as there are processors (up to 4): the
// digest is the comparison's cost. False as soon as the entries of the
// files that differ pass the limit.
bool CompareInstalledFiles(const std::wstring& installFolder,
                           const std::vector<const FileIndexEntry*>& files,
                           unsigned long long changedLimit, std::vector<char>& same) {
    same.assign(files.size(), 0);
    std::atomic<size_t> next{0};
    std::atomic<unsigned long long> changedBytes{0};
    std::atomic<bool> tooMany{false};
    auto compare = [&] {
        for (size_t i = next++; i < files.size() && !tooMany; i = next++) {
            bool equal = false;
            try {
                equal = SameContent(LocalPath(installFolder, files[i]->path), *files[i]);
            } catch (const std::exception&) {
                // An installed file that cannot be read is fetched anew.
            }
            same[i] = equal;
            if (!equal && (changedBytes += files[i]->length) > changedLimit)
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

// The installed file's data under a second name when the volume allows it
// (nothing is copied and the install folder stays as it is), else a copy.
void LinkOrCopyFile(const std::wstring& source, const std::wstring& destination) {
    EnsureDir(ParentPath(destination));
    if (!FileOperationFault(L"copy", destination) &&
        CreateHardLinkW(ExtendedLengthPath(destination).c_str(), ExtendedLengthPath(source).c_str(),
                        nullptr))
        return;
    CopySingleFile(source, destination);
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

bool Assemble(const Manifest& manifest, const std::wstring& installFolder,
              const std::wstring& workFolder, const std::wstring& extractFolder,
              const std::wstring& label, const RunReports& reports,
              const std::function<void(unsigned long long, unsigned long long)>& checkRoom) {
    const std::wstring text = L"Скачивание " + label + L"...";
    reports.status(text);
    reports.progress(-1, text);

    const std::wstring indexPath = JoinPath(workFolder, L"files.txt");
    HttpDownloadEvents quiet;
    const std::string indexDigest =
        HttpDownloadToFile(Utf8ToWide(manifest.delta_index), indexPath, quiet);
    if (ToLowerAscii(indexDigest) != ToLowerAscii(manifest.delta_index_sha256))
        return false;
    FileIndex index;
    if (!ParseFileIndex(ReadWholeFileUtf8(indexPath, std::string()), index) ||
        !ExecutableOnlyAtTop(index, Utf8ToWide(manifest.exe)))
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
    std::vector<char> same;
    if (!CompareInstalledFiles(installFolder, files,
                               index.archiveSize / 100 * kDeltaMostOfArchivePercent, same))
        return false;
    std::vector<const FileIndexEntry*> reused;
    std::vector<const FileIndexEntry*> changed;
    for (size_t i = 0; i < files.size(); ++i)
        (same[i] ? reused : changed).push_back(files[i]);

    std::sort(changed.begin(), changed.end(), [](const FileIndexEntry* a, const FileIndexEntry* b) {
        return a->offset < b->offset;
    });
    std::vector<ZipSpan> spans;
    for (const FileIndexEntry* entry : changed)
        spans.push_back({entry->offset, entry->length});
    const std::vector<ByteRange> ranges = MergedRanges(spans);
    unsigned long long fetchBytes = 0;
    for (const ByteRange& range : ranges)
        fetchBytes += range.last - range.first + 1;
    checkRoom(fetchBytes, unpackedBytes);

    reports.progress(0, text + L" 0%");
    const std::wstring subsetPath = JoinPath(workFolder, L"changed.zip");
    if (!changed.empty()) {
        {
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
                });
            if (!served || !subset.Finish())
                return false;
        }
    }
    reports.progress(100, text + L" 100%");
    if (!manifest.sha256.empty())
        reports.status(L"Проверка SHA-256...");
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
    for (const FileIndexEntry* entry : reused) {
        const std::wstring target = LocalPath(extractFolder, entry->path);
        LinkOrCopyFile(LocalPath(installFolder, entry->path), target);
        // The player may have changed the file since it was compared.
        if (FileSize(target) != entry->size)
            return false;
    }
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
    } catch (const std::exception&) {
        // The whole archive's download meets what went wrong here, and says it.
        assembled = false;
    }
    if (!assembled)
        RemoveTreeWithRetries(extractFolder);
    return assembled;
}
