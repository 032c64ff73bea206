#pragma once
// A small archive made of some entries of a big one: each entry's bytes, from
// its local header through its data and any data descriptor, are copied as
// they arrive from the big archive, and a central directory is written for
// them from their own local headers. The result is an ordinary ZIP archive,
// unpacked with every check of ExtractZipArchive.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct ZipSpan {
    uint64_t offset = 0; // of the local header in the big archive
    uint64_t length = 0; // through the data and any data descriptor
};

class ZipSubset {
public:
    // Creates the file; the spans must be sorted by offset and separate.
    // Raises the launcher's error when the file cannot be created.
    ZipSubset(const std::wstring& path, std::vector<ZipSpan> spans);
    ~ZipSubset();
    ZipSubset(const ZipSubset&) = delete;
    ZipSubset& operator=(const ZipSubset&) = delete;

    // Bytes of the big archive from archiveOffset on, in increasing order;
    // what lies outside the spans is skipped. Raises when writing fails.
    void Write(uint64_t archiveOffset, const BYTE* data, size_t size);

    // Writes the central directory. False when a span is not a whole local
    // entry (or the small archive would need ZIP64's end records).
    bool Finish();

private:
    std::wstring path_;
    HANDLE file_;
    std::vector<ZipSpan> spans_;
    std::vector<uint64_t> starts_; // where each span begins in the small archive
    size_t current_ = 0;           // the span the next bytes belong to
    uint64_t spanFilled_ = 0;      // of the current span
    uint64_t written_ = 0;         // bytes in the small archive so far
    bool broken_ = false;          // bytes of a span went missing
};
