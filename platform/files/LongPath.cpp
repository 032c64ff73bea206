#include "platform/files/LongPath.h"

#include <windows.h>

std::wstring ExtendedLengthPath(const std::wstring& path) {
    if (path.empty() || path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0)
        return path;
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return path;
    full.resize(length);
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\')
        return L"\\\\?\\" + full;
    if (full.size() > 2 && full[0] == L'\\' && full[1] == L'\\')
        return L"\\\\?\\UNC\\" + full.substr(2);
    return path;
}
