#include "platform/files/SystemFolders.h"

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

namespace {

// A folder from a call that reports the size it needs when given none
// (GetSystemDirectoryW, GetWindowsDirectoryW).
std::wstring AskFolder(UINT(WINAPI* ask)(LPWSTR, UINT)) {
    const UINT size = ask(nullptr, 0);
    std::wstring folder(size, L'\0');
    folder.resize(size > 0 ? ask(folder.data(), size) : 0);
    return folder;
}

std::wstring EnvironmentValue(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(size, L'\0');
    value.resize(size > 0 ? GetEnvironmentVariableW(name, value.data(), size) : 0);
    return value;
}

} // namespace

std::wstring SystemFolder() {
    return AskFolder(GetSystemDirectoryW);
}

std::wstring TempFolder() {
    const DWORD size = GetTempPathW(0, nullptr);
    std::wstring folder(size, L'\0');
    folder.resize(size > 0 ? GetTempPathW(size, folder.data()) : 0);
    if (!folder.empty())
        return folder;
    // GetTempPathW gives up on a folder longer than MAX_PATH; it is asked
    // for where GetTempPathW looks, in the same order.
    for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE"}) {
        folder = EnvironmentValue(name);
        if (!folder.empty())
            return folder.back() == L'\\' ? folder : folder + L'\\';
    }
    folder = AskFolder(GetWindowsDirectoryW);
    return folder.empty() ? folder : folder + L'\\';
}

std::wstring GetTempFolderName() {
    const DWORD tick = GetTickCount();
    const DWORD processId = GetCurrentProcessId();
    return TempFolder() + L"vorn_launcher_" + std::to_wstring(processId) + L"_" +
           std::to_wstring(tick);
}
