#include "platform/http/WinInetLoad.h"

#include "platform/Errors.h"
#include "platform/SystemLibraries.h"

#include <atomic>
#include <string>

void EnsureWinInetLoaded() {
    // Loaded once, kept for the process. Requests may start on several
    // threads; a second load only counts up.
    static std::atomic<HMODULE> loaded{nullptr};
    if (loaded.load() != nullptr)
        return;
    const HMODULE module = LoadSystemLibrary(L"wininet.dll");
    if (module != nullptr) {
        loaded.store(module);
        return;
    }
    const std::wstring systemText = GetWinErrorMessage(GetLastError());
    throw MakeError(L"Не удалось загрузить wininet.dll: " + systemText);
}
