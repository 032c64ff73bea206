// Test stand-in for powershell.exe, placed where Windows keeps PowerShell in
// the prefix of the PowerShell tests. It appends its exact command line to
// the file named by VORN_PS_LOG, then does the work of the two scripts the
// launcher runs (Invoke-WebRequest, Expand-Archive) and exits 0 on success.
// The environment makes it misbehave instead:
//   VORN_PS_EXIT=N   returns N without doing the work
//   VORN_PS_HANG=1   writes its process id to VORN_PS_PIDFILE and never ends
//   VORN_PS_HALF=1   unpacks, leaves a file of its own beside, and fails

#include "platform/http/HttpDownload.h"
#include "platform/zip/ZipExtract.h"

#include <windows.h>

#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? value : L"";
}

void AppendLine(const std::wstring& path, const std::wstring& line) {
    const std::wstring text = line + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

// The single-quoted argument after the option, with '' read as one '.
std::wstring QuotedAfter(const std::wstring& commandLine, const std::wstring& option) {
    size_t pos = commandLine.find(option + L" '");
    if (pos == std::wstring::npos)
        return L"";
    std::wstring value;
    for (pos += option.size() + 2; pos < commandLine.size(); ++pos) {
        if (commandLine[pos] == L'\'') {
            if (pos + 1 < commandLine.size() && commandLine[pos + 1] == L'\'') {
                value += L'\'';
                ++pos;
                continue;
            }
            break;
        }
        value += commandLine[pos];
    }
    return value;
}

} // namespace

int wmain() {
    const std::wstring commandLine = GetCommandLineW();
    const std::wstring log = Environment(L"VORN_PS_LOG");
    if (!log.empty())
        AppendLine(log, commandLine);
    const std::wstring forced = Environment(L"VORN_PS_EXIT");
    if (!forced.empty())
        return _wtoi(forced.c_str());
    if (!Environment(L"VORN_PS_HANG").empty()) {
        const std::wstring pidFile = Environment(L"VORN_PS_PIDFILE");
        if (!pidFile.empty())
            AppendLine(pidFile, std::to_wstring(GetCurrentProcessId()));
        Sleep(INFINITE);
    }

    if (commandLine.find(L"Invoke-WebRequest") != std::wstring::npos) {
        try {
            HttpDownloadToFile(QuotedAfter(commandLine, L"-Uri"),
                               QuotedAfter(commandLine, L"-OutFile"), HttpDownloadEvents{});
            return 0;
        } catch (...) {
            return 1;
        }
    }
    if (commandLine.find(L"Expand-Archive") != std::wstring::npos) {
        const std::wstring destination = QuotedAfter(commandLine, L"-DestinationPath");
        const bool unpacked =
            ExtractZipArchive(QuotedAfter(commandLine, L"-LiteralPath"), destination);
        if (!Environment(L"VORN_PS_HALF").empty()) {
            AppendLine(destination + L"\\left-by-powershell.txt", L"half");
            return 1;
        }
        return unpacked ? 0 : 1;
    }
    return 1;
}
