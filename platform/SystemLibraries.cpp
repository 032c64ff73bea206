#include "platform/SystemLibraries.h"

#include <delayimp.h>

#include <string>

namespace {

// Stands in for a function that the system's DLL lacks: the call fails like
// a call of that DLL, and the caller reports it.
INT_PTR WINAPI UnavailableFunction() {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
}

FARPROC WINAPI DelayLoadNotice(unsigned notice, PDelayLoadInfo info) {
    if (notice != dliNotePreLoadLibrary || info->szDll == nullptr)
        return nullptr;
    // The import libraries' names are plain ASCII.
    std::wstring name;
    for (const char* c = info->szDll; *c != '\0'; ++c)
        name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return reinterpret_cast<FARPROC>(LoadSystemLibrary(name.c_str()));
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

HMODULE LoadSystemLibrary(const wchar_t* name, DWORD flags) {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    const std::wstring path = std::wstring(system, length) + L"\\" + name;
    return LoadLibraryExW(path.c_str(), nullptr, flags | LOAD_WITH_ALTERED_SEARCH_PATH);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
