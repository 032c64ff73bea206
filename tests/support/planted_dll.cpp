// Test DLL planted beside the launcher under the name of a system DLL. Once
// loaded it leaves "<its own path>.loaded" beside itself for the test to find.

#include <windows.h>

#include <string>
#include <vector>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(instance, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return TRUE;
    const std::wstring marker = std::wstring(path.data(), length) + L".loaded";
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}
