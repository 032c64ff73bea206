#include "pipeline/Install.h"

#include "pipeline/Backups.h"
#include "pipeline/DeltaUpdate.h"
#include "pipeline/Download.h"
#include "pipeline/Manifest.h"
#include "pipeline/ManifestSignature.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/Text.h"
#include "platform/files/DiskSpace.h"
#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"
#include "platform/trust/Sha256.h"
#include "platform/files/WorkFolder.h"
#include "platform/zip/ZipExtract.h"

#include <algorithm>
#include <functional>

namespace {

// Room for what the update writes: the archive (or the changed entries)
// still to come and what unpacks from it, in the work folder beside the
// build, on its volume. The new build takes the old one's place by a rename
// and the old one goes last, so nothing else needs room.
void EnsureRoomForUpdate(const std::wstring& workFolder, unsigned long long bytesToCome,
                         unsigned long long unpackedBytes) {
    EnsureFreeSpace(workFolder, bytesToCome + unpackedBytes);
}

// The whole archive: downloaded, checked against the manifest's digest and
// unpacked into the extract folder.
void DownloadAndUnpack(const Manifest& manifest, const std::wstring& archivePath,
                       const std::wstring& extractFolder, const std::wstring& workFolder,
                       const std::wstring& keptPath, const std::wstring& label,
                       const RunReports& reports) {
    // Before the download only the archive's size is known; the build
    // unpacks to about as much at least.
    unsigned long long signedSize = 0;
    ReadSignedSize(manifest, signedSize);
    const std::string digest = DownloadArchive(
        reports, manifest.download_url, archivePath, label,
        [&](unsigned long long length) { EnsureRoomForUpdate(workFolder, length, length); },
        signedSize, keptPath);

    if (!manifest.sha256.empty()) {
        reports.status(L"Проверка SHA-256...");
        // The download digested the archive as it wrote it; an archive that
        // came without a digest is read again.
        const std::string actual =
            ToLowerAscii(digest.empty() ? ComputeFileSha256(archivePath) : digest);
        if (actual != ToLowerAscii(manifest.sha256))
            throw MakeError(L"SHA-256 скачанного архива не совпадает с manifest.");
    }

    reports.progress(-1, L"Установка " + label + L"...");
    unsigned long long unpackedBytes = 0;
    if (ReadZipUnpackedSize(archivePath, extractFolder, unpackedBytes))
        EnsureRoomForUpdate(workFolder, 0, unpackedBytes);
    EnsureDir(extractFolder);
    if (ExpandArchive(archivePath, extractFolder) != 0)
        throw MakeError(L"PowerShell не смог распаковать ZIP-архив.");
}

// Told once a swap's rename has waited past its usual retries.
std::function<void()> WaitingText(const std::wstring& label, const RunReports& reports) {
    return [label, &reports] {
        reports.status(L"Файлы " + label +
                       L" заняты другой программой (например, антивирусом). Ожидание до минуты...");
    };
}

// The old build steps aside in one rename, before anything of it is deleted.
// Windows refuses that while a file inside is open (the game still running,
// a scanner, a file manager): then nothing has changed, and the player is
// asked to close what holds it.
void SetOldBuildAside(const std::wstring& buildFolder, const std::wstring& oldBuild,
                      const std::wstring& label, const RunReports& reports) {
    if (!IsFolder(buildFolder))
        return;
    const DWORD code =
        TryRenameWaitingForHolders(buildFolder, oldBuild, WaitingText(label, reports));
    if (code == 0)
        return;
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
        code == ERROR_LOCK_VIOLATION)
        throw MakeError(L"Файлы " + label +
                        L" открыты в игре или другой программе. Закройте её и попробуйте снова.");
    throw MakeError(L"Не удалось переименовать '" + buildFolder + L"' -> '" + oldBuild + L"': " +
                    GetWinErrorMessage(code));
}

// The new build takes the build's name: one rename on its volume (the work
// folder is beside the build), waiting out a scanner that holds a file just
// unpacked.
void PutNewBuildInPlace(const std::wstring& sourceFolder, const std::wstring& buildFolder,
                        const std::wstring& label, const RunReports& reports) {
    const DWORD code =
        TryRenameWaitingForHolders(sourceFolder, buildFolder, WaitingText(label, reports));
    if (code != 0)
        throw MakeError(L"Не удалось переименовать '" + sourceFolder + L"' -> '" + buildFolder +
                        L"': " + GetWinErrorMessage(code));
}

