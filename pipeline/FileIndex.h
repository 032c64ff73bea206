#pragma once
// The file index a publisher puts beside a build's archive: for every entry
// of the archive, where its bytes stand in the archive, its unpacked size and
// the SHA-256 of its content. Text, one line per entry:
//   vorn-files 1
//   archive <archive size>
//   <F|D> <offset> <length> <size> <sha256 or -> <path>
// The offset is the entry's local header; offset + length ends its data and
// any data descriptor, so that range unpacks on its own.

#include "platform/zip/ZipFormat.h"

#include <cstdint>
#include <string>
#include <vector>

struct FileIndexEntry {
    bool isFolder = false;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t size = 0;
    std::string sha256; // lower case; empty for a folder
    std::string path;   // UTF-8, '/' separated; a folder's ends in '/'
    // From the archive's own directory, once the index is bound to it.
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
};

struct FileIndex {
    uint64_t archiveSize = 0;
    std::vector<FileIndexEntry> entries; // in archive order
};

// False when the text is not such an index, an entry's bytes leave the
// archive or overlap another's, or a path is not a plain relative path
// (every part a name a Windows folder can hold, no "." or "..").
bool ParseFileIndex(const std::string& text, FileIndex& index);

// Binds the index to its archive's own central directory (the records, read
// from the archive; the directory starts at directoryOffset). Every record
// appears in the index once and the index holds nothing else, paths compared
// as Windows compares them (case, trailing dots and spaces), each entry with
// its record's local header offset, kind and unpacked size, its bytes ending
// before the next entry's header (or the directory). Fills in each entry's
// CRC-32 and compressed size from its record. False otherwise, and when two
// paths of the index or of the directory name one file.
bool BindIndexToDirectory(FileIndex& index, const std::vector<ZipRecord>& records,
                          uint64_t directoryOffset);
