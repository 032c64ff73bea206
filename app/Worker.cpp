// The worker thread of a run, and the window object's pipeline members: thin
// calls into pipeline/, whose reports become the window's posted messages.

#include "app/LauncherApp.h"

#include "app/Messages.h"
#include "pipeline/Backups.h"
#include "pipeline/GameLaunch.h"
#include "pipeline/Install.h"
#include "pipeline/ModeRun.h"
#include "platform/Text.h"

#include <exception>
#include <memory>

DWORD WINAPI LauncherApp::WorkerThreadProc(LPVOID parameter) {
    std::unique_ptr<WorkerParams> params(static_cast<WorkerParams*>(parameter));
    LauncherApp* const owner = params->owner;
    const std::wstring label = params->label;
    const std::wstring manifestUrl = params->manifestUrl;
    const std::wstring installFolder = params->installFolder;
    const std::vector<std::string> updateKeys = params->updateKeys;
    params.reset();
    const HWND window = owner->window;

    try {
        RunBuild(owner->baseFolder, label, manifestUrl, installFolder, updateKeys,
                 ReportsTo(window));
    } catch (const std::exception& error) {
        PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(0), L"");
        PostTextMessage(window, WM_LAUNCHER_ERROR, 0, L"Ошибка: " + Utf8ToWide(error.what()));
    }
    PostMessageW(window, WM_LAUNCHER_WORKER_DONE, 0, 0);
    return 0;
}

void LauncherApp::InstallOrUpdate(const Manifest& manifest, const std::wstring& installFolder,
                                  const std::wstring& label) {
    ::InstallOrUpdate(baseFolder, manifest, installFolder, label, ReportsTo(window));
}

bool LauncherApp::FindGameRootRecursive(const std::wstring& folder,
                                        const std::wstring& exeNameLower, std::wstring& gameRoot) {
    return ::FindGameRootRecursive(folder, exeNameLower, gameRoot);
}

void LauncherApp::LaunchGame(const std::wstring& buildFolder, const std::wstring& exeName) {
    ::LaunchGame(buildFolder, exeName);
}

void LauncherApp::PrepareBackups(const std::wstring& installFolder) {
    ::PrepareBackups(baseFolder, installFolder);
}

void LauncherApp::RestoreBackups(const std::wstring& installFolder) {
    ::RestoreBackups(baseFolder, installFolder);
}

std::wstring LauncherApp::GetSaveBackupDir(const std::wstring& installFolder) const {
    return ::GetSaveBackupDir(baseFolder, installFolder);
}

std::wstring LauncherApp::GetUserDataBackupDir(const std::wstring& installFolder) const {
    return ::GetUserDataBackupDir(baseFolder, installFolder);
}

std::wstring LauncherApp::GetNicknameBackupFile() const {
    return ::GetNicknameBackupFile(baseFolder);
}

std::wstring LauncherApp::GetRestorePendingFile(const std::wstring& installFolder) const {
    return ::GetRestorePendingFile(baseFolder, installFolder);
}

void LauncherApp::MarkRestorePending(const std::wstring& installFolder) {
    ::MarkRestorePending(baseFolder, installFolder);
}

void LauncherApp::ClearRestorePending(const std::wstring& installFolder) {
    ::ClearRestorePending(baseFolder, installFolder);
}
