#include "platform/Text.h"

#include "platform/Guards.h"
#include "platform/files/LongPath.h"

#include <windows.h>

#include <algorithm>

namespace {
const LONGLONG kMaxReadSize = 67108864; // 64 MiB
}

std::string ReadWholeFileUtf8(const std::wstring& path, const std::string& fallback) {
    HandleGuard file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return fallback;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxReadSize)
        return fallback;

    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t total = 0;
    while (total < bytes.size()) {
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(bytes.size() - total);
        if (!ReadFile(file.Get(), bytes.data() + total, wanted, &read, nullptr))
            return fallback;
        if (read == 0)
            break;
        total += read;
    }
    bytes.resize(total);
    return bytes;
}

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), size, nullptr, nullptr);
    return utf8;
}

std::string ToLowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return text;
}
