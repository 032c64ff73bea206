#include "pipeline/GameLaunch.h"

#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/files/Paths.h"

#include <vector>

void LaunchGame(const std::wstring& buildFolder, const std::wstring& exeName) {
    // The game expects its save folder; it is made even when the start fails.
    EnsureDir(JoinPath(buildFolder, L"Save"));

    const std::wstring exePath = JoinPath(buildFolder, exeName);
    if (!IsFile(exePath))
        throw MakeError(L"Не найден файл запуска: " + exePath);

    // Quoted, so that folders with spaces work; CreateProcessW may write into it.
    const std::wstring commandLine = L"\"" + exePath + L"\"";
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        buildFolder.c_str(), &startup, &process)) {
        const std::wstring systemText = GetWinErrorMessage(GetLastError());
        throw MakeError(L"Не удалось запустить игру: " + systemText);
    }
    // The game belongs to nobody: its handles go at once.
    HandleGuard thread(process.hThread);
    HandleGuard child(process.hProcess);
}
