#pragma once
// The body of a 206 answer to several ranges in one request
// (multipart/byteranges): parts, each with a Content-Range line, between
// boundary lines. Read as it arrives, in pieces of any size; each part's
// bytes are handed out with their offset in the file.

#include <windows.h>

#include <functional>
#include <string>

// The boundary of a "multipart/byteranges; boundary=..." content type; empty
// for any other type.
std::string MultipartBoundary(const std::wstring& contentType);

class MultipartReader {
public:
    explicit MultipartReader(const std::string& boundary);

    // Hands the part bytes in the piece to onPart. False when the body is not
    // made of byte-range parts (no Content-Range in a part's header lines,
    // or header text that never ends).
    bool Feed(
        const BYTE* data, DWORD size,
        const std::function<void(unsigned long long offset, const BYTE* data, DWORD size)>& onPart);

private:
    std::string delimiter_;         // "--" and the boundary
    std::string head_;              // the text since the last part's bytes
    unsigned long long offset_ = 0; // in the file, of the part's next byte
    unsigned long long left_ = 0;   // of the part's bytes
    bool ended_ = false;            // the closing boundary came
};
