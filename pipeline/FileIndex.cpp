#include "pipeline/FileIndex.h"

#include "platform/files/Paths.h"
#include "platform/Text.h"

#include <algorithm>
#include <unordered_map>
#include <sstream>

namespace {

// The smallest local entry: its fixed header and a one-byte name.
const uint64_t kSmallestEntry = 31;

bool ReadNumber(std::istringstream& line, uint64_t& value) {
    std::string word;
    if (!(line >> word) || word.empty() || word.size() > 19 ||
        word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(word);
    return true;
}

bool IsLowerHexDigest(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool IsPlainRelativePath(const std::wstring& path, bool isFolder) {
    std::wstring rest = path;
    if (isFolder) {
        if (rest.empty() || rest.back() != L'/')
            return false;
        rest.pop_back();
    }
    if (rest.empty())
        return false;
    size_t start = 0;
    while (true) {
        const size_t slash = rest.find(L'/', start);
        const std::wstring part = rest.substr(start, slash - start);
        // U+FFFD stands for bytes that are not UTF-8.
        if (part.empty() || part.find(L'\uFFFD') != std::wstring::npos || !IsPlainFileName(part))
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

} // namespace

bool ParseFileIndex(const std::string& text, FileIndex& index) {
    index = FileIndex();
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != "vorn-files 1")
        return false;
    if (!std::getline(lines, line) || line.rfind("archive ", 0) != 0)
        return false;
    std::istringstream header(line.substr(8));
    if (!ReadNumber(header, index.archiveSize))
        return false;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        FileIndexEntry entry;
        std::string kind;
        if (!(fields >> kind) || (kind != "F" && kind != "D"))
            return false;
        entry.isFolder = kind == "D";
        if (!ReadNumber(fields, entry.offset) || !ReadNumber(fields, entry.length) ||
            !ReadNumber(fields, entry.size) || !(fields >> entry.sha256))
            return false;
        // The path is the rest of the line after one space; it may hold spaces.
        const std::streamoff at = fields.tellg();
        if (at < 0 || static_cast<size_t>(at) >= line.size() || line[at] != ' ')
            return false;
        entry.path = line.substr(static_cast<size_t>(at) + 1);
        if (entry.isFolder ? (entry.sha256 != "-" || entry.size != 0)
                           : !IsLowerHexDigest(entry.sha256))
            return false;
        if (entry.isFolder)
            entry.sha256.clear();
        if (!IsPlainRelativePath(Utf8ToWide(entry.path), entry.isFolder) || entry.length < kSmallestEntry ||
            entry.offset > index.archiveSize || entry.length > index.archiveSize - entry.offset)
            return false;
        index.entries.push_back(entry);
    }
    std::vector<const FileIndexEntry*> byOffset;
    for (const FileIndexEntry& entry : index.entries)
        byOffset.push_back(&entry);
    std::sort(
        byOffset.begin(), byOffset.end(),
        [](const FileIndexEntry* a, const FileIndexEntry* b) { return a->offset < b->offset; });
    for (size_t i = 1; i < byOffset.size(); ++i)
        if (byOffset[i - 1]->offset + byOffset[i - 1]->length > byOffset[i]->offset)
            return false;
    return !index.entries.empty();
}

bool BindIndexToDirectory(FileIndex& index, const std::vector<ZipRecord>& records,
                          uint64_t directoryOffset) {
    if (records.size() != index.entries.size())
        return false;
    std::unordered_map<std::wstring, size_t> byKey;
    std::vector<char> isFolder(records.size(), 0);
    std::vector<uint64_t> starts;
    for (size_t i = 0; i < records.size(); ++i) {
        std::wstring name = records[i].name;
        std::replace(name.begin(), name.end(), L'\\', L'/');
        isFolder[i] = !name.empty() && name.back() == L'/';
        if (!IsPlainRelativePath(name, isFolder[i]) ||
            !byKey.emplace(WindowsPathKey(name), i).second)
            return false;
        starts.push_back(records[i].localHeaderOffset);
    }
    std::sort(starts.begin(), starts.end());

    std::vector<char> taken(records.size(), 0);
    for (FileIndexEntry& entry : index.entries) {
        const auto found = byKey.find(WindowsPathKey(Utf8ToWide(entry.path)));
        if (found == byKey.end() || taken[found->second])
            return false;
        taken[found->second] = 1;
        const ZipRecord& record = records[found->second];
        // The entry's bytes end before the next entry's header, or the directory.
        const auto next = std::upper_bound(starts.begin(), starts.end(), entry.offset);
        const uint64_t limit = next == starts.end() ? directoryOffset : *next;
        if (entry.isFolder != (isFolder[found->second] != 0) ||
            entry.offset != record.localHeaderOffset ||
            (!entry.isFolder && entry.size != record.uncompressedSize) ||
            entry.length < kLocalHeaderSize + record.compressedSize ||
            !FitsIn(entry.offset, entry.length, limit))
            return false;
        entry.crc = record.crc;
        entry.compressedSize = record.compressedSize;
    }
    return true;
}
