#include "platform/PowerShell.h"

#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Guards.h"
#include "platform/Paths.h"

#include <string>
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

namespace {

// The folders CreateProcessW searches for a program given without a path, in
// its order: the launcher's own folder, the current folder, the system
// folders, the Windows folder, then PATH.
std::wstring FindProgramAsCreateProcessWould(const std::wstring& name) {
    std::vector<std::wstring> folders;
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    folders.push_back(ParentPath(buffer));
    if (GetCurrentDirectoryW(MAX_PATH, buffer))
        folders.push_back(buffer);
    if (GetSystemDirectoryW(buffer, MAX_PATH))
        folders.push_back(buffer);
    if (GetWindowsDirectoryW(buffer, MAX_PATH)) {
        folders.push_back(JoinPath(buffer, L"system"));
        folders.push_back(buffer);
    }
    const DWORD pathLength = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (pathLength > 0) {
        std::wstring path(pathLength, L'\0');
        path.resize(GetEnvironmentVariableW(L"PATH", path.data(), pathLength));
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find(L';', start);
            if (end == std::wstring::npos)
                end = path.size();
            if (end > start)
                folders.push_back(path.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const std::wstring& folder : folders) {
        const std::wstring candidate = JoinPath(folder, name);
        if (IsFile(candidate))
            return candidate;
    }
    return std::wstring();
}

// Wine marks its built-in programs with this text at offset 0x40.
bool IsWineBuiltin(const std::wstring& path) {
    HandleGuard file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    const char marker[] = "Wine builtin DLL";
    char header[0x40 + sizeof(marker) - 1] = {};
    DWORD read = 0;
    if (!ReadFile(file.Get(), header, sizeof(header), &read, nullptr) || read != sizeof(header))
        return false;
    return std::string(header + 0x40, sizeof(marker) - 1) == marker;
}

} // namespace

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool PowerShellIsWineStub() {
    if (!RunningUnderWine())
        return false;
    const std::wstring program = FindProgramAsCreateProcessWould(L"powershell.exe");
    return program.empty() || IsWineBuiltin(program);
}
