#pragma once
// The system's DLLs, loaded only from the system folder. The launcher's
// folder may be a Downloads folder where a DLL under a system DLL's name
// waits; Windows 7 without KB2533623 knows no LOAD_LIBRARY_SEARCH_SYSTEM32.
// So every DLL that is not a known DLL (loaded from the system folder by
// Windows itself) is loaded here by its full path: wininet.dll, version.dll,
// wintrust.dll and bcrypt.dll through delay-load import libraries (see the
// .def files of http/ and trust/) whose loads come here, msimg32.dll,
// dwmapi.dll and shcore.dll looked up by the code that calls them. And
// whether the system is Wine, from what its ntdll exports.

#include <windows.h>

// "<system folder>\<name>", with its own dependencies looked for beside it
// first. Null, with the system's error code, when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name, DWORD flags = 0);

// True when the process runs under Wine (ntdll exports wine_get_version).
bool RunningUnderWine();
