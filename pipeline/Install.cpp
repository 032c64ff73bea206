#include "pipeline/Install.h"

#include "pipeline/Backups.h"
#include "pipeline/DeltaUpdate.h"
#include "pipeline/Download.h"
#include "pipeline/Manifest.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/Text.h"
#include "platform/DiskSpace.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/Sha256.h"
#include "platform/WorkFolder.h"
#include "platform/ZipExtract.h"

#include <algorithm>

namespace {

// Room for what the update writes: the archive (or the changed entries)
// still to come and what unpacks from it, in the work folder beside the
// build. The new build takes the old one's place by a rename and the old one
// goes last, so nothing else needs room; an install folder on another volume
// (a link to elsewhere) takes a copy of the new build as well.
void EnsureRoomForUpdate(const std::wstring& workFolder, const std::wstring& installFolder,
                         unsigned long long bytesToCome, unsigned long long unpackedBytes) {
    EnsureFreeSpace(workFolder, bytesToCome + unpackedBytes);
    if (!SameVolume(workFolder, ParentPath(installFolder)))
        EnsureFreeSpace(ParentPath(installFolder), unpackedBytes);
}

// The whole archive: downloaded, checked against the manifest's digest and
// unpacked into the extract folder.
void DownloadAndUnpack(const Manifest& manifest, const std::wstring& archivePath,
                       const std::wstring& extractFolder, const std::wstring& installFolder,
                       const std::wstring& workFolder, const std::wstring& label,
                       const RunReports& reports) {
    // Before the download only the archive's size is known; the build
    // unpacks to about as much at least.
    const std::string digest = DownloadArchive(
        reports, manifest.download_url, archivePath, label, [&](unsigned long long length) {
            EnsureRoomForUpdate(workFolder, installFolder, length, length);
        });

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
        EnsureRoomForUpdate(workFolder, installFolder, 0, unpackedBytes);
    EnsureDir(extractFolder);
    if (ExpandArchive(archivePath, extractFolder) != 0)
        throw MakeError(L"PowerShell не смог распаковать ZIP-архив.");
}

// The old build steps aside in one rename, before anything of it is deleted.
// Windows refuses that while a file inside is open (the game still running,
// a scanner, a file manager): then nothing has changed, the record goes, and
// the player is asked to close what holds it.
void SetOldBuildAside(const std::wstring& baseFolder, const std::wstring& installFolder,
                      const std::wstring& oldBuild, const std::wstring& label) {
    if (!IsFolder(installFolder))
        return;
    const DWORD code = TryRenameWithRetries(installFolder, oldBuild);
    if (code == 0)
        return;
    RemoveFileWithRetries(GetRestorePendingFile(baseFolder, installFolder));
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
        code == ERROR_LOCK_VIOLATION)
        throw MakeError(L"Файлы " + label +
                        L" открыты в игре или другой программе. Закройте её и попробуйте снова.");
    throw MakeError(L"Не удалось переименовать '" + installFolder + L"' -> '" + oldBuild +
                    L"': " + GetWinErrorMessage(code));
}

// The new build takes the build's name: one rename on its volume. A scanner
// that holds a file just unpacked refuses that for a while, and a build's
// folder elsewhere (a link to another volume) cannot take it: then a copy.
void PutNewBuildInPlace(const std::wstring& sourceFolder, const std::wstring& installFolder) {
    if (SameVolume(sourceFolder, ParentPath(installFolder)) &&
        TryRenameWithRetries(sourceFolder, installFolder) == 0)
        return;
    CopyFolder(sourceFolder, installFolder);
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

    reports.status(L"Создание резервной копии " + label + L"...");
    PrepareBackups(baseFolder, installFolder);

    // Beside the build, on its volume; removed on every way out.
    auto workFolder = std::make_unique<WorkFolder>(ParentPath(installFolder));
    const WorkFolder& work = *workFolder;
    const std::wstring archivePath = JoinPath(work.Path(), L"game.zip");
    const std::wstring extractFolder = JoinPath(work.Path(), L"extract");
    // An installed build takes only the changed files when the server
    // publishes an index; otherwise, or when that cannot be done, the whole
    // archive comes.
    const bool assembled =
        IsFile(JoinPath(installFolder, exeName)) &&
        AssembleChangedBuild(manifest, installFolder, work.Path(), extractFolder, label, reports,
                             [&](unsigned long long fetch, unsigned long long unpacked) {
                                 EnsureRoomForUpdate(work.Path(), installFolder, fetch, unpacked);
                             });
    if (!assembled)
        DownloadAndUnpack(manifest, archivePath, extractFolder, installFolder, work.Path(), label,
                          reports);

    std::wstring sourceFolder;
    if (!FindGameRootRecursive(extractFolder, ToLowerW(exeName), sourceFolder)) {
        // No executable: one top folder is taken as the build, otherwise
        // everything; the missing game is reported when it is started.
        const std::vector<DirEntry> top = ListDirectory(extractFolder);
        sourceFolder = (top.size() == 1 && top[0].isDirectory) ? top[0].fullPath : extractFolder;
    }

    MarkRestorePending(baseFolder, installFolder);
    const std::wstring oldBuild = JoinPath(work.Path(), L"old");
    SetOldBuildAside(baseFolder, installFolder, oldBuild, label);
    try {
        PutNewBuildInPlace(sourceFolder, installFolder);
    } catch (const std::exception&) {
        // What came of the new build goes and the old one comes back; the
        // record stands, so the next click updates again.
        try {
            RemoveTreeWithRetries(installFolder);
            if (IsFolder(oldBuild))
                RenameWithRetries(oldBuild, installFolder);
        } catch (const std::exception&) {
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
