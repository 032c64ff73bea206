// Puts a new copy of a build into its install folder: back up the player's
// data, download, verify, unpack, locate the game, empty the folder, copy the
// new build in and put the player's data back. The folder is emptied only
// after the archive has been downloaded, verified, unpacked and examined.

#include "app/LauncherApp.h"

#include "app/Messages.h"
#include "pipeline/Download.h"
#include "pipeline/Manifest.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/PowerShell.h"
#include "platform/Sha256.h"

#include <algorithm>
#include <cctype>

namespace {

std::string ToLowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void RemoveWorkFolderQuietly(const std::wstring& workFolder) {
    if (!IsFolder(workFolder))
        return;
    try {
        RemoveTreeWithRetries(workFolder);
    } catch (...) {
    }
}

} // namespace

void LauncherApp::InstallOrUpdate(const Manifest& manifest, const std::wstring& installFolder,
                                  const std::wstring& label) {
    const std::wstring exeName = Utf8ToWide(manifest.exe.empty() ? "Game.exe" : manifest.exe);

    PostTextMessage(window, WM_LAUNCHER_STATUS, 0, L"Создание резервной копии " + label + L"...");
    PrepareBackups(installFolder);

    const std::wstring workFolder = GetTempFolderName();
    EnsureDir(workFolder);
    try {
        const std::wstring archivePath = JoinPath(workFolder, L"game.zip");
        DownloadArchive(window, manifest.download_url, archivePath, label);

        if (!manifest.sha256.empty()) {
            PostTextMessage(window, WM_LAUNCHER_STATUS, 0, L"Проверка SHA-256...");
            const std::string actual = ToLowerAscii(ComputeFileSha256(archivePath));
            if (actual != ToLowerAscii(manifest.sha256))
                throw MakeError(L"SHA-256 скачанного архива не совпадает с manifest.");
        }

        PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(-1),
                        L"Установка " + label + L"...");
        const std::wstring extractFolder = JoinPath(workFolder, L"extract");
        EnsureDir(extractFolder);
        if (ExpandArchive(archivePath, extractFolder) != 0)
            throw MakeError(L"PowerShell не смог распаковать ZIP-архив.");

        std::wstring sourceFolder;
        if (!FindGameRootRecursive(extractFolder, ToLowerW(exeName), sourceFolder)) {
            // No executable: one top folder is taken as the build, otherwise
            // everything; the missing game is reported when it is started.
            const std::vector<DirEntry> top = ListDirectory(extractFolder);
            sourceFolder =
                (top.size() == 1 && top[0].isDirectory) ? top[0].fullPath : extractFolder;
        }

        MarkRestorePending(installFolder);
        EmptyFolder(installFolder);
        CopyDirectoryContents(sourceFolder, installFolder);
        RestoreBackups(installFolder);
        ClearRestorePending(installFolder);
    } catch (...) {
        RemoveWorkFolderQuietly(workFolder);
        throw;
    }
    RemoveWorkFolderQuietly(workFolder);
}

bool LauncherApp::FindGameRootRecursive(const std::wstring& folder,
                                        const std::wstring& exeNameLower, std::wstring& gameRoot) {
    for (const DirEntry& entry : ListDirectory(folder)) {
        if (entry.isDirectory) {
            if (FindGameRootRecursive(entry.fullPath, exeNameLower, gameRoot))
                return true;
        } else if (ToLowerW(entry.name) == exeNameLower) {
            gameRoot = ParentPath(entry.fullPath);
            return true;
        }
    }
    return false;
}
