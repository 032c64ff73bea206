#include "app/OneLauncherPerFolder.h"

#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"

#include <vector>

namespace {

// How long a second launcher looks for the first one's window: one that is
// still starting has none yet.
const DWORD kWindowWaitMs = 5000;

std::wstring Hex(unsigned long long value) {
    wchar_t text[20] = {};
    swprintf(text, 20, L"%llx", value);
    return text;
}

// The folder's volume and file index, so that a junction, a short name or
// another letter case gives one name; where a file system has no index, a
// hash of the lower-cased path (FNV-1a).
std::wstring ClaimName(const std::wstring& folder) {
    FileStamp stamp;
    if (ReadFileStamp(folder, stamp) && (stamp.indexHigh != 0 || stamp.indexLow != 0))
        return L"Global\\VornLauncher-" + Hex(stamp.volume) + L"-" +
               Hex((static_cast<unsigned long long>(stamp.indexHigh) << 32) | stamp.indexLow);
    unsigned long long hash = 14695981039346656037ull;
    for (const wchar_t unit : ToLowerW(folder)) {
        hash ^= static_cast<unsigned long long>(unit);
        hash *= 1099511628211ull;
    }
    return L"Global\\VornLauncher-path-" + Hex(hash);
}

bool SameFolder(const std::wstring& path, const FileStamp& folder) {
    FileStamp stamp;
    return ReadFileStamp(path, stamp) && stamp.volume == folder.volume &&
           stamp.indexHigh == folder.indexHigh && stamp.indexLow == folder.indexLow;
}

struct WindowSearch {
    const wchar_t* windowClass;
    FileStamp folder;
    HWND found;
};

// A launcher window whose program lives in the folder.
BOOL CALLBACK MatchLauncherWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (std::wstring(className) != search->windowClass)
        return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return TRUE;
    std::vector<wchar_t> image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    const BOOL known = QueryFullProcessImageNameW(process, 0, image.data(), &size);
    CloseHandle(process);
    if (!known || !SameFolder(ParentPath(std::wstring(image.data(), size)), search->folder))
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindLauncherWindow(const std::wstring& folder, const wchar_t* windowClass) {
    WindowSearch search{windowClass, FileStamp(), nullptr};
    if (!ReadFileStamp(folder, search.folder))
        return nullptr;
    const ULONGLONG deadline = GetTickCount64() + kWindowWaitMs;
    for (;;) {
        EnumWindows(&MatchLauncherWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || GetTickCount64() >= deadline)
            return search.found;
        Sleep(100);
    }
}

} // namespace

bool ClaimLauncherFolder(const std::wstring& folder, const wchar_t* windowClass, bool handOver,
                         HANDLE& claim) {
    claim = CreateMutexW(nullptr, FALSE, ClaimName(folder).c_str());
    const DWORD code = GetLastError();
    if (handOver || (claim != nullptr && code != ERROR_ALREADY_EXISTS) ||
        (claim == nullptr && code != ERROR_ACCESS_DENIED))
        return true;
    if (claim != nullptr) {
        CloseHandle(claim);
        claim = nullptr;
    }
    // Another account's launcher holds a mutex this one may not open: its
    // window is on another desktop.
    const HWND window =
        code == ERROR_ACCESS_DENIED ? nullptr : FindLauncherWindow(folder, windowClass);
    if (window != nullptr) {
        if (IsIconic(window))
            ShowWindow(window, SW_RESTORE);
        SetForegroundWindow(window);
        return false;
    }
    MessageBoxW(nullptr,
                L"Лаунчер из этой папки уже запущен (возможно, другим пользователем этого "
                L"компьютера). Закройте его и попробуйте снова.",
                L"Vorn RPG Online", MB_ICONINFORMATION);
    return false;
}
