#include "platform/SystemFolders.h"

#include <windows.h>

#include <vector>

std::wstring ModuleFilePath() {
    // GetModuleFileNameW cuts the path to the buffer and says so only by
    // filling it; the buffer doubles until the path fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::wstring();
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring SystemFolder() {
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    std::wstring folder(size, L'\0');
    folder.resize(size > 0 ? GetSystemDirectoryW(folder.data(), size) : 0);
    return folder;
}

std::wstring TempFolder() {
    const DWORD size = GetTempPathW(0, nullptr);
    std::wstring folder(size, L'\0');
    folder.resize(size > 0 ? GetTempPathW(size, folder.data()) : 0);
    return folder;
}
