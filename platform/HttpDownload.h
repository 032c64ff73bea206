#pragma once
// One HTTP(S) GET through WinINet, streamed to a file in 256 KiB chunks, with
// every cache bypassed. Used for the build archive and, where PowerShell is not
// available, for the manifest.

#include <functional>
#include <string>

struct HttpDownloadEvents {
    // The announced length, before the file is created (only when known).
    std::function<void(unsigned long long length)> onLength;
    // Before the first chunk: whether the server announced a length.
    std::function<void(bool lengthKnown)> onStart;
    // After a chunk whose whole percentage differs from the last one reported
    // (only when the length is known); the first chunk always reports.
    std::function<void(int percent)> onPercent;
};

// Raises the launcher's error on failure. With rejectHttpErrors, a response
// status of 400 or more is a failure too; otherwise any body is saved.
void HttpDownloadToFile(const std::wstring& url, const std::wstring& filePath,
                        const HttpDownloadEvents& events, bool rejectHttpErrors);

// The announced length as a formatted stream reads a number: leading blanks
// skipped, digits up to the first non-digit, 0 when there is no number.
unsigned long long ParseContentLength(const std::wstring& text);
