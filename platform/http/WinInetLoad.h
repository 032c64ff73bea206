#pragma once
// wininet.dll is loaded at its first use through a delay-load import library
// (see wininet.def), by its full path in the system folder
// (platform/SystemLibraries.h). The delay-load helper reports a DLL it cannot
// load with a structured exception that no C++ handler sees, so the launcher
// loads it itself before the first request.

// Makes sure wininet.dll is loaded from the system folder; raises
// "Не удалось загрузить wininet.dll: " + system text when it cannot be.
void EnsureWinInetLoaded();
