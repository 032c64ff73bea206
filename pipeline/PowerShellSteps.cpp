#include "pipeline/PowerShellSteps.h"

#include "platform/files/FileOps.h"
#include "platform/http/HttpDownload.h"
#include "platform/Text.h"
#include "platform/PowerShell.h"
#include "platform/zip/ZipExtract.h"

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
    // Its progress display, drawn for every file, slows it several times over.
    return std::wstring(kPowerShellPrefix) + L"\"" +
           L"$ProgressPreference='SilentlyContinue'; Expand-Archive -LiteralPath '" +
           EscapeForPowerShellSingleQuoted(archivePath) + L"' -DestinationPath '" +
           EscapeForPowerShellSingleQuoted(extractFolder) + L"' -Force\"";
}

namespace {

// Invoke-WebRequest that has not fetched a small file in two minutes will not.
const DWORD kFetchLimitMs = 2 * 60 * 1000;

// Expand-Archive is slow: 5 minutes, and one more for every 100 MiB.
DWORD ExpandLimitMs(const std::wstring& archivePath) {
    return static_cast<DWORD>((5 + FileSize(archivePath) / (100ull << 20)) * 60 * 1000);
}

// True when PowerShell ran the command to success. A PowerShell that cannot
// start, fails or runs past the limit leaves the work to the launcher.
bool PowerShellDid(const std::wstring& commandLine, DWORD limitMs) {
    try {
        return RunPowerShell(commandLine, limitMs) == 0;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

DWORD FetchManifestFile(const std::wstring& url, const std::wstring& responsePath,
                        unsigned long long maxBytes, std::wstring& cause) {
    cause.clear();
    const std::wstring tooLong =
        L"Ошибка скачивания: ответ сервера длиннее " + std::to_wstring(maxBytes) + L" байт.";
    if (!PowerShellIsWineStub() &&
        PowerShellDid(BuildManifestFetchCommand(url, responsePath), kFetchLimitMs) &&
        IsFile(responsePath)) {
        if (FileSize(responsePath) <= maxBytes)
            return 0;
        cause = tooLong;
        return 1;
    }
    // The launcher's own download, like Invoke-WebRequest: any transfer
    // failure or an HTTP error status fails.
    try {
        HttpDownloadEvents events;
        events.maxBytes = maxBytes;
        HttpDownloadToFile(url, responsePath, events);
        return 0;
    } catch (const std::exception& error) {
        cause = Utf8ToWide(error.what());
        return 1;
    }
}

DWORD ExpandArchive(const std::wstring& archivePath, const std::wstring& extractFolder) {
    if (!PowerShellIsWineStub()) {
        if (PowerShellDid(BuildExpandArchiveCommand(archivePath, extractFolder),
                          ExpandLimitMs(archivePath)))
            return 0;
        // Whatever it unpacked goes; the launcher's extractor, which refuses
        // every unsafe name, starts from an empty folder.
        EmptyFolder(extractFolder);
    }
    return ExtractZipArchive(archivePath, extractFolder) ? 0 : 1;
}
