#pragma once
// Text helpers shared by every layer: the manifest, the version file and error
// messages are UTF-8 bytes, everything shown or used as a path is UTF-16.

#include <string>

// The file's bytes unchanged, or the fallback when the file cannot be opened
// or read or is larger than 64 MiB.
std::string ReadWholeFileUtf8(const std::wstring& path, const std::string& fallback);

// Invalid byte sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);

// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// Only A to Z change: for hexadecimal digests and the like.
std::string ToLowerAscii(std::string text);
