#include "pipeline/PowerShellSteps.h"

#include "platform/HttpDownload.h"
#include "platform/Text.h"
#include "platform/PowerShell.h"
#include "platform/ZipExtract.h"

#include <stdexcept>

namespace {
const wchar_t kPowerShellPrefix[] =
    L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command ";
}

std::wstring BuildManifestFetchCommand(const std::wstring& url, const std::wstring& responsePath) {
    return std::wstring(kPowerShellPrefix) + L"\"" +
           L"$ProgressPreference='SilentlyContinue'; Invoke-WebRequest -UseBasicParsing -Uri '" +
           EscapeForPowerShellSingleQuoted(url) + L"' -OutFile '" +
           EscapeForPowerShellSingleQuoted(responsePath) + L"'\"";
}

std::wstring BuildExpandArchiveCommand(const std::wstring& archivePath,
                                       const std::wstring& extractFolder) {
    return std::wstring(kPowerShellPrefix) + L"\"" + L"Expand-Archive -LiteralPath '" +
           EscapeForPowerShellSingleQuoted(archivePath) + L"' -DestinationPath '" +
           EscapeForPowerShellSingleQuoted(extractFolder) + L"' -Force\"";
}

DWORD FetchManifestFile(const std::wstring& url, const std::wstring& responsePath,
                        std::wstring& cause) {
    cause.clear();
    if (!PowerShellIsWineStub())
        return RunPowerShell(BuildManifestFetchCommand(url, responsePath));
    // Like Invoke-WebRequest: any transfer failure or an HTTP error status fails.
    try {
        HttpDownloadToFile(url, responsePath, HttpDownloadEvents{});
        return 0;
    } catch (const std::exception& error) {
        cause = Utf8ToWide(error.what());
        return 1;
    }
}

DWORD ExpandArchive(const std::wstring& archivePath, const std::wstring& extractFolder) {
    if (!PowerShellIsWineStub())
        return RunPowerShell(BuildExpandArchiveCommand(archivePath, extractFolder));
    return ExtractZipArchive(archivePath, extractFolder) ? 0 : 1;
}
