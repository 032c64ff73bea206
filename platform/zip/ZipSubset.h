#pragma once
// A small archive made of some entries of a big one: each entry's bytes, from
// its local header through its data and any data descriptor, are copied to
// their place as they arrive from the big archive, in any order, and a
// central directory is written for them from their own local headers, which
// must say what the big archive's directory says. The result is an ordinary
// ZIP archive, unpacked with every check of ExtractZipArchive.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct ZipSpan {
    uint64_t offset = 0; // of the local header in the big archive
    uint64_t length = 0; // through the data and any data descriptor
    // As the big archive's directory states them.
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

class ZipSubset {
public:
    // Creates the file; the spans must be sorted by offset and separate.
    // Raises the launcher's error when the file cannot be created.
    ZipSubset(const std::wstring& path, std::vector<ZipSpan> spans);
    ~ZipSubset();
    ZipSubset(const ZipSubset&) = delete;
    ZipSubset& operator=(const ZipSubset&) = delete;

    // Bytes of the big archive from archiveOffset on, each byte once, pieces
    // in any order; what lies outside the spans is skipped. Raises when
    // writing fails.
    void Write(uint64_t archiveOffset, const BYTE* data, size_t size);

    // Writes the central directory. False when a span did not fill, is not a
    // whole local entry, says other than the big archive's directory (or the
    // small archive would need ZIP64's end records).
    bool Finish();

private:
    std::wstring path_;
    HANDLE file_;
    std::vector<ZipSpan> spans_;
    std::vector<uint64_t> starts_; // where each span begins in the small archive
    std::vector<uint64_t> filled_; // bytes of each span written
    uint64_t total_ = 0;           // bytes of all spans
};
