#include "platform/PowerShell.h"

#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/SystemLibraries.h"
#include "platform/files/SystemFolders.h"

#include <string>
#include <vector>

namespace {

// A job that ends every process in it when its last handle closes: when the
// launcher returns, and when it is killed.
HANDLE MakeKillOnCloseJob() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

} // namespace

std::wstring PowerShellPath() {
    return SystemFolder() + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
}

DWORD RunPowerShell(const std::wstring& commandLine, DWORD limitMs) {
    // CreateProcessW may write into its command line, so it gets a private copy.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    // Started suspended, so that it is in the job before it can start
    // anything of its own.
    HandleGuard job(MakeKillOnCloseJob());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const std::wstring program = PowerShellPath();
    if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &process)) {
        const std::wstring systemText = GetWinErrorMessage(GetLastError());
        throw MakeError(L"Не удалось запустить PowerShell: " + systemText);
    }
    HandleGuard thread(process.hThread);
    HandleGuard child(process.hProcess);
    // Where jobs cannot nest (before Windows 8, inside another job), it runs
    // without one.
    if (job.Valid() && !AssignProcessToJobObject(job.Get(), child.Get()))
        job.Close();
    ResumeThread(thread.Get());

    if (WaitForSingleObject(child.Get(), limitMs) == WAIT_TIMEOUT) {
        if (job.Valid())
            TerminateJobObject(job.Get(), 1);
        else
            TerminateProcess(child.Get(), 1);
        // Its files are let go only once it has ended.
        WaitForSingleObject(child.Get(), 10000);
        return WAIT_TIMEOUT;
    }
    DWORD exitCode = 1; // stays a failure when the code cannot be read
    GetExitCodeProcess(child.Get(), &exitCode);
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

namespace {

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

bool PowerShellIsWineStub() {
    if (!RunningUnderWine())
        return false;
    const std::wstring program = PowerShellPath();
    return !IsFile(program) || IsWineBuiltin(program);
}
