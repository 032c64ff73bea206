#pragma once
// The file index a publisher puts beside a build's archive: for every entry
// of the archive, where its bytes stand in the archive, its unpacked size and
// the SHA-256 of its content. Text, one line per entry:
//   vorn-files 1
//   archive <archive size>
//   <F|D> <offset> <length> <size> <sha256 or -> <path>
// The offset is the entry's local header; offset + length ends its data and
// any data descriptor, so that range unpacks on its own.

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
};

struct FileIndex {
    uint64_t archiveSize = 0;
    std::vector<FileIndexEntry> entries; // in archive order
};

// False when the text is not such an index, an entry's bytes leave the
// archive or overlap another's, or a path is not a plain relative path
// (every part a name a Windows folder can hold, no "." or "..").
bool ParseFileIndex(const std::string& text, FileIndex& index);
