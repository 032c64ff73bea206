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

// Room for what the update writes: the archive still to come and the unpacked
// build in the work folder, and in the install folder the new build less what
// emptying the old one frees.
void EnsureRoomForUpdate(const std::wstring& workFolder, const std::wstring& installFolder,
                         unsigned long long installedBytes, unsigned long long archiveBytesToCome,
                         unsigned long long unpackedBytes) {
    const unsigned long long work = archiveBytesToCome + unpackedBytes;
    const unsigned long long install =
        unpackedBytes > installedBytes ? unpackedBytes - installedBytes : 0;
    if (SameVolume(workFolder, installFolder)) {
        EnsureFreeSpace(workFolder, work + install);
        return;
    }
    EnsureFreeSpace(workFolder, work);
    EnsureFreeSpace(installFolder, install);
}

// The whole archive: downloaded, checked against the manifest's digest and
// unpacked into the extract folder.
void DownloadAndUnpack(const Manifest& manifest, const std::wstring& archivePath,
                       const std::wstring& extractFolder, const std::wstring& installFolder,
                       unsigned long long installedBytes, const std::wstring& workFolder,
                       const std::wstring& label, const RunReports& reports) {
    // Before the download only the archive's size is known; the build
    // unpacks to about as much at least.
    const std::string digest = DownloadArchive(
        reports, manifest.download_url, archivePath, label, [&](unsigned long long length) {
            EnsureRoomForUpdate(workFolder, installFolder, installedBytes, length, length);
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
        EnsureRoomForUpdate(workFolder, installFolder, installedBytes, 0, unpackedBytes);
    EnsureDir(extractFolder);
    if (ExpandArchive(archivePath, extractFolder) != 0)
        throw MakeError(L"PowerShell не смог распаковать ZIP-архив.");
}

} // namespace

void InstallOrUpdate(const std::wstring& baseFolder, const Manifest& manifest,
                     const std::wstring& installFolder, const std::wstring& label,
                     const RunReports& reports) {
    const std::wstring exeName = Utf8ToWide(manifest.exe.empty() ? "Game.exe" : manifest.exe);

    reports.status(L"Создание резервной копии " + label + L"...");
    PrepareBackups(baseFolder, installFolder);

    // Removed on every way out of this call.
    const WorkFolder work;
    const std::wstring archivePath = JoinPath(work.Path(), L"game.zip");
    const unsigned long long installedBytes = FolderSize(installFolder);
    const std::wstring extractFolder = JoinPath(work.Path(), L"extract");
    // An installed build takes only the changed files when the server
    // publishes an index; otherwise, or when that cannot be done, the whole
    // archive comes.
    const bool assembled =
        IsFile(JoinPath(installFolder, exeName)) &&
        AssembleChangedBuild(manifest, installFolder, work.Path(), extractFolder, label, reports,
                             [&](unsigned long long fetch, unsigned long long unpacked) {
                                 EnsureRoomForUpdate(work.Path(), installFolder, installedBytes,
                                                     fetch, unpacked);
                             });
    if (!assembled)
        DownloadAndUnpack(manifest, archivePath, extractFolder, installFolder, installedBytes,
                          work.Path(), label, reports);

    std::wstring sourceFolder;
    if (!FindGameRootRecursive(extractFolder, ToLowerW(exeName), sourceFolder)) {
        // No executable: one top folder is taken as the build, otherwise
        // everything; the missing game is reported when it is started.
        const std::vector<DirEntry> top = ListDirectory(extractFolder);
        sourceFolder = (top.size() == 1 && top[0].isDirectory) ? top[0].fullPath : extractFolder;
    }

    MarkRestorePending(baseFolder, installFolder);
    EmptyFolder(installFolder);
    // On one volume the new build's entries are moved into place, not copied
    // file by file.
    if (SameVolume(sourceFolder, installFolder))
        MoveDirectoryContents(sourceFolder, installFolder);
    else
        CopyDirectoryContents(sourceFolder, installFolder);
    RestoreBackups(baseFolder, installFolder);
    ClearRestorePending(baseFolder, installFolder);
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
