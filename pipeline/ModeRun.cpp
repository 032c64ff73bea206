// One run of a build on its worker thread: fetch and read the manifest, decide
// between updating and only starting, and report every step to the window.

#include "app/LauncherApp.h"

#include "app/Messages.h"
#include "pipeline/Manifest.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Guards.h"
#include "platform/Paths.h"
#include "platform/PowerShell.h"

#include <exception>
#include <memory>

namespace {

std::string FetchManifestText(const std::wstring& manifestUrl) {
    const std::wstring workFolder = GetTempFolderName();
    EnsureDir(workFolder);
    const std::wstring responsePath = JoinPath(workFolder, L"response.txt");
    try {
        EnsureDir(ParentPath(responsePath));
        if (FetchManifestFile(manifestUrl, responsePath) != 0)
            throw MakeError(L"Не удалось скачать файл через PowerShell.");
        std::string text = ReadWholeFileUtf8(responsePath, std::string());
        RemoveTreeWithRetries(workFolder);
        return text;
    } catch (...) {
        if (IsFolder(workFolder)) {
            try {
                RemoveTreeWithRetries(workFolder);
            } catch (...) {
            }
        }
        throw;
    }
}

void WriteVersionFile(const std::wstring& installFolder, const std::string& version) {
    const std::wstring path = JoinPath(installFolder, L"version.txt");
    EnsureDir(ParentPath(path));
    HandleGuard file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        throw MakeError(L"Не удалось записать файл: " + path);
    if (version.empty())
        return;
    DWORD written = 0;
    if (!WriteFile(file.Get(), version.data(), static_cast<DWORD>(version.size()), &written,
                   nullptr) ||
        written != version.size()) {
        const DWORD code = GetLastError();
        file.Close();
        const std::wstring systemText = GetWinErrorMessage(code);
        throw MakeError(L"Не удалось записать файл: " + path + L": " + systemText);
    }
}

} // namespace

DWORD WINAPI LauncherApp::WorkerThreadProc(LPVOID parameter) {
    std::unique_ptr<WorkerParams> params(static_cast<WorkerParams*>(parameter));
    LauncherApp* const owner = params->owner;
    const std::wstring label = params->label;
    const std::wstring manifestUrl = params->manifestUrl;
    const std::wstring installFolder = params->installFolder;
    params.reset();
    const HWND window = owner->window;

    try {
        PostTextMessage(window, WM_LAUNCHER_STATUS, 0, L"Проверка обновлений " + label + L"...");
        const Manifest manifest = ReadManifest(FetchManifestText(manifestUrl));

        const std::string installedVersion =
            ReadWholeFileUtf8(JoinPath(installFolder, L"version.txt"), "0.0.0");
        const std::wstring exeName = Utf8ToWide(manifest.exe);
        // The server names a file inside the build folder, never a program
        // elsewhere on the machine.
        if (!IsPlainFileName(exeName))
            throw MakeError(L"Недопустимое имя файла запуска в manifest: '" + exeName + L"'.");
        const bool installed = IsFile(JoinPath(installFolder, exeName));
        const bool current = installed && CompareVersions(installedVersion, manifest.version) >= 0;

        if (current) {
            PostTextMessage(window, WM_LAUNCHER_STATUS, 0, L"Запуск " + label + L"...");
        } else {
            PostTextMessage(window, WM_LAUNCHER_STATUS, 0,
                            L"Обновление " + label + L" до версии " + Utf8ToWide(manifest.version) +
                                L"...");
            owner->InstallOrUpdate(manifest, installFolder, label);
            EnsureDir(installFolder);
            WriteVersionFile(installFolder, manifest.version);
            PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(100),
                            label + L" обновлена. Запуск...");
        }
        owner->LaunchGame(installFolder, exeName);
        PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(100), label + L" запущена.");
    } catch (const std::exception& error) {
        PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(0), L"");
        PostTextMessage(window, WM_LAUNCHER_ERROR, 0, L"Ошибка: " + Utf8ToWide(error.what()));
    }
    PostMessageW(window, WM_LAUNCHER_WORKER_DONE, 0, 0);
    return 0;
}
