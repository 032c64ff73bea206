// One run of a build on its worker thread: fetch and read the manifest, decide
// between updating and only starting, and report every step to the window.

#include "app/LauncherApp.h"

#include "app/Messages.h"
#include "pipeline/Manifest.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/WorkFolder.h"

#include <exception>
#include <memory>

namespace {

std::string FetchManifestText(const std::wstring& manifestUrl) {
    WorkFolder work;
    const std::wstring responsePath = JoinPath(work.Path(), L"response.txt");
    EnsureDir(ParentPath(responsePath));
    if (FetchManifestFile(manifestUrl, responsePath) != 0)
        throw MakeError(L"Не удалось скачать файл через PowerShell.");
    std::string text = ReadWholeFileUtf8(responsePath, std::string());
    // A folder that cannot be removed fails the run; the guard tries once more.
    work.Remove();
    return text;
}

void WriteVersionFile(const std::wstring& installFolder, const std::string& version) {
    const std::wstring path = JoinPath(installFolder, L"version.txt");
    EnsureDir(ParentPath(path));
    WriteWholeFile(path, version, false);
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
        // Work folders of killed runs hold about twice a build; the player
        // gets that space back.
        RemoveStaleWorkFolders();
        const Manifest manifest = ReadManifest(FetchManifestText(manifestUrl));

        const std::string installedVersion =
            ReadWholeFileUtf8(JoinPath(installFolder, L"version.txt"), "0.0.0");
        const std::wstring exeName = Utf8ToWide(manifest.exe);
        // The server names a file inside the build folder, never a program
        // elsewhere on the machine.
        if (!IsPlainFileName(exeName))
            throw MakeError(L"Недопустимое имя файла запуска в manifest: '" + exeName + L"'.");
        const bool installed = IsFile(JoinPath(installFolder, exeName));
        // An update that stopped before the player's data was back owes a
        // restore: whatever the folder's version file or executable say, the
        // folder is then updated again, which restores the data.
        const bool restoreOwed = IsFile(owner->GetRestorePendingFile(installFolder));
        const bool current =
            installed && !restoreOwed && CompareVersions(installedVersion, manifest.version) >= 0;

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
