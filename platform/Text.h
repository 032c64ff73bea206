#pragma once
// Text helpers shared by every layer: the manifest, the version file and error
// messages are UTF-8 bytes, everything shown or used as a path is UTF-16.

#include <string>

// Invalid byte sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);

// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// Only A to Z change: for hexadecimal digests and the like.
std::string ToLowerAscii(std::string text);
