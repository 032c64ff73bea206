#pragma once

#include <string>

// SHA-256 of a whole file as 64 lower-case hexadecimal digits, computed by
// CryptoAPI over 256 KiB chunks.
std::string ComputeFileSha256(const std::wstring& path);
