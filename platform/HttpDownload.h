#pragma once
// One HTTP(S) GET through WinINet, streamed to a file in 256 KiB chunks, with
// every cache bypassed. Used for the build archive and, where PowerShell is not
// available, for the manifest.
//
// A status of 400 or more fails at once. A transfer that is cut, stalls (no
// byte for the receive time limit) or ends short of its announced length is
// resumed from the last byte on disk with a Range request (If-Range on the
// server's ETag or Last-Modified), up to 3 times, a second apart; a server
// that answers with the whole body again restarts the file from zero. A body
// the server compressed although identity was asked for (gzip or deflate) is
// decoded; percentages count the bytes on the wire.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct HttpDownloadEvents {
    // The announced length, before the file is created (only when known).
    std::function<void(unsigned long long length)> onLength;
    // Before the first chunk: whether the server announced a length.
    std::function<void(bool lengthKnown)> onStart;
    // After a chunk whose whole percentage differs from the last one reported
    // (only when the length is known); the first chunk always reports.
    std::function<void(int percent)> onPercent;

    // At most this many bytes of body (0: no limit): a longer one, announced
    // or sent, fails the download before more is written.
    unsigned long long maxBytes = 0;
    // HttpDownloadRanges: the file's whole size as an answer's Content-Range
    // states it (0 when it does not).
    std::function<void(unsigned long long total)> onTotal;

    // Time limits: to connect, and without a byte received.
    DWORD connectTimeoutMs = 30000;
    DWORD receiveTimeoutMs = 60000;
};

// Returns the SHA-256 of the file as written (lower-case hexadecimal), made
// while the body arrived: over the bytes appended by a resumed transfer, and
// from the start again when the server sends the whole body anew.
// Raises the launcher's error on failure: "Не удалось открыть URL: " + URL +
// ": " + system text when no response came, "Ошибка скачивания: " + the cause
// otherwise (the HTTP status, the system text, the bytes that arrived).
std::string HttpDownloadToFile(const std::wstring& url, const std::wstring& filePath,
                               const HttpDownloadEvents& events);

// The announced length as a formatted stream reads a number: leading blanks
// skipped, digits up to the first non-digit, 0 when there is no number.
unsigned long long ParseContentLength(const std::wstring& text);

// The URL as browsers send it: every byte of its UTF-8 form outside printable
// ASCII, and the space, percent-encoded; what is already encoded stays.
std::wstring EncodeUrlForRequest(const std::wstring& url);

// Bytes first to last of a file, both included.
struct ByteRange {
    unsigned long long first = 0;
    unsigned long long last = 0;
};

// Fetches each range of the URL with a Range request of its own and hands
// its bytes to onData in order, with the offset in the file of the first. A
// cut, stalled or short range is asked again for its rest, up to 3 times, a
// second apart. False as soon as the server answers a range with anything
// but a 206 of exactly that range (a server that ignores Range sends the
// whole file with 200); raises as HttpDownloadToFile does for an error
// status or a failed transfer. Only the events' time limits are used.
bool HttpDownloadRanges(
    const std::wstring& url, const std::vector<ByteRange>& ranges,
    const std::function<void(unsigned long long offset, const BYTE* data, DWORD size)>& onData,
    const HttpDownloadEvents& events = HttpDownloadEvents());
