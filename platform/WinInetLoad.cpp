#include "platform/WinInetLoad.h"

#include "platform/Errors.h"

#include <windows.h>

#include <delayimp.h>

#include <atomic>
#include <string>

namespace {

// The system folder's wininet.dll, loaded by its full path, so that a
// wininet.dll planted beside the launcher or in the current folder is never
// taken, even where SetDefaultDllDirectories is missing (Windows 7 without
// KB2533623). Null with the system's error code when it cannot be loaded.
HMODULE LoadSystemWinInet() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    return LoadLibraryW((std::wstring(system, length) + L"\\wininet.dll").c_str());
}

// Stands in for a function that the system's wininet.dll lacks: the call
// fails like a WinINet call, and the caller reports it.
INT_PTR WINAPI UnavailableFunction() {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
}

FARPROC WINAPI DelayLoadNotice(unsigned notice, PDelayLoadInfo info) {
    if (notice == dliNotePreLoadLibrary && lstrcmpiA(info->szDll, "wininet.dll") == 0)
        return reinterpret_cast<FARPROC>(LoadSystemWinInet());
    return nullptr;
}

FARPROC WINAPI DelayLoadFailure(unsigned notice, PDelayLoadInfo) {
    if (notice == dliFailGetProc)
        return reinterpret_cast<FARPROC>(UnavailableFunction);
    return nullptr;
}

} // namespace

// The delay-load helper's hooks: every DLL it loads comes by full path, and a
// missing function fails its call instead of the process.
PfnDliHook __pfnDliNotifyHook2 = DelayLoadNotice;
PfnDliHook __pfnDliFailureHook2 = DelayLoadFailure;

void EnsureWinInetLoaded() {
    // Loaded once, kept for the process. Requests may start on several
    // threads; a second load only counts up.
    static std::atomic<HMODULE> loaded{nullptr};
    if (loaded.load() != nullptr)
        return;
    const HMODULE module = LoadSystemWinInet();
    if (module != nullptr) {
        loaded.store(module);
        return;
    }
    const std::wstring systemText = GetWinErrorMessage(GetLastError());
    throw MakeError(L"Не удалось загрузить wininet.dll: " + systemText);
}
