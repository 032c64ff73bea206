#pragma once
// wininet.dll is loaded at its first use through a delay-load import library
// (see wininet.def). The delay-load helper would search for it on the
// system's DLL path, and reports a DLL or function it cannot load with a
// structured exception that no C++ handler sees. So the launcher loads it
// itself, by its full path in the system folder, before the first request.

// Makes sure wininet.dll is loaded from the system folder; raises
// "Не удалось загрузить wininet.dll: " + system text when it cannot be.
void EnsureWinInetLoaded();
