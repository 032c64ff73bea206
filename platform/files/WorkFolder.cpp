#include "platform/files/WorkFolder.h"

#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"
#include "platform/files/SystemFolders.h"
#include "platform/files/LongPath.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

const wchar_t kLockName[] = L"run.lock";
const wchar_t kTempPattern[] = L"vorn_launcher_*";
const wchar_t kUpdatePattern[] = L"vorn_update_*";
// 100-nanosecond units of FILETIME.
const unsigned long long kUnlockedStaleAfter = 60ull * 60 * 10000000;

unsigned long long Ticks(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A folder whose lock cannot even be looked at is left for a later sweep.
bool IsStale(const std::wstring& folder, const FILETIME& lastWrite) {
    const std::wstring lock = JoinPath(folder, kLockName);
    bool locked = false;
    try {
        locked = IsFile(lock);
    } catch (const std::exception&) {
        return false;
    }
    if (locked)
        return DeleteFileW(ExtendedLengthPath(lock).c_str()) != 0; // fails while its run holds it
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return Ticks(now) > Ticks(lastWrite) + kUnlockedStaleAfter;
}

// Makes the folder and opens its lock, which stays open with the returned
// handle.
HANDLE MakeLockedFolder(const std::wstring& folder) {
    EnsureDir(folder);
    const std::wstring lock = JoinPath(folder, kLockName);
    const HANDLE handle =
        CreateFileW(ExtendedLengthPath(lock).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        return handle;
    const std::wstring systemText = GetWinErrorMessage(GetLastError());
    RemoveTreeWithRetries(folder);
    throw MakeError(L"Не удалось записать файл: " + lock + L": " + systemText);
}

std::wstring UpdateFolderName(const std::wstring& parent) {
    static std::atomic<unsigned> made{0};
    return JoinPath(parent, L"vorn_update_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(made++));
}

// The temporary folder's name is the process and the tick of the clock, so
// two made within one tick (the launcher's own update check and a run, on two
// threads) would be one folder, the second failing on the first's lock: a
// later one waits for the next tick. Ticks only grow, so only the last name
// can come again.
std::wstring FreshTempFolderName() {
    static std::mutex guard;
    static std::wstring last;
    std::lock_guard<std::mutex> lock(guard);
    std::wstring name = GetTempFolderName();
    while (name == last) {
        Sleep(1);
        name = GetTempFolderName();
    }
    last = name;
    return name;
}

// Hidden, so that the player sees only the build's folders beside the
// launcher.
HANDLE MakeHiddenLockedFolder(const std::wstring& folder) {
    const HANDLE lock = MakeLockedFolder(folder);
    SetFileAttributesW(ExtendedLengthPath(folder).c_str(), FILE_ATTRIBUTE_HIDDEN);
    return lock;
}

void RemoveStaleIn(const std::wstring& parent, const wchar_t* pattern) {
    std::vector<std::wstring> stale;
    WIN32_FIND_DATAW data{};
    {
        FindGuard find(
            FindFirstFileW(ExtendedLengthPath(JoinPath(parent, pattern)).c_str(), &data));
        if (!find.Valid())
            return;
        do {
            const DWORD attributes = data.dwFileAttributes;
            // A sync client's folder is a reparse point too, and holds real
            // data: only a link is passed by.
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                IsLinkToElsewhere(attributes, data.dwReserved0))
                continue;
            const std::wstring folder = JoinPath(parent, data.cFileName);
            if (IsStale(folder, data.ftLastWriteTime))
                stale.push_back(folder);
        } while (FindNextFileW(find.Get(), &data));
    }
    for (const std::wstring& folder : stale) {
        try {
            RemoveTreeWithRetries(folder);
        } catch (...) {
        }
    }
}

} // namespace

WorkFolder::WorkFolder() : path_(FreshTempFolderName()), lock_(MakeLockedFolder(path_)) {}

WorkFolder::WorkFolder(const std::wstring& parent)
    : path_(UpdateFolderName(parent)), lock_(MakeHiddenLockedFolder(path_)) {}

WorkFolder::~WorkFolder() {
    lock_.Close();
    try {
        RemoveTreeWithRetries(path_);
    } catch (...) {
    }
}

void WorkFolder::Remove() {
    lock_.Close();
    RemoveTreeWithRetries(path_);
}

void RemoveStaleWorkFolders(const std::wstring& updateParent) {
    const std::wstring temp = TempFolder();
    if (!temp.empty())
        RemoveStaleIn(temp, kTempPattern);
    RemoveStaleIn(updateParent, kUpdatePattern);
}