// What came of the new build goes and the old one comes back whole. True
// when the old build is in its place again.
bool PutOldBuildBack(const std::wstring& buildFolder, const std::wstring& oldBuild,
                     const std::wstring& label, const RunReports& reports) {
    try {
        RemoveTreeWithRetries(buildFolder);
        return IsFolder(oldBuild) &&
               TryRenameWaitingForHolders(oldBuild, buildFolder, WaitingText(label, reports)) == 0;
    } catch (const std::exception&) {
        return false;
    }
}

void WriteVersionFile(const std::wstring& installFolder, const std::string& version) {
    WriteWholeFile(JoinPath(installFolder, L"version.txt"), version, false);
}

} // namespace

std::unique_ptr<WorkFolder> InstallOrUpdate(const std::wstring& baseFolder,
                                            const Manifest& manifest,
                                            const std::wstring& installFolder,
                                            const std::wstring& label, const RunReports& reports) {
    const std::wstring exeName = Utf8ToWide(manifest.exe.empty() ? "Game.exe" : manifest.exe);
    // A build moved to another drive with a link left in its place is
    // updated where it is: the work, the room and the swap on its volume,
    // and the link stays.
    const std::wstring buildFolder = FolderBehindLink(installFolder);
    // An earlier update that stopped before the player's data was back wrote
    // this record; its backup is then the only good copy, and only the run
    // that wrote a record may take it away.
    const std::wstring record = GetRestorePendingFile(baseFolder, installFolder);
    const bool restoreOwed = IsFile(record);

    // Beside the build, on its volume; removed on every way out.
    auto workFolder = std::make_unique<WorkFolder>(ParentPath(buildFolder));
    const WorkFolder& work = *workFolder;
    const std::wstring archivePath = JoinPath(work.Path(), L"game.zip");
    const std::wstring extractFolder = JoinPath(work.Path(), L"extract");
    // An installed build takes only the changed files when the server
    // publishes an index; otherwise, or when that cannot be done, the whole
    // archive comes.
    const bool assembled =
        IsFile(JoinPath(buildFolder, exeName)) &&
        AssembleChangedBuild(manifest, buildFolder, work.Path(), extractFolder, label, reports,
                             [&](unsigned long long fetch, unsigned long long unpacked) {
                                 EnsureRoomForUpdate(work.Path(), fetch, unpacked);
                             });
    // An interrupted download waits beside the build for the next click.
    const std::wstring keptPath =
        JoinPath(ParentPath(buildFolder), L"vorn_partial_" + FileNameOf(buildFolder) + L".zip");
    if (assembled)
        RemoveKeptDownload(keptPath);
    else
        DownloadAndUnpack(manifest, archivePath, extractFolder, work.Path(), keptPath, label,
                          reports);

    std::wstring sourceFolder;
    if (!FindGameRootRecursive(extractFolder, ToLowerW(exeName), sourceFolder)) {
        // No executable: one top folder is taken as the build, otherwise
        // everything; the missing game is reported when it is started.
        const std::vector<DirEntry> top = ListDirectory(extractFolder);
        sourceFolder = (top.size() == 1 && top[0].isDirectory) ? top[0].fullPath : extractFolder;
    }

    // The player may have played the old build while the update came: the
    // backup is taken now, right before the build is set aside.
    reports.status(L"Создание резервной копии " + label + L"...");
    PrepareBackups(baseFolder, installFolder);
    MarkRestorePending(baseFolder, installFolder);
    const std::wstring oldBuild = JoinPath(work.Path(), L"old");
    try {
        SetOldBuildAside(buildFolder, oldBuild, label, reports);
    } catch (const std::exception&) {
        // Nothing has changed: the player's data is where it was.
        if (!restoreOwed)
            RemoveFileWithRetries(record);
        throw;
    }
    try {
        PutNewBuildInPlace(sourceFolder, buildFolder, label, reports);
    } catch (const std::exception&) {
        // The old build back whole holds the player's data again, and its
        // saves from now on must not be overwritten by this backup; a build
        // that could not come back leaves the record, so the next click
        // updates again and restores.
        if (PutOldBuildBack(buildFolder, oldBuild, label, reports) && !restoreOwed) {
            try {
                RemoveFileWithRetries(record);
            } catch (const std::exception&) {
            }
        }
        throw;
    }
    RestoreBackups(baseFolder, installFolder);
    ClearRestorePending(baseFolder, installFolder);
    WriteVersionFile(installFolder, manifest.version);
    return workFolder;
}

bool FindGameRootRecursive(const std::wstring& folder, const std::wstring& exeNameLower,
                           std::wstring& gameRoot) {
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
