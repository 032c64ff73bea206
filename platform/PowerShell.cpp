#include "platform/PowerShell.h"

#include "platform/Errors.h"
#include "platform/Guards.h"

#include <vector>

DWORD RunPowerShell(const std::wstring& commandLine) {
    // CreateProcessW may write into its command line, so it gets a private copy.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        const std::wstring systemText = GetWinErrorMessage(GetLastError());
        throw MakeError(L"Не удалось запустить PowerShell: " + systemText);
    }
    HandleGuard thread(process.hThread);
    HandleGuard child(process.hProcess);

    WaitForSingleObject(child.Get(), INFINITE);
    DWORD exitCode = 1; // stays a failure when the code cannot be read
    GetExitCodeProcess(child.Get(), &exitCode);
    thread.Close();
    child.Close();
    return exitCode;
}

std::wstring EscapeForPowerShellSingleQuoted(const std::wstring& text) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (wchar_t unit : text) {
        if (unit == L'\'')
            escaped += L'\'';
        escaped += unit;
    }
    return escaped;
}

std::wstring GetTempFolderName() {
    wchar_t tempPath[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tempPath);
    const DWORD tick = GetTickCount();
    const DWORD processId = GetCurrentProcessId();
    return std::wstring(tempPath) + L"vorn_launcher_" + std::to_wstring(processId) + L"_" +
           std::to_wstring(tick);
}
